// Internal view of the transports shared by the exchange, login and the channels.
#pragma once

#include <cstdint>

namespace ipc {

constexpr uint32_t kHeaderSize = 16;
constexpr uint32_t kMaxFramePayload = 65536 - kHeaderSize;

// Exchange failure values as they appear in an unsigned result.
constexpr uint32_t kFail1 = static_cast<uint32_t>(-1);
constexpr uint32_t kFail2 = static_cast<uint32_t>(-2);
constexpr uint32_t kFail3 = static_cast<uint32_t>(-3);
constexpr uint32_t kFail4 = static_cast<uint32_t>(-4);

// True for every value an exchange returns on failure (never an answer length).
inline bool exchange_failed(uint32_t r) {
    return r == kFail1 || r == kFail2 || r == kFail3 || r == kFail4 || r == 0x80001009u;
}

inline uint32_t be32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
inline uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline void put_be32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}
inline void put_be16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

}  // namespace ipc
