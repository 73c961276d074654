// Login/logout churn: eight cameras logged in and out in parallel, the report and video
// channels and the heartbeat started every time, both logout functions alternating.
// Descriptors and threads end where they started and memory stays flat. The number of cycles
// (all cameras together) is IPCSDK_CHURN_CYCLES, default 200.
#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <future>

#include "camera_fixture.hpp"

using namespace testenv;

namespace {

// Address space and resident set (KiB), and the bytes the allocator has handed out and not got back.
struct Memory {
    long sizeKib = 0, residentKib = 0;
    size_t inUse = 0;
    Memory() {
        if (FILE* f = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(f, "%ld %ld", &sizeKib, &residentKib) != 2) sizeKib = residentKib = 0;
            std::fclose(f);
        }
        sizeKib *= sysconf(_SC_PAGESIZE) / 1024;
        residentKib *= sysconf(_SC_PAGESIZE) / 1024;
        const struct mallinfo2 mi = mallinfo2();
        inUse = mi.uordblks + mi.hblkhd;
    }
};

TEST(Churn, LoginLogoutCyclesLeaveNothingBehind) {
    constexpr int kCameras = 8;
    const char* env = std::getenv("IPCSDK_CHURN_CYCLES");
    const int perCamera = std::max(2, (env ? std::atoi(env) : 200) / kCameras);

    // Large buffers mapped and unmapped on their own (a fixed threshold), so that resident
    // memory follows what is in use.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    std::thread([] {}).join();
    sdk_print("churn\n");
    IPCSdkDebug("churn");
    ASSERT_EQ(IPCSdkInit(), 0u);
    std::vector<std::unique_ptr<ipcsim::Camera>> cams;
    for (int i = 0; i < kCameras; ++i) cams.push_back(start_camera(i + 1));
    const Census start;

    std::atomic<int> failures{0};
    auto cycles = [&](int first, int count) {
        std::vector<std::thread> ts;
        for (int c = 0; c < kCameras; ++c)
            ts.emplace_back([&, c] {
                for (int n = first; n < first + count; ++n) {
                    const uint32_t h = login(camera_ip(c + 1));
                    if (!is_handle(h)) {
                        failures++;
                        continue;
                    }
                    if (CreatHandlHeartBeatThread(&slot_of(h)) != 0 || StartVideoRequest(h) < 0) failures++;
                    if (n % 2)
                        DeviceLogout(h);
                    else if (IPCSdkLogout(h) != 0)
                        failures++;
                }
            });
        for (auto& t : ts) t.join();
    };
    // A first tenth settles the allocator; the rest must not grow it.
    const int warm = std::max(1, perCamera / 10);
    // The simulators keep every request they were sent: dropped before each measurement.
    auto measure = [&] {
        for (auto& c : cams) c->clearRequests();
        return Memory();
    };
    cycles(0, warm);
    const Memory m1 = measure();
    cycles(warm, perCamera - warm);
    const Memory m2 = measure();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(start.back()) << "descriptors and threads back to their start";
    // What a leak grows: the bytes in use (the resident set also holds the allocator's cache
    // of freed memory and the cached thread stacks; it is printed).
    EXPECT_LE(m2.inUse, m1.inUse + m1.inUse / 20) << "heap in use grew over " << perCamera * kCameras << " cycles";
    EXPECT_LE(m2.sizeKib, m1.sizeKib + m1.sizeKib / 20) << "address space grew";
    std::printf("cycles %d: heap in use %zu -> %zu bytes, address space %ld -> %ld KiB, resident %ld -> %ld KiB\n",
                perCamera * kCameras, m1.inUse, m2.inUse, m1.sizeKib, m2.sizeKib, m1.residentKib, m2.residentKib);
    IPCSdkUnInit();
    for (auto& c : cams) c->stop();
}

// A report callback logs its camera out; its receiver then closes its connection and ends.
// A moment later another thread logs the same camera in again, into the slot just released.
// The receiver must have stopped touching the slot when the release returned, whatever the
// timing (ThreadSanitizer sees it if it does not: nothing orders the two threads here).
std::promise<void> g_loggedOut;
int logout_from_callback(uint32_t, intptr_t handle, intptr_t, uint8_t*, uint32_t, intptr_t) {
    static std::atomic<bool> once{false};
    if (once.exchange(true)) return 0;
    IPCSdkLogout(static_cast<uint32_t>(handle));
    g_loggedOut.set_value();
    return 0;
}

TEST(Churn, ReloginAfterLogoutFromTheReportCallback) {
    ASSERT_EQ(IPCSdkInit(), 0u);
    auto cam = start_camera();
    SetReportCallbackFunc(logout_from_callback);
    const uint32_t h = login(camera_ip());
    ASSERT_TRUE(is_handle(h));
    ASSERT_TRUE(cam->waitReportConnection());
    cam->sendNumberedReports(0x1003, 1, 16);
    ASSERT_EQ(g_loggedOut.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the old receiver ends meanwhile
    const uint32_t again = login(camera_ip());
    EXPECT_EQ(again, h) << "the released slot is taken again";
    SetReportCallbackFunc(nullptr);
    if (is_handle(again)) IPCSdkLogout(again);
    IPCSdkUnInit();
    cam->stop();
}

}  // namespace
