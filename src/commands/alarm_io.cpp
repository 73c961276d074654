// Alarm output and input parameters; both records travel exactly as the host holds them.
#include "commands/engine.hpp"

namespace ipc {
namespace {

constexpr codec::Layout kAlarmOut = codec::layout_of<AlarmOutParam>();
constexpr codec::Layout kAlarmIn = codec::layout_of<AlarmInParam>();

}  // namespace
}  // namespace ipc

using namespace ipc;

extern "C" {

IPCSDK_API uint32_t IPCAlarmParamOutGet(uint32_t handle, AlarmOutParam* record) {
    return cmd::query(cmd::Id::IPCAlarmParamOutGet, handle, record, cmd::unpack<kAlarmOut>);
}

IPCSDK_API uint32_t IPCAlarmParamOutSet(uint32_t handle, const AlarmOutParam* record) {
    return cmd::update(cmd::Id::IPCAlarmParamOutSet, handle, record, cmd::pack<kAlarmOut>);
}

IPCSDK_API uint32_t IPCAlarmParamInGet(uint32_t handle, AlarmInParam* record) {
    return cmd::query(cmd::Id::IPCAlarmParamInGet, handle, record, cmd::unpack<kAlarmIn>);
}

IPCSDK_API uint32_t IPCAlarmParamInSet(uint32_t handle, const AlarmInParam* record) {
    return cmd::update(cmd::Id::IPCAlarmParamInSet, handle, record, cmd::pack<kAlarmIn>);
}

IPCSDK_API uint32_t IPCPackAlarmOutParam(const AlarmOutParam* record, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kAlarmOut, 1, record, out, outLen);
}

IPCSDK_API uint32_t IPCPackAlarmInParam(const AlarmInParam* record, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kAlarmIn, 1, record, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackAlarmOutParam(const uint8_t* answer, uint32_t answerLen, int32_t max,
                                           AlarmOutParam* records) {
    return codec::unpack(kAlarmOut, answer, answerLen, max, records);
}

IPCSDK_API uint32_t IPCUnPackAlarmInParam(const uint8_t* answer, uint32_t answerLen, int32_t max,
                                          AlarmInParam* records) {
    return codec::unpack(kAlarmIn, answer, answerLen, max, records);
}

}  // extern "C"
