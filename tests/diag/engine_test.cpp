// The command frame against the simulated camera: answer kinds and their lines and results
// per variant, argument checks, and a walk over every command's class and code on the wire.
#include <dlfcn.h>
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

// Variant G (query) and S (update) on the video parameter pair.
TEST_F(Frame, QueryAndUpdateAnswerKinds) {
    VideoParamRecord r[2];
    struct Case {
        Reply reply;
        uint32_t get, set;
        Strings getLines, setLines;
    } cases[] = {
        {Reply::Short, 0x80001007, 0x80001007, {"pmqcsVideoParamGet net err."}, {"pmqcsVParamSet net err."}},
        {Reply::Nak, 0x80002002, 0x80002002, {"pmqcsVideoParamGet nak."}, {"pmqcsVParamSet nak."}},
        {Reply::Ack, 0x80002002, 0, {"pmqcsVideoParamGet ack."}, {"pmqcsVParamSet ack."}},
        {Reply::Echo, 0, 0x80002002, {}, {}},
        {Reply::OtherClass, 0x80002002, 0x80002002, {"pmqcsVideoParamGet info error."}, {"pmqcsVParamSet info error."}},
        {Reply::OtherCode, 0x80002002, 0x80002002, {"pmqcsVideoParamGet info error."}, {"pmqcsVParamSet info error."}},
    };
    for (const auto& c : cases) {
        std::memset(r, 0, sizeof r);
        cam->script(c.reply);
        EXPECT_EQ(IPCVideoParamGet(handle, r, 1), c.get) << int(c.reply);
        EXPECT_EQ(lines(), c.getLines) << int(c.reply);
        cam->script(c.reply);
        EXPECT_EQ(IPCVideoParamSet(handle, r, 1), c.set) << int(c.reply);
        EXPECT_EQ(lines(), c.setLines) << int(c.reply);
    }
    EXPECT_TRUE(syslog().empty()) << "G and S write no system log line";
}

// Variant GL (query with trail) on the camera control query; S with " err." short suffix.
TEST_F(Frame, TrailVariantAndShortSuffix) {
    CameraControlRecord rec{};
    cam->script(Reply::Ack);
    EXPECT_EQ(IPCGetCameraControlInfo(handle, &rec), 0x80002002u);
    EXPECT_EQ(lines(), (Strings{"IPCGetCameraControlInfo ack.\n", "IPCGetCameraControlInfo ack2.\n"}));
    auto s = syslog();
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].rfind("11 sipua IPCGetCameraControlInfo ", 0), 0u) << s[0];
    cam->script(Reply::Short);
    EXPECT_EQ(IPCGetCameraControlInfo(handle, &rec), 0x80001007u);
    EXPECT_EQ(lines(), (Strings{"IPCGetCameraControlInfo net err.\n"}));
    EXPECT_EQ(syslog().size(), 1u);
    cam->script(Reply::Short);
    EXPECT_EQ(IPCSetCameraControlInfo(handle, &rec), 0x80001007u);
    EXPECT_EQ(lines(), (Strings{"IPCSetCameraControlInfo err."}));
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

TEST_F(Frame, SystemInformationShortLineGoesToTheDebugLog) {
    SystemInfo info{};
    cam->script(Reply::Short);
    EXPECT_EQ(IPCGetSysVersion(handle, &info), 0x80001007u);
    EXPECT_EQ(lines(), (Strings{"IPCGetSysVersion net err."}));
    cam->script(Reply::OtherCode);
    EXPECT_EQ(IPCGetSysVersion(handle, &info), 0x80002002u);
    EXPECT_EQ(lines(), (Strings{"IPCGetSysVersion info error."}));
}

// Variant P: labelled system log lines only, ack is success.
TEST_F(Frame, KeepAliveVariant) {
    struct Case {
        Reply reply;
        uint32_t result;
        Strings syslog;
    } cases[] = {
        {Reply::Short, 0x80001007, {"11 IPCSendHeartBeat  net err. IPCSendHeartBeat 185\n"}},
        {Reply::Nak, 0x80002002, {}},
        {Reply::Ack, 0, {}},
        {Reply::Echo, 0x80002002, {}},
        {Reply::OtherClass, 0x80002002, {"11 IPCSendHeartBeat  IPCSendHeartBeat 209\n"}},
    };
    for (const auto& c : cases) {
        cam->script(c.reply);
        EXPECT_EQ(IPCSendHeartBeat(handle), c.result) << int(c.reply);
        EXPECT_EQ(syslog(), c.syslog) << int(c.reply);
        EXPECT_TRUE(lines().empty());
    }
    EXPECT_EQ(sent(10, 0).size(), 0u);
    DataReportRequestInfo info{};
    cam->script(Reply::Short);
    EXPECT_EQ(IPCDataReportRequest(handle, &info), 0x80001007u);
    EXPECT_EQ(syslog(), (Strings{"11 Data Report Request  net err. IPCDataReportRequest 6986\n"}));
    EXPECT_EQ(IPCDataReportRequest(handle, nullptr), 0x80002001u);
}

