// Every unpack function fed an arbitrary answer (after byte 0, the record count) into records sized exactly for
// the count, so the sanitizers catch a write past them.
#include <cstdint>
#include <cstring>
#include <vector>

#include "ipcsdk.h"

namespace {

template <class Rec>
void run(uint32_t (*unpack)(const uint8_t*, uint32_t, int32_t, Rec*), const uint8_t* answer, uint32_t len,
         int32_t count) {
    std::vector<Rec> out(static_cast<size_t>(count > 0 ? count : 1));
    const uint32_t filled = unpack(answer, len, count, out.data());
    if (filled > out.size()) __builtin_trap();
}
template <class... Unpack>
void run_all(const uint8_t* answer, uint32_t len, int32_t count, Unpack... unpack) {
    (run(unpack, answer, len, count), ...);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int32_t count = static_cast<int8_t>(data[0]) % 8;
    // The library hands unpackers its 10240-byte answer buffer; the answer length never exceeds it.
    std::vector<uint8_t> answer(10240, 0);
    const uint32_t len = static_cast<uint32_t>(std::min<size_t>(size - 1, answer.size()));
    std::memcpy(answer.data(), data + 1, len);
    const uint8_t* a = answer.data();
    run_all(a, len, count, IPCUnPackVideoParam, IPCUnPackExOsdParam, IPCUnPackCameraControlInfo, IPCUnPackPTZParam,
            IPCUnPackPresetPoint, IPCUnPackPresetPointEx, IPCUnPackPTZValue, IPCUnPackCruiseInfo, IPCUnPackTrackParam,
            IPCUnPackCamMarkParam, IPCUnPackCamMarkParam2, IPCUnPackCamLinkPTZInfo, IPCUnPackFocusModeInfo,
            IPCUnPackLinkFocusLearnState, IPCUnPackNetWorkConfInfo, IPCUnPackGB28181Info, IPCUnPackFtpInfo,
            IPCUnPackWebServiceInfo, IPCUnPackSystemTimeInfo, IPCUnPackNtpConfInfo, IPCUnPackRestartInfo,
            IPCUnPackRestartInfo2, IPCUnPackDev2Info, IPCUnPackFaceInfo, IPCUnPackIdleOperationInfo,
            IPCUnPackStartOperationInfo, IPCUnPackAlarmOutParam, IPCUnPackAlarmInParam, IPCUnPackImageIspImageEnhance,
            IPCUnPackImageIspDayNight, IPCUnPackFireModeSet);
    SystemInfo info;
    IPCUnPackSystemInfo_IPC(a, len, &info);
    LoginResult login;
    IPCUnPackUserLoginRes(a, len, &login);
    VideoStartResult start;
    IPCUnPackStartVideoRes(a, len, &start);
    VideoStartExResult startEx;
    IPCUnPackStartVideoExRes(a, len, &startEx);
    return 0;
}
