// Walks every command of the common frame against the simulator: class and code on the wire,
// the exact payload of a patterned record, the record a query fills from a patterned answer,
// the result and the diagnostic lines for each answer kind, and the null-record and
// not-initialised paths. Every expectation is written out here, from the record layouts of the
// header, never taken from the library's own tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "bytes.hpp"
#include "camera_fixture.hpp"

namespace {

using testenv::Bytes;
using testenv::Field;
using testenv::Range;
using testenv::in;
using testenv::pattern;
using testenv::u16s;
using testenv::u32s;
using testenv::operator+;
using Strings = std::vector<std::string>;
using ipcsim::Reply;

using Call = std::function<uint32_t(uint32_t handle, void* record)>;

// Adapters: a command taking (handle, record) or the handle alone, called on a byte buffer.
template <typename T>
T* record_type(uint32_t (*)(uint32_t, T*));
template <auto F>
uint32_t rec(uint32_t h, void* r) {
    return F(h, static_cast<decltype(record_type(F))>(r));
}
template <auto F>
uint32_t bare(uint32_t h, void*) {
    return F(h);
}

enum class V { G, S, GL, SL, GX, GT, NG, NS, P, Q };
enum : uint8_t {
    ERR = 1,     // a short answer says " err." instead of " net err."
    NI = 2,      // no initialisation check
    ACKOK = 4,   // a query that also takes the ack as success
    INIT_OUT = 8,  // "sdk not init" on standard output
    INIT9 = 16,  // "sdk not init" as the numbered "[-9]" line
    BARE = 32,   // the handle alone
    VALSET = 64,  // the two extra lines of the PTZ value set
    NOREAD = 128,  // a query that never writes its record
};
constexpr int X = -1;  // a line whose site number is the implementation's own choice

struct Row {
    const char* name;
    uint8_t cls, code;
    V v;
    Call call;
    uint32_t size;                // bytes of the caller's record
    uint32_t sent;                // request payload length (0: a query, its record is the answer)
    std::vector<Field> swap{};    // big-endian integers of the payload, or of the answer
    std::vector<Range> carried{};  // payload bytes taken from the record (empty: all; others zero)
    uint8_t flags = 0;
    const char* prefix = nullptr;
    // Numbered and labelled lines: init, debug, null, short, nak, ack, other, echo (0: none).
    std::array<int, 8> n{};
    const char* label = nullptr;
    std::vector<Range> got{};  // bytes a query copies from the answer besides the integers (empty: all)
};
void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }

std::vector<Field> every_u16(uint32_t from, uint32_t to, uint32_t step, std::initializer_list<uint32_t> within) {
    std::vector<Field> f;
    for (uint32_t base = from; base < to; base += step)
        for (uint32_t o : within) f.push_back({base + o, 2});
    return f;
}
const std::vector<Field> kMark = every_u16(4, 164, 8, {0, 2, 4});
const std::vector<Field> kMark2 = every_u16(0, 160, 8, {0, 2}) + every_u16(160, 320, 2, {0});
const std::vector<Field> kLink = [] {
    std::vector<Field> f;
    for (uint32_t a = 266; a < 1864; a += 302) f = f + every_u16(a, a + 40, 2, {0});
    return f;
}();

uint32_t ptz_param_get2(uint32_t h, void* r) { return IPCPTZParamGet(h, static_cast<PTZParamRecord*>(r), 2); }
uint32_t ptz_param_set2(uint32_t h, void* r) { return IPCPTZParamSet(h, static_cast<PTZParamRecord*>(r), 2); }
uint32_t video_param_get2(uint32_t h, void* r) { return IPCVideoParamGet(h, static_cast<VideoParamRecord*>(r), 2); }
uint32_t video_param_set2(uint32_t h, void* r) { return IPCVideoParamSet(h, static_cast<VideoParamRecord*>(r), 2); }
uint32_t osd_get1(uint32_t h, void* r) { return IPCExOsdGet(h, static_cast<ExOsdRecord*>(r), 1); }
uint32_t osd_set1(uint32_t h, void* r) { return IPCExOsdSet(h, static_cast<ExOsdRecord*>(r), 1); }
const std::vector<Field> kOsd = u16s({76, 78, 80, 82, 84, 86, 88, 154, 156, 222, 224, 290, 292}) + u32s({358});

