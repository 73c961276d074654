// The heartbeat: a bare command every 5 seconds while the camera stays logged in, one beat
// left out after more than 15 seconds without data from the camera.
#include <pthread.h>

#include <chrono>

#include "commands/engine.hpp"
#include "core/slots.hpp"

namespace ipc {
namespace {

constexpr auto kBeat = std::chrono::seconds(5);
constexpr uint64_t kSilence = 15;

int slot_index(const void* slot) {
    const auto* p = static_cast<const DeviceSlot*>(slot);
    if (p < g_DevManage || p >= g_DevManage + kSlots) return -1;
    return static_cast<int>(p - g_DevManage);
}

// The loop of one heartbeat thread, registered with its slot so that a release ends it at
// once (also when a beat meets logout's held semaphore) and waits until it has gone.
void beat_loop(int index, uint32_t generation) {
    DeviceSlot& s = g_DevManage[index];
    SlotState& st = state(index);
    const uint32_t handle = load(s.handle);
    auto current = [&] { return st.open.load() && st.generation.load() == generation; };
    while (load(s.loggedIn) != 0 && current()) {
        {
            std::unique_lock<std::mutex> lock(st.mutex);
            if (st.changed.wait_for(lock, kBeat, [&] { return !current(); })) break;
        }
        const int64_t last = load(s.lastRecvTime);
        const uint64_t age = static_cast<uint64_t>(now_seconds()) - static_cast<uint64_t>(last);
        if (last == 0 || age <= kSilence)
            IPCSendHeartBeat(handle);
        else
            store(s.lastRecvTime, int64_t{0});
    }
}

void* heartbeat_thread(void* arg) {
    const auto packed = reinterpret_cast<uintptr_t>(arg);
    const int index = static_cast<int>(packed & 0xFF);
    const auto generation = static_cast<uint32_t>(packed >> 8);
    set_current_slot_thread(index);
    beat_loop(index, generation);
    unregister_thread(index, ThreadKind::Heartbeat);
    return nullptr;
}

}  // namespace
}  // namespace ipc

using namespace ipc;

extern "C" {

IPCSDK_API uint32_t IPCSendHeartBeat(uint32_t handle) { return cmd::action(cmd::Id::IPCSendHeartBeat, handle); }

IPCSDK_API void* HandlHeartBeatThread(void* slot) {
    const int index = slot_index(slot);
    if (index < 0) return nullptr;
    const uint32_t generation = state(index).generation.load();
    if (!register_thread(index, generation, ThreadKind::Heartbeat)) return nullptr;
    beat_loop(index, generation);
    unregister_thread(index, ThreadKind::Heartbeat);
    return nullptr;
}

IPCSDK_API int CreatHandlHeartBeatThread(DeviceSlot* slot) {
    const int index = slot_index(slot);
    if (index < 0) return -1;
    const uint32_t generation = state(index).generation.load();
    // Registered before the thread exists, so a release that starts now already waits for it.
    // An entry not in use gets a thread that ends at once, touching nothing.
    const bool live = register_thread(index, generation, ThreadKind::Heartbeat);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    const uintptr_t packed = (uintptr_t{generation} << 8) | static_cast<uintptr_t>(index);
    const int rc = live ? pthread_create(&tid, &attr, heartbeat_thread, reinterpret_cast<void*>(packed))
                        : pthread_create(&tid, &attr, [](void*) -> void* { return nullptr; }, nullptr);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        if (live) unregister_thread(index, ThreadKind::Heartbeat);
        return -1;
    }
    return 0;
}

}  // extern "C"
