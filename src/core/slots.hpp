// Private per-slot state kept beside the exported table, and the rules every caller follows
// to use a slot safely while other threads may release it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

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

// A message of a TCP command connection that an exchange left unfinished (a timeout in the
// middle of it, or an answer longer than the answer buffer): the next exchange finishes and
// discards it before it sends, so the connection is never an answer behind.
struct StreamCarry {
    uint8_t header[16] = {};
    uint32_t have = 0;   // header bytes read so far
    uint64_t skip = 0;   // payload bytes still to discard
};

// One channel (video or report) of a slot. Starts are serialised by `start`; every start makes
// a new epoch, and a receiver runs only while its epoch is the channel's current one.
struct ChannelState {
    std::mutex start;
    std::atomic<uint32_t> epoch{0};
    int receivers = 0;        // receiver threads registered (guarded by SlotState::mutex)
    std::vector<int> wakes;   // their eventfds, which cut a 1-second wait short (same guard)
};

struct SlotState {
    std::atomic<uint32_t> generation{0};  // changes at every allocation and release
    std::atomic<bool> open{false};        // new users admitted
    std::atomic<int> users{0};            // calls currently using the slot's buffers
    std::atomic<uintptr_t> semOwner{0};   // the thread holding `sem` (0: none or unknown)
    std::mutex mutex;                     // guards the thread bookkeeping below
    std::condition_variable changed;
    int threads = 0;                      // library threads bound to this slot
    bool releasing = false;               // a release is freeing the slot (same guard)
    uint32_t releases = 0;                // releases completed (same guard)
    ChannelState video, report;
    // The command socket: one exchange at a time, and what a timed-out exchange left behind.
    std::mutex exchange;
    std::atomic<int32_t> netMode{-1};     // the transport its login chose: 1 UDP, 2 TCP
    int lateAnswers = 0;                  // answers still expected after their command gave up
    StreamCarry carry;
};

SlotState& state(int index);

// The large buffers (report and picture stores, receive buffers) come straight from the kernel
// and go back to it when freed, so resident memory follows the cameras logged in rather than
// the allocator's thresholds. Zero-filled, like calloc; null when none is had.
uint8_t* map_buffer(size_t size);
void unmap_buffer(uint8_t* buffer, size_t size);

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
    // Waits for the slot's semaphore in short timed slices: 0 once held; IPCSDK_ERR_BAD_HANDLE
    // once the slot is released or *whileSet (a channel's running flag) has been cleared;
    // IPCSDK_ERR_NET when a thread that already holds another camera's semaphore (a report
    // callback) waited kNestedWait in vain, so two callbacks that call each other's camera
    // cannot block for ever. A thread that holds this slot's semaphore already gets it at once.
    uint32_t acquire(const uint32_t* whileSet = nullptr);
    void release();
    // Posts the semaphore whoever holds it (the host's forced unlock).
    void force_release();
    // True while the slot still holds the login this use was made for.
    bool current() const;

private:
    DeviceSlot* slot_ = nullptr;
    int index_ = -1;
    uint32_t generation_ = 0;
    bool held_ = false;    // this use took the semaphore
    bool nested_ = false;  // the semaphore was already this thread's: release leaves it held
};

constexpr int kNestedWaitMs = 5000;

// The command socket's slot (its private state carries the socket's exchange lock and late
// answers), or -1 for a descriptor that is no camera's command socket.
int command_slot(int fd);

// Thread bookkeeping: a library thread registers before it starts touching the slot, and the
// release of the slot waits until every registered thread has gone.
bool register_thread(int index, uint32_t generation, ThreadKind kind);
void unregister_thread(int index, ThreadKind kind);
// Marks the calling thread as one of the slot's threads: a release from inside it (a callback
// that logs out) does not wait for itself.
void set_current_slot_thread(int index);
// A receiver's wake-up descriptor, registered with its channel while the receiver runs.
int add_receiver_wake(int index, ThreadKind kind);
void remove_receiver_wake(int index, ThreadKind kind, int fd);
// Wakes the receivers of a channel out of their readiness wait, or the heartbeat out of its pause.
void wake(int index, ThreadKind kind);
void drain_wake(int fd);
// Wakes the commands of a slot that wait for a picture or data report.
void report_dispatched(int index);
// Waits until this channel has no receiver but the caller's own registration, or until
// still_wanted() turns false (checked at least every 50 ms).
bool wait_sole_receiver(int index, ThreadKind kind, bool (*still_wanted)(const void*), const void* arg);
ChannelState& channel_state(int index, ThreadKind kind);

// Reserves the lowest free slot for addr under the table lock: its index, -1 when addr is in the
// table already, -2 when the table is full.
int reserve_slot(uint32_t addr);
// Gives back a reservation that never became a login.
void unreserve_slot(int index);
// Makes a reserved slot usable (handle visible, users admitted).
void open_slot(int index);
// Releases a slot: closes the door to new users, stops and waits for its threads, waits for
// calls in progress to leave, frees the buffers, closes the sockets and clears the entry.
// Uses held by the calling thread itself (a callback that logs out) are not waited for. When
// another thread is releasing the slot already, waits for that release instead.
void release_slot(int index);
// Waits until a release of the slot that is in progress has finished; returns at once when
// none is, or when the release waits for the calling thread (one of the slot's threads, or a
// thread using the slot).
void await_release(int index);

int64_t now_seconds();

inline bool slot_current(int index, uint32_t generation) {
    const SlotState& st = state(index);
    return st.open.load() && st.generation.load() == generation;
}

// Runs f while the slot still holds this login, under the lock a release takes to close the
// slot: a thread the release does not wait for (one whose callback released the slot) can
// still touch the entry safely, since the release has either not begun or already forbids it.
template <class F>
void if_current(int index, uint32_t generation, F f) {
    SlotState& st = state(index);
    std::lock_guard<std::mutex> lock(st.mutex);
    if (st.open.load() && st.generation.load() == generation) f();
}

}  // namespace ipc
