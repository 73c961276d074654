// The video and report channels and the commands that wait for reports, against the simulated
// camera: delivery order and content, the dispatch table, stops and losses, and the release of
// everything at logout.
#include <gtest/gtest.h>

#include <future>

#include "camera_fixture.hpp"

using namespace testenv;
using std::chrono::milliseconds;
using std::chrono::seconds;
using Clock = std::chrono::steady_clock;

namespace {

// What the callbacks saw, shared with the library's threads.
struct Seen : Recorder {
    std::vector<Bytes> frames;
    std::vector<std::pair<uint32_t, Bytes>> reports;
    int disconnects = 0;
    uint32_t disconnectHandle = 0;
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
        SetExceptionCallBack([](uint32_t, uint32_t h, uintptr_t) { return g_seen->add([&] { ++g_seen->disconnects, g_seen->disconnectHandle = h; }), 0; });
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
    // Garbage, a header whose length is 0, then a frame split in small pieces.
    Bytes zero = ipcsim::Camera::video_frame({});  // a header alone: length 0
    cam->send_video_split(cat({Bytes(10, 0xEE), zero, frame(5000, 4)}), 3, milliseconds(0));
    cam->send_video_split(frame(64, 5), 1, milliseconds(0));
    ASSERT_TRUE(seen.wait([&] { return seen.frames.size() >= 5; }));
    std::this_thread::sleep_for(milliseconds(100));
    const std::vector<Bytes> sent{pattern(100, 1), pattern(200, 2), pattern(300, 3), pattern(5000, 4), pattern(64, 5)};
    EXPECT_EQ(seen.read([&] { return seen.frames; }), sent);
    EXPECT_GT(peek(slot->lastRecvTime), 0);

