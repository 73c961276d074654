// The JSON bodies the gateway publishes.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include <ipcsdk_fleet.hpp>
#include <nlohmann/json.hpp>

#include "backend.hpp"

namespace ipcgw {

using Clock = std::chrono::system_clock;

std::string base64(std::span<const uint8_t> bytes);

// {"state", "since", "reconnects", "error", "gateway"} and "rtsp" when served, "since" as
// wall-clock time.
nlohmann::ordered_json state_json(const ipc::CameraStatus& s, const std::string& gateway,
                                  const std::optional<std::string>& rtsp = std::nullopt);
// {"type", "time", "bytes", "data"} and, for position and distance reports, their fields.
nlohmann::ordered_json report_json(const ipc::Report& r, Clock::time_point time);
// {"result", "name", "record"} and "error" on a failure.
nlohmann::ordered_json reply_json(const Outcome& o);

}  // namespace ipcgw
