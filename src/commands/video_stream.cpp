// The four commands that switch the camera's video stream, and their codecs.
#include <cstring>

#include "commands/engine.hpp"

namespace ipc {
namespace {

constexpr codec::Field kStartResultFields[] = {{4, 4}, {8, 2}};
constexpr codec::Range kStartResultCopy[] = {{0, 4}, {11, 1}};
constexpr codec::Layout kStartResult{12, kStartResultFields, {}, kStartResultCopy};

constexpr codec::Field kStartExResultFields[] = {{0, 4}, {8, 4}, {12, 2}};
constexpr codec::Layout kStartExResult{36, kStartExResultFields, {}, {}};

bool attached(uint8_t kind, uint8_t attachMode, uint32_t dataLength) {
    return kind == 5 || kind == 10 || (attachMode == 2 && dataLength != 0);
}

// Payload sizes, so that a request that would not fit the request buffer is refused before
// anything is written.
uint64_t start_size(const VideoStartInfo& i) {
    return 16 + (attached(i.kind, i.attachMode, i.dataLength) ? uint64_t{i.dataLength} : 0);
}
bool start_ex_attached(const VideoStartExInfo& i) {
    return i.kind == 5 || i.kind == 10 || (i.attachMode == 2 && i.dataLength != 0 && i.data != nullptr);
}
uint64_t start_ex_copied(const VideoStartExInfo& i) {
    return start_ex_attached(i) ? uint64_t{i.dataLength} + i.bodyLength : uint64_t{i.bodyLength};
}

template <class Info, uint64_t (*Size)(const Info&), uint32_t (*Pack)(const Info*, uint8_t*, uint32_t*)>
uint32_t bounded(const void* record, int32_t, uint8_t* out, uint32_t* len) {
    const auto* info = static_cast<const Info*>(record);
    if (Size(*info) > IPCSDK_CMD_BUF_SIZE) return IPCSDK_ERR_PARAM;
    return Pack(info, out, len);
}

uint64_t stop_size(const VideoStopInfo&) { return 16; }
uint64_t start_ex_size(const VideoStartExInfo& i) { return 32 + start_ex_copied(i); }
uint64_t stop_ex_size(const VideoStopExInfo& i) { return 8 + uint64_t{i.length}; }

uint32_t start_echo(const uint8_t* answer, uint32_t length, void*) {
    VideoStartResult r;
    std::memset(&r, 0, sizeof r);
    IPCUnPackStartVideoRes(answer, length, &r);
    return r.result == 1 ? IPCSDK_OK : IPCSDK_ERR_REFUSED;
}

uint32_t start_ex_echo(const uint8_t* answer, uint32_t length, void*) {
    VideoStartExResult r;
    std::memset(&r, 0, sizeof r);
    IPCUnPackStartVideoExRes(answer, length, &r);
    return r.result == 1 ? IPCSDK_OK : IPCSDK_ERR_REFUSED;
}

const cmd::Hooks kStartHooks{nullptr, nullptr, nullptr, start_echo};
const cmd::Hooks kStartExHooks{nullptr, nullptr, nullptr, start_ex_echo};

}  // namespace
}  // namespace ipc

using namespace ipc;