    // The stream the command starts, stopped; the channel stopped within a second.
    seen.clear();
    VideoStartInfo start{};
    ASSERT_EQ(IPCStartVideo(handle, &start), 0u);
    ASSERT_TRUE(seen.wait([&] { return seen.frames.size() >= 5; }));
    VideoStopInfo stop{};
    EXPECT_EQ(IPCStopVideo(handle, &stop), 0u);
    {
        StdoutCapture out;
        EXPECT_EQ(StopVideoRequest(handle), 0u);
        EXPECT_TRUE(eventually([&] { return peek(slot->videoSocket) == -1; }, seconds(5)));
        EXPECT_TRUE(eventually([&] { return out.text().find("recv Video thread exit\n") != std::string::npos; }, seconds(5)));
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

    // A start that supersedes a receiver busy in its callback: the old receiver, ending later,
    // leaves the new connection in the slot.
    static std::atomic<int> inCallback{0};
    static std::atomic<bool> letGo{false};
    SetVideoFrameCallBack([](uint32_t, uint8_t*) {
        for (inCallback++; !letGo;) std::this_thread::sleep_for(milliseconds(1));
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
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(peek(slot->videoSocket), newer);

    // A camera that went away: neither channel can be opened.
    cam->stop();
    EXPECT_EQ(std::pair(StartVideoRequest(handle), StartDataReport(handle)), std::pair(-1, -1));
}

TEST_F(Channels, ReportsDispatchStoreAndDisconnect) {
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
    ASSERT_TRUE(seen.wait([&] { return seen.reports.size() == 1; }, milliseconds(10000)));
    EXPECT_EQ(std::tuple(peek(slot->reportLen1002), peek(slot->reportState), seen.reports[0].second.size()), std::tuple(2097152u, 3u, big.size()));

    // A picture pair, in either order.
    for (int order = 0; order < 2; ++order) {
        seen.clear();
        for (uint32_t* f : {&slot->snapLen1, &slot->snapLen2, &slot->reportState, &slot->snapPairFlag}) poke(*f, 0);
        const uint8_t first = order == 0 ? 1 : 2, second = order == 0 ? 2 : 1;
        cam->send_report(0xA002, picture(first, 500));
        ASSERT_TRUE(seen.reportsReach(1));
        EXPECT_EQ(peek(slot->reportState), 0u) << "one picture is no pair";
        cam->send_report(0xA002, picture(second, 700));
        ASSERT_TRUE(seen.reportsReach(2));
        EXPECT_EQ(std::tuple(peek(slot->reportState), peek(slot->snapPairFlag), peek(slot->snapLen1)), std::tuple(1u, 2u, first == 1 ? 500u : 700u));
        EXPECT_EQ((Bytes{slot->snapRecord1[8], slot->snapRecord2[8]}), (Bytes{1, 2}));
        EXPECT_EQ(std::pair(peek(slot->snapWord1), peek(slot->snapWord2)), std::pair(0x0A0B0C01u, 0x0A0B0C02u));
    }
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

    // The disconnection callback runs once when the camera closes the channel (on a reset too,
    // and never on a stop: the reconnecting callbacks' case).
    cam->close_report_channels();
    ASSERT_TRUE(seen.wait([&] { return seen.disconnects == 1; }));
    EXPECT_EQ(seen.disconnectHandle, handle);
    EXPECT_EQ(peek(slot->reportSocket), -1);
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(seen.disconnects, 1);
    VideoParamRecord r{};
    EXPECT_EQ(IPCVideoParamGet(handle, &r, 1), 0u) << "commands go on after the channel is lost";
}

// A full cycle (channels, heartbeat, stream, logout) ends its three threads and no callback runs
// after the logout returned; a second cycle leaves as many descriptors as the first. The release
// wakes an idle report receiver (it looks a second after the last report) and a lone heartbeat
// (a beat every 5 s, none after 20 s of silence). DeviceLogout: the release alone.
TEST_F(Channels, LogoutStopsEverythingAndWakesAnIdleReceiverOrTheHeartbeat) {
    auto cycle = [&](uint32_t h) {
        openVideo(h);
        ASSERT_EQ(CreatHandlHeartBeatThread(&slot_of(h)), 0);
        VideoStartInfo start{};
        ASSERT_EQ(IPCStartVideo(h, &start), 0u);
        ASSERT_TRUE(seen.wait([&] { return !seen.frames.empty(); }));
        const size_t threadsWithChannels = count_dir("/proc/self/task");
        const auto t0 = Clock::now();
        EXPECT_EQ(IPCSdkLogout(h), 0u);
        EXPECT_LT(Clock::now() - t0, milliseconds(2500)) << "no idle pause with channels open";
        seen.clear();
        cam->send_report(0x1003, pattern(4, 1));
        std::this_thread::sleep_for(milliseconds(300));
        EXPECT_EQ(settled("/proc/self/task", threadsWithChannels - 3), threadsWithChannels - 3)
            << "video, report and heartbeat threads gone";
        EXPECT_TRUE(seen.read([&] { return seen.frames.empty() && seen.reports.empty() && !seen.disconnects; }))
            << "no callback after logout returned";
    };
    auto relogin = [&] { return is_handle(handle = login(camera_ip())) && cam->wait_report_connection(); };
    cycle(handle);
    // Counted once the camera's side has closed as well.
    ASSERT_TRUE(eventually([&] { return cam->video_connections() + cam->report_connections() == 0; }));
    std::this_thread::sleep_for(milliseconds(100));
    const size_t after = count_dir("/proc/self/fd");
    ASSERT_TRUE(relogin());
    cycle(handle);
    EXPECT_EQ(settled("/proc/self/fd", after), after);

    EXPECT_EQ(CreatHandlHeartBeatThread(nullptr), -1);
    const Census before;
    EXPECT_EQ(CreatHandlHeartBeatThread(&g_DevManage[200]), 0);
    EXPECT_TRUE(before.back()) << "a heartbeat on an entry not in use ends at once";
    ASSERT_TRUE(relogin());
    cam->send_report(0x1003, pattern(4, 1));
    ASSERT_TRUE(seen.reportsReach(1));
    auto t0 = Clock::now();
    DeviceLogout(handle);
    EXPECT_LT(Clock::now() - t0, milliseconds(600));
    // The heartbeat alone (no receiver whose end would wake it too).
    ASSERT_TRUE(relogin());
    {
        StdoutCapture out;
        EXPECT_EQ(StopDataReport(handle), 0u);
        ASSERT_TRUE(eventually([&] { return out.text().find("recv alarm thread exit") != std::string::npos; }));
    }
    ASSERT_EQ(CreatHandlHeartBeatThread(&slot_of(handle)), 0);
    ASSERT_TRUE(cam->wait_request(10, 0, milliseconds(8000))) << "a beat every 5 seconds";
    poke(slot_of(handle).lastRecvTime, static_cast<int64_t>(time(nullptr)) - 20);
    cam->clear_requests();
    EXPECT_TRUE(eventually([&] { return peek(slot_of(handle).lastRecvTime) == 0; }, seconds(8)));
    EXPECT_FALSE(cam->wait_request(10, 0, milliseconds(10))) << "that pass sent nothing";
    EXPECT_TRUE(cam->wait_request(10, 0, milliseconds(8000))) << "the pass after sends again";
    t0 = Clock::now();  // it waits for its next beat now
    DeviceLogout(handle);
    EXPECT_LT(Clock::now() - t0, milliseconds(2500));
    handle = 0;
}

TEST_F(Channels, WaitingCommandsSnapshotPositionAndDistance) {
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
    const uint32_t r = IPCSIMUSNAP(handle, &info, 1, out.data(), static_cast<uint32_t>(out.size()), 5);
    ASSERT_LT(r, 0x80000000u) << std::hex << r;
    EXPECT_LT(Clock::now() - asked, milliseconds(4000)) << "returned once the pair came, not after its 5 tries";
    uint32_t flag, l1, l2;
    std::memcpy(&flag, out.data(), 4), std::memcpy(&l1, out.data() + 652, 4), std::memcpy(&l2, out.data() + 656, 4);
    EXPECT_EQ(std::pair(r, flag), std::pair(660 + l1 + l2, 2u));
    EXPECT_EQ(out[4], 0xCD) << "bytes 4 to 131 are not written";
    EXPECT_EQ(std::pair(out[140 + 8], out[396 + 8]), (std::pair<uint8_t, uint8_t>(1, 2)));
    EXPECT_EQ(Bytes(out.begin() + 660, out.begin() + 660 + l1), ipcsim::Camera::sample_picture(64, 48, 1));
    EXPECT_EQ(Bytes(out.begin() + 660 + l1, out.begin() + 660 + l1 + l2), ipcsim::Camera::sample_picture(64, 48, 2));
    EXPECT_EQ(IPCSIMUSNAP(handle, &info, 1, out.data(), 700, 5), 0x80002003u) << "too small, once the pair is there";
    // Acknowledged without pictures from here on, so no late pair lands in a later request.
    cam->script(ipcsim::Scripted{ipcsim::Reply::Ack, {}, {}, 15, milliseconds(0), 2});
    EXPECT_EQ(IPCSIMUSNAP(handle, &info, 1, nullptr, 700, 5), 0x80002003u);
    const auto t0 = Clock::now();
    EXPECT_EQ(IPCSIMUSNAP(handle, &info, 1, out.data(), 700, 0), 0x80001006u);
    EXPECT_LT(Clock::now() - t0, milliseconds(900)) << "no wait with tries 0";
    cam->script(ipcsim::Reply::Echo);
    EXPECT_EQ(IPCSIMUSNAP(handle, &info, 0, nullptr, 0, 0), 0x80001006u);
    cam->script(ipcsim::Reply::Ack);
    EXPECT_EQ(IPCSIMUSNAP(handle, &info, 0, nullptr, 0, 0), 0u);
    cam->script(ipcsim::Reply::Ack);  // acknowledged, but no pictures follow
    EXPECT_EQ(IPCSIMUSNAP(handle, &info, 1, out.data(), 700, 1), 0x80001006u);

    // Reports that arrive while a command waits: each picture keeps its own leading word, and
    // the second kind of position report ends the wait as well as the first.
    cam->script(ipcsim::Scripted{ipcsim::Reply::Ack, {}, {}, 0, milliseconds(0), 2});
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
}

}  // namespace
