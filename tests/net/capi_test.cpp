// Login, the command exchange, channels and callbacks against the simulated camera; login churn.
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
using Clock = std::chrono::steady_clock;

namespace {

// The library and a camera on camera_ip(0).
class Login : public ::testing::Test {
protected:
    void SetUp() override {
        std::thread([] {}).join();  // diagnostics and a sanitizer's helper thread start before any census
        sdk_print("login\n");
        ASSERT_EQ(IPCSdkInit(), 0u);
        cam = start_camera(0);
    }
    void TearDown() override {
        SetVideoFrameCallBack(nullptr), SetReportCallbackFunc(nullptr), SetExceptionCallBack(nullptr), IPCSdkUnInit();
        cam->stop();
    }
    std::unique_ptr<ipcsim::Camera> cam;
};
using Recovery = Login;
using Churn = Login;

// Queries whose answers tell which request they belong to: video parameters (1, 6), camera control (1, 16).
uint32_t video_param(uint32_t h) { VideoParamRecord r; return IPCVideoParamGet(h, &r, 1); }
bool control_answered(ipcsim::Camera& cam, uint32_t h) {
    Bytes answer = cat({Bytes(16, 0), cam.record(1, 16)});
    CameraControlRecord want, got{};
    IPCUnPackCameraControlInfo(answer.data(), static_cast<uint32_t>(answer.size()), 1, &want);
    return IPCGetCameraControlInfo(h, &got) == 0 && std::memcmp(&got, &want, sizeof got) == 0;
}

// The data answer of a query as the camera sends it: header, then the stored record.
Bytes echo(ipcsim::Camera& cam, uint8_t cls, uint8_t code) {
    const Bytes record = cam.record(cls, code);
    const size_t n = record.size();
    return cat({{0x5B, 0x5A, 1, cls, code, 0, 0, 0, 0, 0, 0, 0, 0, 0, uint8_t(n >> 8), uint8_t(n)}, record});
}

// Refusals leave every slot free; a login's payload and slot; forced exit, logout, a full table, uninit.
TEST_F(Login, RefusalsPayloadForcedExitLogoutLastSlotAndUninitialiseUnderRunningChannels) {
    StdoutCapture out;
    EXPECT_EQ(login(camera_ip(), 1, "admin", "wrong"), 0x80001005u);
    EXPECT_NE(out.text().find("Username or password entered is incorrect!\n"), std::string::npos);
    EXPECT_EQ(cam->login_count(), 0);
    LoginDeviceInfo d = device_info(camera_ip(), 7);
    LoginUserInfo u = user_info();
    EXPECT_EQ(IPCSdkLogin(&d, &u, 1), 0x80001008u);
    EXPECT_EQ(g_SdkNetMode, 7);
    EXPECT_NE(out.text().find("ipc sdk net type(7) error!!\n"), std::string::npos);
    d = device_info(camera_ip(), 2, 5999);  // TCP to a port nobody listens on
    EXPECT_EQ(IPCSdkLogin(&d, &u, 2), 0x80001008u);
    EXPECT_EQ(g_SocketInitFlag, -1);
    EXPECT_NE(out.text().find("ERROR:Tcp connect to (0x"), std::string::npos);

    // 135 bytes is too short; 136 bytes with status 200 is a login, with status 500 0 (no handle).
    auto answered = [&](const Bytes& raw) {
        return cam->script(ipcsim::Scripted{ipcsim::Reply::Raw, {}, raw}), login(camera_ip());
    };
    Bytes answer(136, 0);
    answer[0] = 0x5B, answer[1] = 0x5A, answer[2] = 1, answer[15] = 120, answer[23] = 200;
    Bytes shortAnswer(answer.begin(), answer.end() - 1);
    shortAnswer[15] = 119;
    EXPECT_EQ(answered(shortAnswer), 0x80001007u);
    const uint32_t accepted = answered(answer);
    EXPECT_TRUE(is_handle(accepted));
    DeviceLogout(accepted);
    answer[22] = 0x01, answer[23] = 0xF4;
    EXPECT_EQ(answered(answer), 0u);
    // A 16-byte nak is too short to be an answer; a full-size answer of another kind is a refusal.
    cam->script(ipcsim::Reply::Nak);
    EXPECT_EQ(login(camera_ip()), 0x80001007u);
    for (uint8_t kind : {0x7C, 0x7A, 3}) {
        answer[3] = kind;
        EXPECT_EQ(answered(answer), 0x80002002u) << int(kind);
    }
    for (const auto& s : g_DevManage) EXPECT_EQ(s.inUse, 0u);

    IPCSdkUnInit();
    EXPECT_EQ(login(camera_ip()), 0x80001002u);
    ASSERT_EQ(IPCSdkInit(), 0u);
    EXPECT_EQ(IPCSdkInit(), 0x80001001u);
    EXPECT_EQ(std::pair(IPCSdkLogin(nullptr, &u, 1), IPCSdkLogin(&d, nullptr, 1)), std::pair(0x80002001u, 0x80002001u));

    d = device_info(camera_ip(), 1), u = user_info("admin", "admin");
    u.loginWord1 = 0x11111111;
    std::memset(u.rest, 0x5C, sizeof u.rest);
    cam->clear_requests();
    const uint32_t h = IPCSdkLogin(&d, &u, 5);
    EXPECT_EQ(h, 0x1023000u) << "slot index plus base";
    const auto req = cam->wait_request(0, 0);
    ASSERT_TRUE(req);
    const auto& f = req->frame;
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 16), (Bytes{0x5B, 0x5A, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xA0}));
    const auto p = req->payload();
    ASSERT_EQ(p.size(), 160u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.data())), "admin");
    const std::string digest = ipcsim::credential_digest("admin", "admin");
    EXPECT_EQ(std::string(p.begin() + 32, p.begin() + 64), digest);
    EXPECT_EQ(Bytes(p.begin() + 64, p.begin() + 96), Bytes(32, 0));
    EXPECT_EQ(Bytes(p.begin() + 96, p.end()), Bytes(64, 0x5C));
    EXPECT_EQ(std::string(u.password, 32), digest) << "the caller's record holds the digest now";
    EXPECT_EQ(u.loginWord1, 0u);
    const DeviceSlot& s = g_DevManage[0];
    EXPECT_EQ(std::tuple(s.inUse, s.loggedIn, s.netType, s.snapWord1, s.reportLen1004), std::tuple(1u, 1, 1u, 256u, 2097152u));
    EXPECT_EQ(s.deviceAddr, inet_addr(camera_ip().c_str()));
    EXPECT_TRUE(cam->wait_report_connection()) << "login opens the report channel on acceptance";

    // Same address again: refused before any socket is opened.
    const size_t before = cam->requests().size();
    EXPECT_EQ(std::pair(login(camera_ip()), login("0.0.0.0")), std::pair(0x80001003u, 0x80001003u));
    EXPECT_EQ(cam->requests().size(), before);

    EXPECT_EQ(IPC_FORCE_EXIT(h), 0u);
    int value = 0;
    sem_getvalue(&g_DevManage[0].sem, &value);
    EXPECT_EQ(value, 2);
    EXPECT_EQ(std::pair(IPC_FORCE_EXIT(0), IPC_FORCE_EXIT(h + 1)), std::pair(0x80001004u, 0x80001004u));

    EXPECT_EQ(IPCSdkLogout(h), 0u);
    const uint32_t unknown = 0x80001004u;  // a released handle is unknown
    EXPECT_EQ(std::tuple(IPCSdkLogout(h), IPCSdkLogout(0), IPCGetSysVersion(h, nullptr)), std::tuple(unknown, unknown, unknown));

    EXPECT_EQ(login(camera_ip(), 2), 0x1023000u) << "the lowest free slot is taken again";
    EXPECT_EQ(g_SdkNetMode, 2);
    DeviceLogout(h);

    for (int i = 0; i < 255; ++i) g_DevManage[i].inUse = 1, g_DevManage[i].deviceAddr = htonl(0x0A000001u + uint32_t(i));
    const uint32_t last = login(camera_ip());
    EXPECT_EQ(last, 0x1023000u + 255) << "255 slots taken: the 256th";
    EXPECT_EQ(login(camera_ip(1)), 0x80002004u);
    DeviceLogout(last);
    // Entries no login owns are cleared by a reinitialisation.
    for (auto& s : g_DevManage) s.inUse = 0;
    IPCSdkUnInit();
    ASSERT_EQ(IPCSdkInit(), 0u);
    for (const auto& s : g_DevManage) EXPECT_EQ(s.deviceAddr, 0u);
    const uint32_t running = login(camera_ip());
    ASSERT_TRUE(is_handle(running));
    ASSERT_EQ(StartVideoRequest(running), 0);
    ASSERT_EQ(CreatHandlHeartBeatThread(&slot_of(running)), 0);
    ASSERT_TRUE(cam->wait_video_connection());
    EXPECT_EQ(IPCSdkUnInit(), 0u) << "releases the camera still logged in";
    for (auto& s : g_DevManage) EXPECT_EQ(peek(s.inUse), 0u);
    EXPECT_EQ(g_IPCSdkInit, 0);
    EXPECT_EQ(IPCSdkInit(), 0u);
    EXPECT_TRUE(is_handle(login(camera_ip()))) << "the camera can log in again";
}

