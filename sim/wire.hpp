// Byte-order helpers and answer frames of the camera. Internal to the simulator.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace ipcsim::wire {

inline constexpr size_t kHeader = 16;
inline constexpr size_t kVideoHeader = 156;
inline constexpr uint8_t kAck = 0x7A;
inline constexpr uint8_t kNak = 0x7C;
inline constexpr size_t kMaxRequest = 1u << 20;  // larger request payloads close the connection

inline void put_be32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
inline void put_le32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put_be16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}
inline void put_le16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}
inline uint32_t be32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}
inline uint32_t le32(const uint8_t* p) {
    return uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}
inline uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[1] << 8 | p[0]); }

// A message in the command layout: 5B 5A 01, byte 3, byte 4, zero, `length_field` (BE) at 12,
// then the payload.
inline std::vector<uint8_t> message(uint8_t b3, uint8_t b4, const std::vector<uint8_t>& payload,
                                    uint32_t length_field) {
    std::vector<uint8_t> m(kHeader + payload.size(), 0);
    m[0] = 0x5B;
    m[1] = 0x5A;
    m[2] = 0x01;
    m[3] = b3;
    m[4] = b4;
    put_be32(m, 12, length_field);
    std::copy(payload.begin(), payload.end(), m.begin() + kHeader);
    return m;
}
inline std::vector<uint8_t> message(uint8_t b3, uint8_t b4, const std::vector<uint8_t>& payload = {}) {
    return message(b3, b4, payload, static_cast<uint32_t>(payload.size()));
}

// A request as a datagram must carry the request magic and exactly the payload its header
// announces; anything else gets no answer.
inline bool well_formed(const uint8_t* p, size_t n) {
    return n >= kHeader && p[0] == 0x5B && p[1] == 0x5A && be32(p + 12) == n - kHeader;
}

// The complete requests at the start of a command stream, appended to out; bytes that cannot
// start a request are skipped. Returns how many bytes the requests and the skipped bytes take.
size_t split_requests(const uint8_t* in, size_t n, std::vector<std::vector<uint8_t>>& out);

// The first message of a connection to the channel port: class 0, code 3, the connection type
// (1 report, 2 video) in its first payload word.
struct Announcement {
    enum Kind { More, Bad, Report, Video } kind;
    uint32_t length;  // payload length of a complete announcement
};
Announcement parse_announcement(const uint8_t* in, size_t n);

}  // namespace ipcsim::wire
