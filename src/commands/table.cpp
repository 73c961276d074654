// Every command of the library: identity on the wire, variant of the frame, diagnostic prefix,
// flags and the site numbers its lines carry. Class and code come from the command list.
#include <array>
#include <iterator>

#include "commands/engine.hpp"

namespace ipc::cmd {
namespace {

using V = Variant;

constexpr Spec row(Id id, Variant v, uint8_t flags = 0, const char* prefix = nullptr, Sites sites = {},
                   const char* label = nullptr) {
    const command_identity& c = identity(id);
    return Spec{c.name.data(), c.msg_class, c.code, v, prefix ? prefix : c.name.data(), flags, sites, label, id};
}

// Site lists in the order init, debug, null record, short, nak, ack, echo, other, extra.
constexpr Sites numbered(uint16_t init, uint16_t debug, uint16_t nul, uint16_t shrt, uint16_t nak, uint16_t ack,
                         uint16_t echo, uint16_t other) {
    return Sites{init, debug, nul, shrt, nak, ack, echo, other, 0};
}
constexpr Sites labelled(uint16_t shrt, uint16_t other) { return Sites{0, 0, 0, shrt, 0, 0, 0, other, 0}; }
constexpr Sites init_at(uint16_t init) { return Sites{init, 0, 0, 0, 0, 0, 0, 0, 0}; }

constexpr uint8_t E = kShortErr;
constexpr uint8_t NI = kNoInitCheck;

constexpr Spec kTable[] = {
    row(Id::IPCUserLogin, V::Special, NI),
    row(Id::StartDataReport, V::Special, NI),
    row(Id::StartVideoRequest, V::Special, NI),
    row(Id::IPCStartVideo, V::G, 0, "pmqcsVideoStart", init_at(597)),
    row(Id::IPCStopVideo, V::S, 0, "pmqcsVideoStop", init_at(690)),
    row(Id::IPCVideoParamGet, V::G, 0, "pmqcsVideoParamGet"),
    row(Id::IPCVideoParamSet, V::S, 0, "pmqcsVParamSet"),
    row(Id::IPCDataReportRequest, V::P, NI, nullptr, labelled(6986, 7010), "Data Report Request"),
    row(Id::IPCStartVideoEx, V::GX, 0, "pmqcsVideoStartEx", Sites{775, 0, 0, 804, 815, 824, 843, 833, 0}),
    row(Id::IPCStopVideoEx, V::SX, 0, nullptr, Sites{876, 0, 0, 906, 917, 926, 940, 935, 889}),
    row(Id::IPCExOsdGet, V::G, 0, "pmqcsVideoParamGet"),
    row(Id::IPCExOsdSet, V::S, 0, "pmqcsVParamSet"),
    row(Id::IPCGetCameraControlInfo, V::GL),
    row(Id::IPCSetCameraControlInfo, V::S, E),
    row(Id::IPCFireModeSet, V::N, 0, nullptr, numbered(8567, 0, 8574, 8592, 8600, 0, 8618, 8613)),
    row(Id::IPCFireModeGet, V::N, 0, nullptr, numbered(8644, 8649, 8653, 8669, 8677, 8684, 0, 8691)),
    row(Id::IPCAlarmParamOutGet, V::G, NI),
    row(Id::IPCAlarmParamOutSet, V::SL, NI, "IPCPeriod_alarm_out_set"),
    row(Id::IPCAlarmParamInGet, V::G, NI),
    row(Id::IPCAlarmParamInSet, V::SL, NI, "IPCPeriod_alarm_in_set"),
    row(Id::IPCSystemTimeGet, V::GL),
    row(Id::IPCSystemTimeSet, V::S, E),
    row(Id::IPCGetSysVersion, V::G, kShortDebug),
    row(Id::IPCReboot, V::S, E),
    row(Id::IPCNtpConfGet, V::GL),
    row(Id::IPCNtpConfSet, V::S, E),
    row(Id::IPCDevFactoryDefault, V::S, E),
    row(Id::IPCGetRestartInfo, V::GL),
    row(Id::IPCSetRestartInfo, V::S, E),
    row(Id::IPCGetIdleOperationInfo, V::GL),
    row(Id::IPCSetIdleOperationInfo, V::S, E),
    row(Id::IPCGetStartOperationInfo, V::GL),
    row(Id::IPCSetStartOperationInfo, V::S, E),
    row(Id::IPCGetRestartInfo2, V::GL),
    row(Id::IPCSetRestartInfo2, V::S, E),
    row(Id::IPCPtzReboot, V::S, E),
    row(Id::IPCShotSnap, V::GX, kTrailOnly),
    row(Id::IPCFtpGet, V::GL),
    row(Id::IPCFtpSet, V::S, E),
    row(Id::IPCImageIspDayNightGet, V::N, 0, nullptr, numbered(8333, 8338, 8342, 8358, 8366, 8373, 0, 8380)),
    row(Id::IPCImageIspDayNightSet, V::N, 0, nullptr, numbered(8411, 0, 8418, 8436, 8444, 0, 8462, 8457)),
    row(Id::IPCImageIspImageEnhanceGet, V::N, 0, nullptr, numbered(8180, 8185, 0, 8204, 8212, 8219, 0, 8226)),
    row(Id::IPCImageIspImageEnhanceSet, V::N, 0, nullptr, numbered(8257, 0, 8264, 8282, 8290, 0, 8308, 8303)),
    row(Id::IPCDevNetWorkGet, V::N, kInitNumbered, nullptr, numbered(5301, 5306, 5310, 5328, 5336, 5343, 0, 5350)),
    row(Id::IPCDevNetWorkSet, V::N, kInitNumbered, nullptr, numbered(5381, 0, 5388, 5412, 5420, 0, 5438, 5433)),
    row(Id::IPCGB1400Set, V::Q),
    row(Id::IPCGB1400Get, V::GL, 0, "IPCWebServiceGet"),
    row(Id::IPCGB28181_setupGet, V::GL),
    row(Id::IPCGB28181_setupSet, V::S, E),
    row(Id::IPCSendHeartBeat, V::P, NI, nullptr, labelled(185, 209), "IPCSendHeartBeat"),
    row(Id::IPCPTZParamGet, V::G),
    row(Id::IPCPTZParamSet, V::S, E),
    row(Id::IPCPTZCtrl, V::S, E, "IPCPackPTZCtrl"),
    row(Id::IPCGetPresetPoint, V::GL),
    row(Id::IPCSetPresetPoint, V::S, E),
    row(Id::IPCPTZValueGet, V::GTrail, kInitStdout),
    row(Id::IPCPTZValueSet, V::S, E),
    row(Id::IPCClearPresetPoint, V::S, E),
    row(Id::IPCCruiseinfoGet, V::G, NI, "IPCCruiseInfoGet"),
    row(Id::IPCCruiseInfoSet, V::SL, NI, "IPCcruiseinfo_set"),
    row(Id::IPCCruiseSet, V::SL, NI),
    row(Id::IPCDevPassThrough, V::P, NI, nullptr, labelled(6918, 6942), "ptz passthrough"),
    row(Id::IPCWiperSet, V::P, NI, nullptr, labelled(7392, 7413), "IPCWiperSet"),
    row(Id::IPCLaserSet, V::P, NI, nullptr, labelled(7453, 7474), "IPCLaserSet"),
    row(Id::IPCZoomSysncSet, V::N, 0, nullptr, numbered(8489, 0, 8496, 8514, 8522, 0, 8540, 8535)),
    row(Id::IPCDistantInfoSet, V::Special, NI, nullptr, labelled(7298, 7352), "IPCDistantInfoSet"),
    row(Id::IPCCrossSet, V::N, 0, nullptr, numbered(8102, 0, 8109, 8127, 8135, 0, 8153, 8148)),
    row(Id::IPCGpsInfo, V::Special, NI, nullptr, labelled(7186, 7257), "Gps Info"),
    row(Id::IPCSIMUSNAP, V::Special, NI),
    row(Id::IPCGetCamLinkPTZInfo, V::GL),
    row(Id::IPCAddCamLinkPTZInfo, V::GL),
    row(Id::IPCEnterCamMarkMode, V::GL),
    row(Id::IPCLeaveCamMarkMode, V::GL),
    row(Id::IPCAddCamMarkPoint, V::GL),
    row(Id::IPCDelCamMarkPoint, V::GL),
    row(Id::IPCEndCamMarkPoint, V::GL),
    row(Id::IPCClearCamMarkPoint, V::GL),
    row(Id::IPCGetCamMarkPoint, V::GL),
    row(Id::IPCEnterCamMarkMode2, V::GL),
    row(Id::IPCGetCamMarkPoint2, V::GL, 0, "IPCGetCamMarkPoint"),
    row(Id::IPCEndCamMarkPoint2, V::GL),
    row(Id::IPCEndCamMarkPointAlone, V::GL, NI),
    row(Id::IPCFocusModeGet, V::G),
    row(Id::IPCFocusModeSet, V::GL),
    row(Id::IPCLinkFocusLearnStateQuery, V::G),
    row(Id::IPCLinkFocusLearn, V::GL, kAckIsSuccess),
    row(Id::IPCTargetTrackSet, V::SL),
    row(Id::IPCMagnifyApply, V::S, E),
    row(Id::IPCTrackParamGet, V::G),
    row(Id::IPCTrackParamSet, V::GL),
    row(Id::IPCGetDev2Info, V::GL),
    row(Id::IPCSetDev2Info, V::S, E),
    row(Id::IPCGetFaceInfo, V::GL),
    row(Id::IPCSetFaceInfo, V::S, E),
};

// The row of each command, found once while compiling; every command of the list has exactly one.
constexpr auto kRowOf = [] {
    std::array<uint8_t, command_count> at{};
    std::array<bool, command_count> seen{};
    for (size_t i = 0; i < std::size(kTable); ++i) {
        const auto id = static_cast<size_t>(kTable[i].id);
        if (seen[id]) throw "a command has two rows";
        seen[id] = true;
        at[id] = static_cast<uint8_t>(i);
    }
    return at;
}();
static_assert(std::size(kTable) == command_count, "every command of the list needs its row here");

}  // namespace

std::span<const Spec> commands() { return kTable; }

const Spec& command(Id id) { return kTable[kRowOf[static_cast<size_t>(id)]]; }

namespace {
// Commands whose site numbers are not given take fixed numbers derived from their row, one
// per line, so that every site keeps its own number.
uint16_t base_site(const Spec& s) { return static_cast<uint16_t>(2000 + 40 * (&s - kTable)); }
}  // namespace

uint16_t init_site(const Spec& s) { return s.sites.init ? s.sites.init : base_site(s) + 1; }

uint16_t site(const Spec& s, Kind k) {
    const uint16_t base = base_site(s);
    const Sites& x = s.sites;
    switch (k) {
    case Kind::Short: return x.shortAnswer ? x.shortAnswer : base + 10;
    case Kind::Nak: return x.nak ? x.nak : base + 14;
    case Kind::Ack: return x.ack ? x.ack : base + 18;
    case Kind::Echo: return x.echo ? x.echo : base + 26;
    case Kind::Other: return x.other ? x.other : base + 22;
    }
    return base;
}

}  // namespace ipc::cmd