class Lifecycle : public CameraTest {};

// A command waiting at logout ends with a bad handle; concurrent releases free the slot once.
TEST_F(Lifecycle, ReleasesRacingACommandOrASecondRelease) {
    auto racing = std::async(std::launch::async, [&] { return IPCSdkLogout(handle); });
    int v = 1;
    eventually([&] { return sem_getvalue(&slot->sem, &v) == 0 && v == 0; }, 10s);  // logout holds it
    EXPECT_EQ(video_param(handle), 0x80001004u) << "not stranded on the semaphore";
    EXPECT_EQ(racing.get(), 0u);
    EXPECT_EQ(peek(slot->inUse), 0u);
    ASSERT_EQ(login(camera_ip()), handle) << "the slot is free";

    // A second release begun while the first waits for the video callback returns after it, slot free.
    static std::atomic<int> stage;  // 1: in the callback, 2: second release begun, 3: returned
    stage = 0;
    SetVideoFrameCallBack([](uint32_t, uint8_t*) {
        if (int idle = 0; !stage.compare_exchange_strong(idle, 1)) return 0;
        eventually([] { return stage == 2; }, 10s);
        std::this_thread::sleep_for(100ms);  // lets the second release reach its wait
        stage = 3;
        return 0;
    });
    ASSERT_EQ(StartVideoRequest(handle), 0);
    ASSERT_TRUE(cam->wait_video_connection());
    cam->send_video_raw(ipcsim::Camera::video_frame(std::vector<uint8_t>(64, 1)));
    ASSERT_TRUE(eventually([] { return stage == 1; }, 10s));
    auto logout = std::async(std::launch::async, [&] { return IPCSdkLogout(handle); });
    ASSERT_TRUE(eventually([&] { return peek(slot->loggedIn) == 0; }, 10s));  // releasing
    auto second = std::async(std::launch::async, [&] {
        const uint32_t r = IPCSdkLogout(handle);
        return std::pair(r, stage.load());
    });
    stage = 2;
    DeviceLogout(handle);
    EXPECT_EQ(stage.load(), 3);
    EXPECT_EQ(peek(slot->inUse), 0u);
    EXPECT_EQ(second.get(), std::pair(0x80001004u, 3)) << "refused, but only once the camera is free";
    EXPECT_EQ(logout.get(), 0u);
    SetVideoFrameCallBack(nullptr);
    EXPECT_EQ(IPCSdkUnInit(), 0u);
    handle = 0;
}

