// Many cameras streaming video and reports while host threads send commands and one thread
// logs cameras out and in again. Run under ThreadSanitizer in CI; the duration is
// IPCSDK_STRESS_SECONDS (default 8).
#include <dirent.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "bytes.hpp"
#include "camera_fixture.hpp"

using namespace testenv;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

namespace {

std::atomic<uint64_t> g_frames{0}, g_reports{0};
int count_frame(uint32_t, uint8_t*) {
    g_frames.fetch_add(1, std::memory_order_relaxed);
    return 0;
}
int count_report(uint32_t, intptr_t, intptr_t, uint8_t*, uint32_t, intptr_t) {
    g_reports.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

TEST(Stress, CommandsChannelsAndReloginsTogether) {
    constexpr int kCameras = 16;
    const char* env = std::getenv("IPCSDK_STRESS_SECONDS");
    const auto duration = std::chrono::seconds(env ? std::atoi(env) : 8);

    // The trace file and the debug socket live as long as the process: open them first. A
    // first thread lets a sanitizer start its own helper thread before the count.
    std::thread([] {}).join();
    sdk_print("stress test\n");
    IPCSdkDebug("stress test");
    const size_t fdsBefore = count_dir("/proc/self/fd");
    const size_t threadsBefore = count_dir("/proc/self/task");
    ASSERT_EQ(IPCSdkInit(), 0u);
    SetVideoFrameCallBack(count_frame);
    SetReportCallbackFunc(count_report);
    std::vector<std::unique_ptr<ipcsim::Camera>> cams;
    for (int i = 0; i < kCameras; ++i) {
        ipcsim::Config c;
        c.framesPerSecond = 50;
        c.frameBytes = 2048;
        c.keepaliveSeconds = 1;
        cams.push_back(start_camera(i + 1, c));
    }

    std::vector<std::atomic<uint32_t>> handles(kCameras);
    auto bring_up = [&](int i) {
        // One transport for all: the most recent login decides it for the whole process.
        const uint32_t h = login(camera_ip(i + 1), 1);
        if (!is_handle(h)) return false;
        StartVideoRequest(h);
        CreatHandlHeartBeatThread(&g_DevManage[h - IPCSDK_HANDLE_BASE]);
        VideoStartInfo start{};
        IPCStartVideo(h, &start);
        handles[i] = h;
        return true;
    };
    for (int i = 0; i < kCameras; ++i) ASSERT_TRUE(bring_up(i)) << i;

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> commands{0}, relogins{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(t));
            while (!stop) {
                const uint32_t h = handles[rng() % kCameras];
                VideoParamRecord r[2];
                switch (rng() % 4) {
                case 0: IPCVideoParamGet(h, r, 2); break;
                case 1: IPCVideoParamSet(h, r, 1); break;
                case 2: IPCSendHeartBeat(h); break;
                default: {
                    uint8_t out[256];
                    GpsInfoRequest g{};
                    IPCGpsInfo(h, &g, 1, out, sizeof out, 1);
                }
                }
                commands.fetch_add(1);
            }
        });
    }
    workers.emplace_back([&] {
        std::mt19937 rng(99);
        while (!stop) {
            const int i = static_cast<int>(rng() % kCameras);
            const uint32_t h = handles[i].exchange(0);
            if (!h) continue;
            if (rng() % 2)
                DeviceLogout(h);
            else
                IPCSdkLogout(h);
            while (!stop && !bring_up(i)) std::this_thread::sleep_for(milliseconds(50));
            relogins.fetch_add(1);
        }
    });
    std::this_thread::sleep_for(duration);
    stop = true;
    for (auto& w : workers) w.join();

    for (auto& h : handles)
        if (uint32_t v = h.exchange(0)) DeviceLogout(v);
    IPCSdkUnInit();
    SetVideoFrameCallBack(nullptr);
    SetReportCallbackFunc(nullptr);

    for (auto& c : cams) c->stop();
    EXPECT_GT(commands.load(), 0u);
    EXPECT_GT(relogins.load(), 0u);
    EXPECT_GT(g_frames.load(), 0u);
    EXPECT_GT(g_reports.load(), 0u);
    EXPECT_EQ(count_dir("/proc/self/fd"), fdsBefore) << "every socket of every camera closed";
    // A detached thread that has signed off may take a moment to leave the task list.
    for (int i = 0; i < 200 && count_dir("/proc/self/task") != threadsBefore; ++i)
        std::this_thread::sleep_for(milliseconds(10));
    EXPECT_EQ(count_dir("/proc/self/task"), threadsBefore) << "every library thread gone";
    std::printf("commands %llu, relogins %llu, frames %llu, reports %llu\n",
                static_cast<unsigned long long>(commands.load()), static_cast<unsigned long long>(relogins.load()),
                static_cast<unsigned long long>(g_frames.load()), static_cast<unsigned long long>(g_reports.load()));
}

}  // namespace
