// Login, logout and the command exchange against the simulated camera: handles, the login
// payload, the failure table, the last slot, logout racing commands, the forced release of the
// command lock; the polling windows of UDP and TCP, answers that do not fit, a broken TCP
// connection, cameras served in parallel.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <future>

#include "camera_fixture.hpp"

using namespace testenv;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

class Login : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(IPCSdkInit(), 0u);
        cam = start_camera();
    }
    void TearDown() override {
        for (auto& s : g_DevManage)
            if (s.inUse) DeviceLogout(s.handle);
        IPCSdkUnInit();
        cam->stop();
    }
    std::unique_ptr<ipcsim::Camera> cam;
};

TEST_F(Login, HandlePayloadForcedExitAndLogout) {
    LoginDeviceInfo d = device_info(camera_ip(), 1);
    LoginUserInfo u = user_info("admin", "admin");
    u.loginWord1 = 0x11111111;
    std::memset(u.rest, 0x5C, sizeof u.rest);
    const uint32_t h = IPCSdkLogin(&d, &u, 5);
    EXPECT_EQ(h, 0x1023000u) << "slot index plus base";
    auto req = cam->wait_request(0, 0);
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
    EXPECT_EQ(g_DevManage[0].inUse, 0u);
    const uint32_t unknown = 0x80001004u;  // a released handle is unknown
    EXPECT_EQ(std::tuple(IPCSdkLogout(h), IPCSdkLogout(0), IPCGetSysVersion(h, nullptr)), std::tuple(unknown, unknown, unknown));

    EXPECT_EQ(login(camera_ip(), 2), 0x1023000u) << "the lowest free slot is taken again";
    EXPECT_EQ(g_SdkNetMode, 2);
    cam->clear_requests();
    SystemInfo info{};
    EXPECT_EQ(IPCGetSysVersion(h, &info), 0u);
    req = cam->wait_request(3, 2);
    EXPECT_TRUE(req && req->transport == ipcsim::Transport::Tcp);
}

TEST_F(Login, RefusalsAndFailuresLeaveEverySlotFree) {
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

    // 135 bytes is too short; 136 bytes with status 200 is a login.
    Bytes answer(136, 0);
    answer[0] = 0x5B, answer[1] = 0x5A, answer[2] = 1, answer[15] = 120, answer[23] = 200;
    Bytes shortAnswer(answer.begin(), answer.end() - 1);
    shortAnswer[15] = 119;
    cam->script(ipcsim::Scripted{ipcsim::Reply::Raw, {}, shortAnswer});
    EXPECT_EQ(login(camera_ip()), 0x80001007u);
    EXPECT_EQ(g_DevManage[0].inUse, 0u);
    cam->script(ipcsim::Scripted{ipcsim::Reply::Raw, {}, answer});
    const uint32_t h = login(camera_ip());
    EXPECT_TRUE(is_handle(h));
    DeviceLogout(h);
    // A proper answer with another status (500): 0, which is no handle.
    answer[22] = 0x01, answer[23] = 0xF4;
    cam->script(ipcsim::Scripted{ipcsim::Reply::Raw, {}, answer});
    EXPECT_EQ(login(camera_ip()), 0u);
    // A 16-byte nak is too short to count as an answer; a full-size one is a refusal, and so is
    // a full-size answer of another kind.
    cam->script(ipcsim::Reply::Nak);
    EXPECT_EQ(login(camera_ip()), 0x80001007u);
    for (uint8_t kind : {0x7C, 0x7A, 3}) {
        answer[3] = kind;
        cam->script(ipcsim::Scripted{ipcsim::Reply::Raw, {}, answer});
        EXPECT_EQ(login(camera_ip()), 0x80002002u) << int(kind);
    }
    for (const auto& s : g_DevManage) EXPECT_EQ(s.inUse, 0u);

    IPCSdkUnInit();
    EXPECT_EQ(login(camera_ip()), 0x80001002u);
    EXPECT_EQ(g_DevManage[0].inUse, 0u);
    ASSERT_EQ(IPCSdkInit(), 0u);
    EXPECT_EQ(IPCSdkInit(), 0x80001001u);
    EXPECT_EQ(std::pair(IPCSdkLogin(nullptr, &u, 1), IPCSdkLogin(&d, nullptr, 1)), std::pair(0x80002001u, 0x80002001u));
}

