// Magnify requests, the second device-information record, face settings, idle and start
// operations.
#include "commands/engine.hpp"

namespace ipc {
namespace {

constexpr codec::Layout kMagnify = codec::layout_of<MagnifyInfo>();

constexpr codec::Layout kDev2 = codec::layout_of<Dev2Info>();

constexpr codec::Layout kFace = codec::layout_of<FaceInfo>();

constexpr codec::Layout kIdle = codec::layout_of<IdleOperationInfo>();

constexpr codec::Layout kStart = codec::layout_of<StartOperationInfo>();

}  // namespace
}  // namespace ipc

using namespace ipc;

extern "C" {

IPCSDK_API uint32_t IPCMagnifyApply(uint32_t handle, const MagnifyInfo* record) {
    return cmd::update(cmd::Id::IPCMagnifyApply, handle, record, cmd::pack<kMagnify>);
}

IPCSDK_API uint32_t IPCGetDev2Info(uint32_t handle, Dev2Info* record) {
    return cmd::query(cmd::Id::IPCGetDev2Info, handle, record, cmd::unpack<kDev2>);
}

IPCSDK_API uint32_t IPCSetDev2Info(uint32_t handle, const Dev2Info* record) {
    return cmd::update(cmd::Id::IPCSetDev2Info, handle, record, cmd::pack<kDev2>);
}

IPCSDK_API uint32_t IPCGetFaceInfo(uint32_t handle, FaceInfo* record) {
    return cmd::query(cmd::Id::IPCGetFaceInfo, handle, record, cmd::unpack<kFace>);
}

IPCSDK_API uint32_t IPCSetFaceInfo(uint32_t handle, const FaceInfo* record) {
    return cmd::update(cmd::Id::IPCSetFaceInfo, handle, record, cmd::pack<kFace>);
}

IPCSDK_API uint32_t IPCGetIdleOperationInfo(uint32_t handle, IdleOperationInfo* record) {
    return cmd::query(cmd::Id::IPCGetIdleOperationInfo, handle, record, cmd::unpack<kIdle>);
}

IPCSDK_API uint32_t IPCSetIdleOperationInfo(uint32_t handle, const IdleOperationInfo* record) {
    return cmd::update(cmd::Id::IPCSetIdleOperationInfo, handle, record, cmd::pack<kIdle>);
}

IPCSDK_API uint32_t IPCGetStartOperationInfo(uint32_t handle, StartOperationInfo* record) {
    return cmd::query(cmd::Id::IPCGetStartOperationInfo, handle, record, cmd::unpack<kStart>);
}

IPCSDK_API uint32_t IPCSetStartOperationInfo(uint32_t handle, const StartOperationInfo* record) {
    return cmd::update(cmd::Id::IPCSetStartOperationInfo, handle, record, cmd::pack<kStart>);
}

IPCSDK_API uint32_t IPCPackMagnifyInfo(uint32_t count, const MagnifyInfo* records, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kMagnify, count, records, out, outLen);
}

IPCSDK_API uint32_t IPCPackDev2Info(uint32_t count, const Dev2Info* records, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kDev2, count, records, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackDev2Info(const uint8_t* answer, uint32_t answerLen, int32_t max, Dev2Info* records) {
    return codec::unpack(kDev2, answer, answerLen, max, records);
}

IPCSDK_API uint32_t IPCPackFaceInfo(uint32_t count, const FaceInfo* records, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kFace, count, records, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackFaceInfo(const uint8_t* answer, uint32_t answerLen, int32_t max, FaceInfo* records) {
    return codec::unpack(kFace, answer, answerLen, max, records);
}

IPCSDK_API uint32_t IPCPackIdleOperationInfo(uint32_t count, const IdleOperationInfo* records, uint8_t* out,
                                             uint32_t* outLen) {
    return codec::pack(kIdle, count, records, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackIdleOperationInfo(const uint8_t* answer, uint32_t answerLen, int32_t max,
                                               IdleOperationInfo* records) {
    return codec::unpack(kIdle, answer, answerLen, max, records);
}

IPCSDK_API uint32_t IPCPackStartOperationInfo(uint32_t count, const StartOperationInfo* records, uint8_t* out,
                                              uint32_t* outLen) {
    return codec::pack(kStart, count, records, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackStartOperationInfo(const uint8_t* answer, uint32_t answerLen, int32_t max,
                                                StartOperationInfo* records) {
    return codec::unpack(kStart, answer, answerLen, max, records);
}

}  // extern "C"
