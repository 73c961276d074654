// The device table, the process-wide flags, and the slot life cycle (reserve, open, pin,
// release) that login, logout, the command frame and the channel threads share.
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
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

// Never destroyed: detached library threads may still touch it while the process exits.
std::array<SlotState, kSlots>& g_state = *new std::array<SlotState, kSlots>;
std::mutex g_tableMutex;  // orders reservations: the duplicate check and the free-slot search
thread_local int t_slotThread = -1;
thread_local int t_semHeld = 0;  // semaphores of any slot the calling thread holds
thread_local std::array<uint16_t, kSlots> t_pins{};  // SlotUses the calling thread holds, per slot

// A value that tells live threads apart (the address of a thread-local object).
uintptr_t self_id() {
    thread_local char marker;
    return reinterpret_cast<uintptr_t>(&marker);
}

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


}  // namespace

SlotState& state(int index) { return g_state[static_cast<size_t>(index)]; }

uint8_t* map_buffer(size_t size) {
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
}

void unmap_buffer(uint8_t* buffer, size_t size) {
    if (buffer) munmap(buffer, size);
}

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
        st.users.notify_all();
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
    SlotState& st = g_state[static_cast<size_t>(index_)];
    st.users.fetch_sub(1);
    st.users.notify_all();  // a release may be waiting for the last user
}

bool SlotUse::current() const {
    const SlotState& st = g_state[static_cast<size_t>(index_)];
    return st.open.load() && st.generation.load() == generation_;
}

uint32_t SlotUse::acquire(const uint32_t* whileSet) {
    SlotState& st = g_state[static_cast<size_t>(index_)];
    if (st.semOwner.load() == self_id()) {
        // Held by this thread already: a report callback calling a command of its own camera.
        if (!current()) return IPCSDK_ERR_BAD_HANDLE;
        nested_ = true;
        return IPCSDK_OK;
    }
    const bool bounded = t_semHeld > 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kNestedWaitMs);
    for (;;) {
        if (!current()) return IPCSDK_ERR_BAD_HANDLE;
        if (whileSet && std::atomic_ref<const uint32_t>(*whileSet).load() == 0) return IPCSDK_ERR_BAD_HANDLE;
        if (bounded && std::chrono::steady_clock::now() >= deadline) return IPCSDK_ERR_NET;
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
            if (!current()) {
                sem_post(&slot_->sem);
                return IPCSDK_ERR_BAD_HANDLE;
            }
            st.semOwner.store(self_id());
            held_ = true;
            ++t_semHeld;
            return IPCSDK_OK;
        }
    }
}

// A slot released meanwhile (by this very thread, from a callback) has no semaphore left to post.
void SlotUse::release() {
    if (nested_) {
        nested_ = false;
        return;
    }
    if (!held_) return;
    held_ = false;
    --t_semHeld;
    SlotState& st = g_state[static_cast<size_t>(index_)];
    uintptr_t me = self_id();
    st.semOwner.compare_exchange_strong(me, 0);
    if (current()) sem_post(&slot_->sem);
}

void SlotUse::force_release() {
    g_state[static_cast<size_t>(index_)].semOwner.store(0);
    if (current()) sem_post(&slot_->sem);
}

int command_slot(int fd) {
    if (fd < 0) return -1;
    for (int i = 0; i < kSlots; ++i)
        if (load(g_DevManage[i].cmdSocket) == fd && load(g_DevManage[i].inUse) == 1) return i;
    return -1;
}

ChannelState& channel_state(int index, ThreadKind kind) {
    SlotState& st = state(index);
    return kind == ThreadKind::Video ? st.video : st.report;
}

bool register_thread(int index, uint32_t generation, ThreadKind kind) {
    SlotState& st = state(index);
    std::lock_guard<std::mutex> lock(st.mutex);
    if (!st.open.load() || st.generation.load() != generation) return false;
    ++st.threads;
    if (kind != ThreadKind::Heartbeat) ++channel_state(index, kind).receivers;
    return true;
}

void unregister_thread(int index, ThreadKind kind) {
    SlotState& st = state(index);
    std::lock_guard<std::mutex> lock(st.mutex);
    --st.threads;
    if (kind != ThreadKind::Heartbeat) --channel_state(index, kind).receivers;
    st.changed.notify_all();
}

void set_current_slot_thread(int index) { t_slotThread = index; }

int add_receiver_wake(int index, ThreadKind kind) {
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return -1;
    SlotState& st = state(index);
    std::lock_guard<std::mutex> lock(st.mutex);
    try {
        channel_state(index, kind).wakes.push_back(fd);
    } catch (const std::bad_alloc&) {
        close(fd);
        return -1;
    }
    return fd;
}

void remove_receiver_wake(int index, ThreadKind kind, int fd) {
    if (fd < 0) return;
    SlotState& st = state(index);
    {
        std::lock_guard<std::mutex> lock(st.mutex);
        auto& w = channel_state(index, kind).wakes;
        std::erase(w, fd);
    }
    close(fd);
}

