// Login and logout against the simulated camera: handles, the login payload, the failure
// table, the last slot, commands waiting when logout takes the lock, the forced release of the
// command lock, the library uninitialised under running cameras.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <future>

#include "camera_fixture.hpp"

using namespace testenv;
using std::chrono::milliseconds;
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
    auto req = cam->waitRequest(0, 0);
    ASSERT_TRUE(req);
    const auto& f = req->frame;
    EXPECT_EQ(Bytes(f.begin(), f.begin() + 16), (Bytes{0x5B, 0x5A, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xA0}));
    const auto p = req->payload();
    ASSERT_EQ(p.size(), 160u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.data())), "admin");
    const std::string digest = ipcsim::credentialDigest("admin", "admin");
    EXPECT_EQ(std::string(p.begin() + 32, p.begin() + 64), digest);
    EXPECT_EQ(Bytes(p.begin() + 64, p.begin() + 96), Bytes(32, 0));
    EXPECT_EQ(Bytes(p.begin() + 96, p.end()), Bytes(64, 0x5C));
    EXPECT_EQ(std::string(u.password, 32), digest) << "the caller's record holds the digest now";
    EXPECT_EQ(u.loginWord1, 0u);
    const DeviceSlot& s = g_DevManage[0];
    EXPECT_EQ(s.inUse, 1u);
    EXPECT_EQ(s.loggedIn, 1);
    EXPECT_EQ(s.deviceAddr, inet_addr(camera_ip().c_str()));
    EXPECT_EQ(s.netType, 1u);
    EXPECT_EQ(s.snapWord1, 256u);
    EXPECT_EQ(s.reportLen1004, 2097152u);
    EXPECT_TRUE(cam->waitReportConnection()) << "login opens the report channel on acceptance";

    // Same address again: refused before any socket is opened.
    const size_t before = cam->requests().size();
    EXPECT_EQ(login(camera_ip()), 0x80001003u);
    EXPECT_EQ(login("0.0.0.0"), 0x80001003u);
    EXPECT_EQ(cam->requests().size(), before);

    EXPECT_EQ(IPC_FORCE_EXIT(h), 0u);
    int value = 0;
    sem_getvalue(&g_DevManage[0].sem, &value);
    EXPECT_EQ(value, 2);
    EXPECT_EQ(IPC_FORCE_EXIT(0), 0x80001004u);
    EXPECT_EQ(IPC_FORCE_EXIT(h + 1), 0x80001004u);

    EXPECT_EQ(IPCSdkLogout(h), 0u);
    EXPECT_EQ(g_DevManage[0].inUse, 0u);
    EXPECT_EQ(IPCSdkLogout(h), 0x80001004u);
    EXPECT_EQ(IPCSdkLogout(0), 0x80001004u);
    EXPECT_EQ(IPCGetSysVersion(h, nullptr), 0x80001004u) << "a released handle is unknown";

    EXPECT_EQ(login(camera_ip(), 2), 0x1023000u) << "the lowest free slot is taken again";
    EXPECT_EQ(g_SdkNetMode, 2);
    cam->clearRequests();
    SystemInfo info{};
    EXPECT_EQ(IPCGetSysVersion(h, &info), 0u);
    req = cam->waitRequest(3, 2);
    ASSERT_TRUE(req);
    EXPECT_EQ(req->transport, ipcsim::Transport::Tcp);
}

TEST_F(Login, RefusalsAndFailuresLeaveEverySlotFree) {
    StdoutCapture out;
    EXPECT_EQ(login(camera_ip(), 1, "admin", "wrong"), 0x80001005u);
    EXPECT_NE(out.text().find("Username or password entered is incorrect!\n"), std::string::npos);
    EXPECT_EQ(cam->loginCount(), 0);
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
    EXPECT_EQ(IPCSdkLogin(nullptr, &u, 1), 0x80002001u);
    EXPECT_EQ(IPCSdkLogin(&d, nullptr, 1), 0x80002001u);
}

TEST_F(Login, LastSlotFullTableAndUninitialiseUnderRunningChannels) {
    for (int i = 0; i < 255; ++i) {
        g_DevManage[i].inUse = 1;
        g_DevManage[i].deviceAddr = htonl(0x0A000001u + static_cast<uint32_t>(i));
    }
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
    ASSERT_TRUE(cam->waitVideoConnection());
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
    eventually([&] { return sem_getvalue(&slot->sem, &v) == 0 && v == 0; }, milliseconds(1000));  // logout holds it
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
    auto second = std::async(std::launch::async, [&] { return IPCGetSysVersion(handle, &info); });
    EXPECT_TRUE(cam->waitRequest(3, 2, milliseconds(2000))) << "admitted while the first still runs";
    // The two now share the slot's buffers (why the lock is normally never forced open):
    // neither result is dependable.
    first.get();
    second.get();
}

}  // namespace
