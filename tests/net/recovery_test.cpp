// Recovery without a restart: a lost, late, oversized or garbled answer costs one command of
// one camera; callbacks may reconnect, log in again, start channels, run commands and log out;
// concurrent channel starts leave one receiver and nothing behind; login/logout churn leaves
// descriptors, threads and memory where they started.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>

#include "camera_fixture.hpp"

using namespace testenv;
using namespace std::chrono_literals;

namespace {

class Recovery : public ::testing::Test {
protected:
    void SetUp() override {
        std::thread([] {}).join();  // diagnostics and a sanitizer's helper thread start before any census
        sdk_print("recovery\n");
        ASSERT_EQ(IPCSdkInit(), 0u);
        cam = start_camera(0);
    }
    void TearDown() override {
        SetVideoFrameCallBack(nullptr), SetReportCallbackFunc(nullptr), SetExceptionCallBack(nullptr);
        IPCSdkUnInit();
        cam->stop();
    }
    uint32_t open(uint32_t netType = 1) {
        const uint32_t h = login(camera_ip(), netType);
        EXPECT_TRUE(is_handle(h)) << std::hex << h;
        EXPECT_TRUE(cam->wait_report_connection());
        return h;
    }
    std::unique_ptr<ipcsim::Camera> cam;
};
using Churn = Recovery;

// Video parameters (class 1, code 6) and camera control (class 1, code 16): queries whose answers
// tell which request they belong to. control_answered: the camera's own stored record arrived.
uint32_t video_param(uint32_t h) { VideoParamRecord r; return IPCVideoParamGet(h, &r, 1); }
bool control_answered(ipcsim::Camera& cam, uint32_t h) {
    Bytes answer = cat({Bytes(16, 0), cam.record(1, 16)});
    CameraControlRecord want, got{};
    IPCUnPackCameraControlInfo(answer.data(), static_cast<uint32_t>(answer.size()), 1, &want);
    return IPCGetCameraControlInfo(h, &got) == 0 && std::memcmp(&got, &want, sizeof got) == 0;
}

std::atomic<uint32_t> g_pair[2];
std::atomic<int> g_entered{0}, g_returned{0};

// Eight cameras, UDP and TCP alternating, a thread each running queries; the network drops one
// answer of a UDP camera and one of a TCP camera: each costs its own camera one command. Then the
// report callbacks of two cameras command each other's camera while both dispatches hold their
// own camera's semaphore: the waits are bounded, so both return and both cameras go on.
TEST_F(Recovery, ALostAnswerAmongEightParallelCamerasCostsOneCommandAndCrossedCallbacksNeverDeadlock) {
    constexpr int kCameras = 8, kRounds = 6;
    std::vector<std::unique_ptr<ipcsim::Camera>> cams;
    std::vector<uint32_t> handles;
    for (int i = 0; i < kCameras; ++i) {
        cams.push_back(start_camera(i + 1));
        handles.push_back(login(camera_ip(i + 1), 1 + i % 2));
        ASSERT_TRUE(is_handle(handles.back()));
    }
    cams[2]->script(ipcsim::Reply::None), cams[5]->script(ipcsim::Reply::None);  // UDP, TCP
    std::vector<int> failures(kCameras, 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < kCameras; ++i)
        threads.emplace_back([&, i] {
            for (int k = 0; k < kRounds; ++k) {
                const uint32_t rc = video_param(handles[i]);
                failures[i] += rc != 0;
                EXPECT_TRUE(rc == 0 || rc == IPCSDK_ERR_NET) << "camera " << i << ": " << std::hex << rc;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures, (std::vector<int>{0, 0, 1, 0, 0, 1, 0, 0}));

    g_pair[0] = handles[0], g_pair[1] = handles[1];
    ASSERT_TRUE(cams[0]->wait_report_connection() && cams[1]->wait_report_connection());
    SetReportCallbackFunc([](uint32_t, intptr_t h, intptr_t, uint8_t*, uint32_t, intptr_t) {
        g_entered.fetch_add(1);
        for (int i = 0; i < 500 && g_entered < 2; ++i) std::this_thread::sleep_for(10ms);
        video_param(static_cast<uint32_t>(h) == g_pair[0] ? g_pair[1] : g_pair[0]);
        g_returned.fetch_add(1);
        return 0;
    });
    cams[0]->send_report(0x1003, pattern(8)), cams[1]->send_report(0x1003, pattern(8));
    ASSERT_TRUE(eventually([] { return g_returned == 2; }, 30s));
    SetReportCallbackFunc(nullptr);
    EXPECT_EQ(std::pair(video_param(g_pair[0]), video_param(g_pair[1])), std::pair(0u, 0u));
    for (uint32_t h : handles) IPCSdkLogout(h);
    EXPECT_TRUE(is_handle(login(camera_ip(3), 1)) && is_handle(login(camera_ip(6), 2))) << "logins still get their answers";
}

// The data answer of a query as the camera sends it: header, then the stored record.
Bytes echo(ipcsim::Camera& cam, uint8_t cls, uint8_t code) {
    const Bytes record = cam.record(cls, code);
    const size_t n = record.size();
    return cat({{0x5B, 0x5A, 1, cls, code, 0, 0, 0, 0, 0, 0, 0, 0, 0, uint8_t(n >> 8), uint8_t(n)}, record});
}

TEST_F(Recovery, UdpAnswersFromStrangersOrTooLateAreNotTakenForTheAnswer) {
    const uint32_t h = open();
    sockaddr_in library{};
    socklen_t len = sizeof library;
    ASSERT_EQ(getsockname(peek(slot_of(h).cmdSocket), reinterpret_cast<sockaddr*>(&library), &len), 0);
    library.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // The next request goes unanswered; one of this code makes b arrive at the library from ip.
    auto inject = [&](uint8_t code, const std::string& ip, const Bytes& b) {
        cam->on_request([=, &library](const ipcsim::Request& r) {
            if (r.code != code) return;
            const int s = socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in from{};
            from.sin_family = AF_INET;
            inet_pton(AF_INET, ip.c_str(), &from.sin_addr);
            bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from);
            sendto(s, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&library), sizeof library);
            close(s);
        });
        cam->script(ipcsim::Reply::None);
    };
    // Another host's datagram shaped like the awaited answer is ignored.
    inject(6, "127.0.0.1", echo(*cam, 1, 6));
    EXPECT_EQ(video_param(h), IPCSDK_ERR_NET);
    // The video answer, lost for its own command, turns up just before the camera control answer.
    inject(16, camera_ip(), echo(*cam, 1, 6));
    EXPECT_EQ(video_param(h), IPCSDK_ERR_NET);
    EXPECT_TRUE(control_answered(*cam, h)) << "the camera control answer, not the late video one";
    // While a late answer is expected, an ack or nak of another command's code is skipped too.
    inject(16, camera_ip(), {0x5B, 0x5A, 1, 0x7A, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(video_param(h), IPCSDK_ERR_NET);
    EXPECT_TRUE(control_answered(*cam, h)) << "the camera control answer, not the ack of code 6";
    cam->on_request(nullptr);
    // An answered command ends the expectation: the next unfitting answer is that command's.
    cam->script(ipcsim::Reply::None);
    EXPECT_EQ(video_param(h), IPCSDK_ERR_NET);
    ASSERT_EQ(video_param(h), 0u);
    cam->script(ipcsim::Scripted{ipcsim::Reply::OtherCode, {1, 2, 3, 4}});
    EXPECT_EQ(video_param(h), IPCSDK_ERR_REFUSED) << "taken and refused, not skipped as a late answer";
    DeviceLogout(h);
}

TEST_F(Recovery, LostLateOversizedGarbledAndPartialTcpAnswersCostOneCommandEach) {
    const uint32_t h = open(2);
    cam->script(ipcsim::Reply::None);
    EXPECT_EQ(video_param(h), IPCSDK_ERR_NET);
    EXPECT_TRUE(control_answered(*cam, h)) << "the next command is not one answer behind";

    // The late video answer arrives on the stream just before the next command's own answer.
    cam->script(ipcsim::Reply::None);
    EXPECT_EQ(video_param(h), IPCSDK_ERR_NET);
    cam->script(ipcsim::Scripted{ipcsim::Reply::Raw, {}, cat({echo(*cam, 1, 6), echo(*cam, 1, 16)})});
    EXPECT_TRUE(control_answered(*cam, h)) << "the late answer was skipped";
    ASSERT_EQ(video_param(h), 0u);

    // An answer that trickles in over 300 ms is read whole.
    cam->script(ipcsim::Scripted{ipcsim::Reply::Default, {}, {}, 0, {}, 1, false, 4, 100ms});
    EXPECT_EQ(video_param(h), 0u);
    EXPECT_TRUE(control_answered(*cam, h));

    Bytes huge(16 + (1u << 20), 0);  // a video parameter echo claiming 1 MiB of payload
    huge[0] = 0x5B, huge[1] = 0x5A, huge[2] = 1, huge[3] = 1, huge[4] = 6, huge[13] = 0x10;
    using R = ipcsim::Reply;
    const std::vector<ipcsim::Scripted> bads{{R::Raw, {}, huge}, {R::Garbage, {}, {}, 20 * 1024}, {R::Short, {}, {}, 3}};
    for (const ipcsim::Scripted& bad : bads) {
        cam->script(bad);
        EXPECT_NE(video_param(h), 0u);
        for (int k = 0; k < 2; ++k) EXPECT_TRUE(control_answered(*cam, h)) << "after reply kind " << static_cast<int>(bad.reply);
    }
    DeviceLogout(h);
}

// ---- callbacks --------------------------------------------------------------------------

std::atomic<uint32_t> g_handle{0};
std::atomic<int> g_reports{0}, g_frames{0}, g_disconnects{0};
std::atomic<int64_t> g_result{1}, g_restart{1};

TEST_F(Recovery, ReconnectAndReloginFromTheDisconnectionCallback) {
    const Census before;
    g_handle = open();
    SetReportCallbackFunc([](uint32_t, intptr_t, intptr_t, uint8_t*, uint32_t, intptr_t) { return g_reports.fetch_add(1), 0; });
    SetExceptionCallBack([](uint32_t, uint32_t h, uintptr_t) { return g_disconnects.fetch_add(1), g_result = StartDataReport(h), 0; });
    for (int round = 1; round <= 3; ++round) {
        round == 2 ? cam->reset_report_channels() : cam->close_report_channels();
        ASSERT_TRUE(eventually([&] { return g_disconnects == round && cam->report_connections() == 1; }));
        EXPECT_GT(g_result.load(), 0);
        cam->send_report(0x1003, pattern(8));
        ASSERT_TRUE(eventually([&] { return g_reports == round; })) << "round " << round;
    }
    // A stop while the receiver reads is no disconnection.
    EXPECT_EQ(StopDataReport(g_handle), 0u);
    EXPECT_TRUE(eventually([&] { return peek(slot_of(g_handle).reportSocket) == -1; }));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(g_disconnects, 3);
    ASSERT_GT(StartDataReport(g_handle), 0);
    ASSERT_TRUE(eventually([&] { return cam->report_connections() == 1; }));
    g_result = 1;
    SetExceptionCallBack([](uint32_t, uint32_t h, uintptr_t) {
        DeviceLogout(h);
        g_handle = login(camera_ip());
        g_result = 0;
        return 0;
    });
    cam->close_report_channels();
    ASSERT_TRUE(eventually([&] { return g_result == 0 && cam->report_connections() == 1; }));
    ASSERT_TRUE(is_handle(g_handle)) << std::hex << g_handle;
    EXPECT_EQ(cam->login_count(), 2);
    EXPECT_NE(peek(slot_of(g_handle).reportSocket), -1);
    cam->send_report(0x1003, pattern(8));
    ASSERT_TRUE(eventually([&] { return g_reports == 4; }));
    SetExceptionCallBack(nullptr);
    EXPECT_EQ(IPCSdkLogout(g_handle), 0u);
    EXPECT_TRUE(before.back()) << "nothing left of any login or receiver";
}

TEST_F(Recovery, CallbacksStartAndRestartVideoRunCommandsAndLogOut) {
    g_handle = open();
    SetVideoFrameCallBack([](uint32_t h, uint8_t*) {
        if (g_frames.fetch_add(1) == 0) g_restart = StartVideoRequest(h);  // supersedes this very receiver
        return 0;
    });
    SetReportCallbackFunc([](uint32_t type, intptr_t, intptr_t, uint8_t*, uint32_t, intptr_t) {
        const uint32_t h = g_handle;
        if (type == 0x1003) {
            g_result = StartVideoRequest(h);
            if (g_result == 0) g_result = video_param(h);
        } else if (type == 0x1004) {
            g_result = IPCSdkLogout(h);
        }
        return 0;
    });
    cam->send_report(0x1003, pattern(8));
    ASSERT_TRUE(eventually([] { return g_result != 1; }));
    EXPECT_EQ(g_result.load(), 0) << "video started and the command ran from the report callback";
    ASSERT_TRUE(cam->wait_video_connection());
    cam->send_video_raw(ipcsim::Camera::video_frame(pattern(100)));
    ASSERT_TRUE(eventually([] { return g_restart != 1; }));
    EXPECT_EQ(g_restart.load(), 0);
    EXPECT_TRUE(eventually([&] { return cam->video_connections_opened() == 2 && cam->video_connections() == 1; }))
        << "the new connection is the only one: the old one is closed";
    cam->send_video_raw(ipcsim::Camera::video_frame(pattern(20)));
    EXPECT_TRUE(eventually([] { return g_frames == 2; })) << "the new receiver delivers";
    EXPECT_EQ(video_param(g_handle), 0u) << "the camera's semaphore was given back";

    const Census whileLoggedIn;
    g_result = 1;
    cam->send_report(0x1004, pattern(8));
    ASSERT_TRUE(eventually([] { return g_result != 1; }));
    EXPECT_EQ(g_result.load(), 0) << "logout from the camera's own report callback returned";
    EXPECT_TRUE(eventually([&] { return peek(slot_of(g_handle).inUse) == 0; }));
    EXPECT_LT(count_dir("/proc/self/task"), whileLoggedIn.threads);
}

TEST_F(Recovery, ConcurrentChannelStartsKeepOneReceiverAndLeakNothing) {
    const Census before;
    const uint32_t h = open();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([h, t] {
            for (int k = 0; k < 25; ++k) {
                if ((k + t) % 3 == 0) StopVideoRequest(h);
                EXPECT_GE(StartVideoRequest(h), 0);
                EXPECT_GT(StartDataReport(h), 0);
            }
        });
    for (auto& t : threads) t.join();
    ASSERT_TRUE(eventually([&] { return cam->video_connections() == 1 && cam->report_connections() == 1; }));
    // A report sent while a superseded connection was still closing may be lost with it: send
    // numbered reports until one arrives; none may arrive twice.
    static std::atomic<int> got[50], total{0};
    SetReportCallbackFunc([](uint32_t, intptr_t, intptr_t, uint8_t* body, uint32_t len, intptr_t) {
        if (len && body[0] < 50) got[body[0]]++, total++;
        return 0;
    });
    for (uint8_t k = 1; k < 50 && total == 0; ++k) {
        cam->send_report(0x1003, Bytes(4, k));
        eventually([&] { return total > 0; }, 200ms);
    }
    std::this_thread::sleep_for(300ms);
    ASSERT_GT(total.load(), 0);
    for (auto& n : got) EXPECT_LE(n.load(), 1) << "one receiver, no duplicates";
    EXPECT_EQ(IPCSdkLogout(h), 0u);
    EXPECT_TRUE(before.back());
}

// ---- churn ----------------------------------------------------------------------------

// Address space and resident set (KiB), and the bytes the allocator has handed out and not got back.
struct Memory {
    long sizeKib = 0, residentKib = 0;
    size_t inUse = mallinfo2().uordblks + mallinfo2().hblkhd;
    Memory() {
        std::ifstream("/proc/self/statm") >> sizeKib >> residentKib;
        sizeKib *= sysconf(_SC_PAGESIZE) / 1024, residentKib *= sysconf(_SC_PAGESIZE) / 1024;
    }
};

// Eight cameras logged in and out in parallel, channels and heartbeat started each time, both
// logout functions alternating; IPCSDK_CHURN_CYCLES cycles in all (default 200).
TEST_F(Churn, LoginLogoutCyclesLeaveNothingBehind) {
    constexpr int kCameras = 8;
    const char* env = std::getenv("IPCSDK_CHURN_CYCLES");
    const int perCamera = std::max(2, (env ? std::atoi(env) : 200) / kCameras);
    IPCSdkDebug("churn");
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
                    if (!is_handle(h) || CreatHandlHeartBeatThread(&slot_of(h)) != 0 || StartVideoRequest(h) < 0) failures++;
                    if (!is_handle(h)) continue;
                    if (n % 2) DeviceLogout(h);
                    else if (IPCSdkLogout(h) != 0) failures++;
                }
            });
        for (auto& t : ts) t.join();
    };
    // A first tenth settles the allocator; the rest must not grow it.
    const int warm = std::max(1, perCamera / 10);
    // The simulators keep every request they were sent: dropped before each measurement.
    auto measure = [&] { for (auto& c : cams) c->clear_requests(); return Memory(); };
    const Memory m0 = measure();
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
    // Buffers freed to the heap would stay resident after the logouts (here about 15 MiB more).
    if (!kSanitized) {
        EXPECT_LE(m2.residentKib, m0.residentKib + 6 * 1024) << "resident memory stayed up after the logouts";
    }
    std::printf("cycles %d: heap in use %zu -> %zu bytes, address space %ld -> %ld KiB, resident %ld -> %ld -> %ld KiB\n",
                perCamera * kCameras, m1.inUse, m2.inUse, m1.sizeKib, m2.sizeKib, m0.residentKib, m1.residentKib,
                m2.residentKib);
    for (auto& c : cams) c->stop();
}

// A report callback logs its camera out; its receiver then closes its connection and ends.
// A moment later another thread logs the same camera in again, into the slot just released.
// The receiver must have stopped touching the slot when the release returned, whatever the
// timing (ThreadSanitizer sees it if it does not: nothing orders the two threads here).
std::promise<void> g_loggedOut;
std::atomic<bool> g_once{false};

TEST_F(Churn, ReloginAfterLogoutFromTheReportCallback) {
    SetReportCallbackFunc([](uint32_t, intptr_t h, intptr_t, uint8_t*, uint32_t, intptr_t) {
        if (!g_once.exchange(true)) IPCSdkLogout(static_cast<uint32_t>(h)), g_loggedOut.set_value();
        return 0;
    });
    const uint32_t h = login(camera_ip());
    ASSERT_TRUE(is_handle(h));
    ASSERT_TRUE(cam->wait_report_connection());
    cam->send_numbered_reports(0x1003, 1, 16);
    ASSERT_EQ(g_loggedOut.get_future().wait_for(10s), std::future_status::ready);
    std::this_thread::sleep_for(300ms);  // the old receiver ends meanwhile
    const uint32_t again = login(camera_ip());
    EXPECT_EQ(again, h) << "the released slot is taken again";
}

}  // namespace
