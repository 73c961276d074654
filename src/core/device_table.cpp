// The device table, the process-wide flags, and the slot life cycle (reserve, open, pin,
// release) that login, logout, the command frame and the channel threads share.
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "core/slots.hpp"

extern "C" {
IPCSDK_API DeviceSlot g_DevManage[IPCSDK_MAX_DEVICES];
IPCSDK_API int32_t g_IPCSdkInit = 0;
IPCSDK_API int32_t g_SdkNetMode = -1;
IPCSDK_API int32_t g_SocketInitFlag = -1;
}

namespace ipc {
namespace {

std::array<SlotState, kSlots> g_state;
std::mutex g_tableMutex;  // orders reservations: the duplicate check and the free-slot search
thread_local int t_slotThread = -1;
thread_local ThreadKind t_slotThreadKind = ThreadKind::Heartbeat;
thread_local std::array<uint16_t, kSlots> t_pins{};  // SlotUses the calling thread holds, per slot

constexpr const char kVersion[] = "1.0.0.22";

// Clears the entry. The four fields that other threads scan without a pin are cleared last,
// inUse at the very end, so a login that finds the slot free finds it wholly cleared.
void clear_entry(DeviceSlot& s) {
    std::memset(reinterpret_cast<char*>(&s) + offsetof(DeviceSlot, loggedIn), 0,
                sizeof(DeviceSlot) - offsetof(DeviceSlot, loggedIn));
    store(s.handle, 0u);
    store(s.cmdSocket, 0);
    store(s.deviceAddr, 0u);
    store(s.inUse, 0u);
}

int& wake_slot(SlotState& st, ThreadKind kind) { return kind == ThreadKind::Video ? st.videoWake : st.reportWake; }

}  // namespace

SlotState& state(int index) { return g_state[static_cast<size_t>(index)]; }

int64_t now_seconds() { return static_cast<int64_t>(time(nullptr)); }

int find_slot(uint32_t handle) {
    if (handle == 0) return -1;
    for (int i = 0; i < kSlots; ++i) {
        DeviceSlot& s = g_DevManage[i];
        if (load(s.handle) == handle && load(s.inUse) == 1) return i;
    }
    return -1;
}

SlotUse::SlotUse(uint32_t handle) {
    int i = find_slot(handle);
    if (i < 0) return;
    SlotState& st = g_state[static_cast<size_t>(i)];
    st.users.fetch_add(1);
    // Checked after announcing the use: a release that closed the slot first either sees this
    // use and waits for it, or this check sees the slot closed.
    if (!st.open.load() || load(g_DevManage[i].handle) != handle) {
        st.users.fetch_sub(1);
        return;
    }
    index_ = i;
    slot_ = &g_DevManage[i];
    generation_ = st.generation.load();
    ++t_pins[static_cast<size_t>(i)];
}

SlotUse::~SlotUse() {
    if (!slot_) return;
    --t_pins[static_cast<size_t>(index_)];
    g_state[static_cast<size_t>(index_)].users.fetch_sub(1);
}

bool SlotUse::current() const {
    const SlotState& st = g_state[static_cast<size_t>(index_)];
    return st.open.load() && st.generation.load() == generation_;
}

bool SlotUse::acquire(const uint32_t* whileSet) const {
    for (;;) {
        if (!current()) return false;
        if (whileSet && std::atomic_ref<const uint32_t>(*whileSet).load() == 0) return false;
        // sem_timedwait rather than sem_clockwait: the sanitizers model the former. A clock
        // step only stretches or shortens one 50 ms slice.
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        ts.tv_nsec += 50 * 1000 * 1000;
        if (ts.tv_nsec >= 1000000000L) {
            ts.tv_sec += 1;
            ts.tv_nsec -= 1000000000L;
        }
        if (sem_timedwait(&slot_->sem, &ts) == 0) {
            if (current()) return true;
            sem_post(&slot_->sem);
            return false;
        }
    }
}

// A slot released meanwhile (by this very thread, from a callback) has no semaphore left to post.
void SlotUse::release() const {
    if (current()) sem_post(&slot_->sem);
}

bool register_thread(int index, uint32_t generation, ThreadKind kind) {
    SlotState& st = state(index);
    std::lock_guard<std::mutex> lock(st.mutex);
    if (!st.open.load() || st.generation.load() != generation) return false;
    ++st.threads;
    if (kind == ThreadKind::Video) st.videoThread = true;
    if (kind == ThreadKind::Report) st.reportThread = true;
    // A receiver's wake-up descriptor lives exactly as long as the receiver.
    if (kind != ThreadKind::Heartbeat) wake_slot(st, kind) = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return true;
}

void unregister_thread(int index, ThreadKind kind) {
    SlotState& st = state(index);
    std::lock_guard<std::mutex> lock(st.mutex);
    --st.threads;
    if (kind == ThreadKind::Video) st.videoThread = false;
    if (kind == ThreadKind::Report) st.reportThread = false;
    if (kind != ThreadKind::Heartbeat) {
        int& fd = wake_slot(st, kind);
        if (fd >= 0) close(fd);
        fd = -1;
    }
    st.changed.notify_all();
}

void set_current_slot_thread(int index, ThreadKind kind) {
    t_slotThread = index;
    t_slotThreadKind = kind;
}

bool is_current_slot_thread(int index, ThreadKind kind) { return t_slotThread == index && t_slotThreadKind == kind; }

int wake_fd(int index, ThreadKind kind) {
    SlotState& st = state(index);
    std::lock_guard<std::mutex> lock(st.mutex);
    return wake_slot(st, kind);
}

void wake(int index, ThreadKind kind) {
    SlotState& st = state(index);
    std::lock_guard<std::mutex> lock(st.mutex);
    if (kind == ThreadKind::Heartbeat) {
        st.changed.notify_all();
        return;
    }
    const uint64_t one = 1;
    const int fd = wake_slot(st, kind);
    if (fd >= 0 && write(fd, &one, sizeof one) < 0) { /* already signalled */ }
}

void drain_wake(int fd) {
    uint64_t v;
    while (fd >= 0 && read(fd, &v, sizeof v) > 0) {
    }
}

void wait_receiver_gone(int index, ThreadKind kind) {
    SlotState& st = state(index);
    std::unique_lock<std::mutex> lock(st.mutex);
    st.changed.wait(lock, [&] { return kind == ThreadKind::Video ? !st.videoThread : !st.reportThread; });
}

int reserve_slot(uint32_t addr) {
    std::lock_guard<std::mutex> lock(g_tableMutex);
    for (auto& s : g_DevManage)
        if (load(s.deviceAddr) == addr) return -1;
    for (int i = 0; i < kSlots; ++i) {
        DeviceSlot& s = g_DevManage[i];
        if (load(s.inUse) == 0) {
            store(s.deviceAddr, addr);
            store(s.inUse, 1u);
            return i;
        }
    }
    return -2;
}

void unreserve_slot(int index) {
    std::lock_guard<std::mutex> lock(g_tableMutex);
    clear_entry(g_DevManage[index]);
}

void open_slot(int index) {
    SlotState& st = state(index);
    st.generation.fetch_add(1);
    store(g_DevManage[index].handle, kHandleBase + static_cast<uint32_t>(index));
    st.open.store(true);
}

void release_slot(int index) {
    SlotState& st = state(index);
    DeviceSlot& s = g_DevManage[index];
    {
        // Whoever closes the slot releases it; a release racing with it (a logout against an
        // uninitialisation, say) has nothing left to do.
        std::lock_guard<std::mutex> lock(st.mutex);
        if (!st.open.load()) return;
        st.open.store(false);
        st.generation.fetch_add(1);
    }
    store(s.loggedIn, uint8_t{0});
    store(s.reportRunning, 0u);
    store(s.videoRunning, 0u);
    wake(index, ThreadKind::Video);
    wake(index, ThreadKind::Report);
    wake(index, ThreadKind::Heartbeat);
    {
        // A release started from one of the slot's own threads (a callback that logs out)
        // cannot wait for that thread; it ends as soon as the callback returns.
        const int self = (t_slotThread == index) ? 1 : 0;
        std::unique_lock<std::mutex> lock(st.mutex);
        st.changed.wait(lock, [&] { return st.threads <= self; });
    }
    // Calls in progress notice the closed slot within one semaphore slice, or finish their
    // exchange (bounded by the transport's polling window), then leave.
    const int own = t_pins[static_cast<size_t>(index)];
    while (st.users.load() > own) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    uint8_t** buffers[] = {&s.reqBuf, &s.respBuf, &s.snapRecord1, &s.snapRecord2, &s.snapData1,
                           &s.snapData2, &s.reportBuf1001, &s.reportBuf1002, &s.reportBuf1004};
    for (uint8_t** b : buffers) {
        std::free(*b);
        *b = nullptr;
    }
    int cmd = load(s.cmdSocket);
    if (cmd >= 0) close(cmd);
    if (s.reportSocket != -1 && s.reportSocket != 0) close(s.reportSocket);
    if (s.videoSocket != -1 && s.videoSocket != 0) close(s.videoSocket);
    sem_destroy(&s.sem);
    clear_entry(s);
}

}  // namespace ipc

using namespace ipc;

extern "C" {

namespace ipc {
namespace {
// Clears the whole table. Entries still in use are released properly (threads stopped,
// buffers freed) instead of being cleared under their running threads; a login still in
// progress keeps its reservation.
void clear_table() {
    for (int i = 0; i < kSlots; ++i) {
        if (state(i).open.load()) {
            release_slot(i);
            continue;
        }
        std::lock_guard<std::mutex> lock(g_tableMutex);
        if (load(g_DevManage[i].inUse) == 0) clear_entry(g_DevManage[i]);
    }
}
}  // namespace
}  // namespace ipc

IPCSDK_API uint32_t IPCSdkInit(void) {
    if (load(g_IPCSdkInit) == 1) return IPCSDK_ERR_ALREADY_INIT;
    clear_table();
    store(g_IPCSdkInit, 1);
    return IPCSDK_OK;
}

IPCSDK_API uint32_t IPCSdkUnInit(void) {
    clear_table();
    store(g_IPCSdkInit, 0);
    return IPCSDK_OK;
}

IPCSDK_API const char* IPCSDKVersion(void) { return kVersion; }

IPCSDK_API uint64_t get_x3_time_us(void) {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

}  // extern "C"
