// Video parameters, extended on-screen display and camera control.
#include "commands/engine.hpp"

namespace ipc {
namespace {

constexpr codec::Layout kVideoParam = codec::layout_of<VideoParamRecord>();

constexpr codec::Layout kExOsd = codec::layout_of<ExOsdRecord>();

constexpr codec::Layout kCameraControl = codec::layout_of<CameraControlRecord>();

}  // namespace
}  // namespace ipc

using namespace ipc;

extern "C" {

IPCSDK_API uint32_t IPCVideoParamGet(uint32_t handle, VideoParamRecord* records, int32_t count) {
    return cmd::query(cmd::Id::IPCVideoParamGet, handle, records, cmd::unpack<kVideoParam>, count, cmd::Arg::Array);
}

IPCSDK_API uint32_t IPCVideoParamSet(uint32_t handle, const VideoParamRecord* records, int32_t count) {
    return cmd::update(cmd::Id::IPCVideoParamSet, handle, records, cmd::pack<kVideoParam>, count, cmd::Arg::Array);
}

IPCSDK_API uint32_t IPCExOsdGet(uint32_t handle, ExOsdRecord* records, int32_t count) {
    return cmd::query(cmd::Id::IPCExOsdGet, handle, records, cmd::unpack<kExOsd>, count, cmd::Arg::Array);
}

IPCSDK_API uint32_t IPCExOsdSet(uint32_t handle, const ExOsdRecord* records, int32_t count) {
    return cmd::update(cmd::Id::IPCExOsdSet, handle, records, cmd::pack<kExOsd>, count, cmd::Arg::Array);
}

IPCSDK_API uint32_t IPCGetCameraControlInfo(uint32_t handle, CameraControlRecord* record) {
    return cmd::query(cmd::Id::IPCGetCameraControlInfo, handle, record, cmd::unpack<kCameraControl>);
}

IPCSDK_API uint32_t IPCSetCameraControlInfo(uint32_t handle, const CameraControlRecord* record) {
    return cmd::update(cmd::Id::IPCSetCameraControlInfo, handle, record, cmd::pack<kCameraControl>);
}

IPCSDK_API uint32_t IPCPackVideoParam(int32_t count, const VideoParamRecord* records, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kVideoParam, count, records, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackVideoParam(const uint8_t* answer, uint32_t answerLen, int32_t count,
                                        VideoParamRecord* records) {
    return codec::unpack(kVideoParam, answer, answerLen, count, records);
}

IPCSDK_API uint32_t IPCPackExOsdParam(int32_t count, const ExOsdRecord* records, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kExOsd, count, records, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackExOsdParam(const uint8_t* answer, uint32_t answerLen, int32_t count,
                                        ExOsdRecord* records) {
    return codec::unpack(kExOsd, answer, answerLen, count, records);
}

// The command always passes one record; a direct call packs `count` records, as the others do.
IPCSDK_API uint32_t IPCPackCameraControlInfo(int32_t count, const CameraControlRecord* record, uint8_t* out,
                                             uint32_t* outLen) {
    return codec::pack(kCameraControl, count, record, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackCameraControlInfo(const uint8_t* answer, uint32_t answerLen, int32_t count,
                                               CameraControlRecord* records) {
    return codec::unpack(kCameraControl, answer, answerLen, count, records);
}

}  // extern "C"
