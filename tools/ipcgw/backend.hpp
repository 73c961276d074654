// What the MQTT side of the gateway needs from the cameras: their states, their reports, and
// commands run on them. The fleet implementation lives in fleet_backend.cpp; tests of the MQTT
// side alone can put anything behind this.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "config.hpp"

namespace ipcgw {

using Clock = std::chrono::system_clock;

enum class CameraState { Connecting, Online, Offline, AuthFailed };
const char* stateName(CameraState s);  // "connecting", "online", "offline", "auth-failed"

struct CameraStatus {
    CameraState state = CameraState::Connecting;
    Clock::time_point since{};
    unsigned reconnects = 0;
    std::optional<std::string> error;     // the last error, when there is one
    std::optional<std::string> rtsp;      // the camera's RTSP URL, when served
};

struct Report {
    uint32_t type = 0;
    Clock::time_point time{};
    std::vector<uint8_t> body;
};

// A request, checked for shape by the gateway; setting names and records are the backend's.
struct Command {
    enum class Op { Get, Set, Ptz, Preset, Snapshot, Info };
    Op op = Op::Info;
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
        std::function<void(size_t camera, const CameraStatus&)> state;
        std::function<void(size_t camera, Report)> report;
    };
    virtual ~Backend() = default;
    // Starts supervising the cameras (indexes into the configuration's list).
    virtual void start(Handlers handlers) = 0;
    // Stops; no handler runs once it returns.
    virtual void stop() = 0;
    virtual CameraStatus status(size_t camera) const = 0;
    // Runs one command on a camera (called from the gateway's workers; one camera's
    // commands never overlap).
    virtual Outcome execute(size_t camera, const Command& command) = 0;
};

}  // namespace ipcgw
