// Device-specific settings: PTZ pass-through, wiper, laser, cross, image enhancement,
// day/night, zoom synchronisation and fire mode.
#include <algorithm>

#include "commands/engine.hpp"

namespace ipc {
namespace {

constexpr codec::Layout kPassThrough = codec::layout_of<PassThroughInfo>();

// Wiper and laser values travel in the host's byte order.
constexpr codec::Layout kValue32{4, {}, {}, {}};

// The whole record is copied out, but only its first 8 bytes are sent.
constexpr codec::Layout kCross = codec::layout_of<CrossInfo>();
constexpr uint32_t kCrossSent = 8;

// Only the five settings bytes are read and written; the rest of a record is not touched
// (zero in the payload).
constexpr codec::Range kEnhanceBytes[] = {{0, 5}};
constexpr codec::Layout kImageEnhance = codec::layout_of<ImageEnhanceInfo>(kEnhanceBytes, kEnhanceBytes);

// Two plain bytes and two big-endian words at 4 and 8; nothing else is read or written.
constexpr codec::Range kDayNightBytes[] = {{0, 2}};
constexpr codec::Layout kDayNight = codec::layout_of<DayNightInfo>(kDayNightBytes, kDayNightBytes);

constexpr codec::Layout kZoomSync = codec::layout_of<ZoomSyncInfo>();
constexpr codec::Layout kFireMode = codec::layout_of<FireModeInfo>();

uint32_t pack_cross(const void* record, int32_t, uint8_t* out, uint32_t* len) {
    codec::pack(kCross, 1, record, out, nullptr);
    if (len) *len = kCrossSent;
    return 0;
}

// These unpackers take at least one record, whatever maximum the caller gives.
template <const codec::Layout& L>
uint32_t unpack_at_least_one(const uint8_t* answer, uint32_t answerLen, int32_t max, void* records) {
    return codec::unpack(L, answer, answerLen, std::max(max, 1), records);
}

}  // namespace
}  // namespace ipc

using namespace ipc;

extern "C" {

IPCSDK_API uint32_t IPCDevPassThrough(uint32_t handle, const PassThroughInfo* info) {
    return cmd::update(cmd::Id::IPCDevPassThrough, handle, info, cmd::pack<kPassThrough>);
}

IPCSDK_API uint32_t IPCWiperSet(uint32_t handle, const uint32_t* value) {
    return cmd::update(cmd::Id::IPCWiperSet, handle, value, cmd::pack<kValue32>);
}

IPCSDK_API uint32_t IPCLaserSet(uint32_t handle, const uint32_t* value) {
    return cmd::update(cmd::Id::IPCLaserSet, handle, value, cmd::pack<kValue32>);
}

IPCSDK_API uint32_t IPCCrossSet(uint32_t handle, const CrossInfo* info) {
    return cmd::update(cmd::Id::IPCCrossSet, handle, info, pack_cross);
}

IPCSDK_API uint32_t IPCImageIspImageEnhanceGet(uint32_t handle, ImageEnhanceInfo* info) {
    return cmd::query(cmd::Id::IPCImageIspImageEnhanceGet, handle, info, unpack_at_least_one<kImageEnhance>);
}

IPCSDK_API uint32_t IPCImageIspImageEnhanceSet(uint32_t handle, const ImageEnhanceInfo* info) {
    return cmd::update(cmd::Id::IPCImageIspImageEnhanceSet, handle, info, cmd::pack<kImageEnhance>);
}

IPCSDK_API uint32_t IPCImageIspDayNightGet(uint32_t handle, DayNightInfo* info) {
    return cmd::query(cmd::Id::IPCImageIspDayNightGet, handle, info, unpack_at_least_one<kDayNight>);
}

IPCSDK_API uint32_t IPCImageIspDayNightSet(uint32_t handle, const DayNightInfo* info) {
    return cmd::update(cmd::Id::IPCImageIspDayNightSet, handle, info, cmd::pack<kDayNight>);
}

IPCSDK_API uint32_t IPCZoomSysncSet(uint32_t handle, const ZoomSyncInfo* info) {
    return cmd::update(cmd::Id::IPCZoomSysncSet, handle, info, cmd::pack<kZoomSync>);
}

IPCSDK_API uint32_t IPCFireModeSet(uint32_t handle, const FireModeInfo* info) {
    return cmd::update(cmd::Id::IPCFireModeSet, handle, info, cmd::pack<kFireMode>);
}

IPCSDK_API uint32_t IPCFireModeGet(uint32_t handle, FireModeInfo* info) {
    return cmd::query(cmd::Id::IPCFireModeGet, handle, info, unpack_at_least_one<kFireMode>);
}

IPCSDK_API uint32_t IPCPackPassThroughParam(const PassThroughInfo* info, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kPassThrough, 1, info, out, outLen);
}

IPCSDK_API uint32_t IPCPackWiper(const uint32_t* value, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kValue32, 1, value, out, outLen);
}

IPCSDK_API uint32_t IPCPackLaser(const uint32_t* value, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kValue32, 1, value, out, outLen);
}

// out must hold 131 bytes although only 8 are sent.
IPCSDK_API uint32_t IPCPackCross(const CrossInfo* info, uint8_t* out, uint32_t* outLen) {
    return pack_cross(info, 1, out, outLen);
}

IPCSDK_API uint32_t IPCPackImageIspImageEnhance(int32_t count, const ImageEnhanceInfo* info, uint8_t* out,
                                                uint32_t* outLen) {
    return codec::pack(kImageEnhance, count, info, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackImageIspImageEnhance(const uint8_t* answer, uint32_t answerLen, int32_t max,
                                                  ImageEnhanceInfo* out) {
    return unpack_at_least_one<kImageEnhance>(answer, answerLen, max, out);
}

IPCSDK_API uint32_t IPCPackImageIspDayNight(int32_t count, const DayNightInfo* info, uint8_t* out,
                                            uint32_t* outLen) {
    return codec::pack(kDayNight, count, info, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackImageIspDayNight(const uint8_t* answer, uint32_t answerLen, int32_t max,
                                              DayNightInfo* out) {
    return unpack_at_least_one<kDayNight>(answer, answerLen, max, out);
}

IPCSDK_API uint32_t IPCPackZoomSysnc(const ZoomSyncInfo* info, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kZoomSync, 1, info, out, outLen);
}

IPCSDK_API uint32_t IPCPackFireModeSet(const FireModeInfo* info, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kFireMode, 1, info, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackFireModeSet(const uint8_t* answer, uint32_t answerLen, int32_t max,
                                         FireModeInfo* out) {
    return unpack_at_least_one<kFireMode>(answer, answerLen, max, out);
}

}  // extern "C"
