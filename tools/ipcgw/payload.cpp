#include "payload.hpp"

#include <ipctools/utc_time.hpp>

namespace ipcgw {

std::string base64(std::span<const uint8_t> in) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8) | in[i + 2];
        for (int s : {18, 12, 6, 0}) out += alphabet[(v >> s) & 63];
    }
    if (i + 1 == in.size()) {
        uint32_t v = uint32_t(in[i]) << 16;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == in.size()) {
        uint32_t v = (uint32_t(in[i]) << 16) | (uint32_t(in[i + 1]) << 8);
        for (int s : {18, 12, 6}) out += alphabet[(v >> s) & 63];
        out += '=';
    }
    return out;
}

nlohmann::ordered_json state_json(const ipc::CameraStatus& s, const std::string& gateway,
                                  const std::optional<std::string>& rtsp) {
    // The fleet keeps steady-clock times; the topics carry wall-clock times.
    const auto since = Clock::now() - std::chrono::duration_cast<Clock::duration>(std::chrono::steady_clock::now() - s.since);
    nlohmann::ordered_json j{{"state", ipc::to_string(s.state)},
                             {"since", ipctools::iso_time(since)},
                             {"reconnects", s.reconnects},
                             {"error", s.last_error ? nlohmann::ordered_json(s.last_error.message()) : nlohmann::ordered_json(nullptr)},
                             {"gateway", gateway}};
    if (rtsp) j["rtsp"] = *rtsp;
    return j;
}

namespace {

uint32_t le32(std::span<const uint8_t> b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

// The leading text field of the position and distance reports, up to its first zero byte;
// bytes that are not printable ASCII end it (the payload is UTF-8 JSON).
std::string leading_text(std::span<const uint8_t> b) {
    std::string s;
    for (size_t i = 0; i < 32 && i < b.size() && b[i] >= 0x20 && b[i] < 0x7F; ++i) s += static_cast<char>(b[i]);
    return s;
}

}  // namespace

nlohmann::ordered_json report_json(const ipc::Report& r, Clock::time_point time) {
    nlohmann::ordered_json j = {
        {"type", r.type}, {"time", ipctools::iso_time(time)}, {"bytes", r.body.size()}, {"data", base64(r.body)}};
    const std::span<const uint8_t> b = r.body;
    // Position reports (0x1001, 0x1002): text, latitude and longitude in millionths of a
    // degree (signed), altitude in metres, the camera's time in seconds since the epoch.
    if ((r.type == 0x1001 || r.type == 0x1002) && b.size() >= 48) {
        j["text"] = leading_text(b);
        j["latitude"] = static_cast<int32_t>(le32(b, 32)) / 1e6;
        j["longitude"] = static_cast<int32_t>(le32(b, 36)) / 1e6;
        j["altitude"] = static_cast<int32_t>(le32(b, 40));
        j["camera_time"] = le32(b, 44);
    }
    // Distance report (0x1004): text, distance in decimetres.
    if (r.type == 0x1004 && b.size() >= 36) {
        j["text"] = leading_text(b);
        j["distance_m"] = le32(b, 32) / 10.0;
    }
    return j;
}

nlohmann::ordered_json reply_json(const Outcome& o) {
    using J = nlohmann::ordered_json;
    J j = {{"result", o.result ? J(*o.result) : J(nullptr)}, {"name", o.name}, {"record", o.record}};
    if (o.error) j["error"] = *o.error;
    for (const auto& [k, v] : o.extra.items()) j[k] = v;
    return j;
}

}  // namespace ipcgw
