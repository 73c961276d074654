// The life of a slot around the edges: commands waiting when logout takes the lock, the
// library uninitialised under running cameras, a login whose buffers cannot be had.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "camera_fixture.hpp"

using namespace testenv;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

namespace {

class Lifecycle : public CameraTest {};

TEST_F(Lifecycle, CommandsWaitingAtLogoutEndWithBadHandle) {
    auto logout = std::async(std::launch::async, [&] { return IPCSdkLogout(handle); });
    // Wait until logout holds the semaphore.
    for (int i = 0; i < 200; ++i) {
        int v = 1;
        sem_getvalue(&slot->sem, &v);
        if (v == 0) break;
        std::this_thread::sleep_for(milliseconds(5));
    }
    VideoParamRecord r{};
    const auto t0 = Clock::now();
    EXPECT_EQ(IPCVideoParamGet(handle, &r, 1), 0x80001004u) << "not stranded on the semaphore";
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(10));
    EXPECT_EQ(logout.get(), 0u);
    EXPECT_EQ(peek(slot->inUse), 0u);
    handle = 0;
}

TEST_F(Lifecycle, ConcurrentReleasesFreeTheSlotOnce) {
    ASSERT_EQ(StartVideoRequest(handle), 0);
    auto logout = std::async(std::launch::async, [&] { return IPCSdkLogout(handle); });
    std::this_thread::sleep_for(milliseconds(100));
    DeviceLogout(handle);  // while logout sleeps with the lock held
    EXPECT_EQ(peek(slot->inUse), 0u);
    EXPECT_EQ(logout.get(), 0u);
    EXPECT_EQ(IPCSdkUnInit(), 0u);
    handle = 0;
}

TEST_F(Lifecycle, ForcedExitLetsASecondCommandIn) {
    cam->script(ipcsim::Scripted{ipcsim::Reply::Default, {}, {}, 0, milliseconds(300), 2});
    auto first = std::async(std::launch::async, [&] {
        VideoParamRecord r{};
        return IPCVideoParamGet(handle, &r, 1);
    });
    ASSERT_TRUE(cam->waitRequest(1, 6));
    EXPECT_EQ(IPC_FORCE_EXIT(handle), 0u);
    SystemInfo info{};
    // The forced post admits this command while the first still runs.
    auto second = std::async(std::launch::async, [&] { return IPCGetSysVersion(handle, &info); });
    EXPECT_TRUE(cam->waitRequest(3, 2, milliseconds(2000)));
    // The two now share the slot's buffers, which is why the lock is normally never forced
    // open: neither result is dependable, only that the second got through.
    first.get();
    second.get();
}

TEST(LifecycleNoFixture, UninitialiseReleasesCamerasStillLoggedIn) {
    ASSERT_EQ(IPCSdkInit(), 0u);
    auto cam = start_camera();
    const uint32_t h = login(camera_ip());
    ASSERT_TRUE(is_handle(h));
    ASSERT_EQ(StartVideoRequest(h), 0);
    ASSERT_EQ(CreatHandlHeartBeatThread(&g_DevManage[h - IPCSDK_HANDLE_BASE]), 0);
    ASSERT_TRUE(cam->waitVideoConnection());
    EXPECT_EQ(IPCSdkUnInit(), 0u);
    for (auto& s : g_DevManage) EXPECT_EQ(peek(s.inUse), 0u);
    EXPECT_EQ(g_IPCSdkInit, 0);
    EXPECT_EQ(IPCSdkInit(), 0u);
    EXPECT_TRUE(is_handle(login(camera_ip()))) << "the camera can log in again";
    IPCSdkUnInit();
    cam->stop();
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define IPCSDK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define IPCSDK_SANITIZED 1
#endif
#endif

#ifndef IPCSDK_SANITIZED
// The library allocates the slot's buffers with calloc; this definition in the test executable
// takes precedence and can be told to refuse the 2 MiB ones. (The sanitizers bring their own.)
namespace {
std::atomic<bool> g_refuseBigCalloc{false};
}
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* calloc(size_t n, size_t size) {
    if (g_refuseBigCalloc.load(std::memory_order_relaxed) && size >= (2u << 20)) return nullptr;
    return __libc_calloc(n, size);
}
#endif

namespace {

TEST(LifecycleNoFixture, LoginFailsCleanlyWhenBuffersCannotBeAllocated) {
#ifdef IPCSDK_SANITIZED
    GTEST_SKIP() << "the sanitizers replace calloc themselves";
#else
    ASSERT_EQ(IPCSdkInit(), 0u);
    auto cam = start_camera();
    g_refuseBigCalloc = true;
    const uint32_t r = login(camera_ip());
    g_refuseBigCalloc = false;
    EXPECT_EQ(r, 0x80001008u);
    for (auto& s : g_DevManage) EXPECT_EQ(peek(s.inUse), 0u);
    EXPECT_TRUE(is_handle(login(camera_ip()))) << "the next login works";
    IPCSdkUnInit();
    cam->stop();
#endif
}

}  // namespace
