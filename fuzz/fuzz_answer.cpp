// The answer path of every command, its exchange replaced (--wrap) by one returning the input. Byte 0 picks the
// command, byte 1 the record count (bits 0-2) and the outcome (bits 3-5: 0-5 the answer, 6-7 a failure value).
// Records fit their count exactly (the sanitizers catch a write past them); results are documented codes.
#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "ipcsdk.h"

namespace {

const uint8_t* g_answer = nullptr;
uint32_t g_answerLen = 0;
uint32_t g_failure = 0;  // nonzero: the exchange fails with this value
uint32_t g_handle = 0;

// Records in a buffer sized exactly for the count (64 bytes for an untyped one).
template <class R>
auto records(int32_t n) {
    using T = std::conditional_t<std::is_void_v<R>, std::array<uint8_t, 64>, std::remove_const_t<R>>;
    return std::vector<T>(static_cast<size_t>(n > 0 ? n : 1));
}
template <class R>
uint32_t with(uint32_t (*f)(uint32_t, R*, int32_t), int32_t n) { return f(g_handle, records<R>(n).data(), n); }
template <class R>
uint32_t with(uint32_t (*f)(uint32_t, R*), int32_t) { return f(g_handle, records<R>(1).data()); }
uint32_t with(uint32_t (*f)(uint32_t), int32_t) { return f(g_handle); }

template <class Info>
uint32_t waiting(uint32_t (*f)(uint32_t, Info*, int32_t, void*, uint32_t, int32_t), int32_t n) {
    Info info{};
    std::vector<uint8_t> out(static_cast<size_t>(n) * 100);
    return f(g_handle, &info, 0, out.data(), static_cast<uint32_t>(out.size()), 0);
}

#define C(f) +[](int32_t n) -> uint32_t { return with(f, n); }
using Command = uint32_t (*)(int32_t count);
const Command kCommands[] = {
    C(IPCStartVideo), C(IPCStopVideo), C(IPCStartVideoEx), C(IPCStopVideoEx), C(IPCVideoParamGet), C(IPCVideoParamSet),
    C(IPCExOsdGet), C(IPCExOsdSet), C(IPCGetCameraControlInfo), C(IPCSetCameraControlInfo), C(IPCDataReportRequest),
    C(IPCFireModeSet), C(IPCFireModeGet), C(IPCAlarmParamOutGet), C(IPCAlarmParamOutSet), C(IPCAlarmParamInGet),
    C(IPCAlarmParamInSet), C(IPCSystemTimeGet), C(IPCSystemTimeSet), C(IPCGetSysVersion), C(IPCReboot),
    C(IPCNtpConfGet), C(IPCNtpConfSet), C(IPCDevFactoryDefault), C(IPCGetRestartInfo), C(IPCSetRestartInfo),
    C(IPCGetIdleOperationInfo), C(IPCSetIdleOperationInfo), C(IPCGetStartOperationInfo), C(IPCSetStartOperationInfo),
    C(IPCGetRestartInfo2), C(IPCSetRestartInfo2), C(IPCPtzReboot), C(IPCShotSnap), C(IPCFtpGet), C(IPCFtpSet),
    C(IPCImageIspDayNightGet), C(IPCImageIspDayNightSet), C(IPCImageIspImageEnhanceGet), C(IPCImageIspImageEnhanceSet),
    C(IPCDevNetWorkGet), C(IPCDevNetWorkSet), C(IPCGB1400Set), C(IPCGB1400Get), C(IPCGB28181_setupGet),
    C(IPCGB28181_setupSet), C(IPCSendHeartBeat), C(IPCPTZParamGet), C(IPCPTZParamSet), C(IPCPTZCtrl),
    C(IPCGetPresetPoint), C(IPCSetPresetPoint), C(IPCPTZValueGet), C(IPCPTZValueSet), C(IPCClearPresetPoint),
    C(IPCCruiseinfoGet), C(IPCCruiseInfoSet), C(IPCCruiseSet), C(IPCDevPassThrough), C(IPCWiperSet), C(IPCLaserSet),
    C(IPCZoomSysncSet), C(IPCCrossSet), C(IPCGetCamLinkPTZInfo), C(IPCAddCamLinkPTZInfo), C(IPCEnterCamMarkMode),
    C(IPCLeaveCamMarkMode), C(IPCAddCamMarkPoint), C(IPCDelCamMarkPoint), C(IPCEndCamMarkPoint),
    C(IPCClearCamMarkPoint), C(IPCGetCamMarkPoint), C(IPCEnterCamMarkMode2), C(IPCGetCamMarkPoint2),
    C(IPCEndCamMarkPoint2), C(IPCEndCamMarkPointAlone), C(IPCFocusModeGet), C(IPCFocusModeSet),
    C(IPCLinkFocusLearnStateQuery), C(IPCLinkFocusLearn), C(IPCTargetTrackSet), C(IPCMagnifyApply), C(IPCTrackParamGet),
    C(IPCTrackParamSet), C(IPCGetDev2Info), C(IPCSetDev2Info), C(IPCGetFaceInfo), C(IPCSetFaceInfo),
    +[](int32_t n) { return waiting(IPCSIMUSNAP, n); }, +[](int32_t n) { return waiting(IPCGpsInfo, n); },
    +[](int32_t n) { return waiting(IPCDistantInfoSet, n); },
    +[](int32_t) { LoginUserInfo user{}; LoginResult result{}; return IPCUserLogin(g_handle, &user, &result); },
};

bool documented(uint32_t r) {
    return r == 0 || (r >= 0x80001001 && r <= 0x80001009) || (r >= 0x80002001 && r <= 0x80002004);
}

void login() {
    IPCSdkInit();
    uint8_t accept[136] = {0x5B, 0x5A, 0x01};
    accept[15] = 120, accept[23] = 200;  // 120 payload bytes; status 200, accepted
    g_answer = accept, g_answerLen = sizeof accept;
    LoginDeviceInfo dev{1, 5002, "127.0.0.1"};
    LoginUserInfo user{};
    g_handle = IPCSdkLogin(&dev, &user, 1);
    if (g_handle != IPCSDK_HANDLE_BASE) __builtin_trap();
}

}  // namespace

