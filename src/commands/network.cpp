// Network configuration, platform access (GB28181, FTP, web service), system time and NTP.
#include "commands/engine.hpp"

namespace ipc {
namespace {

constexpr codec::Layout kNetWork = codec::layout_of<NetWorkConfInfo>();

constexpr codec::Layout kGB28181 = codec::layout_of<GB28181Info>();

constexpr codec::Layout kFtp = codec::layout_of<FtpInfo>();

constexpr codec::Layout kWebService = codec::layout_of<WebServiceInfo>();

constexpr codec::Layout kSystemTime = codec::layout_of<SystemTimeInfo>();

constexpr codec::Layout kNtp = codec::layout_of<NtpConfInfo>();

// A network record whose first three words are not all set is refused before it is sent.
bool network_words_set(const void* record) {
    const auto* r = static_cast<const NetWorkConfInfo*>(record);
    return r->word1 != 0 && r->word2 != 0 && r->word3 != 0;
}
constexpr cmd::Hooks kNetWorkSetHooks{nullptr, nullptr, network_words_set, nullptr};

}  // namespace
}  // namespace ipc

using namespace ipc;

extern "C" {

IPCSDK_API uint32_t IPCDevNetWorkGet(uint32_t handle, NetWorkConfInfo* record) {
    return cmd::query(cmd::Id::IPCDevNetWorkGet, handle, record, cmd::unpack<kNetWork>);
}

IPCSDK_API uint32_t IPCDevNetWorkSet(uint32_t handle, const NetWorkConfInfo* record) {
    return cmd::update(cmd::Id::IPCDevNetWorkSet, handle, record, cmd::pack<kNetWork>, 1, cmd::Arg::Record,
                       &kNetWorkSetHooks);
}

IPCSDK_API uint32_t IPCGB28181_setupGet(uint32_t handle, GB28181Info* record) {
    return cmd::query(cmd::Id::IPCGB28181_setupGet, handle, record, cmd::unpack<kGB28181>);
}

IPCSDK_API uint32_t IPCGB28181_setupSet(uint32_t handle, const GB28181Info* record) {
    return cmd::update(cmd::Id::IPCGB28181_setupSet, handle, record, cmd::pack<kGB28181>);
}

IPCSDK_API uint32_t IPCFtpGet(uint32_t handle, FtpInfo* record) {
    return cmd::query(cmd::Id::IPCFtpGet, handle, record, cmd::unpack<kFtp>);
}

IPCSDK_API uint32_t IPCFtpSet(uint32_t handle, const FtpInfo* record) {
    return cmd::update(cmd::Id::IPCFtpSet, handle, record, cmd::pack<kFtp>);
}

IPCSDK_API uint32_t IPCGB1400Get(uint32_t handle, WebServiceInfo* record) {
    return cmd::query(cmd::Id::IPCGB1400Get, handle, record, cmd::unpack<kWebService>);
}

IPCSDK_API uint32_t IPCGB1400Set(uint32_t handle, const WebServiceInfo* record) {
    return cmd::update(cmd::Id::IPCGB1400Set, handle, record, cmd::pack<kWebService>);
}

IPCSDK_API uint32_t IPCSystemTimeGet(uint32_t handle, SystemTimeInfo* record) {
    return cmd::query(cmd::Id::IPCSystemTimeGet, handle, record, cmd::unpack<kSystemTime>);
}

IPCSDK_API uint32_t IPCSystemTimeSet(uint32_t handle, const SystemTimeInfo* record) {
    return cmd::update(cmd::Id::IPCSystemTimeSet, handle, record, cmd::pack<kSystemTime>);
}

IPCSDK_API uint32_t IPCNtpConfGet(uint32_t handle, NtpConfInfo* record) {
    return cmd::query(cmd::Id::IPCNtpConfGet, handle, record, cmd::unpack<kNtp>);
}

IPCSDK_API uint32_t IPCNtpConfSet(uint32_t handle, const NtpConfInfo* record) {
    return cmd::update(cmd::Id::IPCNtpConfSet, handle, record, cmd::pack<kNtp>);
}

IPCSDK_API uint32_t IPCPackNetWorkConfInfo(uint32_t count, const NetWorkConfInfo* records, uint8_t* out,
                                           uint32_t* outLen) {
    return codec::pack(kNetWork, count, records, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackNetWorkConfInfo(const uint8_t* answer, uint32_t answerLen, int32_t max,
                                             NetWorkConfInfo* records) {
    return codec::unpack(kNetWork, answer, answerLen, max, records);
}

IPCSDK_API uint32_t IPCPackGB28181Info(uint32_t count, const GB28181Info* records, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kGB28181, count, records, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackGB28181Info(const uint8_t* answer, uint32_t answerLen, int32_t max,
                                         GB28181Info* records) {
    return codec::unpack(kGB28181, answer, answerLen, max, records);
}

IPCSDK_API uint32_t IPCPackFtpInfo(uint32_t count, const FtpInfo* records, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kFtp, count, records, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackFtpInfo(const uint8_t* answer, uint32_t answerLen, int32_t max, FtpInfo* records) {
    return codec::unpack(kFtp, answer, answerLen, max, records);
}

IPCSDK_API uint32_t IPCPackWebServiceInfo(uint32_t count, const WebServiceInfo* records, uint8_t* out,
                                          uint32_t* outLen) {
    return codec::pack(kWebService, count, records, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackWebServiceInfo(const uint8_t* answer, uint32_t answerLen, int32_t max,
                                            WebServiceInfo* records) {
    return codec::unpack(kWebService, answer, answerLen, max, records);
}

IPCSDK_API uint32_t IPCPackSystemTimeInfo(uint32_t count, const SystemTimeInfo* records, uint8_t* out,
                                          uint32_t* outLen) {
    return codec::pack(kSystemTime, count, records, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackSystemTimeInfo(const uint8_t* answer, uint32_t answerLen, int32_t max,
                                            SystemTimeInfo* records) {
    return codec::unpack(kSystemTime, answer, answerLen, max, records);
}

IPCSDK_API uint32_t IPCPackNtpConfInfo(uint32_t count, const NtpConfInfo* records, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kNtp, count, records, out, outLen);
}

IPCSDK_API uint32_t IPCUnPackNtpConfInfo(const uint8_t* answer, uint32_t answerLen, int32_t max,
                                         NtpConfInfo* records) {
    return codec::unpack(kNtp, answer, answerLen, max, records);
}

}  // extern "C"