void wake(int index, ThreadKind kind) {
    SlotState& st = state(index);
    std::lock_guard<std::mutex> lock(st.mutex);
    if (kind == ThreadKind::Heartbeat) {
        st.changed.notify_all();
        return;
    }
    const uint64_t one = 1;
    for (int fd : channel_state(index, kind).wakes)
        if (write(fd, &one, sizeof one) < 0) { /* already signalled */ }
}

void report_dispatched(int index) {
    SlotState& st = state(index);
    std::lock_guard<std::mutex> lock(st.mutex);
    st.changed.notify_all();
}

void drain_wake(int fd) {
    uint64_t v;
    while (fd >= 0 && read(fd, &v, sizeof v) > 0) {
    }
}

bool wait_sole_receiver(int index, ThreadKind kind, bool (*still_wanted)(const void*), const void* arg) {
    SlotState& st = state(index);
    std::unique_lock<std::mutex> lock(st.mutex);
    while (channel_state(index, kind).receivers > 1) {
        if (!still_wanted(arg)) return false;
        st.changed.wait_for(lock, std::chrono::milliseconds(50));
    }
    return still_wanted(arg);
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
    {
        std::lock_guard<std::mutex> lock(st.exchange);
        st.lateAnswers = 0;
        st.carry = StreamCarry{};
    }
    st.semOwner.store(0);
    st.generation.fetch_add(1);
    store(g_DevManage[index].handle, kHandleBase + static_cast<uint32_t>(index));
    st.open.store(true);
}

namespace {
// With the slot's mutex held. The release in progress waits for the slot's own threads and for
// the calls using the slot, so neither can wait for it in turn.
void await_release_locked(int index, SlotState& st, std::unique_lock<std::mutex>& lock) {
    if (!st.releasing || t_slotThread == index || t_pins[static_cast<size_t>(index)] != 0) return;
    const uint32_t seen = st.releases;
    st.changed.wait(lock, [&] { return st.releases != seen; });
}
}  // namespace

void await_release(int index) {
    SlotState& st = state(index);
    std::unique_lock<std::mutex> lock(st.mutex);
    await_release_locked(index, st, lock);
}

void release_slot(int index) {
    SlotState& st = state(index);
    DeviceSlot& s = g_DevManage[index];
    {
        // Whoever closes the slot releases it. A release racing with it (a logout against an
        // uninitialisation, say) returns once the slot is free, so no callback follows the
        // return of either.
        std::unique_lock<std::mutex> lock(st.mutex);
        if (!st.open.load()) {
            await_release_locked(index, st, lock);
            return;
        }
        st.open.store(false);
        st.releasing = true;
        st.generation.fetch_add(1);
    }
    store(s.loggedIn, uint8_t{0});
    store(s.reportRunning, 0u);
    store(s.videoRunning, 0u);
    st.video.epoch.fetch_add(1);
    st.report.epoch.fetch_add(1);
    wake(index, ThreadKind::Video);
    wake(index, ThreadKind::Report);
    wake(index, ThreadKind::Heartbeat);
    // Calls waiting for the command lock take it, see the slot closed and pass it on, so they
    // leave now rather than at the end of their wait slice.
    sem_post(&s.sem);
    {
        // A release started from one of the slot's own threads (a callback that logs out)
        // cannot wait for that thread; it ends as soon as the callback returns.
        const int self = (t_slotThread == index) ? 1 : 0;
        std::unique_lock<std::mutex> lock(st.mutex);
        st.changed.wait(lock, [&] { return st.threads <= self; });
    }
    // Calls in progress leave once they notice the closed slot or finish their exchange
    // (bounded by the transport's window).
    const int own = t_pins[static_cast<size_t>(index)];
    for (int u = st.users.load(); u > own; u = st.users.load()) st.users.wait(u);

    for (uint8_t** b : {&s.reqBuf, &s.respBuf, &s.snapRecord1, &s.snapRecord2}) {
        std::free(*b);
        *b = nullptr;
    }
    for (uint8_t** b : {&s.snapData1, &s.snapData2, &s.reportBuf1001, &s.reportBuf1002, &s.reportBuf1004}) {
        unmap_buffer(*b, kReportBuf);
        *b = nullptr;
    }
    // The channel connections belong to their receivers, which close them as they end.
    // The entry forgets the descriptor before it is closed: a login elsewhere that gets the
    // same number must never find this entry by it.
    const int cmd = load(s.cmdSocket);
    store(s.cmdSocket, -1);
    if (cmd >= 0) close(cmd);
    sem_destroy(&s.sem);
    clear_entry(s);
    std::lock_guard<std::mutex> lock(st.mutex);
    st.releasing = false;
    ++st.releases;
    st.changed.notify_all();
}

}  // namespace ipc

using namespace ipc;

extern "C" {

namespace ipc {
namespace {
// Clears the whole table. Entries still in use are released properly (threads stopped,
// buffers freed) instead of being cleared under their running threads, releases in progress
// are waited for, and a login still in progress keeps its reservation.
void clear_table() {
    for (int i = 0; i < kSlots; ++i) {
        release_slot(i);
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
