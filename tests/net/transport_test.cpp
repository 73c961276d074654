// The exchange over real sockets: the polling windows of UDP and TCP, answers
// that do not fit, a broken TCP connection, and cameras served in parallel.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "camera_fixture.hpp"

using namespace testenv;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

namespace {

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
    slot->reqLen = 0;
    slot->respLen = 0xFFFFFFFF;
    EXPECT_EQ(IPCSdk2usock(slot, 1, 6), static_cast<uint32_t>(-2)) << "cut at the buffer: its length no longer fits";
    cam->script(ipcsim::Scripted{ipcsim::Reply::Echo, Bytes(10224, 0x33)});
    slot->respLen = 20000;
    EXPECT_EQ(IPCSdk2usock(slot, 1, 6), 10240u);
    EXPECT_EQ(slot->respBuf[10239], 0x33);

    StdoutCapture out;
    cam->script(ipcsim::Reply::None);
    const auto t0 = Clock::now();
    EXPECT_EQ(IPCVideoParamGet(handle, r, 1), 0x80001007u);
    const auto took = Clock::now() - t0;
    EXPECT_TRUE(took >= milliseconds(400) && took < milliseconds(3000));
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
    EXPECT_TRUE(took >= milliseconds(200) && took < milliseconds(2000)) << "read after the first poll";
    // Less than a header never completes; the fragment is dropped before the next request.
    for (size_t n : {1, 8, 15}) {
        cam->script(ipcsim::Scripted{ipcsim::Reply::Short, {}, {}, n});
        EXPECT_EQ(IPCVideoParamGet(handle, &r, 1), 0x80001007u) << n << " bytes";
        EXPECT_EQ(IPCVideoParamGet(handle, &r, 1), 0u) << "after " << n << " bytes";
    }
    // Eleven polls 200 ms apart: an answer 2.18 s late lands in the last one, too late.
    cam->script(ipcsim::Scripted{ipcsim::Reply::Default, {}, {}, 0, milliseconds(2180)});
    EXPECT_EQ(IPCVideoParamGet(handle, &r, 1), 0x80001007u);
    cam->script(ipcsim::Reply::None);
    t0 = Clock::now();
    EXPECT_EQ(IPCVideoParamGet(handle, &r, 1), 0x80001007u);
    took = Clock::now() - t0;
    EXPECT_TRUE(took >= milliseconds(2200) && took < milliseconds(6000));
    EXPECT_EQ(slot->respLen, static_cast<uint32_t>(-3));

    // The camera goes: a few sends later one fails (never with SIGPIPE, which would end this
    // process), the command socket is given up and commands fail at once.
    cam->script(ipcsim::Reply::Close);
    EXPECT_EQ(IPCVideoParamGet(handle, &r, 1), 0x80001007u);
    for (int i = 0; i < 5 && peek(slot->cmdSocket) != -1; ++i) EXPECT_EQ(IPCVideoParamGet(handle, &r, 1), 0x80001007u);
    ASSERT_EQ(slot->cmdSocket, -1);
    t0 = Clock::now();
    EXPECT_EQ(IPCVideoParamGet(handle, &r, 1), 0x80001007u);
    EXPECT_LT(Clock::now() - t0, milliseconds(150)) << "no socket: fails at once";
    EXPECT_EQ(slot->respLen, static_cast<uint32_t>(-1));

    uint8_t resp[64];
    const uint8_t req[16] = {0x5B, 0x5A, 1};
    EXPECT_EQ(IPCSdkTcpRequest(5, nullptr, 16, resp, 64), static_cast<uint32_t>(-4));
    EXPECT_EQ(IPCSdkTcpRequest(5, req, 0, resp, 64), static_cast<uint32_t>(-4));
    EXPECT_EQ(IPCSdkTcpRequest(-1, req, 16, resp, 64), static_cast<uint32_t>(-1));
    EXPECT_EQ(IPCSdkTcpSend(-1, req, 16), 0u);
    EXPECT_EQ(IPCSdkTcpExist(), 1);
    EXPECT_EQ(IPCSdkUdpExist(), 1);
    StdoutCapture out;
    const uint32_t addr = ntohl(inet_addr(camera_ip().c_str()));
    EXPECT_EQ(IPCSdkTcpConnect(addr, 5999, 2), -1) << "nobody listens there";
    EXPECT_NE(out.text().find("ERROR:Tcp connect to (0x"), std::string::npos);
    EXPECT_EQ(IPCSdkUdpConnect(0, 5001), -1);
    EXPECT_EQ(IPCSdkUdpConnect(addr, 0), -1);
    EXPECT_NE(out.text().find("Invalid address[0x0] and port[5001]."), std::string::npos);
}

// Arrival times of requests at the cameras, and return times of the calls that sent them.
struct Timeline {
    std::mutex m;
    std::vector<Clock::time_point> arrived, returned;
    void add(std::vector<Clock::time_point>& v) {
        std::lock_guard<std::mutex> l(m);
        v.push_back(Clock::now());
    }
};

TEST(Parallel, CommandsOfOneCameraAreSerialisedOfTwoOverlap) {
    ASSERT_EQ(IPCSdkInit(), 0u);
    auto a = start_camera(0), b = start_camera(1);
    // Over TCP, whose 2.2 s window leaves room for answers that take 1.5 s.
    const uint32_t ha = login(camera_ip(0), 2), hb = login(camera_ip(1), 2);
    ASSERT_TRUE(is_handle(ha) && is_handle(hb));
    Timeline t;
    for (auto* c : {a.get(), b.get()}) {
        c->clearRequests();
        c->onRequest([&](const ipcsim::Request&) { t.add(t.arrived); });
    }
    auto call = [&](uint32_t h) {
        VideoParamRecord r{};
        EXPECT_EQ(IPCVideoParamGet(h, &r, 1), 0u);
        t.add(t.returned);
    };
    a->script(ipcsim::Scripted{ipcsim::Reply::Default, {}, {}, 15, milliseconds(250), 2});
    std::thread first(call, ha);
    ASSERT_TRUE(a->waitRequest(1, 6));  // the first call holds the semaphore now
    std::thread second(call, ha);
    first.join();
    second.join();
    ASSERT_EQ(t.arrived.size(), 2u);
    EXPECT_GE(t.arrived[1] - t.arrived[0], milliseconds(250)) << "the second request left after the first answer";
    EXPECT_NE(read_file("IPCSDK_log").find("function=IPCVideoParamGet sem_value=0"), std::string::npos)
        << "the waiting call's trace line shows the semaphore taken";

    t.arrived.clear();
    t.returned.clear();
    for (auto* c : {a.get(), b.get()}) c->script(ipcsim::Scripted{ipcsim::Reply::Default, {}, {}, 15, milliseconds(1500), 1});
    std::thread ca(call, ha), cb(call, hb);
    ca.join();
    cb.join();
    ASSERT_EQ(t.arrived.size(), 2u);
    EXPECT_LT(t.arrived[1], t.returned[0]) << "the second camera was asked before the first one answered";
    DeviceLogout(ha);
    DeviceLogout(hb);
    IPCSdkUnInit();
}

}  // namespace
