// The report channel: messages cut from the stream by the scanner and dispatched by type;
// picture and data reports are stored in the slot for the waiting commands, and handed to the
// host's data report callback.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "channels/channel.hpp"
#include "channels/scanner.hpp"
#include "commands/engine.hpp"

extern "C" {
IPCSDK_API DataReportCallbackFunc g_DataReportCallbackFunc = nullptr;
IPCSDK_API DisconnectionCallbackFunc g_DisconnectionCallbackFunc = nullptr;
}

namespace ipc {
namespace {

constexpr codec::Layout kDataReport = codec::layout_of<DataReportRequestInfo>();

// Copies a report into one of the slot's 2 MiB buffers; a longer one is cut to the buffer.
uint32_t keep(uint8_t* dst, const uint8_t* src, uint32_t length) {
    const uint32_t n = std::min(length, kReportBuf);
    std::memcpy(dst, src, n);
    return n;
}

void store_picture(DeviceSlot& s, const uint8_t* body, uint32_t length) {
    scan::Picture pic;
    if (scan::first_picture(body, length, pic) && (pic.kind == 1 || pic.kind == 2)) {
        const bool one = pic.kind == 1;
        uint8_t* record = one ? s.snapRecord1 : s.snapRecord2;
        store(one ? s.snapLen1 : s.snapLen2, keep(one ? s.snapData1 : s.snapData2, pic.first.data, pic.first.length));
        store(one ? s.snapWord1 : s.snapWord2, pic.word);
        std::memcpy(record, pic.record, scan::kPictureRecord);
        record[8] = pic.kind;
    }
    if (load(s.snapLen1) != 0 && load(s.snapLen2) != 0) {
        store(s.snapPairFlag, 2u);
        store(s.reportState, 1u);
    }
}

void store_report(uint32_t& len, uint8_t* buf, uint32_t& state, uint32_t value, const uint8_t* body,
                  uint32_t length) {
    if (length == 0) return;
    store(len, keep(buf, body, length));
    store(state, value);
}

// The body of AlarmMonitorHandle; the receiver passes its running flag so that a dispatch that
// meets logout's held semaphore gives up instead of blocking the thread.
uint32_t dispatch(uint32_t type, uint32_t handle, uint8_t* body, uint32_t length, bool fromReceiver) {
    if (handle == 0) return IPCSDK_ERR_BAD_HANDLE;
    SlotUse use(handle);
    if (!use) return IPCSDK_ERR_BAD_HANDLE;
    DeviceSlot& s = *use.slot();
    cmd::trace(s, handle, "AlarmMonitorHandle");
    if (const uint32_t e = use.acquire(fromReceiver ? &s.reportRunning : nullptr)) return e;
    switch (type) {
    case 0xA002: store_picture(s, body, length); break;
    case 0x1001: store_report(s.reportLen1001, s.reportBuf1001, s.reportState, 2, body, length); break;
    case 0x1002: store_report(s.reportLen1002, s.reportBuf1002, s.reportState, 3, body, length); break;
    case 0x1004: store_report(s.reportLen1004, s.reportBuf1004, s.reportState, 4, body, length); break;
    default: break;
    }
    if (DataReportCallbackFunc cb = load(g_DataReportCallbackFunc))
        cb(type, static_cast<intptr_t>(handle), 0, body, length, 0);
    use.release();
    if (type == 0xA002 || type == 0x1001 || type == 0x1002 || type == 0x1004) report_dispatched(use.index());
    return IPCSDK_OK;
}

size_t scan_reports(const channel::Context& c, uint8_t* buf, size_t n) {
    DeviceSlot& s = g_DevManage[c.index];
    const uint32_t handle = c.handle;
    return scan::reports(buf, n, [&](uint32_t type, uint8_t* body, uint32_t length) {
        if (!channel::wanted(c)) return false;
        switch (type) {
        case 0xA001:
        case 0xD001:
        case 0xD002: {
            const uint32_t wordA = length >= 28 ? scan::le32(body + 24) : 0;
            const uint32_t wordB = length >= 32 ? scan::le32(body + 28) : 0;
            scan::picture_parts(body, length, [&](int i, scan::Part p) {
                AlarmMonitorHandle_1(type, i, wordA, wordB, const_cast<uint8_t*>(p.data), p.length);
            });
            break;
        }
        case 0xA002:
        case 0xA003:
        case 0x1001:
        case 0x1002:
        case 0x1003:
        case 0x1004:
        case 0xD003: dispatch(type, handle, body, length, true); break;
        case 0x1005: store(s.lastRecvTime, now_seconds()); break;
        default: break;  // 0xB001 and unknown types are consumed silently
        }
        return true;
    });
}

void report_lost(int, DeviceSlot& s) {
    if (DisconnectionCallbackFunc cb = load(g_DisconnectionCallbackFunc))
        cb(load(s.deviceAddr), load(s.handle), static_cast<uintptr_t>(load(s.handle)));
}

const channel::Receiver kReportReceiver{scan_reports, report_lost, "AlarmMsg CloseImageRecv==%d.\n",
                                        "recv alarm thread exit"};

}  // namespace
}  // namespace ipc

using namespace ipc;

extern "C" {

IPCSDK_API int32_t StartDataReport(uint32_t handle) {
    return static_cast<int32_t>(channel::start(handle, channel::Which::Report, kReportReceiver));
}

IPCSDK_API uint32_t StopDataReport(uint32_t handle) { return channel::stop(handle, channel::Which::Report); }

IPCSDK_API int SetReportCallbackFunc(DataReportCallbackFunc callback) {
    store(g_DataReportCallbackFunc, callback);
    return 0;
}

IPCSDK_API int SetExceptionCallBack(DisconnectionCallbackFunc callback) {
    store(g_DisconnectionCallbackFunc, callback);
    return 0;
}

IPCSDK_API uint32_t AlarmMonitorHandle(uint32_t type, uint32_t handle, uint8_t* body, uint32_t bodyLength) {
    return dispatch(type, handle, body, bodyLength, false);
}

IPCSDK_API uint32_t AlarmMonitorHandle_1(uint32_t, int32_t, uint32_t, uint32_t, uint8_t*, uint32_t) { return 0; }

IPCSDK_API uint32_t IPCDataReportRequest(uint32_t handle, DataReportRequestInfo* info) {
    return cmd::update(cmd::Id::IPCDataReportRequest, handle, info, cmd::pack<kDataReport>);
}

IPCSDK_API uint32_t IPCDataReportParam(const DataReportRequestInfo* info, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kDataReport, 1, info, out, outLen);
}

}  // extern "C"