// The video start commands succeed only on a data answer whose result byte is 1.
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
    result[2] = 0;
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

TEST_F(Frame, NotInitialisedLines) {
    // The slot survives a reinitialisation only through the exported table; here the flag is
    // lowered directly so the check itself is what answers.
    g_IPCSdkInit = 0;
    VideoParamRecord r{};
    EXPECT_EQ(IPCVideoParamGet(handle, &r, 1), 0x80001002u);
    const Strings l = lines();
    ASSERT_EQ(l.size(), 1u);
    EXPECT_EQ(l[0].rfind("IPCVideoParamGet,", 0), 0u);
    EXPECT_NE(l[0].find(",sdk not init\n"), std::string::npos);
    VideoStartInfo start{};
    EXPECT_EQ(IPCStartVideo(handle, &start), 0x80001002u);
    EXPECT_EQ(lines(), (Strings{"IPCStartVideo,597,sdk not init\n"}));
    EXPECT_EQ(IPCSendHeartBeat(handle), 0u) << "the heartbeat makes no initialisation check";
    g_IPCSdkInit = 1;
}

// Every command of the table, called on a record of 0x01 bytes, sends its own class and code.
struct Row {
    const char* name;
    uint8_t cls, code;
};
const Row kRows[] = {
    {"IPCStartVideo", 1, 0}, {"IPCStopVideo", 1, 1}, {"IPCVideoParamGet", 1, 6}, {"IPCVideoParamSet", 1, 7},
    {"IPCDataReportRequest", 1, 9}, {"IPCStartVideoEx", 1, 10}, {"IPCStopVideoEx", 1, 11},
    {"IPCExOsdGet", 1, 14}, {"IPCExOsdSet", 1, 15}, {"IPCGetCameraControlInfo", 1, 16},
    {"IPCSetCameraControlInfo", 1, 17}, {"IPCFireModeSet", 1, 46}, {"IPCFireModeGet", 1, 47},
    {"IPCAlarmParamOutGet", 2, 4}, {"IPCAlarmParamOutSet", 2, 5}, {"IPCAlarmParamInGet", 2, 6},
    {"IPCAlarmParamInSet", 2, 7}, {"IPCSystemTimeGet", 3, 0}, {"IPCSystemTimeSet", 3, 1},
    {"IPCGetSysVersion", 3, 2}, {"IPCReboot", 3, 7}, {"IPCNtpConfGet", 3, 8}, {"IPCNtpConfSet", 3, 9},
    {"IPCDevFactoryDefault", 3, 10}, {"IPCGetRestartInfo", 3, 11}, {"IPCSetRestartInfo", 3, 12},
    {"IPCGetIdleOperationInfo", 3, 17}, {"IPCSetIdleOperationInfo", 3, 18}, {"IPCGetStartOperationInfo", 3, 19},
    {"IPCSetStartOperationInfo", 3, 20}, {"IPCGetRestartInfo2", 3, 21}, {"IPCSetRestartInfo2", 3, 22},
    {"IPCPtzReboot", 3, 23}, {"IPCShotSnap", 4, 6}, {"IPCFtpGet", 5, 8}, {"IPCFtpSet", 5, 9},
    {"IPCImageIspDayNightGet", 7, 17}, {"IPCImageIspDayNightSet", 7, 18}, {"IPCImageIspImageEnhanceGet", 7, 19},
    {"IPCImageIspImageEnhanceSet", 7, 20}, {"IPCDevNetWorkGet", 8, 0}, {"IPCDevNetWorkSet", 8, 1},
    {"IPCGB1400Set", 8, 16}, {"IPCGB1400Get", 8, 17}, {"IPCGB28181_setupGet", 9, 8},
    {"IPCGB28181_setupSet", 9, 9}, {"IPCSendHeartBeat", 10, 0}, {"IPCPTZParamGet", 12, 0},
    {"IPCPTZParamSet", 12, 1}, {"IPCPTZCtrl", 12, 2}, {"IPCGetPresetPoint", 12, 3}, {"IPCSetPresetPoint", 12, 4},
    {"IPCPTZValueGet", 12, 8}, {"IPCPTZValueSet", 12, 9}, {"IPCClearPresetPoint", 12, 17},
    {"IPCCruiseinfoGet", 12, 23}, {"IPCCruiseInfoSet", 12, 24}, {"IPCCruiseSet", 12, 25},
    {"IPCDevPassThrough", 12, 33}, {"IPCWiperSet", 12, 34}, {"IPCLaserSet", 12, 35}, {"IPCZoomSysncSet", 12, 46},
    {"IPCCrossSet", 12, 52}, {"IPCGetCamLinkPTZInfo", 32, 1}, {"IPCAddCamLinkPTZInfo", 32, 2},
    {"IPCEnterCamMarkMode", 33, 1}, {"IPCLeaveCamMarkMode", 33, 2}, {"IPCAddCamMarkPoint", 33, 3},
    {"IPCDelCamMarkPoint", 33, 4}, {"IPCEndCamMarkPoint", 33, 5}, {"IPCClearCamMarkPoint", 33, 6},
    {"IPCGetCamMarkPoint", 33, 7}, {"IPCEnterCamMarkMode2", 33, 8}, {"IPCGetCamMarkPoint2", 33, 9},
    {"IPCEndCamMarkPoint2", 33, 16}, {"IPCEndCamMarkPointAlone", 33, 17}, {"IPCFocusModeGet", 33, 18},
    {"IPCFocusModeSet", 33, 19}, {"IPCLinkFocusLearnStateQuery", 33, 20}, {"IPCLinkFocusLearn", 33, 21},
    {"IPCTargetTrackSet", 34, 1}, {"IPCMagnifyApply", 34, 3}, {"IPCTrackParamGet", 34, 4},
    {"IPCTrackParamSet", 34, 5}, {"IPCGetDev2Info", 34, 6}, {"IPCSetDev2Info", 34, 7}, {"IPCGetFaceInfo", 34, 8},
    {"IPCSetFaceInfo", 34, 9},
};