const std::vector<Row>& rows() {
    static const std::vector<Row> r = {
        // video, on-screen display, camera control, system information, keep-alive
        {"IPCVideoParamGet", 1, 6, V::G, video_param_get2, 264, 0, u16s({0, 132}) + u32s({4, 136}), {}, 0,
         "pmqcsVideoParamGet"},
        {"IPCVideoParamSet", 1, 7, V::S, video_param_set2, 264, 264, u16s({0, 132}) + u32s({4, 136}), {}, 0,
         "pmqcsVParamSet"},
        {"IPCExOsdGet", 1, 14, V::G, osd_get1, 362, 0, kOsd, {}, 0, "pmqcsVideoParamGet"},
        {"IPCExOsdSet", 1, 15, V::S, osd_set1, 362, 362, kOsd, {}, 0, "pmqcsVParamSet"},
        {"IPCGetCameraControlInfo", 1, 16, V::GL, rec<IPCGetCameraControlInfo>, 128, 0, u32s({4, 8})},
        {"IPCSetCameraControlInfo", 1, 17, V::S, rec<IPCSetCameraControlInfo>, 128, 128, u32s({4, 8}), {}, ERR},
        {"IPCGetSysVersion", 3, 2, V::G, rec<IPCGetSysVersion>, 80, 0, u32s({0, 20, 24, 28, 76}) + u16s({54, 56}), {}, 0,
         nullptr, {}, nullptr, {{4, 16}, {32, 18}, {58, 18}}},
        {"IPCSendHeartBeat", 10, 0, V::P, bare<IPCSendHeartBeat>, 0, 0, {}, {}, NI | BARE, nullptr,
         {0, 0, 0, 185, 0, 0, 209, 0}, "IPCSendHeartBeat"},
        {"IPCDataReportRequest", 1, 9, V::P, rec<IPCDataReportRequest>, 140, 140, u16s({4, 6}) + u32s({8}), {}, NI,
         nullptr, {0, 0, 0, 6986, 0, 0, 7010, 0}, "Data Report Request"},
        // PTZ, presets, cruise
        {"IPCPTZParamGet", 12, 0, V::G, ptz_param_get2, 256, 0, u32s({4, 132}), {}, 0, nullptr, {}, nullptr,
         {{0, 10}, {128, 10}}},
        {"IPCPTZParamSet", 12, 1, V::S, ptz_param_set2, 256, 256, u32s({4, 132}), {}, ERR},
        {"IPCPTZCtrl", 12, 2, V::S, rec<IPCPTZCtrl>, 132, 132, {}, {}, ERR, "IPCPackPTZCtrl"},
        {"IPCGetPresetPoint", 12, 3, V::GL, rec<IPCGetPresetPoint>, 9180, 0},
        {"IPCSetPresetPoint", 12, 4, V::S, rec<IPCSetPresetPoint>, 36, 36, {}, {}, ERR},
        {"IPCPTZValueGet", 12, 8, V::GT, rec<IPCPTZValueGet>, 134, 0, u16s({0, 2, 4}), {}, INIT_OUT},
        {"IPCPTZValueSet", 12, 9, V::S, rec<IPCPTZValueSet>, 134, 134, u16s({0, 2, 4}), {}, ERR | VALSET},
        {"IPCClearPresetPoint", 12, 17, V::S, rec<IPCClearPresetPoint>, 9180, 9180, {}, {}, ERR},
        {"IPCCruiseinfoGet", 12, 23, V::G, rec<IPCCruiseinfoGet>, 3460, 0, {}, {}, NI, "IPCCruiseInfoGet"},
        {"IPCCruiseInfoSet", 12, 24, V::SL, rec<IPCCruiseInfoSet>, 3460, 3460, {}, {}, NI, "IPCcruiseinfo_set"},
        {"IPCCruiseSet", 12, 25, V::SL, rec<IPCCruiseSet>, 124, 124, {}, {}, NI},
        // tracking and marks
        {"IPCShotSnap", 4, 6, V::GX, rec<IPCShotSnap>, 4, 0, {}, {}, NOREAD},
        {"IPCTrackParamGet", 34, 4, V::G, rec<IPCTrackParamGet>, 132, 0},
        {"IPCTrackParamSet", 34, 5, V::GL, rec<IPCTrackParamSet>, 132, 132},
        {"IPCTargetTrackSet", 34, 1, V::SL, rec<IPCTargetTrackSet>, 1, 1},
        {"IPCEnterCamMarkMode", 33, 1, V::GL, rec<IPCEnterCamMarkMode>, 212, 0, kMark},
        {"IPCEnterCamMarkMode2", 33, 8, V::GL, bare<IPCEnterCamMarkMode2>, 0, 0, {}, {}, BARE},
        {"IPCLeaveCamMarkMode", 33, 2, V::GL, rec<IPCLeaveCamMarkMode>, 212, 212, kMark},
        {"IPCAddCamMarkPoint", 33, 3, V::GL, rec<IPCAddCamMarkPoint>, 212, 212, kMark},
        {"IPCDelCamMarkPoint", 33, 4, V::GL, rec<IPCDelCamMarkPoint>, 212, 212, kMark},
        {"IPCEndCamMarkPoint", 33, 5, V::GL, rec<IPCEndCamMarkPoint>, 212, 212, kMark},
        {"IPCClearCamMarkPoint", 33, 6, V::GL, rec<IPCClearCamMarkPoint>, 212, 212, kMark},
        {"IPCGetCamMarkPoint", 33, 7, V::GL, rec<IPCGetCamMarkPoint>, 212, 0, kMark},
        {"IPCGetCamMarkPoint2", 33, 9, V::GL, rec<IPCGetCamMarkPoint2>, 320, 0, kMark2, {}, 0, "IPCGetCamMarkPoint"},
        {"IPCEndCamMarkPoint2", 33, 16, V::GL, rec<IPCEndCamMarkPoint2>, 320, 320, kMark2},
        {"IPCEndCamMarkPointAlone", 33, 17, V::GL, rec<IPCEndCamMarkPointAlone>, 4, 0, {}, {}, NI | NOREAD},
        {"IPCGetCamLinkPTZInfo", 32, 1, V::GL, rec<IPCGetCamLinkPTZInfo>, 1864, 0, kLink},
        {"IPCAddCamLinkPTZInfo", 32, 2, V::GL, rec<IPCAddCamLinkPTZInfo>, 1864, 1864, kLink},
        // focus
        {"IPCFocusModeGet", 33, 18, V::G, rec<IPCFocusModeGet>, 128, 0, {}, {}, 0, nullptr, {}, nullptr, {{0, 1}}},
        {"IPCFocusModeSet", 33, 19, V::GL, rec<IPCFocusModeSet>, 128, 128},
        {"IPCLinkFocusLearnStateQuery", 33, 20, V::G, rec<IPCLinkFocusLearnStateQuery>, 128, 0, u16s({0, 2, 4, 6}), {},
         0, nullptr, {}, nullptr, {{0, 0}}},
        {"IPCLinkFocusLearn", 33, 21, V::GL, rec<IPCLinkFocusLearn>, 128, 128, u16s({0, 2}), {}, ACKOK},
        // network, platform access, time
        {"IPCDevNetWorkGet", 8, 0, V::NG, rec<IPCDevNetWorkGet>, 140, 0, u32s({0, 4, 8}), {}, INIT9, nullptr, {X, X, X, X, X, X, X, 0}},
        {"IPCDevNetWorkSet", 8, 1, V::NS, rec<IPCDevNetWorkSet>, 140, 140, u32s({0, 4, 8}), {}, INIT9, nullptr,
         {X, 0, X, X, X, 0, X, X}},
        {"IPCGB28181_setupGet", 9, 8, V::GL, rec<IPCGB28181_setupGet>, 404, 0, u32s({96, 100, 104, 108})},
        {"IPCGB28181_setupSet", 9, 9, V::S, rec<IPCGB28181_setupSet>, 404, 404, u32s({96, 100, 104, 108}), {}, ERR},
        {"IPCFtpGet", 5, 8, V::GL, rec<IPCFtpGet>, 220, 0, u32s({0, 4}) + u16s({8})},
        {"IPCFtpSet", 5, 9, V::S, rec<IPCFtpSet>, 220, 220, u32s({0, 4}) + u16s({8}), {}, ERR},
        {"IPCGB1400Get", 8, 17, V::GL, rec<IPCGB1400Get>, 236, 0, u32s({0, 4, 8, 108}) + u16s({112}), {}, 0,
         "IPCWebServiceGet"},
        {"IPCGB1400Set", 8, 16, V::Q, rec<IPCGB1400Set>, 236, 236, u32s({0, 4, 8, 108}) + u16s({112})},
        {"IPCSystemTimeGet", 3, 0, V::GL, rec<IPCSystemTimeGet>, 132, 0, u32s({0})},
        {"IPCSystemTimeSet", 3, 1, V::S, rec<IPCSystemTimeSet>, 132, 132, u32s({0}), {}, ERR},
        {"IPCNtpConfGet", 3, 8, V::GL, rec<IPCNtpConfGet>, 136, 0, u32s({0, 4}) + u16s({8})},
        {"IPCNtpConfSet", 3, 9, V::S, rec<IPCNtpConfSet>, 136, 136, u32s({0, 4}) + u16s({8}), {}, ERR},
        // restart schedules and maintenance
        {"IPCGetRestartInfo", 3, 11, V::GL, rec<IPCGetRestartInfo>, 125, 0, u32s({0})},
        {"IPCSetRestartInfo", 3, 12, V::S, rec<IPCSetRestartInfo>, 125, 125, u32s({0}), {}, ERR},
        {"IPCGetRestartInfo2", 3, 21, V::GL, rec<IPCGetRestartInfo2>, 125, 0, u32s({0})},
        {"IPCSetRestartInfo2", 3, 22, V::S, rec<IPCSetRestartInfo2>, 125, 125, u32s({0}), {}, ERR},
        {"IPCReboot", 3, 7, V::S, bare<IPCReboot>, 0, 0, {}, {}, ERR | BARE},
        {"IPCDevFactoryDefault", 3, 10, V::S, bare<IPCDevFactoryDefault>, 0, 0, {}, {}, ERR | BARE},
        {"IPCPtzReboot", 3, 23, V::S, bare<IPCPtzReboot>, 0, 0, {}, {}, ERR | BARE},
        // device profile, face, idle and start operations
        {"IPCMagnifyApply", 34, 3, V::S, rec<IPCMagnifyApply>, 132, 132, u16s({0, 2, 4, 6}), {}, ERR},
        {"IPCGetDev2Info", 34, 6, V::GL, rec<IPCGetDev2Info>, 128, 0, u32s({0})},
        {"IPCSetDev2Info", 34, 7, V::S, rec<IPCSetDev2Info>, 128, 128, u32s({0}), {}, ERR},
        {"IPCGetFaceInfo", 34, 8, V::GL, rec<IPCGetFaceInfo>, 128, 0, u16s({2, 4, 6, 8})},
        {"IPCSetFaceInfo", 34, 9, V::S, rec<IPCSetFaceInfo>, 128, 128, u16s({2, 4, 6, 8}), {}, ERR},
        {"IPCGetIdleOperationInfo", 3, 17, V::GL, rec<IPCGetIdleOperationInfo>, 128, 0, u32s({4, 8})},
        {"IPCSetIdleOperationInfo", 3, 18, V::S, rec<IPCSetIdleOperationInfo>, 128, 128, u32s({4, 8}), {}, ERR},
        {"IPCGetStartOperationInfo", 3, 19, V::GL, rec<IPCGetStartOperationInfo>, 128, 0},
        {"IPCSetStartOperationInfo", 3, 20, V::S, rec<IPCSetStartOperationInfo>, 128, 128, {}, {}, ERR},
        // alarm input and output
        {"IPCAlarmParamOutGet", 2, 4, V::G, rec<IPCAlarmParamOutGet>, 296, 0, {}, {}, NI},
        {"IPCAlarmParamOutSet", 2, 5, V::SL, rec<IPCAlarmParamOutSet>, 296, 296, {}, {}, NI, "IPCPeriod_alarm_out_set"},
        {"IPCAlarmParamInGet", 2, 6, V::G, rec<IPCAlarmParamInGet>, 8, 0, {}, {}, NI},
        {"IPCAlarmParamInSet", 2, 7, V::SL, rec<IPCAlarmParamInSet>, 8, 8, {}, {}, NI, "IPCPeriod_alarm_in_set"},
        // extension commands
        {"IPCDevPassThrough", 12, 33, V::P, rec<IPCDevPassThrough>, 72, 72, u32s({0, 4}), {}, NI, nullptr,
         {0, 0, 0, 6918, 0, 0, 6942, 0}, "ptz passthrough"},
        {"IPCWiperSet", 12, 34, V::P, rec<IPCWiperSet>, 4, 4, {}, {}, NI, nullptr, {0, 0, 0, 7392, 0, 0, 7413, 0},
         "IPCWiperSet"},
        {"IPCLaserSet", 12, 35, V::P, rec<IPCLaserSet>, 4, 4, {}, {}, NI, nullptr, {0, 0, 0, 7453, 0, 0, 7474, 0},
         "IPCLaserSet"},
        {"IPCCrossSet", 12, 52, V::NS, rec<IPCCrossSet>, 131, 8, {}, {}, 0, nullptr,
         {8102, 0, 8109, 8127, 8135, 0, 8148, 8153}},
        {"IPCImageIspImageEnhanceGet", 7, 19, V::NG, rec<IPCImageIspImageEnhanceGet>, 132, 0, {}, {}, 0, nullptr,
         {8180, 8185, 0, 8204, 8212, 8219, 8226, 0}, nullptr, {{0, 5}}},
        {"IPCImageIspImageEnhanceSet", 7, 20, V::NS, rec<IPCImageIspImageEnhanceSet>, 132, 132, {}, {{0, 5}}, 0,
         nullptr, {8257, 0, 8264, 8282, 8290, 0, 8303, 8308}},
        {"IPCImageIspDayNightGet", 7, 17, V::NG, rec<IPCImageIspDayNightGet>, 128, 0, u32s({4, 8}), {}, 0, nullptr,
         {8333, 8338, 8342, 8358, 8366, 8373, 8380, 0}, nullptr, {{0, 2}}},
        {"IPCImageIspDayNightSet", 7, 18, V::NS, rec<IPCImageIspDayNightSet>, 128, 128, u32s({4, 8}), {{0, 2}}, 0,
         nullptr, {8411, 0, 8418, 8436, 8444, 0, 8457, 8462}},
        {"IPCZoomSysncSet", 12, 46, V::NS, rec<IPCZoomSysncSet>, 128, 128, {}, {}, 0, nullptr,
         {8489, 0, 8496, 8514, 8522, 0, 8535, 8540}},
        {"IPCFireModeSet", 1, 46, V::NS, rec<IPCFireModeSet>, 64, 64, {}, {}, 0, nullptr,
         {8567, 0, 8574, 8592, 8600, 0, 8613, 8618}},
        {"IPCFireModeGet", 1, 47, V::NG, rec<IPCFireModeGet>, 64, 0, {}, {}, 0, nullptr,
         {8644, 8649, 8653, 8669, 8677, 8684, 8691, 0}},
    };
    return r;
}

