// Restart schedules, and the immediate actions: reboot, PTZ reboot, factory defaults.
#include "commands/engine.hpp"

namespace ipc {
namespace {

// 125 bytes: records follow each other without padding.
constexpr codec::Layout kRestart = codec::layout_of<RestartInfo>();
constexpr codec::Layout kRestart2 = codec::layout_of<RestartInfo2>();

}  // namespace
}  // namespace ipc

using namespace ipc;

extern "C" {

IPCSDK_API uint32_t IPCGetRestartInfo(uint32_t handle, RestartInfo* record) {
    return cmd::query(cmd::Id::IPCGetRestartInfo, handle, record, cmd::unpack<kRestart>);
}

IPCSDK_API uint32_t IPCSetRestartInfo(uint32_t handle, const RestartInfo* record) {
    return cmd::update(cmd::Id::IPCSetRestartInfo, handle, record, cmd::pack<kRestart>);
}

IPCSDK_API uint32_t IPCGetRestartInfo2(uint32_t handle, RestartInfo2* record) {
    return cmd::query(cmd::Id::IPCGetRestartInfo2, handle, record, cmd::unpack<kRestart2>);
}

IPCSDK_API uint32_t IPCSetRestartInfo2(uint32_t handle, const RestartInfo2* record) {
    return cmd::update(cmd::Id::IPCSetRestartInfo2, handle, record, cmd::pack<kRestart2>);
}

IPCSDK_API uint32_t IPCReboot(uint32_t handle) { return cmd::action(cmd::Id::IPCReboot, handle); }

IPCSDK_API uint32_t IPCDevFactoryDefault(uint32_t handle) { return cmd::action(cmd::Id::IPCDevFactoryDefault, handle); }

IPCSDK_API uint32_t IPCPtzReboot(uint32_t handle) { return cmd::action(cmd::Id::IPCPtzReboot, handle); }

IPCSDK_API uint32_t IPCPackRestartInfo(uint32_t count, const RestartInfo* records, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kRestart, count, records, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackRestartInfo(const uint8_t* answer, uint32_t answerLen, int32_t max,
                                         RestartInfo* records) {
    return codec::unpack(kRestart, answer, answerLen, max, records);
}

IPCSDK_API uint32_t IPCPackRestartInfo2(uint32_t count, const RestartInfo2* records, uint8_t* out,
                                        uint32_t* outLen) {
    return codec::pack(kRestart2, count, records, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackRestartInfo2(const uint8_t* answer, uint32_t answerLen, int32_t max,
                                          RestartInfo2* records) {
    return codec::unpack(kRestart2, answer, answerLen, max, records);
}

}  // extern "C"
