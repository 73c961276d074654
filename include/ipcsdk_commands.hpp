/**
 * @file ipcsdk_commands.hpp
 * @brief The command list of the C interface: every command's function, message class and code,
 * and for the settings their record, name and largest count.
 *
 * One list read by the library's command table, the settings table of ipcsdk.hpp, ipcctl, the
 * MQTT gateway and the Wireshark dissector. IPCSDK_COMMANDS(X, S, Q) expands
 * - X(FN, CLASS, CODE) for a command outside the settings table,
 * - S(RECORD, NAME, MAX, GETFN, GCLASS, GCODE, SETFN, SCLASS, SCODE) for a setting read by GETFN
 *   and written by SETFN,
 * - Q(RECORD, NAME, GETFN, GCLASS, GCODE) for a read-only setting.
 *
 * NAME is the setting's name in ipcctl and the gateway: the command's name without "IPC" and
 * without "Get"/"Set", lower case, a hyphen at each word boundary. Acronyms stay one word (PTZ ->
 * ptz, GB28181 -> gb28181, OSD -> osd, ISP -> isp); a digit stays with its word (restart-info2,
 * dev2-info); "NetWork" is one word (dev-network), "_setup" a word of its own (gb28181-setup).
 * MAX is the most records one call of a counted setting carries (what fits one 10240-byte
 * request), 0 for a single record. Settings are listed in the order of ipc::settings().
 */
#ifndef IPCSDK_COMMANDS_HPP
#define IPCSDK_COMMANDS_HPP

#include <cstddef>
#include <cstdint>
#include <string_view>

// clang-format off
#define IPCSDK_COMMANDS(X, S, Q) \
    X(IPCUserLogin,            0,  0)                                                                                              \
    X(StartDataReport,         0,  3)                                                                                              \
    X(StartVideoRequest,       0,  3)                                                                                              \
    X(IPCStartVideo,           1,  0)                                                                                              \
    X(IPCStopVideo,            1,  1)                                                                                              \
    X(IPCDataReportRequest,    1,  9)                                                                                              \
    X(IPCStartVideoEx,         1,  10)                                                                                             \
    X(IPCStopVideoEx,          1,  11)                                                                                             \
    X(IPCReboot,               3,  7)                                                                                              \
    X(IPCDevFactoryDefault,    3,  10)                                                                                             \
    X(IPCPtzReboot,            3,  23)                                                                                             \
    X(IPCShotSnap,             4,  6)                                                                                              \
    X(IPCSendHeartBeat,        10, 0)                                                                                              \
    X(IPCPTZCtrl,              12, 2)                                                                                              \
    X(IPCSetPresetPoint,       12, 4)                                                                                              \
    X(IPCClearPresetPoint,     12, 17)                                                                                             \
    X(IPCCruiseSet,            12, 25)                                                                                             \
    X(IPCDevPassThrough,       12, 33)                                                                                             \
    X(IPCWiperSet,             12, 34)                                                                                             \
    X(IPCLaserSet,             12, 35)                                                                                             \
    X(IPCZoomSysncSet,         12, 46)                                                                                             \
    X(IPCDistantInfoSet,       12, 48)                                                                                             \
    X(IPCCrossSet,             12, 52)                                                                                             \
    X(IPCGpsInfo,              12, 53)                                                                                             \
    X(IPCSIMUSNAP,             13, 10)                                                                                             \
    X(IPCAddCamLinkPTZInfo,    32, 2)                                                                                              \
    X(IPCEnterCamMarkMode,     33, 1)                                                                                              \
    X(IPCLeaveCamMarkMode,     33, 2)                                                                                              \
    X(IPCAddCamMarkPoint,      33, 3)                                                                                              \
    X(IPCDelCamMarkPoint,      33, 4)                                                                                              \
    X(IPCEndCamMarkPoint,      33, 5)                                                                                              \
    X(IPCClearCamMarkPoint,    33, 6)                                                                                              \
    X(IPCEnterCamMarkMode2,    33, 8)                                                                                              \
    X(IPCEndCamMarkPoint2,     33, 16)                                                                                             \
    X(IPCEndCamMarkPointAlone, 33, 17)                                                                                             \
    X(IPCLinkFocusLearn,       33, 21)                                                                                             \
    X(IPCTargetTrackSet,       34, 1)                                                                                              \
    X(IPCMagnifyApply,         34, 3)                                                                                              \
    S(VideoParamRecord,    "video-param",             77, IPCVideoParamGet,           1,  6,  IPCVideoParamSet,           1,  7)   \
    S(ExOsdRecord,         "ex-osd",                  28, IPCExOsdGet,                1,  14, IPCExOsdSet,                1,  15)  \
    S(CameraControlRecord, "camera-control-info",     0,  IPCGetCameraControlInfo,    1,  16, IPCSetCameraControlInfo,    1,  17)  \
    S(FireModeInfo,        "fire-mode",               0,  IPCFireModeGet,             1,  47, IPCFireModeSet,             1,  46)  \
    S(AlarmOutParam,       "alarm-param-out",         0,  IPCAlarmParamOutGet,        2,  4,  IPCAlarmParamOutSet,        2,  5)   \
    S(AlarmInParam,        "alarm-param-in",          0,  IPCAlarmParamInGet,         2,  6,  IPCAlarmParamInSet,         2,  7)   \
    S(SystemTimeInfo,      "system-time",             0,  IPCSystemTimeGet,           3,  0,  IPCSystemTimeSet,           3,  1)   \
    S(NtpConfInfo,         "ntp-conf",                0,  IPCNtpConfGet,              3,  8,  IPCNtpConfSet,              3,  9)   \
    S(RestartInfo,         "restart-info",            0,  IPCGetRestartInfo,          3,  11, IPCSetRestartInfo,          3,  12)  \
    S(IdleOperationInfo,   "idle-operation-info",     0,  IPCGetIdleOperationInfo,    3,  17, IPCSetIdleOperationInfo,    3,  18)  \
    S(StartOperationInfo,  "start-operation-info",    0,  IPCGetStartOperationInfo,   3,  19, IPCSetStartOperationInfo,   3,  20)  \
    S(RestartInfo2,        "restart-info2",           0,  IPCGetRestartInfo2,         3,  21, IPCSetRestartInfo2,         3,  22)  \
    S(FtpInfo,             "ftp",                     0,  IPCFtpGet,                  5,  8,  IPCFtpSet,                  5,  9)   \
    S(DayNightInfo,        "image-isp-day-night",     0,  IPCImageIspDayNightGet,     7,  17, IPCImageIspDayNightSet,     7,  18)  \
    S(ImageEnhanceInfo,    "image-isp-image-enhance", 0,  IPCImageIspImageEnhanceGet, 7,  19, IPCImageIspImageEnhanceSet, 7,  20)  \
    S(NetWorkConfInfo,     "dev-network",             0,  IPCDevNetWorkGet,           8,  0,  IPCDevNetWorkSet,           8,  1)   \
    S(WebServiceInfo,      "gb1400",                  0,  IPCGB1400Get,               8,  17, IPCGB1400Set,               8,  16)  \
    S(GB28181Info,         "gb28181-setup",           0,  IPCGB28181_setupGet,        9,  8,  IPCGB28181_setupSet,        9,  9)   \
    S(PTZParamRecord,      "ptz-param",               80, IPCPTZParamGet,             12, 0,  IPCPTZParamSet,             12, 1)   \
    S(PTZValueRecord,      "ptz-value",               0,  IPCPTZValueGet,             12, 8,  IPCPTZValueSet,             12, 9)   \
    S(CruiseInfoRecord,    "cruise-info",             0,  IPCCruiseinfoGet,           12, 23, IPCCruiseInfoSet,           12, 24)  \
    S(FocusModeRecord,     "focus-mode",              0,  IPCFocusModeGet,            33, 18, IPCFocusModeSet,            33, 19)  \
    S(TrackParamRecord,    "track-param",             0,  IPCTrackParamGet,           34, 4,  IPCTrackParamSet,           34, 5)   \
    S(Dev2Info,            "dev2-info",               0,  IPCGetDev2Info,             34, 6,  IPCSetDev2Info,             34, 7)   \
    S(FaceInfo,            "face-info",               0,  IPCGetFaceInfo,             34, 8,  IPCSetFaceInfo,             34, 9)   \
    Q(SystemInfo,          "sys-version",                  IPCGetSysVersion,            3,  2)                                     \
    Q(PresetTable,         "preset-point",                 IPCGetPresetPoint,           12, 3)                                     \
    Q(CamLinkPTZRecord,    "cam-link-ptz-info",            IPCGetCamLinkPTZInfo,        32, 1)                                     \
    Q(CamMarkRecord,       "cam-mark-point",               IPCGetCamMarkPoint,          33, 7)                                     \
    Q(CamMark2Record,      "cam-mark-point2",              IPCGetCamMarkPoint2,         33, 9)                                     \
    Q(LinkFocusLearnState, "link-focus-learn-state-query", IPCLinkFocusLearnStateQuery, 33, 20)
