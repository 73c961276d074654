// Target tracking, the snapshot trigger, camera mark points and the camera-to-PTZ link table.
#include "commands/engine.hpp"

namespace ipc {
namespace {

constexpr codec::Layout kTrackParam = codec::layout_of<TrackParamRecord>();
constexpr codec::Layout kTrackSwitch{1, {}, {}, {}};

constexpr codec::Layout kCamMark = codec::layout_of<CamMarkRecord>();
constexpr codec::Layout kCamMark2 = codec::layout_of<CamMark2Record>();
constexpr codec::Layout kCamLink = codec::layout_of<CamLinkPTZRecord>();

}  // namespace
}  // namespace ipc

using namespace ipc;

extern "C" {

IPCSDK_API uint32_t IPCShotSnap(uint32_t handle, void* param) {
    return cmd::query(cmd::Id::IPCShotSnap, handle, param, nullptr);
}

IPCSDK_API uint32_t IPCTrackParamGet(uint32_t handle, TrackParamRecord* record) {
    return cmd::query(cmd::Id::IPCTrackParamGet, handle, record, cmd::unpack<kTrackParam>);
}

IPCSDK_API uint32_t IPCTrackParamSet(uint32_t handle, const TrackParamRecord* record) {
    return cmd::update(cmd::Id::IPCTrackParamSet, handle, record, cmd::pack<kTrackParam>);
}

IPCSDK_API uint32_t IPCTargetTrackSet(uint32_t handle, const uint8_t* trackSwitch) {
    return cmd::update(cmd::Id::IPCTargetTrackSet, handle, trackSwitch, cmd::pack<kTrackSwitch>);
}

// The echo of (33, 1) carries one mark record; it is handed to the caller.
IPCSDK_API uint32_t IPCEnterCamMarkMode(uint32_t handle, CamMarkRecord* record) {
    return cmd::query(cmd::Id::IPCEnterCamMarkMode, handle, record, cmd::unpack<kCamMark>);
}

IPCSDK_API uint32_t IPCEnterCamMarkMode2(uint32_t handle) { return cmd::action(cmd::Id::IPCEnterCamMarkMode2, handle); }

IPCSDK_API uint32_t IPCLeaveCamMarkMode(uint32_t handle, const CamMarkRecord* record) {
    return cmd::update(cmd::Id::IPCLeaveCamMarkMode, handle, record, cmd::pack<kCamMark>);
}

IPCSDK_API uint32_t IPCAddCamMarkPoint(uint32_t handle, const CamMarkRecord* record) {
    return cmd::update(cmd::Id::IPCAddCamMarkPoint, handle, record, cmd::pack<kCamMark>);
}

IPCSDK_API uint32_t IPCDelCamMarkPoint(uint32_t handle, const CamMarkRecord* record) {
    return cmd::update(cmd::Id::IPCDelCamMarkPoint, handle, record, cmd::pack<kCamMark>);
}

IPCSDK_API uint32_t IPCEndCamMarkPoint(uint32_t handle, const CamMarkRecord* record) {
    return cmd::update(cmd::Id::IPCEndCamMarkPoint, handle, record, cmd::pack<kCamMark>);
}

IPCSDK_API uint32_t IPCClearCamMarkPoint(uint32_t handle, const CamMarkRecord* record) {
    return cmd::update(cmd::Id::IPCClearCamMarkPoint, handle, record, cmd::pack<kCamMark>);
}

IPCSDK_API uint32_t IPCGetCamMarkPoint(uint32_t handle, CamMarkRecord* record) {
    return cmd::query(cmd::Id::IPCGetCamMarkPoint, handle, record, cmd::unpack<kCamMark>);
}

IPCSDK_API uint32_t IPCGetCamMarkPoint2(uint32_t handle, CamMark2Record* record) {
    return cmd::query(cmd::Id::IPCGetCamMarkPoint2, handle, record, cmd::unpack<kCamMark2>);
}

IPCSDK_API uint32_t IPCEndCamMarkPoint2(uint32_t handle, const CamMark2Record* record) {
    return cmd::update(cmd::Id::IPCEndCamMarkPoint2, handle, record, cmd::pack<kCamMark2>);
}

IPCSDK_API uint32_t IPCEndCamMarkPointAlone(uint32_t handle, void* param) {
    return cmd::update(cmd::Id::IPCEndCamMarkPointAlone, handle, param, nullptr);
}

IPCSDK_API uint32_t IPCGetCamLinkPTZInfo(uint32_t handle, CamLinkPTZRecord* record) {
    return cmd::query(cmd::Id::IPCGetCamLinkPTZInfo, handle, record, cmd::unpack<kCamLink>);
}

IPCSDK_API uint32_t IPCAddCamLinkPTZInfo(uint32_t handle, const CamLinkPTZRecord* record) {
    return cmd::update(cmd::Id::IPCAddCamLinkPTZInfo, handle, record, cmd::pack<kCamLink>);
}

IPCSDK_API uint32_t IPCPackTrackParam(const TrackParamRecord* record, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kTrackParam, 1, record, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackTrackParam(const uint8_t* answer, uint32_t answerLen, int32_t count,
                                        TrackParamRecord* records) {
    return codec::unpack(kTrackParam, answer, answerLen, count, records);
}

IPCSDK_API uint32_t IPCPackTargetTrack(const uint8_t* trackSwitch, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kTrackSwitch, 1, trackSwitch, out, outLen);
}

IPCSDK_API uint32_t IPCPackCamMarkParam(const CamMarkRecord* record, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kCamMark, 1, record, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackCamMarkParam(const uint8_t* answer, uint32_t answerLen, int32_t count,
                                          CamMarkRecord* records) {
    return codec::unpack(kCamMark, answer, answerLen, count, records);
}

IPCSDK_API uint32_t IPCPackCamMarkParam2(const CamMark2Record* record, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kCamMark2, 1, record, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackCamMarkParam2(const uint8_t* answer, uint32_t answerLen, int32_t count,
                                           CamMark2Record* records) {
    return codec::unpack(kCamMark2, answer, answerLen, count, records);
}

IPCSDK_API uint32_t IPCPackCamLinkPTZInfo(const CamLinkPTZRecord* record, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kCamLink, 1, record, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackCamLinkPTZInfo(const uint8_t* answer, uint32_t answerLen, int32_t count,
                                            CamLinkPTZRecord* records) {
    return codec::unpack(kCamLink, answer, answerLen, count, records);
}

}  // extern "C"