extern "C" {

IPCSDK_API uint32_t IPCPackStartVideoReq(const VideoStartInfo* info, uint8_t* out, uint32_t* outLen) {
    const bool extra = attached(info->kind, info->attachMode, info->dataLength);
    std::memset(out, 0, 16);
    out[0] = info->selectorA;
    out[1] = info->selectorB;
    put_be32(out + 4, info->value32);
    put_be16(out + 8, info->value16);
    out[10] = extra ? info->attachMode : 0;
    out[11] = info->kind;
    put_be32(out + 12, extra ? info->dataLength : 0);
    if (extra) std::memcpy(out + 16, info->data, info->dataLength);
    *outLen = 16 + (extra ? info->dataLength : 0);
    return 0;
}

IPCSDK_API uint32_t IPCPackStopVideoReq(const VideoStopInfo* info, uint8_t* out, uint32_t* outLen) {
    std::memset(out, 0, 16);
    out[0] = info->selectorA;
    put_be32(out + 4, info->value32);
    put_be16(out + 8, info->value16);
    *outLen = 16;
    return 0;
}

IPCSDK_API uint32_t IPCPackStartVideoExReq(const VideoStartExInfo* info, uint8_t* out, uint32_t* outLen) {
    const bool extra = start_ex_attached(*info);
    const uint64_t copied = start_ex_copied(*info);
    if (copied && !info->data) return IPCSDK_ERR_PARAM;
    std::memset(out, 0, 32);
    put_be32(out, info->exWord);
    out[6] = info->selectorA;
    out[7] = info->selectorB;
    put_be32(out + 8, info->value32);
    put_be16(out + 12, info->value16);
    out[14] = extra ? info->attachMode : 0;
    out[15] = info->kind;
    put_be32(out + 16, info->bodyLength);
    put_be32(out + 20, extra ? info->dataLength : 0);
    if (copied) std::memcpy(out + 32, info->data + (extra ? 0 : info->dataLength), copied);
    *outLen = static_cast<uint32_t>(32 + copied);
    return 0;
}

IPCSDK_API uint32_t IPCPackStopVideoExReq(const VideoStopExInfo* info, uint8_t* out, uint32_t* outLen) {
    if (info->length && !info->data) return IPCSDK_ERR_PARAM;
    std::memset(out, 0, 8);
    put_be32(out, info->length);
    if (info->length) std::memcpy(out + 8, info->data, info->length);
    *outLen = 8 + info->length;
    return 0;
}

IPCSDK_API uint32_t IPCUnPackStartVideoRes(const uint8_t* answer, uint32_t, VideoStartResult* result) {
    codec::decode(kStartResult, answer + kHeaderSize, reinterpret_cast<uint8_t*>(result));
    return 0;
}

IPCSDK_API uint32_t IPCUnPackStartVideoExRes(const uint8_t* answer, uint32_t, VideoStartExResult* result) {
    const uint8_t* p = answer + kHeaderSize;
    auto* out = reinterpret_cast<uint8_t*>(result);
    codec::decode(kStartExResult, p, out);
    // Two 16-bit numbers on the wire widen to the 32-bit fields at 16 and 20.
    const uint32_t body = be16(p + 16), data = be16(p + 20);
    std::memcpy(out + 16, &body, 4);
    std::memcpy(out + 20, &data, 4);
    return 0;
}

IPCSDK_API uint32_t IPCStartVideo(uint32_t handle, VideoStartInfo* info) {
    return cmd::update(cmd::Id::IPCStartVideo, handle, info,
                       bounded<VideoStartInfo, start_size, IPCPackStartVideoReq>, 1, cmd::Arg::Record, &kStartHooks);
}

IPCSDK_API uint32_t IPCStopVideo(uint32_t handle, VideoStopInfo* info) {
    return cmd::update(cmd::Id::IPCStopVideo, handle, info, bounded<VideoStopInfo, stop_size, IPCPackStopVideoReq>);
}

IPCSDK_API uint32_t IPCStartVideoEx(uint32_t handle, VideoStartExInfo* info) {
    return cmd::update(cmd::Id::IPCStartVideoEx, handle, info,
                       bounded<VideoStartExInfo, start_ex_size, IPCPackStartVideoExReq>, 1, cmd::Arg::Record,
                       &kStartExHooks);
}

IPCSDK_API uint32_t IPCStopVideoEx(uint32_t handle, VideoStopExInfo* info) {
    return cmd::update(cmd::Id::IPCStopVideoEx, handle, info, bounded<VideoStopExInfo, stop_ex_size, IPCPackStopVideoExReq>);
}

}  // extern "C"
