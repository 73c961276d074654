// Every command of the common frame against the simulator: request payload, the record a query fills, result and
// lines per answer kind, null record, not initialised. Expectations come from the header's record layouts.
#include <algorithm>
#include <array>
#include <bit>
#include <ostream>
#include <regex>
#include <set>
#include <tuple>

#include "camera_fixture.hpp"
#include "command_table.hpp"
#include "ipcsdk_commands.hpp"

namespace {

using namespace testenv;
using Strings = std::vector<std::string>;
using ipcsim::Reply;
using Call = uint32_t (*)(uint32_t handle, void* record);

// Layouts described apart from the library's tables: big-endian integers and byte ranges.
struct Span { uint32_t offset, length; };
using Spans = std::vector<Span>;
template <uint32_t W>
Spans w(std::initializer_list<uint32_t> offsets) {  // integers of W bytes
    Spans f;
    for (uint32_t o : offsets) f.push_back({o, W});
    return f;
}
const auto w2 = w<2>, w4 = w<4>;
Spans operator+(Spans a, const Spans& b) { return a.insert(a.end(), b.begin(), b.end()), a; }
bool in(const Spans& spans, uint32_t i) {
    return std::any_of(spans.begin(), spans.end(), [i](Span r) { return i >= r.offset && i < r.offset + r.length; });
}

// Adapters: a command taking (handle, record), (handle, records, count) or the handle alone.
template <typename T> T* record_type(uint32_t (*)(uint32_t, T*));
template <typename T> T* record_type(uint32_t (*)(uint32_t, T*, int32_t));
template <auto F> uint32_t rec(uint32_t h, void* r) { return F(h, static_cast<decltype(record_type(F))>(r)); }
template <auto F, int N> uint32_t arr(uint32_t h, void* r) { return F(h, static_cast<decltype(record_type(F))>(r), N); }
template <auto F> uint32_t bare(uint32_t h, void*) { return F(h); }

enum class V { G, S, GL, SL, GX, GT, NG, NS, P, Q };
using enum V;
enum : uint8_t {
    ERR = 1,       // a short answer says " err." instead of " net err."
    NI = 2,        // no initialisation check
    ACKOK = 4,     // a query that also takes the ack as success
    INIT_OUT = 8,  // "sdk not init" on standard output
    INIT9 = 16,    // "sdk not init" as the numbered "[-9]" line
    VALSET = 32,   // the two extra lines of the PTZ value set
    NOREAD = 64,   // a query that never writes its record
};
constexpr int X = -1;  // a line whose site number is the implementation's own choice

struct Row {
    const char* name;
    Call call;
    uint8_t cls, code;
    V v;
    uint32_t size;                 // bytes of the caller's record (0: the handle alone)
    uint32_t sent;                 // request payload length (0: a query, its record is the answer)
    Spans swap{};                  // big-endian integers of the payload, or of the answer
    Spans carried{};               // payload bytes taken from the record (empty: all; others zero)
    uint8_t flags = 0;
    const char* prefix = nullptr;
    // Numbered and labelled lines: init, debug, null, short, nak, ack, other, echo (0: none).
    std::array<int, 8> n{};
    const char* label = nullptr;
    Spans got{};                   // bytes a query copies from the answer besides the integers (empty: all)
};
void PrintTo(const Row& r, std::ostream* os) { *os << r.name; }
// Class and code from the command list; the test below holds the list to the simulator's table.
#define ID(F) ipc::identity(ipc::command_id::F).msg_class, ipc::identity(ipc::command_id::F).code
#define R(F, ...) Row{#F, rec<F>, ID(F), __VA_ARGS__}
#define A(F, N, ...) Row{#F, arr<F, N>, ID(F), __VA_ARGS__}
#define B(F, ...) Row{#F, bare<F>, ID(F), __VA_ARGS__}

Spans every_u16(uint32_t from, uint32_t to, uint32_t step, std::initializer_list<uint32_t> within) {
    Spans f;
    for (uint32_t base = from; base < to; base += step)
        for (uint32_t o : within) f.push_back({base + o, 2});
    return f;
}
const Spans kMark = every_u16(4, 164, 8, {0, 2, 4});
const Spans kMark2 = every_u16(0, 160, 8, {0, 2}) + every_u16(160, 320, 2, {0});
const Spans kLink = every_u16(266, 1864, 302,  // twenty integers in each of the six links
                              {0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30, 32, 34, 36, 38});
const Spans kOsd = w2({76, 78, 80, 82, 84, 86, 88, 154, 156, 222, 224, 290, 292}) + w4({358});
const Spans kVideo = w2({0, 132}) + w4({4, 136});

const std::vector<Row> kRows = {
    A(IPCVideoParamGet, 2, G, 264, 0, kVideo, {}, 0, "pmqcsVideoParamGet"),
    A(IPCVideoParamSet, 2, S, 264, 264, kVideo, {}, 0, "pmqcsVParamSet"),
    A(IPCExOsdGet, 1, G, 362, 0, kOsd, {}, 0, "pmqcsVideoParamGet"),
    A(IPCExOsdSet, 1, S, 362, 362, kOsd, {}, 0, "pmqcsVParamSet"), R(IPCGetCameraControlInfo, GL, 128, 0, w4({4, 8})),
    R(IPCSetCameraControlInfo, S, 128, 128, w4({4, 8}), {}, ERR),
    R(IPCGetSysVersion, G, 80, 0, w4({0, 20, 24, 28, 76}) + w2({54, 56}), {}, 0, nullptr, {}, nullptr,
      {{4, 16}, {32, 18}, {58, 18}}),
    B(IPCSendHeartBeat, P, 0, 0, {}, {}, NI, nullptr, {0, 0, 0, 185, 0, 0, 209, 0}, "IPCSendHeartBeat"),
    R(IPCDataReportRequest, P, 140, 140, w2({4, 6}) + w4({8}), {}, NI, nullptr, {0, 0, 0, 6986, 0, 0, 7010, 0},
      "Data Report Request"),
    A(IPCPTZParamGet, 2, G, 256, 0, w4({4, 132}), {}, 0, nullptr, {}, nullptr, {{0, 10}, {128, 10}}),
    A(IPCPTZParamSet, 2, S, 256, 256, w4({4, 132}), {}, ERR), R(IPCPTZCtrl, S, 132, 132, {}, {}, ERR, "IPCPackPTZCtrl"),
    R(IPCGetPresetPoint, GL, 9180, 0), R(IPCSetPresetPoint, S, 36, 36, {}, {}, ERR),
    R(IPCPTZValueGet, GT, 134, 0, w2({0, 2, 4}), {}, INIT_OUT),
    R(IPCPTZValueSet, S, 134, 134, w2({0, 2, 4}), {}, ERR | VALSET), R(IPCClearPresetPoint, S, 9180, 9180, {}, {}, ERR),
    R(IPCCruiseinfoGet, G, 3460, 0, {}, {}, NI, "IPCCruiseInfoGet"),
    R(IPCCruiseInfoSet, SL, 3460, 3460, {}, {}, NI, "IPCcruiseinfo_set"), R(IPCCruiseSet, SL, 124, 124, {}, {}, NI),
    R(IPCShotSnap, GX, 4, 0, {}, {}, NOREAD), R(IPCTargetTrackSet, SL, 1, 1), R(IPCTrackParamGet, G, 132, 0),
    R(IPCTrackParamSet, GL, 132, 132), R(IPCEnterCamMarkMode, GL, 212, 0, kMark), B(IPCEnterCamMarkMode2, GL, 0, 0),
    R(IPCLeaveCamMarkMode, GL, 212, 212, kMark), R(IPCAddCamMarkPoint, GL, 212, 212, kMark),
    R(IPCDelCamMarkPoint, GL, 212, 212, kMark), R(IPCEndCamMarkPoint, GL, 212, 212, kMark),
    R(IPCClearCamMarkPoint, GL, 212, 212, kMark), R(IPCGetCamMarkPoint, GL, 212, 0, kMark),
    R(IPCGetCamMarkPoint2, GL, 320, 0, kMark2, {}, 0, "IPCGetCamMarkPoint"),
    R(IPCEndCamMarkPoint2, GL, 320, 320, kMark2), R(IPCEndCamMarkPointAlone, GL, 4, 0, {}, {}, NI | NOREAD),
    R(IPCGetCamLinkPTZInfo, GL, 1864, 0, kLink), R(IPCAddCamLinkPTZInfo, GL, 1864, 1864, kLink),
    R(IPCFocusModeGet, G, 128, 0, {}, {}, 0, nullptr, {}, nullptr, {{0, 1}}), R(IPCFocusModeSet, GL, 128, 128),
    R(IPCLinkFocusLearnStateQuery, G, 128, 0, w2({0, 2, 4, 6}), {}, 0, nullptr, {}, nullptr, {{0, 0}}),
    R(IPCLinkFocusLearn, GL, 128, 128, w2({0, 2}), {}, ACKOK),
    R(IPCDevNetWorkGet, NG, 140, 0, w4({0, 4, 8}), {}, INIT9, nullptr, {X, X, X, X, X, X, X, 0}),
    R(IPCDevNetWorkSet, NS, 140, 140, w4({0, 4, 8}), {}, INIT9, nullptr, {X, 0, X, X, X, 0, X, X}),
    R(IPCGB28181_setupGet, GL, 404, 0, w4({96, 100, 104, 108})),
    R(IPCGB28181_setupSet, S, 404, 404, w4({96, 100, 104, 108}), {}, ERR),
    R(IPCFtpGet, GL, 220, 0, w4({0, 4}) + w2({8})), R(IPCFtpSet, S, 220, 220, w4({0, 4}) + w2({8}), {}, ERR),
    R(IPCGB1400Get, GL, 236, 0, w4({0, 4, 8, 108}) + w2({112}), {}, 0, "IPCWebServiceGet"),
    R(IPCGB1400Set, Q, 236, 236, w4({0, 4, 8, 108}) + w2({112})), R(IPCSystemTimeGet, GL, 132, 0, w4({0})),
    R(IPCSystemTimeSet, S, 132, 132, w4({0}), {}, ERR), R(IPCNtpConfGet, GL, 136, 0, w4({0, 4}) + w2({8})),
    R(IPCNtpConfSet, S, 136, 136, w4({0, 4}) + w2({8}), {}, ERR), R(IPCGetRestartInfo, GL, 125, 0, w4({0})),
    R(IPCSetRestartInfo, S, 125, 125, w4({0}), {}, ERR), R(IPCGetRestartInfo2, GL, 125, 0, w4({0})),
    R(IPCSetRestartInfo2, S, 125, 125, w4({0}), {}, ERR), B(IPCReboot, S, 0, 0, {}, {}, ERR),
    B(IPCDevFactoryDefault, S, 0, 0, {}, {}, ERR), B(IPCPtzReboot, S, 0, 0, {}, {}, ERR),
    R(IPCMagnifyApply, S, 132, 132, w2({0, 2, 4, 6}), {}, ERR), R(IPCGetDev2Info, GL, 128, 0, w4({0})),
    R(IPCSetDev2Info, S, 128, 128, w4({0}), {}, ERR), R(IPCGetFaceInfo, GL, 128, 0, w2({2, 4, 6, 8})),
    R(IPCSetFaceInfo, S, 128, 128, w2({2, 4, 6, 8}), {}, ERR), R(IPCGetIdleOperationInfo, GL, 128, 0, w4({4, 8})),
    R(IPCSetIdleOperationInfo, S, 128, 128, w4({4, 8}), {}, ERR), R(IPCGetStartOperationInfo, GL, 128, 0),
    R(IPCSetStartOperationInfo, S, 128, 128, {}, {}, ERR), R(IPCAlarmParamOutGet, G, 296, 0, {}, {}, NI),
    R(IPCAlarmParamOutSet, SL, 296, 296, {}, {}, NI, "IPCPeriod_alarm_out_set"),
    R(IPCAlarmParamInGet, G, 8, 0, {}, {}, NI), R(IPCAlarmParamInSet, SL, 8, 8, {}, {}, NI, "IPCPeriod_alarm_in_set"),
    R(IPCDevPassThrough, P, 72, 72, w4({0, 4}), {}, NI, nullptr, {0, 0, 0, 6918, 0, 0, 6942, 0}, "ptz passthrough"),
    R(IPCWiperSet, P, 4, 4, {}, {}, NI, nullptr, {0, 0, 0, 7392, 0, 0, 7413, 0}, "IPCWiperSet"),
    R(IPCLaserSet, P, 4, 4, {}, {}, NI, nullptr, {0, 0, 0, 7453, 0, 0, 7474, 0}, "IPCLaserSet"),
    R(IPCCrossSet, NS, 131, 8, {}, {}, 0, nullptr, {8102, 0, 8109, 8127, 8135, 0, 8148, 8153}),
    R(IPCImageIspImageEnhanceGet, NG, 132, 0, {}, {}, 0, nullptr, {8180, 8185, 0, 8204, 8212, 8219, 8226, 0}, nullptr,
      {{0, 5}}),
    R(IPCImageIspImageEnhanceSet, NS, 132, 132, {}, {{0, 5}}, 0, nullptr, {8257, 0, 8264, 8282, 8290, 0, 8303, 8308}),
    R(IPCImageIspDayNightGet, NG, 128, 0, w4({4, 8}), {}, 0, nullptr, {8333, 8338, 8342, 8358, 8366, 8373, 8380, 0},
      nullptr, {{0, 2}}),
    R(IPCImageIspDayNightSet, NS, 128, 128, w4({4, 8}), {{0, 2}}, 0, nullptr,
      {8411, 0, 8418, 8436, 8444, 0, 8457, 8462}),
    R(IPCZoomSysncSet, NS, 128, 128, {}, {}, 0, nullptr, {8489, 0, 8496, 8514, 8522, 0, 8535, 8540}),
    R(IPCFireModeSet, NS, 64, 64, {}, {}, 0, nullptr, {8567, 0, 8574, 8592, 8600, 0, 8613, 8618}),
    R(IPCFireModeGet, NG, 64, 0, {}, {}, 0, nullptr, {8644, 8649, 8653, 8669, 8677, 8684, 8691, 0}),
};

// Integers change between host order (little-endian here) and network order by reversing their bytes.
static_assert(std::endian::native == std::endian::little);
void reverse_fields(Bytes& to, const Bytes& from, const Spans& fields) {
    for (auto [o, w] : fields) std::reverse_copy(from.begin() + o, from.begin() + o + w, to.begin() + o);
}
// The payload a record must produce: integers in network order, uncarried bytes zero.
Bytes expected_payload(const Row& r, const Bytes& host) {
    Bytes w(r.sent);
    for (uint32_t i = 0; i < r.sent; ++i) w[i] = (r.carried.empty() || in(r.carried, i)) ? host[i] : 0;
    if (r.sent) reverse_fields(w, host, r.swap);
    return w;
}
// The record a query leaves after an answer: integers in host order, the copied bytes taken, the rest as it was.
Bytes expected_record(const Row& r, const Bytes& before, const Bytes& wire) {
    Bytes out = before;
    for (uint32_t i = 0; i < r.size; ++i)
        if (r.got.empty() || in(r.got, i)) out[i] = wire[i];
    reverse_fields(out, wire, r.swap);
    return out;
}
bool is_query(V v) { return v == G || v == GL || v == GX || v == GT || v == NG; }

std::string esc(const std::string& s) { return std::regex_replace(s, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)"); }
std::string site(int n) { return n == X ? "[0-9]+" : std::to_string(n); }

// The answer kinds, in the order of their site numbers in Row::n.
enum Kind { SHORT, NAK, ACK, OTHER, ECHO };
const Reply kReplies[] = {Reply::Short, Reply::Nak, Reply::Ack, Reply::OtherClass, Reply::Echo};
const char* const kSuffix[] = {" net err.", " nak.", " ack.", " info error."};

struct Expect {
    uint32_t result = 0;
    Strings e, s;  // error lines and "<priority> <text>" system log lines, as regular expressions
    void sys(int priority, const std::string& expr) { s.push_back(std::to_string(priority) + " " + expr); }
    // "<name> <site>, error [<code>]" at error priority (nothing for site 0).
    void numbered(const Row& r, int n, const char* code) {
        if (n) sys(11, std::string(r.name) + " " + site(n) + esc(std::string(", error [") + code + "]") + "\n");
    }
};

// The lines written before the argument check passes (numbered debug line, PTZ value line 1).
void leading_lines(const Row& r, Expect& x, bool argsPass, uint16_t panVal) {
    if (r.v == NG && r.n[1]) x.sys(15, std::string(r.name) + " " + site(r.n[1]) + "\n");
    if (r.flags & VALSET) x.e.push_back(esc("IPCPTZValueSet1:IPCSdk,IPCPTZValueSet,") + "[0-9]+\n");
    if ((r.flags & VALSET) && argsPass)
        x.e.push_back(esc("IPCPTZValueSet2:IPCSdk,IPCPTZValueSet,") + "[0-9]+,usPanVal:" + std::to_string(panVal) +
                      "\n");
}

// What the variants prescribe for one answer kind.
Expect expect(const Row& r, Kind k, uint16_t panVal) {
    Expect x;
    const bool query = is_query(r.v);
    x.result = k == SHORT ? IPCSDK_ERR_NET
               : k == ECHO ? (query ? IPCSDK_OK : IPCSDK_ERR_REFUSED)
               : k == ACK ? ((!query || (r.flags & ACKOK)) ? IPCSDK_OK : IPCSDK_ERR_REFUSED)
                          : IPCSDK_ERR_REFUSED;
    leading_lines(r, x, true, panVal);
    const std::string name = r.name, prefix = r.prefix ? r.prefix : r.name, sipua = "sipua " + name + " [0-9]+\n";
    const bool trailed = r.v == GL || r.v == SL;  // newline-ended lines and a "sipua" trace line
    switch (r.v) {
    case G: case S: case GL: case SL:
        if (k == ECHO) break;
        x.e.push_back(esc(prefix + (k == SHORT && (r.flags & ERR) ? " err." : kSuffix[k])) + (trailed ? "\n" : ""));
        if (trailed) x.sys(11, sipua);
        if (trailed && k == ACK) x.e.push_back(esc(prefix + " ack2.") + "\n");
        break;
    case GX: case GT:
        if (r.v == GX || k != ECHO) x.sys(11, sipua);
        break;
    case NG: case NS:
        if ((k != ACK || query) && (k != ECHO || !query)) x.numbered(r, r.n[3 + k], k == SHORT ? "-4" : "-2");
        break;
    case P:
        if (k == SHORT) x.sys(11, esc(std::string(r.label) + "  net err. " + name + " ") + site(r.n[3]) + "\n");
        if (k == OTHER) x.sys(11, esc(std::string(r.label) + "  " + name + " ") + site(r.n[6]) + "\n");
        break;
    case Q: break;
    }
    return x;
}

// Lines match their expressions one for one, in order.
void expect_lines(const Strings& got, const Strings& want, const char* what) {
    ASSERT_EQ(got.size(), want.size()) << what << ": " << ::testing::PrintToString(got);
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_TRUE(std::regex_match(got[i], std::regex(want[i]))) << what << ": " << got[i] << " vs " << want[i];
}

class Walk : public CameraTest, public ::testing::WithParamInterface<Row> {
protected:
    void fresh() { cam->clear_script(), cam->clear_requests(), clear_syslog(), debug.clear(); }
    // Checks the error lines and system log lines written since fresh(); returns the latter.
    Strings expect_output(const Expect& x) {
        const Strings sys = syslog_lines();
        expect_lines(debug.lines(), x.e, "error lines");
        expect_lines(sys, x.s, "system log");
        return sys;
    }
    DebugCapture debug;
};

TEST_P(Walk, Command) {
    const Row& r = GetParam();
    ASSERT_TRUE(debug.ok());
    Bytes host = pattern(std::max<uint32_t>(r.size, 4));
    uint16_t panVal = 0;
    std::memcpy(&panVal, host.data(), 2);
    const Bytes wire = pattern(r.size, 99);
    std::set<std::string> sites;  // every line names its own site: no number twice
    for (Kind k : {SHORT, NAK, ACK, OTHER, ECHO}) {
        SCOPED_TRACE(k);
        fresh();
        const bool filled = k == ECHO && r.sent == 0 && r.size > 0 && !(r.flags & NOREAD) && r.v != P;
        cam->script(filled ? ipcsim::Scripted{Reply::Echo, wire} : ipcsim::Scripted{kReplies[k]});
        Bytes record = host;
        const Expect x = expect(r, k, panVal);
        EXPECT_EQ(r.call(handle, record.data()), x.result);
        const auto req = cam->wait_request(r.cls, r.code);
        ASSERT_TRUE(req.has_value()) << "no request of class " << int(r.cls) << " code " << int(r.code);
        EXPECT_EQ(req->payload(), expected_payload(r, host));
        EXPECT_EQ(cam->requests().size(), 1u);
        for (const auto& l : expect_output(x)) {
            std::smatch m;
            const bool numbered = l.starts_with("11 ") && std::regex_search(l, m, std::regex(" ([0-9]+)(,|\n)"));
            EXPECT_TRUE(!numbered || sites.insert(m[1]).second) << "two answer kinds share site " << m[1];
        }
        EXPECT_EQ(record, filled ? expected_record(r, host, wire) : host);
    }
    if (r.size) {
        SCOPED_TRACE("null record");
        fresh();
        EXPECT_EQ(r.call(handle, nullptr), IPCSDK_ERR_PARAM);
        Expect x;
        leading_lines(r, x, false, 0);
        if (r.v == NG || r.v == NS) x.numbered(r, r.n[2], "-1");
        expect_output(x);
        EXPECT_TRUE(cam->requests().empty());
    }
    SCOPED_TRACE("not initialised");
    fresh();
    cam->script(Reply::Ack);
    const auto [result, out] = [&] {
        StdoutCapture capture;
        g_IPCSdkInit = 0;
        const uint32_t got = r.call(handle, host.data());
        return g_IPCSdkInit = 1, std::pair(got, capture.text());
    }();
    if (r.flags & NI) {
        EXPECT_NE(result, IPCSDK_ERR_NOT_INIT);
        EXPECT_TRUE(cam->wait_request(r.cls, r.code).has_value());
        return;
    }
    EXPECT_EQ(result, IPCSDK_ERR_NOT_INIT);
    Expect x;
    if (r.v == NG && r.n[1]) x.sys(15, std::string(r.name) + " " + site(r.n[1]) + "\n");
    const std::string line = std::string(r.name) + "," + site(r.n[0] ? r.n[0] : X) + ",sdk not init\n";
    if (r.flags & INIT9) x.sys(11, std::string(r.name) + " [0-9]+" + esc(", error [-9]") + "\n");
    if (!(r.flags & (INIT9 | INIT_OUT))) x.e.push_back(line);
    EXPECT_TRUE(std::regex_match(out, std::regex(r.flags & INIT_OUT ? line : ""))) << out;
    expect_output(x);
    EXPECT_TRUE(cam->requests().empty());
}

// The simulator's own table names the same commands, classes and codes (one announcement for the library's two).
TEST(CommandList, MatchesSimulator) {
    std::set<std::tuple<int, int, std::string>> list, sim;
    for (const auto& c : ipc::command_identities)
        list.emplace(c.msg_class, c.code, c.msg_class == 0 && c.code == 3 ? "announcement" : std::string(c.name));
    for (const auto& c : ipcsim::detail::kCommands) sim.emplace(c.cls, c.code, c.name);
    EXPECT_EQ(list, sim);
}

INSTANTIATE_TEST_SUITE_P(Commands, Walk, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<Row>& p) { return std::string(p.param.name); });

}  // namespace
