// ipcgw configuration: the TOML file read at start. Every error names the file, the line and
// the key, and the daemon does not start.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "rtsp.hpp"

namespace ipcgw {

struct MqttOptions {
    std::string host = "127.0.0.1";
    uint16_t port = 1883;
    std::string client_id;                 // required: unique per gateway
    std::string prefix = "ipc";
    std::string username;                 // empty: no authentication
    std::string password;
    std::string tls_ca;                    // CA file; empty: plain TCP
    int keepalive = 30;                   // seconds
    int qos = 1;                          // reports, snapshots and replies (states: always 1)
    size_t offline_queue = 1000;           // QoS 1 reports kept while the broker is away; 0: none
    std::chrono::seconds reconnect_min{1}; // broker reconnect delay, doubling up to reconnect_max
    std::chrono::seconds reconnect_max{30};
};

struct GatewayOptions {
    size_t request_queue = 32;             // requests waiting per camera; beyond: a "busy" reply
    size_t request_queue_bytes = 1 << 20;   // their bytes per camera (one request always fits)
    int workers = 4;                      // threads running requests (one camera's in order)
    size_t max_request_bytes = 64 * 1024;   // a larger request is refused unparsed
    int max_request_depth = 32;             // nesting of a request's objects and arrays
};

struct CameraOptions {
    std::string name;                     // topic segment: letters, digits, '-', '_'
    std::string address;                  // IPv4
    std::string user = "admin";
    std::string password;
    std::optional<uint16_t> tcp_port;      // commands over TCP on this port; none: UDP
    bool video = false;                   // open the video channel and count frames
};

struct Config {
    MqttOptions mqtt;
    GatewayOptions gateway;
    std::vector<CameraOptions> cameras;
    std::optional<RtspOptions> rtsp;      // [rtsp]: the cameras with video served over RTSP
};

// "FILE:LINE: KEY: what is wrong"
class ConfigError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

Config load_config(const std::string& path);
// The same from text; `source` names it in error messages.
Config parse_config(std::string_view text, const std::string& source);

// Letters, digits, '-' and '_', 1 to 64 characters.
bool valid_camera_name(std::string_view name);

}  // namespace ipcgw