// ---- the exchange -----------------------------------------------------------------------

class UdpExchange : public CameraTest {};
class TcpExchange : public CameraTest { uint32_t netType() const override { return 2; } };

// Strangers' and late answers are not taken; mis-sized answers refused; no overrun; 41 polls.
TEST_F(UdpExchange, StrangersLateAnswersLengthsCapacityAndFortyOnePolls) {
    sockaddr_in library{};
    socklen_t len = sizeof library;
    ASSERT_EQ(getsockname(peek(slot->cmdSocket), reinterpret_cast<sockaddr*>(&library), &len), 0);
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
    EXPECT_EQ(video_param(handle), IPCSDK_ERR_NET);
    // The video answer, lost for its own command, turns up just before the camera control answer.
    inject(16, camera_ip(), echo(*cam, 1, 6));
    EXPECT_EQ(video_param(handle), IPCSDK_ERR_NET);
    EXPECT_TRUE(control_answered(*cam, handle)) << "the camera control answer, not the late video one";
    // While a late answer is expected, an ack or nak of another command's code is skipped too.
    inject(16, camera_ip(), {0x5B, 0x5A, 1, 0x7A, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(video_param(handle), IPCSDK_ERR_NET);
    EXPECT_TRUE(control_answered(*cam, handle)) << "the camera control answer, not the ack of code 6";
    cam->on_request(nullptr);
    // An answered command ends the expectation: the next unfitting answer is that command's.
    cam->script(ipcsim::Reply::None);
    EXPECT_EQ(video_param(handle), IPCSDK_ERR_NET);
    ASSERT_EQ(video_param(handle), 0u);
    cam->script(ipcsim::Scripted{ipcsim::Reply::OtherCode, {1, 2, 3, 4}});
    EXPECT_EQ(video_param(handle), IPCSDK_ERR_REFUSED) << "taken and refused, not skipped as a late answer";

    VideoParamRecord r[1] = {};
    // An answer whose size differs from what its header says, either way, is refused.
    cam->script(ipcsim::Reply::WrongLength);
    EXPECT_EQ(IPCVideoParamGet(handle, r, 1), 0x80001007u);
    cam->script(ipcsim::Reply::Short);
    EXPECT_EQ(IPCVideoParamGet(handle, r, 1), 0x80001007u);
    Bytes longer = {0x5B, 0x5A, 0x01, 1, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 131};
    longer.resize(16 + 132, 0x11);
    cam->script(ipcsim::Scripted{ipcsim::Reply::Raw, {}, longer});
    r[0] = {};
    EXPECT_EQ(IPCVideoParamGet(handle, r, 1), 0x80001007u);
    EXPECT_EQ(r[0].value32, 0u);

    // A host-set answer capacity never lets the exchange write past the 10240-byte buffer.
    cam->script(ipcsim::Scripted{ipcsim::Reply::Echo, Bytes(12000, 0x22)});
    slot->reqLen = 0, slot->respLen = 0xFFFFFFFF;
    EXPECT_EQ(IPCSdk2usock(slot, 1, 6), static_cast<uint32_t>(-2)) << "cut at the buffer: its length no longer fits";
    cam->script(ipcsim::Scripted{ipcsim::Reply::Echo, Bytes(10224, 0x33)});
    slot->respLen = 20000;
    EXPECT_EQ(IPCSdk2usock(slot, 1, 6), 10240u);
    EXPECT_EQ(slot->respBuf[10239], 0x33);

    StdoutCapture out;
    cam->script(ipcsim::Reply::None);
    EXPECT_EQ(IPCVideoParamGet(handle, r, 1), 0x80001007u);
    const std::string text = out.text();
    size_t polls = 0;
    for (size_t at = 0; (at = text.find("nRet=-1,errno=11\n", at)) != std::string::npos; ++at) ++polls;
    EXPECT_EQ(polls, 41u);
    EXPECT_EQ(slot->respLen, static_cast<uint32_t>(-2));
    for (int i = 0; i < 64; ++i) ASSERT_EQ(slot->respBuf[i], 0) << "a failed exchange leaves an all-zero answer";
}

// A lost, late, oversized, garbled or partial answer costs one command; the polling window; a lost connection.
TEST_F(TcpExchange, LostLateOversizedGarbledAndShortAnswersPollingWindowAndABrokenConnection) {
    // The late video answer arrives on the stream just before the next command's own answer.
    cam->script(ipcsim::Reply::None);
    EXPECT_EQ(video_param(handle), IPCSDK_ERR_NET);
    cam->script(ipcsim::Scripted{ipcsim::Reply::Raw, {}, cat({echo(*cam, 1, 6), echo(*cam, 1, 16)})});
    EXPECT_TRUE(control_answered(*cam, handle)) << "the late answer was skipped";
    ASSERT_EQ(video_param(handle), 0u);

    // An answer that trickles in over 300 ms is read whole.
    cam->script(ipcsim::Scripted{ipcsim::Reply::Default, {}, {}, 0, {}, 1, false, 4, 100ms});
    EXPECT_EQ(video_param(handle), 0u);
    EXPECT_TRUE(control_answered(*cam, handle));

    Bytes huge(16 + (1u << 20), 0);  // a video parameter echo claiming 1 MiB of payload
    huge[0] = 0x5B, huge[1] = 0x5A, huge[2] = 1, huge[3] = 1, huge[4] = 6, huge[13] = 0x10;
    // Less than a header never completes: the fragment is dropped before the next request.
    using R = ipcsim::Reply;
    const std::vector<ipcsim::Scripted> bads{{R::Raw, {}, huge}, {R::Garbage, {}, {}, 20 * 1024}, {R::Short, {}, {}, 1},
                                             {R::Short, {}, {}, 8}, {R::Short, {}, {}, 15}};
    for (const ipcsim::Scripted& bad : bads) {
        cam->script(bad);
        EXPECT_EQ(video_param(handle), IPCSDK_ERR_NET) << "reply kind " << static_cast<int>(bad.reply);
        for (int k = 0; k < 2; ++k) EXPECT_TRUE(control_answered(*cam, handle)) << "after reply kind " << static_cast<int>(bad.reply);
    }

    // A header announcing one byte more than the answer buffer holds is skipped (time-out); one that fits is read.
    slot->reqLen = 0;
    for (size_t n : {10225, 10224}) {
        cam->script(ipcsim::Scripted{ipcsim::Reply::Echo, Bytes(n, 0x33)});
        slot->respLen = 20000;
        EXPECT_EQ(IPCSdk2usock(slot, 1, 6), n == 10224 ? 10240u : static_cast<uint32_t>(-3)) << n;
    }
    // Eleven windows of 200 ms: an answer 2.18 s late lands in the last one, too late.
    cam->script(ipcsim::Scripted{ipcsim::Reply::Default, {}, {}, 0, 2180ms});
    EXPECT_EQ(video_param(handle), 0x80001007u);
    cam->script(ipcsim::Reply::None);
    EXPECT_EQ(video_param(handle), 0x80001007u);
    EXPECT_EQ(slot->respLen, static_cast<uint32_t>(-3));

    // The camera goes: a send fails (no SIGPIPE), the socket is given up and commands fail at once.
    cam->script(ipcsim::Reply::Close);
    EXPECT_EQ(video_param(handle), 0x80001007u);
    for (int i = 0; i < 5 && peek(slot->cmdSocket) != -1; ++i) EXPECT_EQ(video_param(handle), 0x80001007u);
    ASSERT_EQ(slot->cmdSocket, -1);
    const auto t0 = Clock::now();
    EXPECT_EQ(video_param(handle), 0x80001007u);
    EXPECT_LT(Clock::now() - t0, 1s) << "no socket: fails at once, without the 2.2 s of polls";
    EXPECT_EQ(slot->respLen, static_cast<uint32_t>(-1));

    uint8_t resp[64];
    const uint8_t req[16] = {0x5B, 0x5A, 1};
    EXPECT_EQ(IPCSdkTcpRequest(5, nullptr, 16, resp, 64), static_cast<uint32_t>(-4));
    EXPECT_EQ(IPCSdkTcpRequest(5, req, 0, resp, 64), static_cast<uint32_t>(-4));
    EXPECT_EQ(IPCSdkTcpRequest(-1, req, 16, resp, 64), static_cast<uint32_t>(-1));
    EXPECT_EQ(IPCSdkTcpSend(-1, req, 16), 0u);
    StdoutCapture out;
    const uint32_t addr = ntohl(inet_addr(camera_ip().c_str()));
    EXPECT_EQ(std::pair(IPCSdkUdpConnect(0, 5001), IPCSdkUdpConnect(addr, 0)), std::pair(-1, -1));
    EXPECT_NE(out.text().find("Invalid address[0x0] and port[5001]."), std::string::npos);
}

// ---- the channels ----------------------------------------------------------------------

// What the callbacks saw, shared with the library's threads.
struct Seen : Recorder {
    std::vector<Bytes> frames;
    std::vector<std::pair<uint32_t, Bytes>> reports;
    int disconnects = 0;
    bool reportsReach(size_t n) { return wait([&] { return reports.size() >= n; }); }
    void clear() { add([&] { frames.clear(), reports.clear(); }); }
};
Seen* g_seen = nullptr;

class Channels : public CameraTest {
protected:
    void SetUp() override {
        g_seen = &seen;
        SetVideoFrameCallBack([](uint32_t, uint8_t* frame) {
            uint32_t len;
            std::memcpy(&len, frame + 8, 4);
            g_seen->add([&] { g_seen->frames.emplace_back(frame + 156, frame + 156 + len); });
            return 0;
        });
        SetReportCallbackFunc([](uint32_t type, intptr_t, intptr_t zero1, uint8_t* body, uint32_t len, intptr_t zero2) {
            EXPECT_EQ(zero1 | zero2, 0);
            g_seen->add([&] { g_seen->reports.emplace_back(type, Bytes(body, body + len)); });
            return 0;
        });
        SetExceptionCallBack([](uint32_t, uint32_t, uintptr_t) {
            return g_seen->add([] { ++g_seen->disconnects; }), 0;
        });
        CameraTest::SetUp();
        ASSERT_TRUE(cam->wait_report_connection());
    }
    void TearDown() override {
        CameraTest::TearDown();
        SetVideoFrameCallBack(nullptr), SetReportCallbackFunc(nullptr), SetExceptionCallBack(nullptr);
    }
    void openVideo(uint32_t h) {  // once the camera has closed any earlier video connection
        ASSERT_TRUE(eventually([&] { return cam->video_connections() == 0; }));
        ASSERT_EQ(StartVideoRequest(h), 0);
        ASSERT_TRUE(cam->wait_video_connection());
    }
    // Each picture's leading word is kept with it: 0x0A0B0C01 for picture 1, ...02 for 2.
    static Bytes picture(uint8_t kind, size_t n) {
        Bytes b = ipcsim::Camera::picture_body(kind, pattern(n, kind));
        b[0] = kind, b[1] = 0x0C, b[2] = 0x0B, b[3] = 0x0A;
        return b;
    }
    Seen seen;
};

TEST_F(Channels, VideoFramesStopOverflowAndSupersededReceiver) {
    openVideo(handle);
    auto frame = [](size_t n, uint8_t seed) { return ipcsim::Camera::video_frame(pattern(n, seed)); };
    cam->send_video_raw(cat({frame(100, 1), frame(200, 2), frame(300, 3)}));
    // Garbage, a header whose length is 0 (a header alone), then a frame split in small pieces.
    cam->send_video_split(cat({Bytes(10, 0xEE), ipcsim::Camera::video_frame({}), frame(5000, 4)}), 3, 0ms);
    cam->send_video_split(frame(64, 5), 1, 0ms);
    ASSERT_TRUE(seen.wait([&] { return seen.frames.size() >= 5; }));
    std::this_thread::sleep_for(100ms);
    const std::vector<Bytes> sent{pattern(100, 1), pattern(200, 2), pattern(300, 3), pattern(5000, 4), pattern(64, 5)};
    EXPECT_EQ(seen.read([&] { return seen.frames; }), sent);
    EXPECT_GT(peek(slot->lastRecvTime), 0);

    // The channel stopped.
    {
        StdoutCapture out;
        EXPECT_EQ(StopVideoRequest(handle), 0u);
        EXPECT_TRUE(eventually([&] { return peek(slot->videoSocket) == -1; }, 5s));
        EXPECT_TRUE(eventually([&] { return out.text().find("recv Video thread exit\n") != std::string::npos; }, 5s));
    }
    EXPECT_EQ(StopVideoRequest(handle), 0u) << "stopping an idle channel is fine";
    EXPECT_EQ(std::pair(StopVideoRequest(0), uint32_t(StartVideoRequest(handle + 5))), std::pair(0x80001004u, 0x80001004u));

    // A frame longer than the receive buffer ends in the buffer-full close.
    openVideo(handle);
    seen.clear();
    Bytes header = ipcsim::Camera::video_frame({});
    header[8] = 0xF0, header[9] = header[10] = header[11] = 0xFF;  // 0xFFFFFFF0 bytes
    cam->send_video_raw(header);
    for (int i = 0; i < 5 && peek(slot->videoSocket) != -1; ++i) cam->send_video_raw(Bytes(1 << 20, 0x55));
    EXPECT_TRUE(eventually([&] { return peek(slot->videoSocket) == -1; }));
    EXPECT_EQ(peek(slot->videoRunning), 1u) << "a lost channel keeps its flag";
    EXPECT_TRUE(seen.read([&] { return seen.frames.empty(); }));

    // A receiver superseded while in its callback leaves the new connection in the slot when it ends.
    static std::atomic<int> inCallback{0};
    static std::atomic<bool> letGo{false};
    SetVideoFrameCallBack([](uint32_t, uint8_t*) {
        for (inCallback++; !letGo;) std::this_thread::sleep_for(1ms);
        return 0;
    });
    openVideo(handle);
    cam->send_video_raw(ipcsim::Camera::video_frame(pattern(64, 1)));
    ASSERT_TRUE(eventually([&] { return inCallback > 0; }));
    ASSERT_EQ(StartVideoRequest(handle), 0);
    const int newer = peek(slot->videoSocket);
    ASSERT_GE(newer, 0);
    letGo = true;
    ASSERT_TRUE(eventually([&] { return cam->video_connections() == 1; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(peek(slot->videoSocket), newer);

    // A camera that went away: neither channel can be opened.
    cam->stop();
    EXPECT_EQ(std::pair(StartVideoRequest(handle), StartDataReport(handle)), std::pair(-1, -1));
}

// Wake-ups of the release, a full cycle; reports dispatched and stored, waiting commands, the channel lost.
TEST_F(Channels, LogoutHeartbeatReportsAndWaitingCommands) {
    auto relogin = [&] { return is_handle(handle = login(camera_ip())) && cam->wait_report_connection(); };
    EXPECT_EQ(CreatHandlHeartBeatThread(nullptr), -1);
    const Census before;
    EXPECT_EQ(CreatHandlHeartBeatThread(&g_DevManage[200]), 0);
    EXPECT_TRUE(before.back()) << "a heartbeat on an entry not in use ends at once";
    cam->send_report(0x1003, pattern(4, 1));
    ASSERT_TRUE(seen.reportsReach(1));
    std::this_thread::sleep_for(100ms);  // the receiver is back in its wait, idle
    auto t0 = Clock::now();
    DeviceLogout(handle);
    EXPECT_LT(Clock::now() - t0, 600ms);
    ASSERT_TRUE(relogin());
    openVideo(handle);
    ASSERT_EQ(CreatHandlHeartBeatThread(&slot_of(handle)), 0);
    VideoStartInfo start{};
    ASSERT_EQ(IPCStartVideo(handle, &start), 0u);
    ASSERT_TRUE(seen.wait([&] { return !seen.frames.empty(); }));
    const size_t threadsWithChannels = count_dir("/proc/self/task");
    t0 = Clock::now();
    EXPECT_EQ(IPCSdkLogout(handle), 0u);
    EXPECT_LT(Clock::now() - t0, 2500ms) << "no idle pause with channels open";
    seen.clear();
    cam->send_report(0x1003, pattern(4, 1));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(settled("/proc/self/task", threadsWithChannels - 3), threadsWithChannels - 3)
        << "video, report and heartbeat threads gone";
    EXPECT_TRUE(seen.read([&] { return seen.frames.empty() && seen.reports.empty() && !seen.disconnects; }))
        << "no callback after logout returned";
    // The heartbeat alone (no receiver whose end would wake it too).
    ASSERT_TRUE(relogin());
    {
        StdoutCapture out;
        EXPECT_EQ(StopDataReport(handle), 0u);
        ASSERT_TRUE(eventually([&] { return out.text().find("recv alarm thread exit") != std::string::npos; }));
    }
    ASSERT_EQ(CreatHandlHeartBeatThread(&slot_of(handle)), 0);
    ASSERT_TRUE(cam->wait_request(10, 0, 8000ms)) << "a beat every 5 seconds";
    poke(slot_of(handle).lastRecvTime, static_cast<int64_t>(time(nullptr)) - 20);
    cam->clear_requests();
    EXPECT_TRUE(eventually([&] { return peek(slot_of(handle).lastRecvTime) == 0; }, 8s));
    EXPECT_FALSE(cam->wait_request(10, 0, 10ms)) << "that pass sent nothing";
    EXPECT_TRUE(cam->wait_request(10, 0, 8000ms)) << "the pass after sends again";
    std::this_thread::sleep_for(200ms);  // that beat answered, it waits for the next one
    t0 = Clock::now();
    DeviceLogout(handle);
    EXPECT_LT(Clock::now() - t0, 2500ms);

    ASSERT_TRUE(relogin());
    slot = &slot_of(handle);
    seen.clear();

    const Bytes body = pattern(40, 3);
    cam->send_report(0x1001, body);
    for (uint32_t type : {0x1003, 0xB001, 0x7777}) cam->send_report(type, pattern(8, 2));
    cam->send_report(0xA003, pattern(4, 5));
    cam->send_report(0xD003, pattern(4, 6));
    ASSERT_TRUE(seen.reportsReach(4));
    poke(slot->lastRecvTime, 0);
    cam->send_report(0x1005, {});
    cam->send_report(0x1002, {});  // empty body: nothing stored, but the callback still runs
    ASSERT_TRUE(seen.reportsReach(5));
    {
        std::lock_guard l(seen.m);
        std::vector<uint32_t> types;
        for (auto& r : seen.reports) types.push_back(r.first);
        EXPECT_EQ(types, (std::vector<uint32_t>{0x1001, 0x1003, 0xA003, 0xD003, 0x1002}));
        EXPECT_EQ(seen.reports[0].second, body);
        EXPECT_EQ(seen.reports[4].second.size(), 0u);
    }
    EXPECT_EQ(peek(slot->reportLen1001), 40u);
    EXPECT_EQ(Bytes(slot->reportBuf1001, slot->reportBuf1001 + 40), body);
    EXPECT_EQ(peek(slot->reportState), 2u) << "the empty 0x1002 body left the state alone";
    EXPECT_EQ(peek(slot->reportLen1002), 2097152u);
    EXPECT_GT(peek(slot->lastRecvTime), 0) << "a keepalive refreshes the receive time";

    // A burst is not trickled out (one message per one-second pass would take 20 s).
    seen.clear();
    Bytes burst;
    for (int i = 0; i < 20; ++i) burst = cat({burst, ipcsim::Camera::report_message(0x1003, pattern(16, uint8_t(i)))});
    cam->send_report_raw(burst);
    EXPECT_TRUE(seen.wait([&] { return seen.reports.size() == 20; }));

    // A 3 MiB body is cut to the 2 MiB buffer; the callback sees all of it.
    seen.clear();
    const Bytes big(3u << 20, 0x42);
    cam->send_report(0x1002, big);
    ASSERT_TRUE(seen.wait([&] { return seen.reports.size() == 1; }, 10000ms));
    EXPECT_EQ(std::tuple(peek(slot->reportLen1002), peek(slot->reportState), seen.reports[0].second.size()), std::tuple(2097152u, 3u, big.size()));

    // A picture pair, the second picture first (the snapshot command takes them in order).
    seen.clear();
    for (uint32_t* f : {&slot->snapLen1, &slot->snapLen2, &slot->reportState, &slot->snapPairFlag}) poke(*f, 0);
    cam->send_report(0xA002, picture(2, 700));
    ASSERT_TRUE(seen.reportsReach(1));
    EXPECT_EQ(peek(slot->reportState), 0u) << "one picture is no pair";
    cam->send_report(0xA002, picture(1, 500));
    ASSERT_TRUE(seen.reportsReach(2));
    EXPECT_EQ(std::tuple(peek(slot->reportState), peek(slot->snapPairFlag), peek(slot->snapLen1)), std::tuple(1u, 2u, 500u));
    EXPECT_EQ((Bytes{slot->snapRecord1[8], slot->snapRecord2[8]}), (Bytes{1, 2}));
    EXPECT_EQ(std::pair(peek(slot->snapWord1), peek(slot->snapWord2)), std::pair(0x0A0B0C01u, 0x0A0B0C02u));
    // A body whose counts point outside it stores nothing.
    Bytes lying = ipcsim::Camera::picture_body(1, pattern(50, 1));
    lying[264] = 0xFF;
    poke(slot->snapLen1, 0);
    cam->send_report(0xA002, lying);
    ASSERT_TRUE(seen.reportsReach(3));
    EXPECT_EQ(peek(slot->snapLen1), 0u);

    // Garbage on the channel never hurts.
    seen.clear();
    cam->send_report_raw(pattern(70000, 0x5A));
    cam->send_report(0x1003, pattern(4, 1));
    ASSERT_TRUE(seen.reportsReach(1));

    // Commands that wait for reports.
    std::vector<uint8_t> out(64, 0xCD);
    GpsInfoRequest gps{};
    gps.value1 = 0x01020304;
    EXPECT_EQ(IPCGpsInfo(handle, &gps, 1, out.data(), 64, 5), 48u);
    auto req = cam->wait_request(12, 53);
    ASSERT_TRUE(req);
    EXPECT_EQ(req->payload().size(), 128u);
    EXPECT_EQ(req->payload()[0], 0x01);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out.data())), "N3113.8240 E12128.4420");
    EXPECT_EQ(IPCGpsInfo(handle, &gps, 1, out.data(), 35, 5), 0x80002003u);

    DistantInfo d;
    std::memset(&d, 0x77, sizeof d);
    std::vector<uint8_t> dist(256, 0xCD);
    EXPECT_EQ(IPCDistantInfoSet(handle, &d, 1, dist.data(), 256, 5), 128u);
    req = cam->wait_request(12, 48);
    ASSERT_TRUE(req);
    EXPECT_EQ(req->frame.size(), 16u) << "the header alone, whatever the record holds";
    EXPECT_EQ(dist[128], 0xCD) << "only the report's bytes are copied";
    EXPECT_EQ(IPCDistantInfoSet(handle, &d, 1, dist.data(), 127, 5), 0x80002003u);
    cam->script(ipcsim::Reply::Ack);
    EXPECT_EQ(IPCDistantInfoSet(handle, &d, 1, dist.data(), 256, 1), 0x80002002u) << "no report within 1 s";
    cam->script(ipcsim::Reply::OtherClass);
    clear_syslog();
    EXPECT_EQ(IPCGpsInfo(handle, &gps, 0, nullptr, 0, 0), 0x80002002u);
    EXPECT_TRUE(syslog_has("Gps Info  IPCGpsInfo 7257\n", 11));
    cam->script(ipcsim::Reply::Short);
    EXPECT_EQ(IPCDistantInfoSet(handle, &d, 0, nullptr, 0, 0), 0x80001007u);
    EXPECT_TRUE(syslog_has("IPCDistantInfoSet  net err. IPCDistantInfoSet 7298\n", 11));

    out.assign(1 << 20, 0xCD);
    SimuSnapInfo info{};
    const auto asked = Clock::now();
    const uint32_t snap = IPCSIMUSNAP(handle, &info, 1, out.data(), static_cast<uint32_t>(out.size()), 5);
    ASSERT_LT(snap, 0x80000000u) << std::hex << snap;
    EXPECT_LT(Clock::now() - asked, 4000ms) << "returned once the pair came, not after its 5 tries";
    uint32_t flag, l1, l2;
    std::memcpy(&flag, out.data(), 4), std::memcpy(&l1, out.data() + 652, 4), std::memcpy(&l2, out.data() + 656, 4);
    EXPECT_EQ(std::pair(snap, flag), std::pair(660 + l1 + l2, 2u));
    EXPECT_EQ(out[4], 0xCD) << "bytes 4 to 131 are not written";
    EXPECT_EQ(std::pair(out[140 + 8], out[396 + 8]), (std::pair<uint8_t, uint8_t>(1, 2)));
    EXPECT_EQ(Bytes(out.begin() + 660, out.begin() + 660 + l1), ipcsim::Camera::sample_picture(64, 48, 1));
    EXPECT_EQ(Bytes(out.begin() + 660 + l1, out.begin() + 660 + l1 + l2), ipcsim::Camera::sample_picture(64, 48, 2));
    EXPECT_EQ(IPCSIMUSNAP(handle, &info, 1, out.data(), 700, 5), 0x80002003u) << "too small, once the pair is there";
    // Acknowledged without pictures from here on, so no late pair lands in a later request.
    cam->script(ipcsim::Scripted{ipcsim::Reply::Ack, {}, {}, 15, 0ms, 2});
    EXPECT_EQ(IPCSIMUSNAP(handle, &info, 1, nullptr, 700, 5), 0x80002003u);
    EXPECT_EQ(IPCSIMUSNAP(handle, &info, 1, out.data(), 700, 0), 0x80001006u) << "tries 0";
    cam->script(ipcsim::Reply::Echo);
    EXPECT_EQ(IPCSIMUSNAP(handle, &info, 0, nullptr, 0, 0), 0x80001006u);
    cam->script(ipcsim::Reply::Ack);
    EXPECT_EQ(IPCSIMUSNAP(handle, &info, 0, nullptr, 0, 0), 0u);
    cam->script(ipcsim::Reply::Ack);  // acknowledged, but no pictures follow
    EXPECT_EQ(IPCSIMUSNAP(handle, &info, 1, out.data(), 700, 1), 0x80001006u);

    // Reports during a wait: each picture keeps its leading word; either position report ends the wait.
    cam->script(ipcsim::Scripted{ipcsim::Reply::Ack, {}, {}, 0, 0ms, 2});
    out.assign(4096, 0);
    cam->clear_requests();
    auto pair = std::async(std::launch::async, [&] { return IPCSIMUSNAP(handle, &info, 1, out.data(), 4096, 5); });
    ASSERT_TRUE(cam->wait_request(13, 10));
    for (uint8_t kind : {2, 1}) cam->send_report(0xA002, picture(kind, 10));
    EXPECT_EQ(pair.get(), 680u);
    EXPECT_EQ(Bytes(out.begin() + 132, out.begin() + 140), (Bytes{1, 0x0C, 0x0B, 0x0A, 2, 0x0C, 0x0B, 0x0A}));
    std::vector<uint8_t> where(64, 0);
    cam->clear_requests();
    auto position = std::async(std::launch::async, [&] { return IPCGpsInfo(handle, &gps, 1, where.data(), 64, 5); });
    ASSERT_TRUE(cam->wait_request(12, 53));
    cam->send_report(0x1002, pattern(40, 3));
    EXPECT_EQ(position.get(), 40u);
    EXPECT_EQ(Bytes(where.begin(), where.begin() + 40), pattern(40, 3));

    // The camera closes the channel: the socket is given up, commands go on.
    cam->close_report_channels();
    ASSERT_TRUE(seen.wait([&] { return seen.disconnects == 1; }));
    EXPECT_EQ(peek(slot->reportSocket), -1);
    EXPECT_EQ(video_param(handle), 0u);
}

// Arrival times of requests at the cameras, and return times of the calls that sent them.
struct Timeline : Recorder {
    std::vector<Clock::time_point> arrived, returned;
    void stamp(std::vector<Clock::time_point>& v) { add([&] { v.push_back(Clock::now()); }); }
};

std::atomic<uint32_t> g_pair[2];
std::atomic<int> g_entered{0}, g_returned{0};

// Eight cameras in parallel: a lost answer costs only its own camera one command; one camera's commands
// are serialised, two cameras' overlap; report callbacks commanding each other's camera do not deadlock.
TEST_F(Recovery, EightParallelCamerasLostAnswersSerialisedAndOverlappingCommandsCrossedCallbacks) {
    constexpr int kCameras = 8, kRounds = 6;
    Timeline t;
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
        threads.emplace_back([&, i] { for (int k = 0; k < kRounds; ++k) failures[i] += video_param(handles[i]) != 0; });
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures, (std::vector<int>{0, 0, 1, 0, 0, 1, 0, 0}));

    // Over TCP (cameras 1 and 3), whose 2.2 s window leaves room for answers that take 1.5 s.
    const uint32_t ha = handles[1], hb = handles[3];
    for (int i : {1, 3}) cams[i]->clear_requests(), cams[i]->on_request([&](auto&) { t.stamp(t.arrived); });
    auto call = [&](uint32_t h) { EXPECT_EQ(video_param(h), 0u); t.stamp(t.returned); };
    cams[1]->script(ipcsim::Scripted{ipcsim::Reply::Default, {}, {}, 15, 250ms, 2});
    std::thread first(call, ha);
    ASSERT_TRUE(cams[1]->wait_request(1, 6));  // the first call holds the semaphore now
    std::thread second(call, ha);
    first.join(), second.join();
    ASSERT_EQ(t.read([&] { return t.arrived.size(); }), 2u);
    EXPECT_GE(t.arrived[1] - t.arrived[0], 250ms) << "the second request left after the first answer";
    EXPECT_NE(read_file("IPCSDK_log").find("function=IPCVideoParamGet sem_value=0"), std::string::npos)
        << "the waiting call's trace line shows the semaphore taken";
    t.add([&] { t.arrived.clear(), t.returned.clear(); });
    for (int i : {1, 3}) cams[i]->script(ipcsim::Scripted{ipcsim::Reply::Default, {}, {}, 15, 1500ms, 1});
    std::thread ca(call, ha), cb(call, hb);
    ca.join(), cb.join();
    ASSERT_EQ(t.read([&] { return t.arrived.size(); }), 2u);
    EXPECT_LT(t.arrived[1], t.returned[0]) << "the second camera was asked before the first one answered";
    for (int i : {1, 3}) cams[i]->on_request(nullptr);

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

// ---- callbacks --------------------------------------------------------------------------

std::atomic<uint32_t> g_handle{0};
std::atomic<int> g_reports{0}, g_frames{0}, g_disconnects{0};
std::atomic<int64_t> g_result{1}, g_restart{1};

// Callbacks reconnect, log in again, (re)start video, run a command and log out; concurrent channel
// starts leave one receiver each; nothing is left of any login or receiver.
TEST_F(Recovery, CallbacksReconnectRestartVideoAndLogOutConcurrentChannelStartsLeaveOneReceiver) {
    const Census before;
    g_handle = login(camera_ip());
    ASSERT_TRUE(is_handle(g_handle) && cam->wait_report_connection());
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
    cam->send_report(0x1003, pattern(8));
    ASSERT_TRUE(eventually([&] { return g_reports == 4; }));
    SetExceptionCallBack(nullptr);

    // Video started and a command run from the report callback; video restarted from its receiver.
    g_result = 1;
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

    g_result = 1;
    cam->send_report(0x1004, pattern(8));
    ASSERT_TRUE(eventually([] { return g_result != 1; }));
    EXPECT_EQ(g_result.load(), 0) << "logout from the camera's own report callback returned";
    EXPECT_TRUE(eventually([&] { return peek(slot_of(g_handle).inUse) == 0; }));
    // ThreadSanitizer sees any touch of the slot by the ending receiver after the release returned.
    EXPECT_EQ(login(camera_ip()), g_handle) << "the released slot is taken again";

    // Channels started and stopped from four threads at once.
    const uint32_t h = g_handle;
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
    // Numbered reports until one arrives (one sent to a closing connection is lost); none twice.
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
    EXPECT_TRUE(before.back()) << "nothing left of any login or receiver";
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

// Eight cameras logged in (video, heartbeat) and out in parallel; IPCSDK_CHURN_CYCLES cycles (default 200).
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
    // A first tenth settles the allocator; the rest must not grow it. The simulators' request logs are dropped.
    const int warm = std::max(1, perCamera / 10);
    auto measure = [&] { for (auto& c : cams) c->clear_requests(); return Memory(); };
    const Memory m0 = measure();
    cycles(0, warm);
    const Memory m1 = measure();
    cycles(warm, perCamera - warm);
    const Memory m2 = measure();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(start.back()) << "descriptors and threads back to their start";
    // A leak grows the bytes in use (the resident set also holds freed memory and thread stacks).
    EXPECT_LE(m2.inUse, m1.inUse + m1.inUse / 20) << "heap in use grew over " << perCamera * kCameras << " cycles";
    EXPECT_LE(m2.sizeKib, m1.sizeKib + m1.sizeKib / 20) << "address space grew";
    // Buffers freed to the heap would stay resident after the logouts (here about 15 MiB more).
    if (!kSanitized) {
        EXPECT_LE(m2.residentKib, m0.residentKib + 6 * 1024) << "resident memory stayed up after the logouts";
    }
    std::printf("cycles %d: heap in use %zu -> %zu bytes, address space %ld -> %ld KiB, resident %ld -> %ld -> %ld KiB\n",
                perCamera * kCameras, m1.inUse, m2.inUse, m1.sizeKib, m2.sizeKib, m0.residentKib, m1.residentKib, m2.residentKib);
}

}  // namespace