// The payload a record must produce: integers in network order, uncarried bytes zero.
Bytes expected_payload(const Row& r, const Bytes& host) {
    Bytes w(r.sent);
    for (uint32_t i = 0; i < r.sent; ++i) w[i] = (r.carried.empty() || in(r.carried, i)) ? host[i] : 0;
    for (const Field& f : r.sent ? r.swap : std::vector<Field>{}) {
        uint32_t v = 0;
        if (f.width == 4) {
            std::memcpy(&v, &host[f.offset], 4);
        } else {
            uint16_t s;
            std::memcpy(&s, &host[f.offset], 2);
            v = s;
        }
        for (uint32_t k = 0; k < f.width; ++k) w[f.offset + k] = static_cast<uint8_t>(v >> (8 * (f.width - 1 - k)));
    }
    return w;
}

// The record a query leaves after an answer of wire records: integers in host order, the copied
// bytes taken, every other byte as it was.
Bytes expected_record(const Row& r, const Bytes& before, const Bytes& wire) {
    Bytes out = before;
    for (uint32_t i = 0; i < r.size; ++i)
        if (r.got.empty() || in(r.got, i)) out[i] = wire[i];
    for (const Field& f : r.swap) {
        uint32_t v = 0;
        for (uint32_t k = 0; k < f.width; ++k) v = (v << 8) | wire[f.offset + k];
        if (f.width == 4) {
            std::memcpy(&out[f.offset], &v, 4);
        } else {
            const uint16_t s = static_cast<uint16_t>(v);
            std::memcpy(&out[f.offset], &s, 2);
        }
    }
    return out;
}
bool reads_answer(const Row& r) { return r.sent == 0 && r.size > 0 && !(r.flags & NOREAD) && r.v != V::P; }

