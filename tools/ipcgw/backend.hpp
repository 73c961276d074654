// What the gateway needs from the cameras: their states, their reports, and commands run on
// them. camera_backend.cpp keeps them in an ipc::Fleet; the tests put a fake behind it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <ipcsdk_fleet.hpp>
#include <nlohmann/json.hpp>

#include "ops.hpp"

namespace ipcgw {

// A request, checked for shape by the parser; setting names and records are the backend's.
struct Command {
    Op op = Op::info;
    std::string setting;                  // get, set
    int count = 1;                        // get
    nlohmann::json record;                // set
    std::string action;                   // ptz: up|down|left|right|zoom-in|zoom-out|stop|position
                                          // preset: store|goto|clear
    uint32_t value = 0;                   // ptz: step; preset: number
};

struct Outcome {
    std::optional<uint32_t> result;       // the library's result code; none when the request
                                          // never reached the library
    std::string name;                     // the code's name, or why it never reached the library
    nlohmann::ordered_json record;        // what the command returned, null when nothing
    std::optional<std::string> error;     // a text for a failure
    std::vector<uint8_t> picture1, picture2;  // snapshot: the pair
    nlohmann::ordered_json extra = nlohmann::ordered_json::object();  // further members of the reply
};

class Backend {
public:
    struct Handlers {
        std::function<void(size_t camera, const ipc::CameraStatus&)> state;
        std::function<void(size_t camera, const ipc::Report&)> report;  // the body valid during the call
        std::function<void(std::string_view kind, std::string line)> log;  // a line of that kind for the log
    };
    virtual ~Backend() = default;
    // Starts supervising the cameras (indexes into the configuration's list).
    virtual void start(Handlers handlers) = 0;
    // Stops; no handler runs once it returns.
    virtual void stop() = 0;
    virtual ipc::CameraStatus status(size_t camera) const = 0;
    // The camera's RTSP URL, when the gateway serves it.
    virtual std::optional<std::string> rtsp_url(size_t) const { return std::nullopt; }
    // Runs one command on a camera (called from the request workers; one camera's commands
    // never overlap).
    virtual Outcome execute(size_t camera, const Command& command) = 0;
};

}  // namespace ipcgw