// clang-format on

namespace ipc {

/// A command of the C interface, by its function's name: ipc::command_id::IPCReboot.
enum class command_id : std::uint8_t {
#define IPCSDK_ID_X_(fn, ...) fn,
#define IPCSDK_ID_S_(t, name, max, get, gc, gk, set, sc, sk) get, set,
#define IPCSDK_ID_Q_(t, name, get, gc, gk) get,
    IPCSDK_COMMANDS(IPCSDK_ID_X_, IPCSDK_ID_S_, IPCSDK_ID_Q_)
};

/// A command's identity on the wire.
struct command_identity {
    std::string_view name;  ///< the function's name
    std::uint8_t msg_class;
    std::uint8_t code;
};

/// Every command, indexed by command_id.
inline constexpr command_identity command_identities[] = {
#define IPCSDK_IDENT_X_(fn, c, k) {#fn, c, k},
#define IPCSDK_IDENT_S_(t, name, max, get, gc, gk, set, sc, sk) {#get, gc, gk}, {#set, sc, sk},
#define IPCSDK_IDENT_Q_(t, name, get, gc, gk) {#get, gc, gk},
    IPCSDK_COMMANDS(IPCSDK_IDENT_X_, IPCSDK_IDENT_S_, IPCSDK_IDENT_Q_)
};
#undef IPCSDK_ID_X_
#undef IPCSDK_ID_S_
#undef IPCSDK_ID_Q_
#undef IPCSDK_IDENT_X_
#undef IPCSDK_IDENT_S_
#undef IPCSDK_IDENT_Q_

/// Number of commands.
inline constexpr std::size_t command_count = sizeof command_identities / sizeof command_identities[0];

/// The identity of a command.
constexpr const command_identity& identity(command_id id) noexcept {
    return command_identities[static_cast<std::size_t>(id)];
}

}  // namespace ipc

#endif  // IPCSDK_COMMANDS_HPP