std::string esc(const std::string& s) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(s, special, R"(\$&)");
}
std::string site(int n) { return n == X ? "[0-9]+" : std::to_string(n); }

enum class K { Short, Nak, Ack, Echo, Other };
constexpr K kKinds[] = {K::Short, K::Nak, K::Ack, K::Echo, K::Other};
const char* kind_name(K k) {
    static const char* names[] = {"short", "nak", "ack", "echo", "other"};
    return names[static_cast<int>(k)];
}
Reply reply_of(K k) {
    static const Reply replies[] = {Reply::Short, Reply::Nak, Reply::Ack, Reply::Echo, Reply::OtherClass};
    return replies[static_cast<int>(k)];
}

struct Expect {
    uint32_t result = 0;
    Strings e;                                 // error lines (regular expressions)
    std::vector<std::pair<int, std::string>> s;  // system log lines: priority, expression
};

bool is_query(V v) { return v == V::G || v == V::GL || v == V::GX || v == V::GT || v == V::NG; }

// The lines written before the argument check passes (numbered debug line, PTZ value line 1).
void leading_lines(const Row& r, Expect& x, bool argsPass, uint16_t panVal) {
    if (r.v == V::NG && r.n[1]) x.s.push_back({15, std::string(r.name) + " " + site(r.n[1]) + "\n"});
    if (r.flags & VALSET) {
        x.e.push_back(esc("IPCPTZValueSet1:IPCSdk,IPCPTZValueSet,") + "[0-9]+\n");
        if (argsPass)
            x.e.push_back(esc("IPCPTZValueSet2:IPCSdk,IPCPTZValueSet,") + "[0-9]+" +
                          esc(",usPanVal:" + std::to_string(panVal)) + "\n");
    }
}

