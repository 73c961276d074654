// Requests run on a logged-in camera through the C++ layer, records in the JSON form of the
// record schema (the form ipcctl prints and reads).
#pragma once

#include <ipcsdk.hpp>

#include "backend.hpp"

namespace ipcgw {

Outcome run_command(const ipc::CameraRef& camera, const Command& command);

// A refusal before anything was sent: result null, name "bad-request".
Outcome bad_request(std::string what);
// A result code of the library as an outcome.
Outcome from_code(std::error_code ec);

}  // namespace ipcgw
