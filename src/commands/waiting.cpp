// The three commands whose real answer arrives later as a report: a picture pair, a position
// report and a distance report. They hold the slot's semaphore for their exchange and for the
// copy of the stored report, never while waiting, since the report they wait for is delivered
// under that semaphore.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <initializer_list>

#include "commands/engine.hpp"
#include "core/slots.hpp"
#include "log/log.hpp"

namespace ipc {
namespace {

constexpr codec::Layout kSimuSnap = codec::layout_of<SimuSnapInfo>();
constexpr codec::Layout kGps = codec::layout_of<GpsInfoRequest>();
constexpr codec::Layout kDistant{128, {}, {}, {}};

enum class Waiter { Snap, Gps, Distant };

struct WaitSpec {
    Waiter which;
    cmd::Id id;
    std::initializer_list<uint32_t> awaited;  // reportState values that end the wait
    uint32_t timeoutResult;                    // no report in time, or tries below 1
};

// Waits until a report the command waits for has been dispatched, at most `tries` seconds;
// false when it did not come, or the slot went away.
bool await_report(const SlotUse& use, const WaitSpec& w, int32_t tries, uint32_t& stateSeen) {
    SlotState& st = state(use.index());
    DeviceSlot& s = *use.slot();
    auto arrived = [&] {
        stateSeen = load(s.reportState);
        return std::find(w.awaited.begin(), w.awaited.end(), stateSeen) != w.awaited.end();
    };
    std::unique_lock<std::mutex> lock(st.mutex);
    st.changed.wait_for(lock, std::chrono::seconds(tries), [&] { return !use.current() || arrived(); });
    return use.current() && arrived();
}

// Copies the stored result out; returns the command's result.
uint32_t deliver(DeviceSlot& s, Waiter which, uint32_t stateSeen, uint8_t* out, uint32_t outSize) {
    switch (which) {
    case Waiter::Snap: {
        const uint32_t l1 = load(s.snapLen1), l2 = load(s.snapLen2);
        const uint64_t total = 660ull + l1 + l2;
        if (outSize < total) return IPCSDK_ERR_BUFFER;
        auto put32 = [&](size_t at, uint32_t v) { std::memcpy(out + at, &v, 4); };
        put32(0, load(s.snapPairFlag));
        put32(132, load(s.snapWord1));
        put32(136, load(s.snapWord2));
        std::memcpy(out + 140, s.snapRecord1, 256);
        std::memcpy(out + 396, s.snapRecord2, 256);
        put32(652, l1);
        put32(656, l2);
        std::memcpy(out + 660, s.snapData1, l1);
        std::memcpy(out + 660 + l1, s.snapData2, l2);
        return static_cast<uint32_t>(total);
    }
    case Waiter::Gps: {
        if (outSize < 36) return IPCSDK_ERR_BUFFER;
        const bool first = stateSeen == 2;
        // The whole of the caller's buffer is filled from the stored report buffer, but never
        // beyond that buffer.
        std::memcpy(out, first ? s.reportBuf1001 : s.reportBuf1002, std::min(outSize, kReportBuf));
        return load(first ? s.reportLen1001 : s.reportLen1002);
    }
    case Waiter::Distant: {
        if (outSize < 128) return IPCSDK_ERR_BUFFER;
        const uint32_t len = load(s.reportLen1004);
        std::memcpy(out, s.reportBuf1004, std::min(len, outSize));
        return len;
    }
    }
    return IPCSDK_ERR_REFUSED;
}

uint32_t waiting_command(const WaitSpec& w, uint32_t handle, const void* info, codec::Layout const* layout,
                         int32_t wait, void* out, uint32_t outSize, int32_t tries) {
    const cmd::Spec& spec = cmd::command(w.id);
    if (handle == 0) return IPCSDK_ERR_BAD_HANDLE;
    SlotUse use(handle);
    if (!use) return IPCSDK_ERR_BAD_HANDLE;
    DeviceSlot& s = *use.slot();
    cmd::trace(s, handle, spec.name);
    if (layout && !info) return IPCSDK_ERR_PARAM;

    if (const uint32_t e = use.acquire()) return e;
    // Forget earlier results, so that a report from before this request is never taken.
    store(s.reportState, 0u);
    if (w.which == Waiter::Snap) {
        store(s.snapLen1, 0u);
        store(s.snapLen2, 0u);
    } else if (w.which == Waiter::Gps) {
        store(s.reportLen1001, 0u);
        store(s.reportLen1002, 0u);
    }
    s.reqLen = 0;
    if (layout) codec::pack(*layout, 1, info, s.reqBuf, &s.reqLen);
    s.respLen = kCmdBuf;
    const uint32_t r = IPCSdk2usock(&s, spec.msgClass, spec.code);
    const cmd::Kind kind = cmd::classify(r, s.respBuf, spec.msgClass, spec.code);
    if (w.which == Waiter::Snap && r == static_cast<uint32_t>(-1)) {
        const int fd = load(s.cmdSocket);
        store(s.cmdSocket, -1);
        if (fd >= 0) close(fd);
        use.release();
        return IPCSDK_ERR_NET;
    }
    use.release();

    if (kind == cmd::Kind::Short) {
        if (spec.label) log::syslog_line(log::kErr, "%s  net err. %s %d\n", spec.label, spec.name, spec.sites.shortAnswer);
        return IPCSDK_ERR_NET;
    }
    if (wait != 1) {
        switch (kind) {
        case cmd::Kind::Ack: return IPCSDK_OK;
        case cmd::Kind::Echo: return w.which == Waiter::Snap ? IPCSDK_ERR_NO_PICTURE : IPCSDK_ERR_REFUSED;
        case cmd::Kind::Other:
            if (spec.label) log::syslog_line(log::kErr, "%s  %s %d\n", spec.label, spec.name, spec.sites.other);
            return IPCSDK_ERR_REFUSED;
        default: return IPCSDK_ERR_REFUSED;
        }
    }
    if (!out) return IPCSDK_ERR_BUFFER;
    if (tries < 1) return w.timeoutResult;
    uint32_t seen = 0;
    if (!await_report(use, w, tries, seen)) return use.current() ? w.timeoutResult : IPCSDK_ERR_BAD_HANDLE;
    if (const uint32_t e = use.acquire()) return e;
    const uint32_t result = deliver(s, w.which, seen, static_cast<uint8_t*>(out), outSize);
    use.release();
    return result;
}

const WaitSpec kSnap{Waiter::Snap, cmd::Id::IPCSIMUSNAP, {1}, IPCSDK_ERR_NO_PICTURE};
const WaitSpec kGpsWait{Waiter::Gps, cmd::Id::IPCGpsInfo, {2, 3}, IPCSDK_ERR_REFUSED};
const WaitSpec kDistantWait{Waiter::Distant, cmd::Id::IPCDistantInfoSet, {4}, IPCSDK_ERR_REFUSED};

}  // namespace
}  // namespace ipc

