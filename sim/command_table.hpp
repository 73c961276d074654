// The camera's command table: what each (class, code) does and how it is answered.
// Internal to the simulator.
#pragma once

#include <cstdint>

namespace ipcsim::detail {

enum class Role : uint8_t {
    Query,   // answers the echo carrying the stored record under its own code
    Update,  // stores its payload under `key` (the code of its query); the payload must be
             // whole records of the query's size
    Action,  // does `effect`; a non-empty payload is kept under its own code
};

enum class Answer : uint8_t {
    Ack,   // 16-byte header, byte 3 = 0x7A
    Echo,  // the request's class and code; no payload unless the effect adds one
};

enum class Effect : uint8_t {
    None,
    Login,
    StartVideo,     // echo of the request's first 16 bytes with byte 2 = 1, stream on
    StartVideoEx,   // echo of the request's first 36 bytes with byte 4 = 1, stream on
    StopVideo,
    PtzCtrl,
    Preset,
    FactoryReset,   // forgets every stored record and the PTZ position
    MarkRecord,     // the echo carries the stored mark record (33.7)
    SnapPair,       // two 0xA002 reports follow
    Position,       // a 0x1001 or 0x1002 report follows
    Distance,       // a 0x1004 report follows
};

struct CommandDef {
    uint8_t cls;
    uint8_t code;
    Role role;
    Answer answer;
    uint16_t size;     // Query: record size; Action: exact payload size (kAnySize: not checked)
    uint8_t key;       // Update: code of the query whose record it replaces
    uint8_t count;     // Query: records in the default answer
    Effect effect;
    const char* name;  // for the log
};

inline constexpr uint16_t kAnySize = 0xFFFF;

// clang-format off
#define Q(c, k, size, n, name)       {c, k, Role::Query, Answer::Echo, size, k, n, Effect::None, name}
#define U(c, k, key, ans, name)      {c, k, Role::Update, Answer::ans, 0, key, 0, Effect::None, name}
#define A(c, k, ans, size, eff, name) {c, k, Role::Action, Answer::ans, size, k, 0, Effect::eff, name}
inline constexpr CommandDef kCommands[] = {
    A(0, 0,   Echo, 160, Login, "IPCUserLogin"),
    A(0, 3,   Ack, 132, None, "announcement"),
    A(1, 0,   Echo, kAnySize, StartVideo, "IPCStartVideo"),
    A(1, 1,   Ack, 16, StopVideo, "IPCStopVideo"),
    Q(1, 6,   132, 2, "IPCVideoParamGet"),
    U(1, 7,   6, Ack, "IPCVideoParamSet"),
    A(1, 9,   Ack, 140, None, "IPCDataReportRequest"),
    A(1, 10,  Echo, kAnySize, StartVideoEx, "IPCStartVideoEx"),
    A(1, 11,  Ack, kAnySize, StopVideo, "IPCStopVideoEx"),
    Q(1, 14,  362, 2, "IPCExOsdGet"),
    U(1, 15,  14, Ack, "IPCExOsdSet"),
    Q(1, 16,  128, 1, "IPCGetCameraControlInfo"),
    U(1, 17,  16, Ack, "IPCSetCameraControlInfo"),
    U(1, 46,  47, Ack, "IPCFireModeSet"),
    Q(1, 47,  64, 1, "IPCFireModeGet"),
    Q(2, 4,   296, 1, "IPCAlarmParamOutGet"),
    U(2, 5,   4, Ack, "IPCAlarmParamOutSet"),
    Q(2, 6,   8, 1, "IPCAlarmParamInGet"),
    U(2, 7,   6, Ack, "IPCAlarmParamInSet"),
    Q(3, 0,   132, 1, "IPCSystemTimeGet"),
    U(3, 1,   0, Ack, "IPCSystemTimeSet"),
    Q(3, 2,   80, 1, "IPCGetSysVersion"),
    A(3, 7,   Ack, 0, None, "IPCReboot"),
    Q(3, 8,   136, 1, "IPCNtpConfGet"),
    U(3, 9,   8, Ack, "IPCNtpConfSet"),
    A(3, 10,  Ack, 0, FactoryReset, "IPCDevFactoryDefault"),
    Q(3, 11,  125, 1, "IPCGetRestartInfo"),
    U(3, 12,  11, Ack, "IPCSetRestartInfo"),
    Q(3, 17,  128, 1, "IPCGetIdleOperationInfo"),
    U(3, 18,  17, Ack, "IPCSetIdleOperationInfo"),
    Q(3, 19,  128, 1, "IPCGetStartOperationInfo"),
    U(3, 20,  19, Ack, "IPCSetStartOperationInfo"),
    Q(3, 21,  125, 1, "IPCGetRestartInfo2"),
    U(3, 22,  21, Ack, "IPCSetRestartInfo2"),
    A(3, 23,  Ack, 0, None, "IPCPtzReboot"),
    A(4, 6,   Echo, 0, None, "IPCShotSnap"),
    Q(5, 8,   220, 1, "IPCFtpGet"),
    U(5, 9,   8, Ack, "IPCFtpSet"),
    Q(7, 17,  128, 1, "IPCImageIspDayNightGet"),
    U(7, 18,  17, Ack, "IPCImageIspDayNightSet"),
    Q(7, 19,  132, 1, "IPCImageIspImageEnhanceGet"),
    U(7, 20,  19, Ack, "IPCImageIspImageEnhanceSet"),
    Q(8, 0,   140, 1, "IPCDevNetWorkGet"),
    U(8, 1,   0, Ack, "IPCDevNetWorkSet"),
    U(8, 16,  17, Ack, "IPCGB1400Set"),
    Q(8, 17,  236, 1, "IPCGB1400Get"),
    Q(9, 8,   404, 1, "IPCGB28181_setupGet"),
    U(9, 9,   8, Ack, "IPCGB28181_setupSet"),
    A(10, 0,  Ack, 0, None, "IPCSendHeartBeat"),
    Q(12, 0,  128, 1, "IPCPTZParamGet"),
    U(12, 1,  0, Ack, "IPCPTZParamSet"),
    A(12, 2,  Ack, 132, PtzCtrl, "IPCPTZCtrl"),
    Q(12, 3,  9180, 1, "IPCGetPresetPoint"),
    A(12, 4,  Ack, 36, Preset, "IPCSetPresetPoint"),
    Q(12, 8,  134, 1, "IPCPTZValueGet"),
    U(12, 9,  8, Ack, "IPCPTZValueSet"),
    U(12, 17, 3, Ack, "IPCClearPresetPoint"),
    Q(12, 23, 3460, 1, "IPCCruiseinfoGet"),
    U(12, 24, 23, Ack, "IPCCruiseInfoSet"),
    A(12, 25, Ack, 124, None, "IPCCruiseSet"),
    A(12, 33, Ack, 72, None, "IPCDevPassThrough"),
    A(12, 34, Ack, 4, None, "IPCWiperSet"),
    A(12, 35, Ack, 4, None, "IPCLaserSet"),
    A(12, 46, Ack, 128, None, "IPCZoomSysncSet"),
    A(12, 48, Ack, kAnySize, Distance, "IPCDistantInfoSet"),
    A(12, 52, Ack, 8, None, "IPCCrossSet"),
    A(12, 53, Ack, 128, Position, "IPCGpsInfo"),
    A(13, 10, Ack, 132, SnapPair, "IPCSIMUSNAP"),
    Q(32, 1,  1864, 1, "IPCGetCamLinkPTZInfo"),
    U(32, 2,  1, Echo, "IPCAddCamLinkPTZInfo"),
    A(33, 1,  Echo, 0, MarkRecord, "IPCEnterCamMarkMode"),
    U(33, 2,  7, Echo, "IPCLeaveCamMarkMode"),
    U(33, 3,  7, Echo, "IPCAddCamMarkPoint"),
    U(33, 4,  7, Echo, "IPCDelCamMarkPoint"),
    U(33, 5,  7, Echo, "IPCEndCamMarkPoint"),
    U(33, 6,  7, Echo, "IPCClearCamMarkPoint"),
    Q(33, 7,  212, 1, "IPCGetCamMarkPoint"),
    A(33, 8,  Echo, 0, None, "IPCEnterCamMarkMode2"),
    Q(33, 9,  320, 1, "IPCGetCamMarkPoint2"),
    U(33, 16, 9, Echo, "IPCEndCamMarkPoint2"),
    A(33, 17, Echo, 0, None, "IPCEndCamMarkPointAlone"),
    Q(33, 18, 128, 1, "IPCFocusModeGet"),
    U(33, 19, 18, Echo, "IPCFocusModeSet"),
    Q(33, 20, 128, 1, "IPCLinkFocusLearnStateQuery"),
    A(33, 21, Ack, 128, None, "IPCLinkFocusLearn"),
    A(34, 1,  Ack, 1, None, "IPCTargetTrackSet"),
    A(34, 3,  Ack, 132, None, "IPCMagnifyApply"),
    Q(34, 4,  132, 1, "IPCTrackParamGet"),
    U(34, 5,  4, Echo, "IPCTrackParamSet"),
    Q(34, 6,  128, 1, "IPCGetDev2Info"),
    U(34, 7,  6, Ack, "IPCSetDev2Info"),
    Q(34, 8,  128, 1, "IPCGetFaceInfo"),
    U(34, 9,  8, Ack, "IPCSetFaceInfo"),
};
#undef Q
#undef U
#undef A
// clang-format on

inline const CommandDef* find_command(uint8_t cls, uint8_t code) {
    for (const auto& c : kCommands)
        if (c.cls == cls && c.code == code) return &c;
    return nullptr;
}

}  // namespace ipcsim::detail
