// What the video and report channels share: opening the connection to port 5000 with its
// announcement, and the receiver thread's loop around a scanner.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/slots.hpp"

namespace ipc::channel {

constexpr size_t kReceiveBuffer = 4u << 20;

enum class Which { Video, Report };

// Field accessors of one channel in the slot.
uint32_t& running(DeviceSlot& s, Which w);
int32_t& socket(DeviceSlot& s, Which w);
int32_t& fill(DeviceSlot& s, Which w);
ThreadKind kind(Which w);

// What one receiver serves: a connection of one login's channel, in one epoch of it.
struct Context {
    int index;
    uint32_t handle;
    uint32_t generation;
    uint32_t epoch;
    Which which;
};

// True while the receiver of this context is still the one wanted: same login, the channel
// still running and not restarted since.
bool wanted(const Context& c);

struct Receiver {
    // Consumes buf[0, n): returns the bytes used up at the front. Runs on the receiver thread;
    // stops touching the slot once wanted(c) turns false.
    size_t (*scan)(const Context& c, uint8_t* buf, size_t n);
    // The camera closed the connection (or the buffer filled up): called after the socket is closed.
    void (*lost)(int index, DeviceSlot& slot);
    const char* closeFormat;  // printed with errno when the connection ends
    const char* exitLine;     // printed when the thread ends
};

// Opens the channel of a slot: flag set, TCP connect to port 5000 (10 s), announcement of the
// connection type (on buffers of its own, without the slot's semaphore), receiver thread
// started. Starts of one channel are serialised; each one supersedes the running receiver,
// which closes its connection and ends, and the new receiver runs once it has gone, so a start
// may come from the old receiver's own callback. Returns the descriptor, -1, or 0x80001004 for
// an unknown handle.
int64_t start(uint32_t handle, Which w, const Receiver& receiver);
// Clears the channel's flag and wakes its receiver: 0, or 0x80001004.
uint32_t stop(uint32_t handle, Which w);

}  // namespace ipc::channel
