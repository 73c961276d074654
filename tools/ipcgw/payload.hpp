// The JSON bodies the gateway publishes.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include <nlohmann/json.hpp>

#include "backend.hpp"

namespace ipcgw {

std::string base64(std::span<const uint8_t> bytes);

// {"state", "since", "reconnects", "error", "gateway"}
nlohmann::ordered_json stateJson(const CameraStatus& s, const std::string& gateway);
// {"type", "time", "bytes", "data"} and, for position and distance reports, their fields.
nlohmann::ordered_json reportJson(const Report& r);
// {"result", "name", "record"} and "error" on a failure.
nlohmann::ordered_json replyJson(const Outcome& o);

}  // namespace ipcgw