using namespace ipc;

extern "C" {

IPCSDK_API uint32_t IPCSIMUSNAP(uint32_t handle, SimuSnapInfo* info, int32_t wait, void* out, uint32_t outSize,
                                int32_t tries) {
    return waiting_command(kSnap, handle, info, &kSimuSnap, wait, out, outSize, tries);
}

IPCSDK_API uint32_t IPCGpsInfo(uint32_t handle, GpsInfoRequest* info, int32_t wait, void* out, uint32_t outSize,
                               int32_t tries) {
    return waiting_command(kGpsWait, handle, info, &kGps, wait, out, outSize, tries);
}

IPCSDK_API uint32_t IPCDistantInfoSet(uint32_t handle, DistantInfo*, int32_t wait, void* out, uint32_t outSize,
                                      int32_t tries) {
    // The camera expects the header alone; the record is not sent.
    return waiting_command(kDistantWait, handle, nullptr, nullptr, wait, out, outSize, tries);
}

IPCSDK_API uint32_t IPCSIMUSNAPParam(const SimuSnapInfo* info, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kSimuSnap, 1, info, out, outLen);
}

IPCSDK_API uint32_t IPCGpsInfoParam(const GpsInfoRequest* info, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kGps, 1, info, out, outLen);
}

IPCSDK_API uint32_t IPCPackDistantInfoParam(const DistantInfo* info, uint8_t* out, uint32_t* outLen) {
    return codec::pack(kDistant, 1, info, out, outLen);
}

}  // extern "C"