void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }

class TableWalk : public CameraTest, public ::testing::WithParamInterface<Row> {};

// Every command takes the handle first and at most a pointer and a count after it; called
// through one pointer type by its exported name, the extra arguments are ignored by those that
// take fewer. The undefined-behaviour sanitizer's function-type check is off for this one call.
#if defined(__clang__)
__attribute__((no_sanitize("function")))
#endif
uint32_t call_by_name(void* fn, uint32_t handle, void* record) {
    using Command = uint32_t (*)(uint32_t, void*, int32_t);
    return reinterpret_cast<Command>(fn)(handle, record, 1);
}

TEST_P(TableWalk, ClassAndCodeOnTheWire) {
    const Row& row = GetParam();
    void* fn = dlsym(RTLD_DEFAULT, row.name);
    ASSERT_NE(fn, nullptr) << row.name << " is not exported";
    // One buffer large enough for any record, with no zero word (the network set refuses those),
    // and a pointer-free layout wherever a record carries a pointer.
    std::vector<uint8_t> record(16384, 0x01);
    const std::string name = row.name;
    if (name == "IPCStartVideoEx" || name == "IPCStopVideoEx") record.assign(64, 0);
    // The camera refuses a PTZ command or preset operation it does not know: move up, store preset 1.
    if (name == "IPCPTZCtrl" || name == "IPCSetPresetPoint") {
        const uint32_t one = 1;
        std::memcpy(record.data(), &one, 4);
        std::memcpy(record.data() + 4, &one, 4);
    }
    const uint32_t r = call_by_name(fn, handle, record.data());
    EXPECT_NE(r, 0x80002001u) << row.name;
    EXPECT_NE(r, 0x80001004u) << row.name;
    const auto reqs = cam->requests();
    ASSERT_EQ(reqs.size(), 1u) << row.name;
    EXPECT_EQ(reqs[0].msgClass, row.cls) << row.name;
    EXPECT_EQ(reqs[0].code, row.code) << row.name;
    EXPECT_EQ(r, 0u) << row.name << ": the camera's normal answer counts as success";
}

INSTANTIATE_TEST_SUITE_P(EveryCommand, TableWalk, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& i) { return std::string(i.param.name); });

}  // namespace