TEST_F(Login, LastSlotFullTableAndUninitialiseUnderRunningChannels) {
    for (int i = 0; i < 255; ++i) g_DevManage[i].inUse = 1, g_DevManage[i].deviceAddr = htonl(0x0A000001u + uint32_t(i));
    const uint32_t last = login(camera_ip());
    EXPECT_EQ(last, 0x1023000u + 255) << "255 slots taken: the 256th";
    EXPECT_EQ(login(camera_ip(1)), 0x80002004u);
    DeviceLogout(last);
    EXPECT_EQ(g_DevManage[255].inUse, 0u);
    // Entries no login owns are cleared by a reinitialisation.
    for (auto& s : g_DevManage) s.inUse = 0;
    IPCSdkUnInit();
    ASSERT_EQ(IPCSdkInit(), 0u);
    for (const auto& s : g_DevManage) EXPECT_EQ(s.deviceAddr, 0u);
    const uint32_t h = login(camera_ip());
    ASSERT_TRUE(is_handle(h));
    ASSERT_EQ(StartVideoRequest(h), 0);
    ASSERT_EQ(CreatHandlHeartBeatThread(&slot_of(h)), 0);
    ASSERT_TRUE(cam->wait_video_connection());
    EXPECT_EQ(IPCSdkUnInit(), 0u) << "releases the camera still logged in";
    for (auto& s : g_DevManage) EXPECT_EQ(peek(s.inUse), 0u);
    EXPECT_EQ(g_IPCSdkInit, 0);
    EXPECT_EQ(IPCSdkInit(), 0u);
    EXPECT_TRUE(is_handle(login(camera_ip()))) << "the camera can log in again";
}

class Lifecycle : public CameraTest {};

TEST_F(Lifecycle, CommandsWaitingAtLogoutEndWithBadHandle) {
    auto logout = std::async(std::launch::async, [&] { return IPCSdkLogout(handle); });
    int v = 1;
    eventually([&] { return sem_getvalue(&slot->sem, &v) == 0 && v == 0; }, 10s);  // logout holds it
    VideoParamRecord r{};
    const auto t0 = Clock::now();
    EXPECT_EQ(IPCVideoParamGet(handle, &r, 1), 0x80001004u) << "not stranded on the semaphore";
    EXPECT_LT(Clock::now() - t0, 10s);
    EXPECT_EQ(logout.get(), 0u);
    EXPECT_EQ(peek(slot->inUse), 0u);
    handle = 0;
}