extern "C" {

// The fake exchanges: they honour the answer capacity the way the real ones do.
uint32_t fake_exchange(uint8_t* resp, uint32_t cap) {
    if (g_failure) return g_failure;
    const uint32_t n = std::min(cap, g_answerLen);
    std::memset(resp, 0, cap);
    std::memcpy(resp, g_answer, n);
    return n;
}
uint32_t __wrap_IPCSdk2usock(DeviceSlot* slot, uint8_t, uint8_t) {
    return slot->respLen = fake_exchange(slot->respBuf, std::min<uint32_t>(slot->respLen, IPCSDK_CMD_BUF_SIZE));
}
// The login request, on buffers of its own.
uint32_t __wrap_IPCSdk2usock2(int, uint8_t, uint8_t, const void*, uint32_t, void* resp, uint32_t* cap) {
    return fake_exchange(static_cast<uint8_t*>(resp), resp && cap ? *cap : 0);
}
// No channel connections, no trace file, no debug datagrams, no system log.
int32_t __wrap_StartDataReport(uint32_t) { return -1; }
int __wrap_sdk_print(const char*, ...) { return -1; }
void __wrap_IPCSdkDebug(const char*, ...) {}
void __wrap_IPCSdkError(const char*, ...) {}
void syslog(int, const char*, ...) {}
void vsyslog(int, const char*, va_list) {}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static const bool ready = (login(), true);
    if (size < 2) return 0;
    const Command command = kCommands[data[0] % std::size(kCommands)];
    const int32_t count = data[1] & 7;
    static constexpr uint32_t kFailures[] = {0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD, 0x80001009};
    const int outcome = (data[1] >> 3) & 7;
    g_failure = outcome >= 6 ? kFailures[(data[1] >> 6) & 3] : 0;
    g_answer = data + 2;
    g_answerLen = static_cast<uint32_t>(std::min<size_t>(size - 2, IPCSDK_CMD_BUF_SIZE));
    if (!documented(command(count))) __builtin_trap();
    return 0;
}

}  // extern "C"
