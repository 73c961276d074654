// Private per-slot state kept beside the exported table, and the rules every caller follows
// to use a slot safely while other threads may release it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "ipcsdk.h"

namespace ipc {

constexpr uint32_t kHandleBase = IPCSDK_HANDLE_BASE;
constexpr int kSlots = IPCSDK_MAX_DEVICES;
constexpr uint32_t kCmdBuf = IPCSDK_CMD_BUF_SIZE;
constexpr uint32_t kReportBuf = IPCSDK_REPORT_BUF_SIZE;

// Fields of the exported table that several threads touch are accessed through atomic_ref;
// the table itself stays a plain C array that hosts read in place.
template <class T>
inline T load(T& field) {
    return std::atomic_ref<T>(field).load(std::memory_order_acquire);
}
template <class T>
inline void store(T& field, T value) {
    std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

enum class ThreadKind { Video, Report, Heartbeat };

struct SlotState {
    std::atomic<uint32_t> generation{0};  // changes at every allocation and release
    std::atomic<bool> open{false};        // new users admitted
    std::atomic<int> users{0};            // calls currently using the slot's buffers
    std::mutex mutex;                     // guards the thread bookkeeping below
    std::condition_variable changed;
    int threads = 0;                      // library threads bound to this slot
    bool videoThread = false;
    bool reportThread = false;
    int videoWake = -1;                   // eventfds that cut a receiver's 1-second wait short,
    int reportWake = -1;                  // open while the receiver runs
};

SlotState& state(int index);

// True while the slot holds the login of this generation (reads no field of the table).
inline bool slot_current(int index, uint32_t generation);

// The slot index of a handle in use, or -1. Does not touch reqLen/respLen: the command frame
// resets them once it holds the semaphore, so a running exchange is never disturbed.
int find_slot(uint32_t handle);

// Pins a slot for the duration of a call: while pinned, the slot's buffers are not freed.
class SlotUse {
public:
    explicit SlotUse(uint32_t handle);
    ~SlotUse();
    SlotUse(const SlotUse&) = delete;
    SlotUse& operator=(const SlotUse&) = delete;
    explicit operator bool() const { return slot_ != nullptr; }
    DeviceSlot* slot() const { return slot_; }
    int index() const { return index_; }
    uint32_t generation() const { return generation_; }
    // Waits for the slot's semaphore in short timed slices; false once the slot is released,
    // or once *whileSet (a channel's running flag) has been cleared.
    bool acquire(const uint32_t* whileSet = nullptr) const;
    void release() const;
    // True while the slot still holds the login this use was made for.
    bool current() const;

private:
    DeviceSlot* slot_ = nullptr;
    int index_ = -1;
    uint32_t generation_ = 0;
};

// Thread bookkeeping: a library thread registers before it starts touching the slot, and the
// release of the slot waits until every registered thread has gone.
bool register_thread(int index, uint32_t generation, ThreadKind kind);
void unregister_thread(int index, ThreadKind kind);
// Marks the calling thread as the slot's receiver or heartbeat: a release from inside it does
// not wait for itself, and a channel start from inside it is refused.
void set_current_slot_thread(int index, ThreadKind kind);
bool is_current_slot_thread(int index, ThreadKind kind);
// Wakes a receiver out of its readiness wait (through a descriptor that exists while the
// receiver runs), or the heartbeat out of its pause.
void wake(int index, ThreadKind kind);
int wake_fd(int index, ThreadKind kind);
void drain_wake(int fd);
// Waits until the receiver of this kind has ended (used before starting a new one).
void wait_receiver_gone(int index, ThreadKind kind);

// Reserves the lowest free slot for addr under the table lock: its index, -1 when addr is in the
// table already, -2 when the table is full.
int reserve_slot(uint32_t addr);
// Gives back a reservation that never became a login.
void unreserve_slot(int index);
// Makes a reserved slot usable (handle visible, users admitted).
void open_slot(int index);
// Releases a slot: closes the door to new users, stops and waits for its threads, waits for
// calls in progress to leave, frees the buffers, closes the sockets and clears the entry.
// Uses held by the calling thread itself (a callback that logs out) are not waited for.
void release_slot(int index);

int64_t now_seconds();

inline bool slot_current(int index, uint32_t generation) {
    const SlotState& st = state(index);
    return st.open.load() && st.generation.load() == generation;
}

}  // namespace ipc
