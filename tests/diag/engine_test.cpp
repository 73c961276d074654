// The command frame against the simulated camera, beyond what the command walk covers: argument
// checks, payloads too large for a request, partial answers, the video start and stop records.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

#include "camera_fixture.hpp"

using namespace testenv;
using ipcsim::Reply;
using Strings = std::vector<std::string>;

namespace {

class Frame : public CameraTest {
protected:
    void SetUp() override {
        CameraTest::SetUp();
        ASSERT_TRUE(debug.ok());
        debug.clear();
        clear_syslog();
    }
    Strings lines() {
        Strings l = debug.lines(0);
        debug.clear();
        return l;
    }
    std::vector<std::string> syslog() {
        std::vector<std::string> out;
        for (const auto& l : syslog_lines()) out.push_back(std::to_string(l.priority) + " " + l.text);
        clear_syslog();
        return out;
    }
    DebugCapture debug;
};

// The walk answers "other" with another class; the same class with another code is no echo either.
TEST_F(Frame, SameClassOtherCodeIsNoEcho) {
    VideoParamRecord r{};
    cam->script(ipcsim::Scripted{Reply::OtherCode, std::vector<uint8_t>(132, 1)});
    EXPECT_EQ(IPCVideoParamGet(handle, &r, 1), 0x80002002u);
    EXPECT_EQ(lines(), (Strings{"pmqcsVideoParamGet info error."}));
    EXPECT_EQ(r.value32, 0u);
}

TEST_F(Frame, ArgumentChecksFreeTheSemaphore) {
    VideoParamRecord r{};
    EXPECT_EQ(IPCVideoParamGet(handle, nullptr, 1), 0x80002001u);
    EXPECT_EQ(IPCVideoParamGet(handle, &r, 0), 0x80002001u);
    EXPECT_EQ(IPCVideoParamSet(handle, &r, -1), 0x80002001u);
    EXPECT_EQ(IPCGetCameraControlInfo(handle, nullptr), 0x80002001u);
    EXPECT_TRUE(lines().empty());
    int v = -1;
    sem_getvalue(&slot->sem, &v);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(IPCVideoParamGet(handle, &r, 1), 0u) << "the next command proceeds at once";
    EXPECT_TRUE(cam->requests().size() == 1) << "refused calls sent nothing";
    // The trace line is written before the checks.
    EXPECT_NE(read_file("IPCSDK_log").find("function=IPCGetCameraControlInfo sem_value=1\n"), std::string::npos);
    EXPECT_EQ(IPCVideoParamGet(0, &r, 1), 0x80001004u);
    EXPECT_EQ(IPCVideoParamGet(handle + 1, &r, 1), 0x80001004u);
}

TEST_F(Frame, PayloadsThatCannotFitAreRefused) {
    std::vector<VideoParamRecord> many(78);
    EXPECT_EQ(IPCVideoParamSet(handle, many.data(), 78), 0x80002001u);
    EXPECT_EQ(IPCVideoParamSet(handle, many.data(), 77), 0u);
    std::vector<ExOsdRecord> osd(29);
    EXPECT_EQ(IPCExOsdSet(handle, osd.data(), 29), 0x80002001u);
    EXPECT_EQ(IPCExOsdSet(handle, osd.data(), 2), 0u);
    EXPECT_EQ(sent(1, 15).size(), 724u);
}

TEST_F(Frame, UnpackFillsWholeRecordsOnly) {
    // 3 records offered to a caller with room for 2; then 2 to a caller with room for 4.
    std::vector<uint8_t> three(3 * 132);
    for (size_t i = 0; i < three.size(); ++i) three[i] = static_cast<uint8_t>(i / 132 + 1);
    VideoParamRecord r[4];
    std::memset(r, 0xEE, sizeof r);
    cam->script(ipcsim::Scripted{Reply::Echo, three});
    ASSERT_EQ(IPCVideoParamGet(handle, r, 2), 0u);
    EXPECT_EQ(r[0].bytes2[0], 1);
    EXPECT_EQ(r[1].bytes2[0], 2);
    EXPECT_EQ(r[2].bytes2[0], 0xEE);
    std::memset(r, 0xEE, sizeof r);
    cam->script(ipcsim::Scripted{Reply::Echo, std::vector<uint8_t>(three.begin(), three.begin() + 264)});
    ASSERT_EQ(IPCVideoParamGet(handle, r, 4), 0u);
    EXPECT_EQ(r[1].bytes2[0], 2);
    EXPECT_EQ(r[2].bytes2[0], 0xEE);
    std::memset(r, 0xEE, sizeof r);
    cam->script(ipcsim::Scripted{Reply::Echo, std::vector<uint8_t>(131, 1)});
    ASSERT_EQ(IPCVideoParamGet(handle, r, 1), 0u);
    EXPECT_EQ(r[0].bytes2[0], 0xEE) << "less than one record fills nothing";
}

// The video start commands succeed only on a data answer whose result byte is 1.
TEST_F(Frame, LateAnswerIsCountedAndDroppedByTheNextCommand) {
    VideoParamRecord r{};
    cam->script(ipcsim::Scripted{Reply::Default, {}, {}, 0, std::chrono::milliseconds(1500), 1});
    EXPECT_EQ(IPCVideoParamGet(handle, &r, 1), 0x80001007u);
    EXPECT_EQ(lines(), (Strings{"add cmd timeout num: 1\n", "pmqcsVideoParamGet net err."}));
    // The late answer lands before the next request and is dropped; its own answer is taken.
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    cam->script(ipcsim::Scripted{Reply::Default, {}, {}, 0, std::chrono::milliseconds(50), 1});
    EXPECT_EQ(IPCVideoParamGet(handle, &r, 1), 0u);
    EXPECT_EQ(lines(), (Strings{"reduce cmd timeout num: 0\n"}));
}

TEST_F(Frame, VideoStartAndStopAnswers) {
    VideoStartInfo start{};
    start.kind = 3;
    start.attachMode = 2;
    start.value32 = 0x01020304;
    cam->script(Reply::Ack);
    EXPECT_EQ(IPCStartVideo(handle, &start), 0x80002002u);
    EXPECT_EQ(lines(), (Strings{"pmqcsVideoStart ack."}));
    const auto p = sent(1, 0);
    ASSERT_EQ(p.size(), 16u);
    EXPECT_EQ(p[10], 0);
    EXPECT_EQ(p[4], 1);
    EXPECT_EQ(p[7], 4);
    std::vector<uint8_t> result(16, 0);
    result[2] = 1;
    cam->script(ipcsim::Scripted{Reply::Echo, result});
    EXPECT_EQ(IPCStartVideo(handle, &start), 0u);
    result[2] = 2;  // only 1 is success
    cam->script(ipcsim::Scripted{Reply::Echo, result});
    EXPECT_EQ(IPCStartVideo(handle, &start), 0x80002002u);
    EXPECT_TRUE(lines().empty());

    VideoStopInfo stop{};
    cam->script(Reply::Ack);
    EXPECT_EQ(IPCStopVideo(handle, &stop), 0u);
    EXPECT_EQ(lines(), (Strings{"pmqcsVideoStop ack."}));

    uint8_t area[12] = {1, 2, 3, 4, 10, 11, 12, 13, 14, 15, 16, 17};
    VideoStartExInfo ex{};
    ex.attachMode = 1;
    ex.dataLength = 4;
    ex.bodyLength = 8;
    ex.data = area;
    cam->script(Reply::Ack);
    clear_syslog();
    EXPECT_EQ(IPCStartVideoEx(handle, &ex), 0x80002002u);
    const auto pe = sent(1, 10);
    ASSERT_EQ(pe.size(), 40u);
    EXPECT_EQ(pe[14], 0);
    EXPECT_EQ(std::vector<uint8_t>(pe.begin() + 20, pe.begin() + 24), (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(pe.begin() + 32, pe.end()), std::vector<uint8_t>(area + 4, area + 12));
    EXPECT_EQ(lines(), (Strings{"pmqcsVideoStartEx ack."}));
    EXPECT_EQ(syslog(), (Strings{"11 sipua IPCStartVideoEx 824\n"}));

    VideoStopExInfo stopEx{3, area};
    cam->script(Reply::Echo);
    EXPECT_EQ(IPCStopVideoEx(handle, &stopEx), 0x80002002u);
    EXPECT_EQ(syslog(), (Strings{"11 sipua IPCStopVideoEx 889\n", "11 sipua IPCStopVideoEx 940\n"}));
    EXPECT_EQ(sent(1, 11), (std::vector<uint8_t>{0, 0, 0, 3, 0, 0, 0, 0, 1, 2, 3}));
    VideoStopExInfo bad{5, nullptr};
    EXPECT_EQ(IPCStopVideoEx(handle, &bad), 0x80002001u);
    // Extra data that would not fit the 10240-byte request buffer is refused before packing.
    std::vector<uint8_t> huge(sizeof(VideoStartInfo) + 20000, 0);
    auto* big = reinterpret_cast<VideoStartInfo*>(huge.data());
    big->kind = 5;
    big->dataLength = 20000;
    EXPECT_EQ(IPCStartVideo(handle, big), 0x80002001u);
    big->dataLength = 100;
    cam->script(Reply::Ack);
    EXPECT_EQ(IPCStartVideo(handle, big), 0x80002002u);
    const auto fourth = cam->waitRequest(1, 0, std::chrono::milliseconds(2000), 4);
    ASSERT_TRUE(fourth);
    EXPECT_EQ(fourth->payload().size(), 116u);
}

}  // namespace