TEST_F(Lifecycle, ConcurrentReleasesFreeTheSlotOnce) {
    // Logout's release waits for the video callback, which returns only after a second release
    // has begun: that one must return no earlier than the first, with the slot free.
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

TEST_F(Lifecycle, ForcedExitLetsASecondCommandIn) {
    cam->script(ipcsim::Scripted{ipcsim::Reply::Default, {}, {}, 0, 300ms, 2});
    VideoParamRecord r{};
    auto first = std::async(std::launch::async, [&] { return IPCVideoParamGet(handle, &r, 1); });
    ASSERT_TRUE(cam->wait_request(1, 6));
    EXPECT_EQ(IPC_FORCE_EXIT(handle), 0u);
    SystemInfo info{};
    auto second = std::async(std::launch::async, [&] { return IPCGetSysVersion(handle, &info); });
    EXPECT_TRUE(cam->wait_request(3, 2, 2000ms)) << "admitted while the first still runs";
    // The two now share the slot's buffers (why the lock is never forced open): results undependable.
    first.get(), second.get();
}

// ---- the exchange -----------------------------------------------------------------------

class UdpExchange : public CameraTest {};
class TcpExchange : public CameraTest {
    uint32_t netType() const override { return 2; }
};

TEST_F(UdpExchange, AnswerLengthsCapacityAndFortyOnePolls) {
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
    EXPECT_EQ(IPCVideoParamGet(handle, r, 1), 0u) << "the slot stays usable";

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
    const auto t0 = Clock::now();
    EXPECT_EQ(IPCVideoParamGet(handle, r, 1), 0x80001007u);
    EXPECT_TRUE(Clock::now() - t0 >= 400ms && Clock::now() - t0 < 3000ms);
    const std::string text = out.text();
    size_t polls = 0;
    for (size_t at = 0; (at = text.find("nRet=-1,errno=11\n", at)) != std::string::npos; ++at) ++polls;
    EXPECT_EQ(polls, 41u);
    EXPECT_EQ(slot->respLen, static_cast<uint32_t>(-2));
    for (int i = 0; i < 64; ++i) ASSERT_EQ(slot->respBuf[i], 0) << "a failed exchange leaves an all-zero answer";
}

TEST_F(TcpExchange, PollingWindowShortAnswersAndABrokenConnection) {
    VideoParamRecord r{};
    auto t0 = Clock::now();
    EXPECT_EQ(IPCVideoParamGet(handle, &r, 1), 0u);
    auto took = Clock::now() - t0;
    EXPECT_LT(took, 2000ms) << "taken before the last window";
    // Less than a header never completes; the fragment is dropped before the next request.
    for (size_t n : {1, 8, 15}) {
        cam->script(ipcsim::Scripted{ipcsim::Reply::Short, {}, {}, n});
        EXPECT_EQ(IPCVideoParamGet(handle, &r, 1), 0x80001007u) << n << " bytes";
        EXPECT_EQ(IPCVideoParamGet(handle, &r, 1), 0u) << "after " << n << " bytes";
    }
    // A header announcing one byte more than an answer buffer holds starts no message: its
    // bytes are skipped and the command times out. One that just fits is read.
    slot->reqLen = 0;
    for (size_t n : {10225, 10224}) {
        cam->script(ipcsim::Scripted{ipcsim::Reply::Echo, Bytes(n, 0x33)});
        slot->respLen = 20000;
        EXPECT_EQ(IPCSdk2usock(slot, 1, 6), n == 10224 ? 10240u : static_cast<uint32_t>(-3)) << n;
    }
    // Eleven windows of 200 ms: an answer 2.18 s late lands in the last one, too late.
    cam->script(ipcsim::Scripted{ipcsim::Reply::Default, {}, {}, 0, 2180ms});
    EXPECT_EQ(IPCVideoParamGet(handle, &r, 1), 0x80001007u);
    cam->script(ipcsim::Reply::None);
    t0 = Clock::now();
    EXPECT_EQ(IPCVideoParamGet(handle, &r, 1), 0x80001007u);
    took = Clock::now() - t0;
    EXPECT_TRUE(took >= 2200ms && took < 6000ms);
    EXPECT_EQ(slot->respLen, static_cast<uint32_t>(-3));

    // The camera goes: a few sends later one fails (never with SIGPIPE, which would end this
    // process), the command socket is given up and commands fail at once.
    cam->script(ipcsim::Reply::Close);
    EXPECT_EQ(IPCVideoParamGet(handle, &r, 1), 0x80001007u);
    for (int i = 0; i < 5 && peek(slot->cmdSocket) != -1; ++i) EXPECT_EQ(IPCVideoParamGet(handle, &r, 1), 0x80001007u);
    ASSERT_EQ(slot->cmdSocket, -1);
    t0 = Clock::now();
    EXPECT_EQ(IPCVideoParamGet(handle, &r, 1), 0x80001007u);
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

// Arrival times of requests at the cameras, and return times of the calls that sent them.
struct Timeline : Recorder {
    std::vector<Clock::time_point> arrived, returned;
    void stamp(std::vector<Clock::time_point>& v) { add([&] { v.push_back(Clock::now()); }); }
};

TEST(Parallel, CommandsOfOneCameraAreSerialisedOfTwoOverlap) {
    ASSERT_EQ(IPCSdkInit(), 0u);
    auto a = start_camera(0), b = start_camera(1);
    // Over TCP, whose 2.2 s window leaves room for answers that take 1.5 s.
    const uint32_t ha = login(camera_ip(0), 2), hb = login(camera_ip(1), 2);
    ASSERT_TRUE(is_handle(ha) && is_handle(hb));
    Timeline t;
    for (auto* c : {a.get(), b.get()}) {
        c->clear_requests();
        c->on_request([&](const ipcsim::Request&) { t.stamp(t.arrived); });
    }
    auto call = [&](uint32_t h) {
        VideoParamRecord r{};
        EXPECT_EQ(IPCVideoParamGet(h, &r, 1), 0u);
        t.stamp(t.returned);
    };
    a->script(ipcsim::Scripted{ipcsim::Reply::Default, {}, {}, 15, 250ms, 2});
    std::thread first(call, ha);
    ASSERT_TRUE(a->wait_request(1, 6));  // the first call holds the semaphore now
    std::thread second(call, ha);
    first.join(), second.join();
    ASSERT_EQ(t.arrived.size(), 2u);
    EXPECT_GE(t.arrived[1] - t.arrived[0], 250ms) << "the second request left after the first answer";
    EXPECT_NE(read_file("IPCSDK_log").find("function=IPCVideoParamGet sem_value=0"), std::string::npos)
        << "the waiting call's trace line shows the semaphore taken";

    t.arrived.clear(), t.returned.clear();
    for (auto* c : {a.get(), b.get()}) c->script(ipcsim::Scripted{ipcsim::Reply::Default, {}, {}, 15, 1500ms, 1});
    std::thread ca(call, ha), cb(call, hb);
    ca.join(), cb.join();
    ASSERT_EQ(t.arrived.size(), 2u);
    EXPECT_LT(t.arrived[1], t.returned[0]) << "the second camera was asked before the first one answered";
    DeviceLogout(ha), DeviceLogout(hb), IPCSdkUnInit();
}

}  // namespace