// What the variants prescribe for one answer kind.
Expect expect(const Row& r, K k, uint16_t panVal) {
    Expect x;
    const bool query = is_query(r.v);
    if (k == K::Short)
        x.result = IPCSDK_ERR_NET;
    else if (k == K::Echo)
        x.result = query ? IPCSDK_OK : IPCSDK_ERR_REFUSED;
    else if (k == K::Ack)
        x.result = (!query || (r.flags & ACKOK)) ? IPCSDK_OK : IPCSDK_ERR_REFUSED;
    else
        x.result = IPCSDK_ERR_REFUSED;
    leading_lines(r, x, true, panVal);

    const std::string name = r.name, prefix = r.prefix ? r.prefix : r.name;
    auto E = [&](const std::string& suffix, bool nl = false) { x.e.push_back(esc(prefix + suffix) + (nl ? "\n" : "")); };
    auto T = [&] { x.s.push_back({11, "sipua " + name + " [0-9]+\n"}); };
    auto numbered = [&](int n, const char* error) {
        if (n) x.s.push_back({11, name + " " + site(n) + esc(std::string(", error [") + error + "]") + "\n"});
    };
    switch (r.v) {
    case V::G:
    case V::S:
        if (k == K::Short) E(r.flags & ERR ? " err." : " net err.");
        if (k == K::Nak) E(" nak.");
        if (k == K::Ack) E(" ack.");
        if (k == K::Other) E(" info error.");
        break;
    case V::GL:
    case V::SL:
        if (k == K::Short) E(" net err.", true), T();
        if (k == K::Nak) E(" nak.", true), T();
        if (k == K::Ack) E(" ack.", true), T(), E(" ack2.", true);
        if (k == K::Other) E(" info error.", true), T();
        break;
    case V::GX: T(); break;
    case V::GT:
        if (k != K::Echo) T();
        break;
    case V::NG:
    case V::NS:
        if (k == K::Short) numbered(r.n[3], "-4");
        if (k == K::Nak) numbered(r.n[4], "-2");
        if (k == K::Ack && query) numbered(r.n[5], "-2");
        if (k == K::Other) numbered(r.n[6], "-2");
        if (k == K::Echo && !query) numbered(r.n[7], "-2");
        break;
    case V::P: {
        const std::string label = r.label;
        if (k == K::Short) x.s.push_back({11, esc(label + "  net err. " + name + " ") + site(r.n[3]) + "\n"});
        if (k == K::Other) x.s.push_back({11, esc(label + "  " + name + " ") + site(r.n[6]) + "\n"});
        break;
    }
    case V::Q: break;
    }
    return x;
}

