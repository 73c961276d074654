// Every unpack function fed an arbitrary answer: the first byte chooses the caller's record
// count, the rest is the answer (header included). The caller's records sit in a buffer sized
// exactly for that count, so a write past it is caught by the sanitizers.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int32_t count = static_cast<int8_t>(data[0]) % 8;
    // The library hands unpackers its 10240-byte answer buffer; the answer length never exceeds it.
    std::vector<uint8_t> answer(10240, 0);
    const uint32_t len = static_cast<uint32_t>(std::min<size_t>(size - 1, answer.size()));
    std::memcpy(answer.data(), data + 1, len);
    const uint8_t* a = answer.data();
    run(IPCUnPackVideoParam, a, len, count);
    run(IPCUnPackExOsdParam, a, len, count);
    run(IPCUnPackCameraControlInfo, a, len, count);
    run(IPCUnPackPTZParam, a, len, count);
    run(IPCUnPackPresetPoint, a, len, count);
    run(IPCUnPackPresetPointEx, a, len, count);
    run(IPCUnPackPTZValue, a, len, count);
    run(IPCUnPackCruiseInfo, a, len, count);
    run(IPCUnPackTrackParam, a, len, count);
    run(IPCUnPackCamMarkParam, a, len, count);
    run(IPCUnPackCamMarkParam2, a, len, count);
    run(IPCUnPackCamLinkPTZInfo, a, len, count);
    run(IPCUnPackFocusModeInfo, a, len, count);
    run(IPCUnPackLinkFocusLearnState, a, len, count);
    run(IPCUnPackNetWorkConfInfo, a, len, count);
    run(IPCUnPackGB28181Info, a, len, count);
    run(IPCUnPackFtpInfo, a, len, count);
    run(IPCUnPackWebServiceInfo, a, len, count);
    run(IPCUnPackSystemTimeInfo, a, len, count);
    run(IPCUnPackNtpConfInfo, a, len, count);
    run(IPCUnPackRestartInfo, a, len, count);
    run(IPCUnPackRestartInfo2, a, len, count);
    run(IPCUnPackDev2Info, a, len, count);
    run(IPCUnPackFaceInfo, a, len, count);
    run(IPCUnPackIdleOperationInfo, a, len, count);
    run(IPCUnPackStartOperationInfo, a, len, count);
    run(IPCUnPackAlarmOutParam, a, len, count);
    run(IPCUnPackAlarmInParam, a, len, count);
    run(IPCUnPackImageIspImageEnhance, a, len, count);
    run(IPCUnPackImageIspDayNight, a, len, count);
    run(IPCUnPackFireModeSet, a, len, count);
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
