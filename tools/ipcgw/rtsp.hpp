// The gateway's RTSP server: every camera with video at rtsp://HOST:PORT/NAME, through
// gst-rtsp-server. One media per camera is shared by all its clients; the camera streams all the
// time (the gateway keeps its video on), and a client joins at the next key frame. A camera that
// is away stalls its clients' streams, which resume when it is back.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ipcgw {

struct RtspOptions {
    std::string address = "0.0.0.0";  // listening address
    uint16_t port = 8554;
    std::string host;                  // host name in the URLs; empty: the address (or, for
                                       // 0.0.0.0, this machine's name)
    std::string user, password;        // both set: clients must authenticate (Basic)
};

class RtspServer {
public:
    using Log = std::function<void(std::string_view kind, std::string line)>;
    // Listens at once; throws std::runtime_error when the address cannot be bound. A camera
    // whose name is empty gets no mount point. `log` takes the lines about the cameras' streams.
    RtspServer(const RtspOptions& options, const std::vector<std::string>& cameras, Log log = {});
    ~RtspServer();
    RtspServer(const RtspServer&) = delete;
    RtspServer& operator=(const RtspServer&) = delete;

    // One frame's payload of camera `index` (any thread; the payload is copied once). A frame of
    // the other codec than the camera's so far is dropped; a few in a row from a key frame on
    // switch the camera's stream to that codec.
    void frame(size_t index, std::span<const uint8_t> payload);
    // rtsp://HOST:PORT/NAME of a camera.
    static std::string url(const RtspOptions& options, const std::string& name);
    // Clients connected now.
    unsigned clients() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace ipcgw
