// The command frame beyond the walk: argument checks, request bounds, partial and late answers, video start/stop.
#include <tuple>

#include "camera_fixture.hpp"

using namespace testenv;
using ipcsim::Reply;
using ipcsim::Scripted;
using Strings = std::vector<std::string>;

namespace {

class Frame : public CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        ASSERT_TRUE(debug.ok());
        debug.clear(), clear_syslog();
    }
    Strings lines() {  // the lines since the last call
        Strings l = debug.lines(0);
        return debug.clear(), l;
    }
    Strings syslog() {  // the lines since the last call
        const Strings l = syslog_lines();
        return clear_syslog(), l;
    }
    DebugCapture debug;
};

TEST_F(Frame, ArgumentsBoundsPartialAndLateAnswersVideoStartAndStop) {
    VideoParamRecord r[4]{};
    EXPECT_EQ(IPCVideoParamGet(handle, r, 0), IPCSDK_ERR_PARAM);
    EXPECT_EQ(IPCGetCameraControlInfo(handle, nullptr), IPCSDK_ERR_PARAM);
    std::vector<PTZParamRecord> ptz(81);
    EXPECT_EQ(IPCPTZParamSet(handle, ptz.data(), 81), IPCSDK_ERR_PARAM);  // cannot fit a request
    for (int word = 0; word < 3; ++word) {  // a zero word in the network record is refused silently
        NetWorkConfInfo n;
        std::memset(&n, 0x5C, sizeof n);
        EXPECT_EQ(IPCDevNetWorkSet(handle, ((&n.word1)[word] = 0, &n)), IPCSDK_ERR_PARAM) << word;
    }
    EXPECT_TRUE(syslog_lines().empty());
    EXPECT_TRUE(lines().empty());
    EXPECT_TRUE(cam->requests().empty()) << "refused calls sent nothing";
    int v = -1;
    EXPECT_TRUE(sem_getvalue(&slot->sem, &v) == 0 && v == 1) << "the refusals freed the semaphore";
    // The trace line is written before the checks.
    EXPECT_NE(read_file("IPCSDK_log").find("function=IPCGetCameraControlInfo sem_value=1\n"), std::string::npos);
    EXPECT_EQ(IPCVideoParamGet(0, r, 1), IPCSDK_ERR_BAD_HANDLE);
    EXPECT_EQ(IPCVideoParamGet(handle + 1, r, 1), IPCSDK_ERR_BAD_HANDLE);
    ASSERT_EQ(IPCPTZParamSet(handle, ptz.data(), 80), 0u);  // exactly fills the request
    EXPECT_EQ(sent(12, 1).size(), 10240u);
    EXPECT_EQ(lines(), (Strings{"IPCPTZParamSet ack."}));

    // The walk answers "other" with another class; the same class with another code is no echo either.
    cam->script(Scripted{Reply::OtherCode, Bytes(132, 1)});
    EXPECT_EQ(IPCVideoParamGet(handle, r, 1), IPCSDK_ERR_REFUSED);
    EXPECT_EQ(lines(), (Strings{"pmqcsVideoParamGet info error."}));
    EXPECT_EQ(r[0].value32, 0u);

    // Whole records only: 3 offered to room for 2, 2 to room for 4, less than one.
    const Bytes three = cat({Bytes(132, 1), Bytes(132, 2), Bytes(132, 3)});
    for (auto [offered, room, filled] : std::vector<std::tuple<int, int, int>>{{396, 2, 2}, {264, 4, 2}, {131, 1, 0}}) {
        std::memset(r, 0xEE, sizeof r);
        cam->script(Scripted{Reply::Echo, Bytes(three.begin(), three.begin() + offered)});
        ASSERT_EQ(IPCVideoParamGet(handle, r, room), 0u);
        for (int i = 0; i < 3; ++i) EXPECT_EQ(r[i].bytes2[0], i < filled ? i + 1 : 0xEE) << offered << " " << i;
    }

    // A late answer is counted, and dropped by the next command, which takes its own answer.
    cam->script(Scripted{Reply::Default, {}, {}, 0, std::chrono::milliseconds(1500), 1});
    EXPECT_EQ(IPCVideoParamGet(handle, r, 1), IPCSDK_ERR_NET);
    EXPECT_EQ(lines(), (Strings{"add cmd timeout num: 1\n", "pmqcsVideoParamGet net err."}));
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    cam->script(Scripted{Reply::Default, {}, {}, 0, std::chrono::milliseconds(50), 1});
    EXPECT_EQ(IPCVideoParamGet(handle, r, 1), 0u);
    EXPECT_EQ(lines(), (Strings{"reduce cmd timeout num: 0\n"}));

    // The video start commands succeed only on a data answer whose result byte is 1.
    VideoStartInfo start{};
    start.kind = 3, start.attachMode = 2, start.value32 = 0x01020304;
    cam->script(Reply::Ack);
    EXPECT_EQ(IPCStartVideo(handle, &start), IPCSDK_ERR_REFUSED);
    EXPECT_EQ(lines(), (Strings{"pmqcsVideoStart ack."}));
    const auto p = sent(1, 0);
    ASSERT_EQ(p.size(), 16u);
    EXPECT_EQ((Bytes{p[4], p[7], p[10]}), (Bytes{1, 4, 0}));
    for (uint8_t result : {1, 2}) {
        cam->script(Scripted{Reply::Echo, cat({Bytes{0, 0, result}, Bytes(13, 0)})});
        EXPECT_EQ(IPCStartVideo(handle, &start), result == 1 ? IPCSDK_OK : IPCSDK_ERR_REFUSED);
    }
    EXPECT_TRUE(lines().empty());
    VideoStopInfo stop{};
    cam->script(Reply::Ack);
    EXPECT_EQ(IPCStopVideo(handle, &stop), 0u);
    EXPECT_EQ(lines(), (Strings{"pmqcsVideoStop ack."}));
    uint8_t area[12] = {1, 2, 3, 4, 10, 11, 12, 13, 14, 15, 16, 17};
    VideoStartExInfo ex{};
    ex.attachMode = 1, ex.dataLength = 4, ex.bodyLength = 8, ex.data = area;
    cam->script(Reply::Ack);
    clear_syslog();
    EXPECT_EQ(IPCStartVideoEx(handle, &ex), IPCSDK_ERR_REFUSED);
    const auto pe = sent(1, 10);  // the start record, then the body bytes after the extra data
    ASSERT_EQ(pe.size(), 40u);
    EXPECT_TRUE(pe[14] == 0 && Bytes(pe.begin() + 20, pe.begin() + 24) == Bytes(4, 0));
    EXPECT_EQ(Bytes(pe.begin() + 32, pe.end()), Bytes(area + 4, area + 12));
    EXPECT_EQ(lines(), (Strings{"pmqcsVideoStartEx ack."}));
    EXPECT_EQ(syslog(), (Strings{"11 sipua IPCStartVideoEx 824\n"}));
    VideoStopExInfo stopEx{3, area};
    cam->script(Reply::Echo);
    EXPECT_EQ(IPCStopVideoEx(handle, &stopEx), IPCSDK_ERR_REFUSED);
    EXPECT_EQ(syslog(), (Strings{"11 sipua IPCStopVideoEx 889\n", "11 sipua IPCStopVideoEx 940\n"}));
    EXPECT_EQ(sent(1, 11), (Bytes{0, 0, 0, 3, 0, 0, 0, 0, 1, 2, 3}));
    stopEx.data = nullptr;
    EXPECT_EQ(IPCStopVideoEx(handle, &stopEx), IPCSDK_ERR_PARAM);
    // Extra data that would not fit the 10240-byte request buffer is refused before packing.
    Bytes huge(sizeof(VideoStartInfo) + 20000, 0);
    auto* big = reinterpret_cast<VideoStartInfo*>(huge.data());
    big->kind = 5, big->dataLength = 20000;
    EXPECT_EQ(IPCStartVideo(handle, big), IPCSDK_ERR_PARAM);
    big->dataLength = 100;
    cam->script(Reply::Ack);
    cam->clear_requests();
    EXPECT_EQ(IPCStartVideo(handle, big), IPCSDK_ERR_REFUSED);
    EXPECT_EQ(sent(1, 0).size(), 116u);
}

}  // namespace
