// PTZ parameters, direct control, PTZ values, preset points and cruise.
#include <algorithm>
#include <cstring>

#include "commands/engine.hpp"

namespace ipc {
namespace {

// A query fills only the first ten bytes of each record; the rest stays the caller's.
constexpr codec::Range kPtzParamFilled[] = {{0, 10}};
constexpr codec::Layout kPtzParam = codec::layout_of<PTZParamRecord>({}, kPtzParamFilled);

constexpr codec::Layout kPtzCtrl = codec::layout_of<PTZCtrlRecord>();
constexpr codec::Layout kPreset = codec::layout_of<PresetRecord>();
constexpr codec::Layout kPresetTable = codec::layout_of<PresetTable>();

constexpr codec::Layout kPtzValue = codec::layout_of<PTZValueRecord>();

constexpr codec::Layout kCruise = codec::layout_of<CruiseRecord>();
constexpr codec::Layout kCruiseInfo = codec::layout_of<CruiseInfoRecord>();

// The table is taken from the bytes after the header whatever the answer's length: the part
// the camera did not send arrives as zero bytes. The answer buffer is cleared before every
// exchange, so zero-filling past the answer gives the same table without reading past it.
uint32_t unpack_preset_table(const uint8_t* answer, uint32_t answerLen, int32_t, void* table) {
    if (!answer || !table) return 0;
    auto* out = static_cast<uint8_t*>(table);
    const uint32_t avail = answerLen > kHeaderSize ? answerLen - kHeaderSize : 0;
    const uint32_t n = std::min(avail, kPresetTable.size);
    std::memcpy(out, answer + kHeaderSize, n);
    std::memset(out + n, 0, kPresetTable.size - n);
    return 0;
}

// The two extra lines of IPCPTZValueSet, numbered after the command's "sdk not init" site.
uint16_t value_set_site(uint16_t offset) {
    return static_cast<uint16_t>(cmd::init_site(cmd::command(cmd::Id::IPCPTZValueSet)) + offset);
}

void value_set_line1(const void*) {
    IPCSdkError("IPCPTZValueSet1:%s,%s,%d\n", "IPCSdk", "IPCPTZValueSet", value_set_site(2));
}
void value_set_line2(const void* record) {
    IPCSdkError("IPCPTZValueSet2:%s,%s,%d,usPanVal:%d\n", "IPCSdk", "IPCPTZValueSet", value_set_site(7),
                static_cast<const PTZValueRecord*>(record)->usPanVal);
}
constexpr cmd::Hooks kValueSetHooks{value_set_line1, value_set_line2, nullptr, nullptr};

}  // namespace
}  // namespace ipc

using namespace ipc;

extern "C" {

IPCSDK_API uint32_t IPCPTZParamGet(uint32_t handle, PTZParamRecord* records, int32_t count) {
    return cmd::query(cmd::Id::IPCPTZParamGet, handle, records, cmd::unpack<kPtzParam>, count, cmd::Arg::Array);
}

IPCSDK_API uint32_t IPCPTZParamSet(uint32_t handle, const PTZParamRecord* records, int32_t count) {
    return cmd::update(cmd::Id::IPCPTZParamSet, handle, records, cmd::pack<kPtzParam>, count, cmd::Arg::Array);
}

IPCSDK_API uint32_t IPCPTZCtrl(uint32_t handle, const PTZCtrlRecord* record) {
    return cmd::update(cmd::Id::IPCPTZCtrl, handle, record, cmd::pack<kPtzCtrl>);
}

IPCSDK_API uint32_t IPCGetPresetPoint(uint32_t handle, PresetTable* table) {
    return cmd::query(cmd::Id::IPCGetPresetPoint, handle, table, unpack_preset_table);
}

IPCSDK_API uint32_t IPCSetPresetPoint(uint32_t handle, const PresetRecord* record) {
    return cmd::update(cmd::Id::IPCSetPresetPoint, handle, record, cmd::pack<kPreset>);
}

IPCSDK_API uint32_t IPCPTZValueGet(uint32_t handle, PTZValueRecord* record) {
    return cmd::query(cmd::Id::IPCPTZValueGet, handle, record, cmd::unpack<kPtzValue>);
}

IPCSDK_API uint32_t IPCPTZValueSet(uint32_t handle, const PTZValueRecord* record) {
    return cmd::update(cmd::Id::IPCPTZValueSet, handle, record, cmd::pack<kPtzValue>, 1, cmd::Arg::Record, &kValueSetHooks);
}

IPCSDK_API uint32_t IPCClearPresetPoint(uint32_t handle, const PresetTable* table) {
    return cmd::update(cmd::Id::IPCClearPresetPoint, handle, table, cmd::pack<kPresetTable>);
}

IPCSDK_API uint32_t IPCCruiseinfoGet(uint32_t handle, CruiseInfoRecord* record) {
    return cmd::query(cmd::Id::IPCCruiseinfoGet, handle, record, cmd::unpack<kCruiseInfo>);
}

IPCSDK_API uint32_t IPCCruiseInfoSet(uint32_t handle, const CruiseInfoRecord* record) {
    return cmd::update(cmd::Id::IPCCruiseInfoSet, handle, record, cmd::pack<kCruiseInfo>);
}

IPCSDK_API uint32_t IPCCruiseSet(uint32_t handle, const CruiseRecord* record) {
    return cmd::update(cmd::Id::IPCCruiseSet, handle, record, cmd::pack<kCruise>);
}

IPCSDK_API uint32_t IPCPackPTZParam(int32_t count, const PTZParamRecord* records, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kPtzParam, count, records, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackPTZParam(const uint8_t* answer, uint32_t answerLen, int32_t count,
                                      PTZParamRecord* records) {
    return codec::unpack(kPtzParam, answer, answerLen, count, records);
}

IPCSDK_API uint32_t IPCPackPTZCtrl(const PTZCtrlRecord* record, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kPtzCtrl, 1, record, out, outLen);
}

IPCSDK_API uint32_t IPCPackPresetPoint(const PresetRecord* record, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kPreset, 1, record, out, outLen);
}

IPCSDK_API uint32_t IPCPackPresetPointEx(const PresetTable* table, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kPresetTable, 1, table, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackPresetPoint(const uint8_t* answer, uint32_t answerLen, int32_t count,
                                         PresetRecord* records) {
    return codec::unpack(kPreset, answer, answerLen, count, records);
}

IPCSDK_API uint32_t IPCUnPackPresetPointEx(const uint8_t* answer, uint32_t answerLen, int32_t count,
                                           PresetTable* table) {
    return unpack_preset_table(answer, answerLen, count, table);
}

// The command passes one record; a direct call packs `count` records.
IPCSDK_API uint32_t IPCPackPTZValue(int32_t count, const PTZValueRecord* record, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kPtzValue, count, record, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackPTZValue(const uint8_t* answer, uint32_t answerLen, int32_t count,
                                      PTZValueRecord* records) {
    return codec::unpack(kPtzValue, answer, answerLen, count, records);
}

IPCSDK_API uint32_t IPCPackCruise(const CruiseRecord* record, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kCruise, 1, record, out, outLen);
}

IPCSDK_API uint32_t IPCPackCruiseParam(const CruiseInfoRecord* record, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kCruiseInfo, 1, record, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackCruiseInfo(const uint8_t* answer, uint32_t answerLen, int32_t count,
                                        CruiseInfoRecord* records) {
    return codec::unpack(kCruiseInfo, answer, answerLen, count, records);
}

}  // extern "C"
