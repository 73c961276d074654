// Recovery without a restart: a lost, late, oversized or garbled answer costs one command of
// one camera; callbacks may reconnect, log in again, start channels, run commands and log out;
// concurrent channel starts leave one receiver and nothing behind.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "bytes.hpp"
#include "camera_fixture.hpp"

using namespace testenv;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

namespace {

template <class Pred>
bool eventually(Pred p, milliseconds limit = milliseconds(10000)) {
    const auto end = Clock::now() + limit;
    while (!p()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(milliseconds(10));
    }
    return true;
}

// The record a query returns, as the camera holds it (big-endian fields): compared with what
// the command delivered, converted back by the caller where needed.
Bytes stored(ipcsim::Camera& cam, uint8_t cls, uint8_t code) { return cam.record(cls, code); }

ipcsim::Scripted late(ipcsim::Reply reply, milliseconds delay) {
    ipcsim::Scripted s;
    s.reply = reply;
    s.delay = delay;
    return s;
}

// Counts of this process's descriptors and threads, to compare after everything was released.
struct Census {
    size_t fds = count_dir("/proc/self/fd");
    size_t threads = count_dir("/proc/self/task");
    bool back() const { return count_dir("/proc/self/fd") == fds && count_dir("/proc/self/task") == threads; }
};

class Recovery : public ::testing::Test {
protected:
    virtual uint32_t netType() const { return 1; }
    void SetUp() override {
        // Process-wide diagnostics open once; a first thread lets a sanitizer start its helper.
        std::thread([] {}).join();
        sdk_print("recovery\n");
        ASSERT_EQ(IPCSdkInit(), 0u);
        cam = start_camera(0);
    }
    void TearDown() override {
        SetVideoFrameCallBack(nullptr);
        SetReportCallbackFunc(nullptr);
        SetExceptionCallBack(nullptr);
        IPCSdkUnInit();
        cam->stop();
    }
    uint32_t open() {
        LoginDeviceInfo d = device_info(camera_ip(), netType());
        LoginUserInfo u = user_info();
        const uint32_t h = IPCSdkLogin(&d, &u, 5);
        EXPECT_TRUE(is_handle(h)) << std::hex << h;
        EXPECT_TRUE(cam->waitReportConnection());
        return h;
    }
    std::unique_ptr<ipcsim::Camera> cam;
};

class RecoveryTcp : public Recovery {
protected:
    uint32_t netType() const override { return 2; }
};

// Video parameters (class 1, code 6) and camera control (class 1, code 16): two queries whose
// answers tell which request they belong to.
uint32_t video_param(uint32_t h, VideoParamRecord& r) { return IPCVideoParamGet(h, &r, 1); }
uint32_t camera_control(uint32_t h, CameraControlRecord& r) { return IPCGetCameraControlInfo(h, &r); }

// The camera's stored camera control record, as the library delivers it (fields host order).
CameraControlRecord expected_control(ipcsim::Camera& cam) {
    const Bytes wire = stored(cam, 1, 16);
    CameraControlRecord r;
    Bytes answer(16, 0);
    answer.insert(answer.end(), wire.begin(), wire.end());
    IPCUnPackCameraControlInfo(answer.data(), static_cast<uint32_t>(answer.size()), 1, &r);
    return r;
}

// Eight cameras, a thread each running queries; the network drops one answer of one camera.
void one_lost_answer_among_eight(uint32_t netType) {
    constexpr int kCameras = 8, kRounds = 6;
    std::vector<std::unique_ptr<ipcsim::Camera>> cams;
    std::vector<uint32_t> handles;
    for (int i = 0; i < kCameras; ++i) {
        cams.push_back(start_camera(i + 1));
        handles.push_back(login(camera_ip(i + 1), netType));
        ASSERT_TRUE(is_handle(handles.back()));
    }
    cams[3]->script(ipcsim::Reply::None);
    std::atomic<int> failed{0}, ok{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kCameras; ++i)
        threads.emplace_back([&, i] {
            for (int k = 0; k < kRounds; ++k) {
                VideoParamRecord r;
                const uint32_t rc = video_param(handles[i], r);
                (rc == 0 ? ok : failed).fetch_add(1);
                if (rc != 0) {
                    EXPECT_EQ(rc, IPCSDK_ERR_NET) << "camera " << i;
                }
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(failed.load(), 1);
    EXPECT_EQ(ok.load(), kCameras * kRounds - 1);
    for (uint32_t h : handles) IPCSdkLogout(h);
    EXPECT_TRUE(is_handle(login(camera_ip(1), netType))) << "logins still get their answers";
}

TEST_F(Recovery, LostAnswerAmongEightParallelCamerasCostsExactlyOneCommandUdp) { one_lost_answer_among_eight(1); }
TEST_F(Recovery, LostAnswerAmongEightParallelCamerasCostsExactlyOneCommandTcp) { one_lost_answer_among_eight(2); }

TEST_F(Recovery, LateUdpAnswerInTheNextPollingWindowIsNotTakenForItsAnswer) {
    const uint32_t h = open();
    // Answered after the 410 ms window: it lands while the next command polls, or before it sends.
    cam->script(late(ipcsim::Reply::Default, milliseconds(480)));
    VideoParamRecord v;
    EXPECT_EQ(video_param(h, v), IPCSDK_ERR_NET);
    CameraControlRecord c;
    ASSERT_EQ(camera_control(h, c), 0u);
    const CameraControlRecord want = expected_control(*cam);
    EXPECT_EQ(std::memcmp(&c, &want, sizeof c), 0) << "the camera control answer, not the late video one";
    ASSERT_EQ(video_param(h, v), 0u);
    DeviceLogout(h);
}

TEST_F(RecoveryTcp, LostAndLateTcpAnswersCostOneCommandEach) {
    const uint32_t h = open();
    VideoParamRecord v;
    CameraControlRecord c;
    const CameraControlRecord want = expected_control(*cam);
    cam->script(ipcsim::Reply::None);
    EXPECT_EQ(video_param(h, v), IPCSDK_ERR_NET);
    ASSERT_EQ(camera_control(h, c), 0u) << "the next command is not one answer behind";
    EXPECT_EQ(std::memcmp(&c, &want, sizeof c), 0);

    // The late video answer arrives while the next command still waits for its own (slow) one.
    cam->script(late(ipcsim::Reply::Default, milliseconds(2600)));
    cam->script(late(ipcsim::Reply::Default, milliseconds(800)));
    EXPECT_EQ(video_param(h, v), IPCSDK_ERR_NET);
    std::memset(&c, 0, sizeof c);
    ASSERT_EQ(camera_control(h, c), 0u);
    EXPECT_EQ(std::memcmp(&c, &want, sizeof c), 0) << "the late answer was skipped";
    ASSERT_EQ(video_param(h, v), 0u);
    DeviceLogout(h);
}

TEST_F(RecoveryTcp, OversizedGarbledAndPartialTcpAnswersLeaveNothingForTheNextCommand) {
    const uint32_t h = open();
    const CameraControlRecord want = expected_control(*cam);
    Bytes huge(16 + (1u << 20), 0);  // a video parameter echo claiming 1 MiB of payload
    huge[0] = 0x5B;
    huge[1] = 0x5A;
    huge[2] = 1;
    huge[3] = 1;
    huge[4] = 6;
    huge[13] = 0x10;
    ipcsim::Scripted raw;
    raw.reply = ipcsim::Reply::Raw;
    raw.raw = huge;
    ipcsim::Scripted garbage;
    garbage.reply = ipcsim::Reply::Garbage;
    garbage.shortLength = 20 * 1024;
    ipcsim::Scripted partial;
    partial.reply = ipcsim::Reply::Short;
    partial.shortLength = 3;
    for (const ipcsim::Scripted& bad : {raw, garbage, partial}) {
        cam->script(bad);
        VideoParamRecord v;
        EXPECT_NE(video_param(h, v), 0u);
        for (int k = 0; k < 2; ++k) {
            CameraControlRecord c{};
            ASSERT_EQ(camera_control(h, c), 0u) << "after reply kind " << static_cast<int>(bad.reply);
            EXPECT_EQ(std::memcmp(&c, &want, sizeof c), 0);
        }
    }
    DeviceLogout(h);
}

// ---- callbacks --------------------------------------------------------------------------

std::atomic<uint32_t> g_handle{0};
std::atomic<int> g_reports{0}, g_frames{0}, g_disconnects{0};
std::atomic<int64_t> g_result{1};

int count_report(uint32_t, intptr_t, intptr_t, uint8_t*, uint32_t, intptr_t) {
    g_reports.fetch_add(1);
    return 0;
}
int count_frame(uint32_t, uint8_t*) {
    g_frames.fetch_add(1);
    return 0;
}

TEST_F(Recovery, ReconnectFromTheDisconnectionCallbackDeliversTheNextReports) {
    g_handle = open();
    g_reports = 0;
    g_disconnects = 0;
    SetReportCallbackFunc(count_report);
    SetExceptionCallBack([](uint32_t, uint32_t h, uintptr_t) {
        g_disconnects.fetch_add(1);
        g_result = StartDataReport(h);
        return 0;
    });
    for (int round = 1; round <= 3; ++round) {
        cam->closeReportChannels();
        ASSERT_TRUE(eventually([&] { return g_disconnects == round && cam->reportConnections() == 1; }));
        EXPECT_GT(g_result.load(), 0);
        cam->sendReport(0x1003, pattern(8));
        ASSERT_TRUE(eventually([&] { return g_reports == round; })) << "round " << round;
    }
    EXPECT_EQ(IPCSdkLogout(g_handle), 0u);
}

TEST_F(Recovery, ReloginFromTheDisconnectionCallbackHasALiveReportChannel) {
    const Census before;
    g_handle = open();
    g_reports = 0;
    SetReportCallbackFunc(count_report);
    g_result = 1;
    SetExceptionCallBack([](uint32_t, uint32_t h, uintptr_t) {
        DeviceLogout(h);
        g_handle = login(camera_ip());
        g_result = 0;
        return 0;
    });
    cam->closeReportChannels();
    ASSERT_TRUE(eventually([&] { return g_result == 0 && cam->reportConnections() == 1; }));
    ASSERT_TRUE(is_handle(g_handle)) << std::hex << g_handle;
    EXPECT_EQ(cam->loginCount(), 2);
    EXPECT_NE(peek(g_DevManage[g_handle - IPCSDK_HANDLE_BASE].reportSocket), -1);
    cam->sendReport(0x1003, pattern(8));
    ASSERT_TRUE(eventually([&] { return g_reports == 1; }));
    SetExceptionCallBack(nullptr);
    EXPECT_EQ(IPCSdkLogout(g_handle), 0u);
    EXPECT_TRUE(eventually([&] { return before.back(); }, seconds(5))) << "nothing left of either login";
}

TEST_F(Recovery, ReportCallbackStartsVideoRunsCommandsAndLogsOut) {
    g_handle = open();
    g_frames = 0;
    g_result = 1;
    SetVideoFrameCallBack(count_frame);
    SetReportCallbackFunc([](uint32_t type, intptr_t, intptr_t, uint8_t*, uint32_t, intptr_t) {
        const uint32_t h = g_handle;
        if (type == 0x1003) {
            g_result = StartVideoRequest(h);
            VideoParamRecord v;
            if (g_result == 0) g_result = video_param(h, v);
        } else if (type == 0x1004) {
            g_result = IPCSdkLogout(h);
        }
        return 0;
    });
    cam->sendReport(0x1003, pattern(8));
    ASSERT_TRUE(eventually([] { return g_result != 1; }));
    EXPECT_EQ(g_result.load(), 0) << "video started and the command ran from the report callback";
    ASSERT_TRUE(cam->waitVideoConnection());
    cam->sendVideoRaw(ipcsim::Camera::videoFrame(pattern(100)));
    EXPECT_TRUE(eventually([] { return g_frames == 1; }));
    VideoParamRecord v;
    EXPECT_EQ(video_param(g_handle, v), 0u) << "the camera's semaphore was given back";

    const Census whileLoggedIn;
    g_result = 1;
    cam->sendReport(0x1004, pattern(8));
    ASSERT_TRUE(eventually([] { return g_result != 1; }));
    EXPECT_EQ(g_result.load(), 0) << "logout from the camera's own report callback returned";
    EXPECT_TRUE(eventually([&] { return peek(g_DevManage[g_handle - IPCSDK_HANDLE_BASE].inUse) == 0; }));
    EXPECT_LT(count_dir("/proc/self/task"), whileLoggedIn.threads);
}

TEST_F(Recovery, ConcurrentChannelStartsKeepOneReceiverAndLeakNothing) {
    const Census before;
    const uint32_t h = open();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([h, t] {
            for (int k = 0; k < 12; ++k) {
                if ((k + t) % 3 == 0) StopVideoRequest(h);
                EXPECT_GE(StartVideoRequest(h), 0);
                EXPECT_GT(StartDataReport(h), 0);
            }
        });
    for (auto& t : threads) t.join();
    ASSERT_TRUE(eventually([&] { return cam->videoConnections() == 1 && cam->reportConnections() == 1; }))
        << cam->videoConnections() << " video, " << cam->reportConnections() << " report connections";
    SetReportCallbackFunc(count_report);
    g_reports = 0;
    cam->sendReport(0x1003, pattern(8));
    EXPECT_TRUE(eventually([] { return g_reports == 1; })) << "exactly one receiver delivers it";
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(g_reports.load(), 1);
    EXPECT_EQ(IPCSdkLogout(h), 0u);
    EXPECT_TRUE(eventually([&] { return before.back(); }, seconds(5)));
}

TEST_F(Recovery, LogoutWithChannelsAndHeartbeatReturnsWithoutTheIdlePause) {
    const Census before;
    const uint32_t h = open();
    ASSERT_EQ(StartVideoRequest(h), 0);
    ASSERT_EQ(CreatHandlHeartBeatThread(&g_DevManage[h - IPCSDK_HANDLE_BASE]), 0);
    const auto t0 = Clock::now();
    EXPECT_EQ(IPCSdkLogout(h), 0u);
    EXPECT_LT(Clock::now() - t0, milliseconds(2500)) << "no 3-second sleep";
    EXPECT_TRUE(eventually([&] { return before.back(); }, seconds(5)));
    EXPECT_EQ(IPCSdkLogout(h), IPCSDK_ERR_BAD_HANDLE);
}

TEST_F(Recovery, HeartbeatOnAnEntryNotInUseEndsAtOnce) {
    const Census before;
    EXPECT_EQ(CreatHandlHeartBeatThread(&g_DevManage[200]), 0);
    EXPECT_TRUE(eventually([&] { return before.back(); }, seconds(5)));
    EXPECT_EQ(CreatHandlHeartBeatThread(nullptr), -1);
}

}  // namespace
