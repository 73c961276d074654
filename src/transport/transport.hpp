// Internal view of the transports shared by the exchange, login and the channels.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "ipcsdk.h"

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

// True when a message can be the answer to a request: its class and code, or for an ack or
// nak its code, are the request's. Used to skip the late answer of an earlier request.
inline bool answers_request(const uint8_t* answer, size_t answerLen, const uint8_t* req, size_t reqLen) {
    if (answerLen < 5 || reqLen < 5) return false;
    if (answer[3] == 0x7A || answer[3] == 0x7C) return answer[4] == req[4];
    return answer[3] == req[3] && answer[4] == req[4];
}

using Clock = std::chrono::steady_clock;

// Waits until fd has something to read (or has hung up) or `due` has passed; true in the
// first case. Answers are taken the moment they arrive, within the exchange's polling windows.
bool wait_readable(int fd, Clock::time_point due);

// One request and its answer on fd over the given transport (1 UDP, 2 TCP; anything else
// sends nothing and returns 0). The answer buffer is cleared first.
uint32_t exchange(int fd, uint8_t msgClass, uint8_t code, const void* payload, uint32_t len, void* resp,
                  uint32_t cap, int mode);
// The transport of a slot's camera: the one its login chose.
int slot_mode(int index);

// An exchange on a slot's command socket with the caller's own buffers (so login and the
// commands need no shared buffer); a failed TCP send gives the connection up.
uint32_t command_exchange(DeviceSlot& slot, uint8_t msgClass, uint8_t code, const void* payload, uint32_t len,
                          void* resp, uint32_t cap);
// After an exchange on the slot's command socket fd: a failed TCP send closes the connection
// and marks it -1, so every later exchange fails at once.
void give_up_broken_connection(DeviceSlot& slot, int fd, uint32_t result);

}  // namespace ipc