// Lines match their expressions one for one, in order.
void expect_lines(const Strings& got, const Strings& want, const char* what) {
    ASSERT_EQ(got.size(), want.size()) << what << ": " << ::testing::PrintToString(got);
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_TRUE(std::regex_match(got[i], std::regex(want[i]))) << what << " " << i << ": " << got[i] << " vs /" << want[i] << "/";
}
void expect_syslog(const std::vector<std::pair<int, std::string>>& want) {
    const auto got = testenv::syslog_lines();
    Strings texts, exprs;
    for (const auto& l : got) texts.push_back(l.text);
    for (const auto& w : want) exprs.push_back(w.second);
    expect_lines(texts, exprs, "system log");
    for (size_t i = 0; i < got.size() && i < want.size(); ++i) EXPECT_EQ(got[i].priority, want[i].first) << got[i].text;
}

class Walk : public testenv::CameraTest, public ::testing::WithParamInterface<Row> {
protected:
    void fresh() {
        cam->clearScript();
        cam->clearRequests();
        testenv::clear_syslog();
        debug.clear();
    }
    testenv::DebugCapture debug;
};

TEST_P(Walk, Command) {
    const Row& r = GetParam();
    ASSERT_TRUE(debug.ok());
    Bytes host = pattern(std::max<uint32_t>(r.size, 4));
    uint16_t panVal = 0;
    std::memcpy(&panVal, host.data(), 2);

    {
        SCOPED_TRACE("request");
        fresh();
        Bytes record = host;
        r.call(handle, record.data());
        auto req = cam->waitRequest(r.cls, r.code);
        ASSERT_TRUE(req.has_value()) << "no request of class " << int(r.cls) << " code " << int(r.code);
        EXPECT_EQ(req->payload(), expected_payload(r, host));
        EXPECT_EQ(cam->requests().size(), 1u);
        if (!is_query(r.v)) {
            EXPECT_EQ(record, host) << "an update changed its record";
        }
    }
    const Bytes wire = pattern(r.size, 99);
    std::vector<std::string> sites;  // every line names its own site: no number twice
    for (K k : kKinds) {
        SCOPED_TRACE(kind_name(k));
        fresh();
        const bool filled = k == K::Echo && reads_answer(r);
        cam->script(filled ? ipcsim::Scripted{Reply::Echo, wire} : ipcsim::Scripted{reply_of(k)});
        Bytes record = host;
        const Expect x = expect(r, k, panVal);
        EXPECT_EQ(r.call(handle, record.data()), x.result);
        expect_lines(debug.lines(), x.e, "error lines");
        expect_syslog(x.s);
        for (const auto& l : testenv::syslog_lines()) {
            std::smatch m;
            if (l.priority == 11 && std::regex_search(l.text, m, std::regex(" ([0-9]+)(,|\n)"))) sites.push_back(m[1]);
        }
        EXPECT_EQ(record, filled ? expected_record(r, host, wire) : host) << "record after a " << kind_name(k);
    }
    std::sort(sites.begin(), sites.end());
    EXPECT_EQ(std::adjacent_find(sites.begin(), sites.end()), sites.end()) << "two answer kinds share a site number";
    if (!(r.flags & BARE)) {
        SCOPED_TRACE("null record");
        fresh();
        EXPECT_EQ(r.call(handle, nullptr), IPCSDK_ERR_PARAM);
        Expect x;
        leading_lines(r, x, false, 0);
        if ((r.v == V::NG || r.v == V::NS) && r.n[2])
            x.s.push_back({11, std::string(r.name) + " " + site(r.n[2]) + esc(", error [-1]") + "\n"});
        expect_lines(debug.lines(), x.e, "error lines");
        expect_syslog(x.s);
        EXPECT_TRUE(cam->requests().empty());
    }
    {
        SCOPED_TRACE("not initialised");
        fresh();
        cam->script(Reply::Ack);
        std::string out;
        uint32_t result;
        {
            testenv::StdoutCapture capture;
            g_IPCSdkInit = 0;
            result = r.call(handle, host.data());
            g_IPCSdkInit = 1;
            out = capture.text();
        }
        if (r.flags & NI) {
            EXPECT_NE(result, IPCSDK_ERR_NOT_INIT);
            EXPECT_TRUE(cam->waitRequest(r.cls, r.code).has_value());
        } else {
            EXPECT_EQ(result, IPCSDK_ERR_NOT_INIT);
            Expect x;
            if (r.v == V::NG && r.n[1]) x.s.push_back({15, std::string(r.name) + " " + site(r.n[1]) + "\n"});
            const std::string line = std::string(r.name) + "," + site(r.n[0] ? r.n[0] : X) + ",sdk not init\n";
            if (r.flags & INIT_OUT)
                EXPECT_TRUE(std::regex_match(out, std::regex(line))) << out;
            else if (r.flags & INIT9)
                x.s.push_back({11, std::string(r.name) + " [0-9]+" + esc(", error [-9]") + "\n"});
            else
                x.e.push_back(line);
            expect_lines(debug.lines(), x.e, "error lines");
            expect_syslog(x.s);
            EXPECT_TRUE(cam->requests().empty());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, Walk, ::testing::ValuesIn(rows()),
                         [](const ::testing::TestParamInfo<Row>& p) { return std::string(p.param.name); });

// Departures from the common frame, one by one.
using Domain = testenv::CameraTest;

TEST_F(Domain, PtzValuesMoveTheHeadAndComeBack) {
    testenv::DebugCapture debug;
    PTZValueRecord v;
    std::memset(&v, 0, sizeof v);
    v.usPanVal = 258, v.usValue2 = 450, v.usValue3 = 120;
    ASSERT_EQ(IPCPTZValueSet(handle, &v), 0u);
    EXPECT_EQ(sent(12, 9)[0], 0x01);
    EXPECT_EQ(cam->ptz().pan, 258);
    const Strings lines = debug.lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(IPCPTZValueSet2:IPCSdk,IPCPTZValueSet,[0-9]+,usPanVal:258\n)")))
        << lines[1];
    PTZValueRecord back;
    std::memset(&back, 0xEE, sizeof back);
    ASSERT_EQ(IPCPTZValueGet(handle, &back), 0u);
    EXPECT_EQ(std::memcmp(&back, &v, sizeof v), 0);
}

TEST_F(Domain, OversizedPtzParamArrayIsRefusedUnsent) {
    std::vector<PTZParamRecord> many(81);
    std::memset(many.data(), 0x21, many.size() * sizeof(PTZParamRecord));
    EXPECT_EQ(IPCPTZParamSet(handle, many.data(), 81), IPCSDK_ERR_PARAM);
    EXPECT_TRUE(cam->requests().empty());
    ASSERT_EQ(IPCPTZParamSet(handle, many.data(), 80), 0u);
    EXPECT_EQ(sent(12, 1).size(), 10240u);
    EXPECT_EQ(IPCPTZParamGet(handle, many.data(), 0), IPCSDK_ERR_PARAM);
}

TEST_F(Domain, NetworkSetRefusesAZeroWordSilently) {
    testenv::DebugCapture debug;
    for (int word = 0; word < 3; ++word) {
        NetWorkConfInfo n;
        std::memset(&n, 0x5C, sizeof n);
        (&n.word1)[word] = 0;
        testenv::clear_syslog();
        EXPECT_EQ(IPCDevNetWorkSet(handle, &n), IPCSDK_ERR_PARAM) << word;
        EXPECT_TRUE(testenv::syslog_lines().empty());
    }
    EXPECT_TRUE(debug.lines().empty());
    EXPECT_TRUE(cam->requests().empty());
}

}  // namespace
