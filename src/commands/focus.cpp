// Focus mode, linked focus learning and its state.
#include <algorithm>

#include "commands/engine.hpp"

namespace ipc {
namespace {

// Reading the mode writes only the mode byte of the caller's record.
constexpr codec::Range kModeByte[] = {{0, 1}};
constexpr codec::Layout kFocusMode = codec::layout_of<FocusModeRecord>({}, kModeByte);

constexpr codec::Layout kLinkFocusLearn = codec::layout_of<LinkFocusLearnRecord>();

// The state answer fills only the four u16 at the start of the caller's record.
constexpr codec::Layout kLearnState = codec::layout_of<LinkFocusLearnState>({}, codec::kNothing);

uint32_t unpack_focus_mode(const uint8_t* answer, uint32_t answerLen, int32_t count, void* records) {
    return codec::unpack(kFocusMode, answer, answerLen, std::max(count, 1), records);
}

}  // namespace
}  // namespace ipc

using namespace ipc;

extern "C" {

IPCSDK_API uint32_t IPCFocusModeGet(uint32_t handle, FocusModeRecord* record) {
    return cmd::query(cmd::Id::IPCFocusModeGet, handle, record, unpack_focus_mode);
}

IPCSDK_API uint32_t IPCFocusModeSet(uint32_t handle, const FocusModeRecord* record) {
    return cmd::update(cmd::Id::IPCFocusModeSet, handle, record, cmd::pack<kFocusMode>);
}

// Both the ack and the echo of (33, 21) mean the camera took the request.
IPCSDK_API uint32_t IPCLinkFocusLearn(uint32_t handle, const LinkFocusLearnRecord* record) {
    return cmd::update(cmd::Id::IPCLinkFocusLearn, handle, record, cmd::pack<kLinkFocusLearn>);
}

IPCSDK_API uint32_t IPCLinkFocusLearnStateQuery(uint32_t handle, LinkFocusLearnState* record) {
    return cmd::query(cmd::Id::IPCLinkFocusLearnStateQuery, handle, record, cmd::unpack<kLearnState>);
}

IPCSDK_API uint32_t IPCPackFocusModeInfo(int32_t count, const FocusModeRecord* records, uint8_t* out,
                                         uint32_t* outLen) {
    return codec::pack(kFocusMode, count, records, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackFocusModeInfo(const uint8_t* answer, uint32_t answerLen, int32_t count,
                                           FocusModeRecord* records) {
    return unpack_focus_mode(answer, answerLen, count, records);
}

IPCSDK_API uint32_t IPCPackLinkFocusLearn(int32_t count, const LinkFocusLearnRecord* records, uint8_t* out,
                                          uint32_t* outLen) {
    return codec::pack(kLinkFocusLearn, count, records, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackLinkFocusLearnState(const uint8_t* answer, uint32_t answerLen, int32_t count,
                                                 LinkFocusLearnState* records) {
    return codec::unpack(kLearnState, answer, answerLen, count, records);
}

}  // extern "C"
