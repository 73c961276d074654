// Every command of the library: identity on the wire, variant of the frame, diagnostic prefix,
// flags and the site numbers its lines carry.
#include <cstring>

#include "commands/engine.hpp"

namespace ipc::cmd {
namespace {

using V = Variant;

constexpr Spec row(const char* name, uint8_t cls, uint8_t code, Variant v, uint8_t flags = 0,
                   const char* prefix = nullptr, Sites sites = {}, const char* label = nullptr) {
    return Spec{name, cls, code, v, prefix ? prefix : name, flags, sites, label};
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
    row("IPCUserLogin", 0, 0, V::Special, NI),
    row("StartDataReport", 0, 3, V::Special, NI),
    row("StartVideoRequest", 0, 3, V::Special, NI),
    row("IPCStartVideo", 1, 0, V::G, 0, "pmqcsVideoStart", init_at(597)),
    row("IPCStopVideo", 1, 1, V::S, 0, "pmqcsVideoStop", init_at(690)),
    row("IPCVideoParamGet", 1, 6, V::G, 0, "pmqcsVideoParamGet"),
    row("IPCVideoParamSet", 1, 7, V::S, 0, "pmqcsVParamSet"),
    row("IPCDataReportRequest", 1, 9, V::P, NI, nullptr, labelled(6986, 7010), "Data Report Request"),
    row("IPCStartVideoEx", 1, 10, V::GX, 0, "pmqcsVideoStartEx", Sites{775, 0, 0, 804, 815, 824, 843, 833, 0}),
    row("IPCStopVideoEx", 1, 11, V::SX, 0, nullptr, Sites{876, 0, 0, 906, 917, 926, 940, 935, 889}),
    row("IPCExOsdGet", 1, 14, V::G, 0, "pmqcsVideoParamGet"),
    row("IPCExOsdSet", 1, 15, V::S, 0, "pmqcsVParamSet"),
    row("IPCGetCameraControlInfo", 1, 16, V::GL),
    row("IPCSetCameraControlInfo", 1, 17, V::S, E),
    row("IPCFireModeSet", 1, 46, V::N, 0, nullptr, numbered(8567, 0, 8574, 8592, 8600, 0, 8618, 8613)),
    row("IPCFireModeGet", 1, 47, V::N, 0, nullptr, numbered(8644, 8649, 8653, 8669, 8677, 8684, 0, 8691)),
    row("IPCAlarmParamOutGet", 2, 4, V::G, NI),
    row("IPCAlarmParamOutSet", 2, 5, V::SL, NI, "IPCPeriod_alarm_out_set"),
    row("IPCAlarmParamInGet", 2, 6, V::G, NI),
    row("IPCAlarmParamInSet", 2, 7, V::SL, NI, "IPCPeriod_alarm_in_set"),
    row("IPCSystemTimeGet", 3, 0, V::GL),
    row("IPCSystemTimeSet", 3, 1, V::S, E),
    row("IPCGetSysVersion", 3, 2, V::G, kShortDebug),
    row("IPCReboot", 3, 7, V::S, E),
    row("IPCNtpConfGet", 3, 8, V::GL),
    row("IPCNtpConfSet", 3, 9, V::S, E),
    row("IPCDevFactoryDefault", 3, 10, V::S, E),
    row("IPCGetRestartInfo", 3, 11, V::GL),
    row("IPCSetRestartInfo", 3, 12, V::S, E),
    row("IPCGetIdleOperationInfo", 3, 17, V::GL),
    row("IPCSetIdleOperationInfo", 3, 18, V::S, E),
    row("IPCGetStartOperationInfo", 3, 19, V::GL),
    row("IPCSetStartOperationInfo", 3, 20, V::S, E),
    row("IPCGetRestartInfo2", 3, 21, V::GL),
    row("IPCSetRestartInfo2", 3, 22, V::S, E),
    row("IPCPtzReboot", 3, 23, V::S, E),
    row("IPCShotSnap", 4, 6, V::GX, kTrailOnly),
    row("IPCFtpGet", 5, 8, V::GL),
    row("IPCFtpSet", 5, 9, V::S, E),
    row("IPCImageIspDayNightGet", 7, 17, V::N, 0, nullptr, numbered(8333, 8338, 8342, 8358, 8366, 8373, 0, 8380)),
    row("IPCImageIspDayNightSet", 7, 18, V::N, 0, nullptr, numbered(8411, 0, 8418, 8436, 8444, 0, 8462, 8457)),
    row("IPCImageIspImageEnhanceGet", 7, 19, V::N, 0, nullptr, numbered(8180, 8185, 0, 8204, 8212, 8219, 0, 8226)),
    row("IPCImageIspImageEnhanceSet", 7, 20, V::N, 0, nullptr, numbered(8257, 0, 8264, 8282, 8290, 0, 8308, 8303)),
    row("IPCDevNetWorkGet", 8, 0, V::N, kInitNumbered, nullptr, numbered(5301, 5306, 5310, 5328, 5336, 5343, 0, 5350)),
    row("IPCDevNetWorkSet", 8, 1, V::N, kInitNumbered, nullptr, numbered(5381, 0, 5388, 5412, 5420, 0, 5438, 5433)),
    row("IPCGB1400Set", 8, 16, V::Q),
    row("IPCGB1400Get", 8, 17, V::GL, 0, "IPCWebServiceGet"),
    row("IPCGB28181_setupGet", 9, 8, V::GL),
    row("IPCGB28181_setupSet", 9, 9, V::S, E),
    row("IPCSendHeartBeat", 10, 0, V::P, NI, nullptr, labelled(185, 209), "IPCSendHeartBeat"),
    row("IPCPTZParamGet", 12, 0, V::G),
    row("IPCPTZParamSet", 12, 1, V::S, E),
    row("IPCPTZCtrl", 12, 2, V::S, E, "IPCPackPTZCtrl"),
    row("IPCGetPresetPoint", 12, 3, V::GL),
    row("IPCSetPresetPoint", 12, 4, V::S, E),
    row("IPCPTZValueGet", 12, 8, V::GTrail, kInitStdout),
    row("IPCPTZValueSet", 12, 9, V::S, E),
    row("IPCClearPresetPoint", 12, 17, V::S, E),
    row("IPCCruiseinfoGet", 12, 23, V::G, NI, "IPCCruiseInfoGet"),
    row("IPCCruiseInfoSet", 12, 24, V::SL, NI, "IPCcruiseinfo_set"),
    row("IPCCruiseSet", 12, 25, V::SL, NI),
    row("IPCDevPassThrough", 12, 33, V::P, NI, nullptr, labelled(6918, 6942), "ptz passthrough"),
    row("IPCWiperSet", 12, 34, V::P, NI, nullptr, labelled(7392, 7413), "IPCWiperSet"),
    row("IPCLaserSet", 12, 35, V::P, NI, nullptr, labelled(7453, 7474), "IPCLaserSet"),
    row("IPCZoomSysncSet", 12, 46, V::N, 0, nullptr, numbered(8489, 0, 8496, 8514, 8522, 0, 8540, 8535)),
    row("IPCDistantInfoSet", 12, 48, V::Special, NI, nullptr, labelled(7298, 7352), "IPCDistantInfoSet"),
    row("IPCCrossSet", 12, 52, V::N, 0, nullptr, numbered(8102, 0, 8109, 8127, 8135, 0, 8153, 8148)),
    row("IPCGpsInfo", 12, 53, V::Special, NI, nullptr, labelled(7186, 7257), "Gps Info"),
    row("IPCSIMUSNAP", 13, 10, V::Special, NI),
    row("IPCGetCamLinkPTZInfo", 32, 1, V::GL),
    row("IPCAddCamLinkPTZInfo", 32, 2, V::GL),
    row("IPCEnterCamMarkMode", 33, 1, V::GL),
    row("IPCLeaveCamMarkMode", 33, 2, V::GL),
    row("IPCAddCamMarkPoint", 33, 3, V::GL),
    row("IPCDelCamMarkPoint", 33, 4, V::GL),
    row("IPCEndCamMarkPoint", 33, 5, V::GL),
    row("IPCClearCamMarkPoint", 33, 6, V::GL),
    row("IPCGetCamMarkPoint", 33, 7, V::GL),
    row("IPCEnterCamMarkMode2", 33, 8, V::GL),
    row("IPCGetCamMarkPoint2", 33, 9, V::GL, 0, "IPCGetCamMarkPoint"),
    row("IPCEndCamMarkPoint2", 33, 16, V::GL),
    row("IPCEndCamMarkPointAlone", 33, 17, V::GL, NI),
    row("IPCFocusModeGet", 33, 18, V::G),
    row("IPCFocusModeSet", 33, 19, V::GL),
    row("IPCLinkFocusLearnStateQuery", 33, 20, V::G),
    row("IPCLinkFocusLearn", 33, 21, V::GL, kAckIsSuccess),
    row("IPCTargetTrackSet", 34, 1, V::SL),
    row("IPCMagnifyApply", 34, 3, V::S, E),
    row("IPCTrackParamGet", 34, 4, V::G),
    row("IPCTrackParamSet", 34, 5, V::GL),
    row("IPCGetDev2Info", 34, 6, V::GL),
    row("IPCSetDev2Info", 34, 7, V::S, E),
    row("IPCGetFaceInfo", 34, 8, V::GL),
    row("IPCSetFaceInfo", 34, 9, V::S, E),
};

}  // namespace

std::span<const Spec> commands() { return kTable; }

const Spec& command(const char* name) {
    for (const Spec& s : kTable)
        if (std::strcmp(s.name, name) == 0) return s;
    __builtin_trap();  // every exported command has a row; a missing one is a build mistake
}

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
