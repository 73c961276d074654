// The one command frame every command function runs: handle check, trace line, semaphore,
// initialisation and argument checks, pack, exchange, answer classification, the variant's
// lines and result.
#include "commands/engine.hpp"

#include <pthread.h>

#include <cstdio>

#include "core/slots.hpp"
#include "log/log.hpp"
#include "transport/transport.hpp"

namespace ipc::cmd {
namespace {

using log::kDebug;
using log::kErr;

void trail(const Spec& s, Kind k) {
    if (uint16_t n = site(s, k)) log::syslog_line(kErr, "sipua %s %d\n", s.name, n);
}

// Error lines of the variants with prefixes; nl adds the trailing "\n" of the trail variants.
void eline(const Spec& s, const char* suffix, bool nl) {
    if (s.flags & kTrailOnly) return;
    IPCSdkError(nl ? "%s%s\n" : "%s%s", s.prefix, suffix);
}

void numbered(const Spec& s, uint16_t n, const char* error) {
    if (n) log::syslog_line(kErr, "%s %d, error [%s]\n", s.name, n, error);
}

const char* short_suffix(const Spec& s) { return (s.flags & kShortErr) ? " err." : " net err."; }

// The lines and result of one answer kind, by variant.
uint32_t act(const Spec& s, Kind k, const Call& c, const uint8_t* answer, uint32_t answerLen) {
    auto unpack_echo = [&]() -> uint32_t {
        if (c.hooks && c.hooks->on_echo) return c.hooks->on_echo(answer, answerLen, c.record);
        if (c.unpack && c.record) c.unpack(answer, answerLen, c.count, c.record);
        return IPCSDK_OK;
    };
    const Variant v = s.variant;
    switch (v) {
    case Variant::G:
    case Variant::S:
    case Variant::GX:
    case Variant::SX: {
        const bool query = v == Variant::G || v == Variant::GX;
        const bool everyKindTrail = v == Variant::GX || v == Variant::SX;
        uint32_t r = IPCSDK_ERR_REFUSED;
        switch (k) {
        case Kind::Short:
            if (s.flags & kShortDebug)
                IPCSdkDebug("%s%s", s.prefix, short_suffix(s));
            else
                eline(s, short_suffix(s), false);
            r = IPCSDK_ERR_NET;
            break;
        case Kind::Nak: eline(s, " nak.", false); break;
        case Kind::Ack:
            eline(s, " ack.", false);
            if (!query) r = IPCSDK_OK;
            break;
        case Kind::Echo:
            if (query) r = unpack_echo();
            break;
        case Kind::Other: eline(s, " info error.", false); break;
        }
        if (everyKindTrail) trail(s, k);
        return r;
    }
    case Variant::GL:
    case Variant::SL: {
        const bool query = v == Variant::GL;
        switch (k) {
        case Kind::Short:
            eline(s, " net err.", true);
            trail(s, k);
            return IPCSDK_ERR_NET;
        case Kind::Nak:
            eline(s, " nak.", true);
            trail(s, k);
            return IPCSDK_ERR_REFUSED;
        case Kind::Ack:
            eline(s, " ack.", true);
            trail(s, k);
            eline(s, " ack2.", true);
            return (!query || (s.flags & kAckIsSuccess)) ? IPCSDK_OK : IPCSDK_ERR_REFUSED;
        case Kind::Echo: return query ? unpack_echo() : IPCSDK_ERR_REFUSED;
        case Kind::Other:
            eline(s, " info error.", true);
            trail(s, k);
            return IPCSDK_ERR_REFUSED;
        }
        break;
    }
    case Variant::Q:
        return k == Kind::Short ? IPCSDK_ERR_NET : (k == Kind::Ack ? IPCSDK_OK : IPCSDK_ERR_REFUSED);
    case Variant::GTrail:
        if (k == Kind::Echo) return unpack_echo();
        trail(s, k);
        return k == Kind::Short ? IPCSDK_ERR_NET : IPCSDK_ERR_REFUSED;
    case Variant::N: {
        const bool query = c.unpack != nullptr;
        switch (k) {
        case Kind::Short: numbered(s, s.sites.shortAnswer, "-4"); return IPCSDK_ERR_NET;
        case Kind::Nak: numbered(s, s.sites.nak, "-2"); return IPCSDK_ERR_REFUSED;
        case Kind::Ack:
            if (!query) return IPCSDK_OK;
            numbered(s, s.sites.ack, "-2");
            return IPCSDK_ERR_REFUSED;
        case Kind::Echo:
            if (query) return unpack_echo();
            numbered(s, s.sites.echo, "-2");
            return IPCSDK_ERR_REFUSED;
        case Kind::Other: numbered(s, s.sites.other, "-2"); return IPCSDK_ERR_REFUSED;
        }
        break;
    }
    case Variant::P:
        switch (k) {
        case Kind::Short:
            log::syslog_line(kErr, "%s  net err. %s %d\n", s.label, s.name, s.sites.shortAnswer);
            return IPCSDK_ERR_NET;
        case Kind::Ack: return IPCSDK_OK;
        case Kind::Other:
            log::syslog_line(kErr, "%s  %s %d\n", s.label, s.name, s.sites.other);
            return IPCSDK_ERR_REFUSED;
        default: return IPCSDK_ERR_REFUSED;
        }
    case Variant::Special: break;
    }
    return IPCSDK_ERR_REFUSED;
}

// Writes the "sdk not init" line the command's variant uses.
void not_initialised(const Spec& s) {
    const uint16_t n = init_site(s);
    if (s.flags & kInitStdout)
        std::printf("%s,%d,sdk not init\n", s.name, n);
    else if (s.flags & kInitNumbered)
        log::syslog_line(kErr, "%s %d, error [-9]\n", s.name, n);
    else
        IPCSdkError("%s,%d,sdk not init\n", s.name, n);
}

}  // namespace

void trace(const DeviceSlot& slot, uint32_t handle, const char* name) {
    int value = -1;
    sem_getvalue(const_cast<sem_t*>(&slot.sem), &value);
    sdk_print("pthread_id=%d iparam=%x DeviceIP=%x function=%s sem_value=%d\n",
              static_cast<int>(pthread_self()), handle, load(const_cast<DeviceSlot&>(slot).deviceAddr), name, value);
}

Kind classify(uint32_t result, const uint8_t* answer, uint8_t msgClass, uint8_t code) {
    if (exchange_failed(result) || result < kHeaderSize) return Kind::Short;
    if (answer[3] == 0x7C) return Kind::Nak;
    if (answer[3] == 0x7A) return Kind::Ack;
    if (answer[3] == msgClass && answer[4] == code) return Kind::Echo;
    return Kind::Other;
}

uint32_t run(const Spec& s, uint32_t handle, const Call& c) {
    if (handle == 0) return IPCSDK_ERR_BAD_HANDLE;
    SlotUse use(handle);
    if (!use) return IPCSDK_ERR_BAD_HANDLE;
    DeviceSlot& slot = *use.slot();
    trace(slot, handle, s.name);
    if (const uint32_t e = use.acquire()) return e;

    auto finish = [&](uint32_t r) {
        use.release();
        return r;
    };
    slot.reqLen = 0;
    slot.respLen = kCmdBuf;
    const bool numberedQuery = s.variant == Variant::N && c.unpack != nullptr;
    if (numberedQuery && s.sites.debug) log::syslog_line(kDebug, "%s %d\n", s.name, s.sites.debug);
    if (!(s.flags & kNoInitCheck) && load(g_IPCSdkInit) != 1) {
        not_initialised(s);
        return finish(IPCSDK_ERR_NOT_INIT);
    }
    if (c.hooks && c.hooks->after_init) c.hooks->after_init(c.record);
    const bool missing = (c.arg != Arg::None && c.record == nullptr) || (c.arg == Arg::Array && c.count < 1);
    if (missing) {
        if (s.variant == Variant::N) numbered(s, s.sites.nullRecord, "-1");
        return finish(IPCSDK_ERR_PARAM);
    }
    if (c.hooks && c.hooks->valid && !c.hooks->valid(c.record)) return finish(IPCSDK_ERR_PARAM);
    if (c.hooks && c.hooks->after_args) c.hooks->after_args(c.record);
    if (s.variant == Variant::SX && s.sites.extra) log::syslog_line(kErr, "sipua %s %d\n", s.name, s.sites.extra);
    if (c.pack) {
        uint32_t len = 0;
        if (c.pack(c.record, c.count, slot.reqBuf, &len) != 0 || len > kCmdBuf) return finish(IPCSDK_ERR_PARAM);
        slot.reqLen = len;
    }
    slot.respLen = kCmdBuf;
    const uint32_t result = IPCSdk2usock(&slot, s.msgClass, s.code);
    const Kind kind = classify(result, slot.respBuf, s.msgClass, s.code);
    return finish(act(s, kind, c, slot.respBuf, kind == Kind::Short ? 0 : result));
}

}  // namespace ipc::cmd
