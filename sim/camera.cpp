// The camera's behaviour: answering requests, the stored records and PTZ state, and the
// public interface.
#include "camera_impl.hpp"
#include "wire.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace ipcsim {

namespace {

constexpr int kPanRange = 3600, kTiltMax = 900, kZoomMin = 10, kZoomMax = 300;
constexpr size_t kPresetEntry = 36, kPresetCount = 255;

uint16_t key_of(uint8_t cls, uint8_t code) { return static_cast<uint16_t>(cls << 8 | code); }

// Default content of a record nobody has set: a pattern that differs per command, so that a
// codec that swaps or shifts bytes shows up.
std::vector<uint8_t> patterned(uint8_t cls, uint8_t code, size_t n) {
    std::vector<uint8_t> r(n);
    for (size_t i = 0; i < n; ++i) r[i] = static_cast<uint8_t>(i * 7 + cls * 13 + code * 29 + 1);
    return r;
}

void put_text(std::vector<uint8_t>& b, size_t at, size_t width, const std::string& s) {
    std::memcpy(b.data() + at, s.data(), std::min(width, s.size()));
}

}  // namespace

// ============================================================================================
// Requests
// ============================================================================================

void Camera::Impl::handle(Request req, const Sink& sink) {
    // A datagram must carry exactly the payload its header announces; one that does not, or
    // that lacks the request magic, is recorded but gets no answer.
    bool well_formed = wire::well_formed(req.frame.data(), req.frame.size());
    std::optional<Scripted> s;
    std::function<void(const Request&)> on_request;
    Answerer replay;
    {
        std::lock_guard lk(mu);
        requests.push_back(req);
        changed.notify_all();
        if (well_formed && !script.empty()) {
            s = script.front();
            if (--script.front().times <= 0) script.pop_front();
        }
        on_request = hook;
        replay = answerer;
    }
    if (on_request) on_request(req);
    if (!well_formed) {
        log(req, "none (malformed request)");
        return;
    }
    bool scripted = s && s->reply != Reply::Default;
    std::optional<std::vector<uint8_t>> replayed;
    if (!scripted && replay) replayed = replay(req);
    Outcome a;
    if (scripted)
        a = scripted_answer(req, *s);
    else if (replayed)
        a = Outcome{Act::Send, *replayed, "replayed " + std::to_string(replayed->size()), {}};
    else
        a = default_answer(req);
    milliseconds delay = s ? std::max(s->delay, milliseconds(0)) : milliseconds(0);
    int copies = s && s->twice ? 2 : 1;
    std::string label = a.label;
    if (copies == 2) label += " twice";
    if (delay.count() > 0) label = "late " + std::to_string(delay.count()) + "ms " + label;
    log(req, label);
    auto follow_up = std::move(a.follow_up);
    if (s && s->pieces > 1 && a.act == Act::Send && a.bytes.size() > 1) {
        // The answer cut into parts sent one after another, as a slow network delivers it.
        const size_t n = std::min(static_cast<size_t>(s->pieces), a.bytes.size());
        for (size_t i = 0; i < n; ++i) {
            Outcome part{Act::Send,
                         std::vector<uint8_t>(a.bytes.begin() + static_cast<ptrdiff_t>(a.bytes.size() * i / n),
                                              a.bytes.begin() + static_cast<ptrdiff_t>(a.bytes.size() * (i + 1) / n)),
                         {}, {}};
            schedule(delay + static_cast<int>(i) * s->gap, [this, sink, part = std::move(part)] { deliver(sink, part); });
        }
        copies = 0;
    }
    if (delay.count() > 0) {
        schedule(delay, [this, sink, a = std::move(a), copies] {
            for (int i = 0; i < copies; ++i) deliver(sink, a);
        });
    } else {
        for (int i = 0; i < copies; ++i) deliver(sink, a);
    }
    if (follow_up) schedule(delay + cfg.report_delay, std::move(follow_up));
}

Camera::Impl::Outcome Camera::Impl::scripted_answer(const Request& req, const Scripted& s) {
    Outcome a;
    auto sized = [&](size_t dflt) { return s.short_length ? s.short_length : dflt; };
    switch (s.reply) {
    case Reply::Default:
        break;
    case Reply::Nak:
        a.bytes = wire::message(wire::kNak, req.code);
        a.label = "nak";
        break;
    case Reply::Ack:
        a.bytes = wire::message(wire::kAck, req.code);
        a.label = "ack";
        break;
    case Reply::Echo:
        a.bytes = wire::message(req.msgClass, req.code, s.payload);
        a.label = "echo " + std::to_string(s.payload.size());
        break;
    case Reply::OtherClass:
        a.bytes = wire::message(static_cast<uint8_t>(req.msgClass + 1), req.code, s.payload);
        a.label = "other class";
        break;
    case Reply::OtherCode:
        a.bytes = wire::message(req.msgClass, static_cast<uint8_t>(req.code + 1), s.payload);
        a.label = "other code";
        break;
    case Reply::Short:
        a.bytes = wire::message(wire::kAck, req.code);
        a.bytes.resize(std::min(sized(15), a.bytes.size()));
        a.label = "short " + std::to_string(a.bytes.size());
        break;
    case Reply::WrongLength:
        a.bytes = wire::message(req.msgClass, req.code, s.payload, static_cast<uint32_t>(s.payload.size() + 1));
        a.label = "wrong length";
        break;
    case Reply::Garbage: {
        // Deterministic noise that never reads as an ack, a nak or this request's echo.
        a.bytes.resize(sized(64));
        uint32_t x = 0x9E3779B9u ^ (uint32_t{req.msgClass} << 8 | req.code);
        for (auto& b : a.bytes) {
            x = x * 1664525u + 1013904223u;
            b = static_cast<uint8_t>(x >> 24);
        }
        if (a.bytes.size() > 3 && (a.bytes[3] == wire::kAck || a.bytes[3] == wire::kNak || a.bytes[3] == req.msgClass))
            a.bytes[3] ^= 0x80;
        a.label = "garbage " + std::to_string(a.bytes.size());
        break;
    }
    case Reply::Raw:
        a.bytes = s.raw;
        a.label = "raw " + std::to_string(s.raw.size());
        break;
    case Reply::None:
        a.act = Act::None;
        a.label = "none";
        break;
    case Reply::Close:
        a.act = Act::Close;
        a.label = "close";
        break;
    case Reply::Reset:
        a.act = Act::Reset;
        a.label = "reset";
        break;
    }
    return a;
}

Camera::Impl::Outcome Camera::Impl::default_answer(const Request& req) {
    auto nak = [&](const char* why) {
        return Outcome{Act::Send, wire::message(wire::kNak, req.code), std::string("nak (") + why + ")", {}};
    };
    const CommandDef* def = find_command(req.msgClass, req.code);
    if (!def) return nak("unknown command");
    std::vector<uint8_t> payload = req.payload();
    Outcome a;
    if (def->role == Role::Query) {
        std::lock_guard lk(mu);
        a.bytes = wire::message(req.msgClass, req.code, record_locked(req.msgClass, req.code));
        a.label = "echo " + std::to_string(a.bytes.size() - wire::kHeader);
        return a;
    }
    if (def->role == Role::Update) {
        size_t size = find_command(req.msgClass, def->key)->size;
        if (payload.empty() || payload.size() % size != 0) return nak("payload is not whole records");
        std::lock_guard lk(mu);
        store_locked(req.msgClass, def->key, std::move(payload));
    } else {
        if (def->size != kAnySize && payload.size() != def->size) return nak("payload size");
        if (!payload.empty() && def->effect != Effect::Login) {
            std::lock_guard lk(mu);
            store_locked(req.msgClass, req.code, payload);
        }
    }
    if (def->answer == detail::Answer::Ack) {
        a.bytes = wire::message(wire::kAck, req.code);
        a.label = "ack";
    } else {
        a.bytes = wire::message(req.msgClass, req.code);
        a.label = "echo 0";
    }
    return def->effect == Effect::None ? a : effect(*def, req, std::move(a));
}

// What a command does beyond storing its payload; may replace the answer.
Camera::Impl::Outcome Camera::Impl::effect(const CommandDef& def, const Request& req, Outcome a) {
    std::vector<uint8_t> p = req.payload();
    auto echo = [&](std::vector<uint8_t> body) {
        a.label = "echo " + std::to_string(body.size());
        a.bytes = wire::message(req.msgClass, req.code, body);
    };
    auto nak = [&](const char* why) {
        a.bytes = wire::message(wire::kNak, req.code);
        a.label = std::string("nak (") + why + ")";
    };
    std::unique_lock lk(mu);
    switch (def.effect) {
    case Effect::None:
        break;
    case Effect::Login: {
        std::string user(reinterpret_cast<const char*>(p.data()), strnlen(reinterpret_cast<const char*>(p.data()), 32));
        std::string digest(p.begin() + 32, p.begin() + 64);
        bool ok = !refuse_logins && user == cfg.user && digest == expected_digest;
        logins += ok;
        std::vector<uint8_t> body(120, 0);
        wire::put_be32(body, 4, ok ? 200 : 401);
        echo(std::move(body));
        a.label = ok ? "login 200" : "login 401";
        break;
    }
    case Effect::StartVideo:
    case Effect::StartVideoEx: {
        bool ex = def.effect == Effect::StartVideoEx;
        if (p.size() < (ex ? 32u : 16u)) {
            nak("start video record too short");
            break;
        }
        p.resize(ex ? 36 : 16);  // the request's fields come back, with the result byte set
        p[ex ? 4 : 2] = 1;
        echo(std::move(p));
        if (!streaming) video_unit = 0;
        streaming = true;
        stream_cv.notify_all();
        break;
    }
    case Effect::StopVideo:
        streaming = false;
        stream_cv.notify_all();
        break;
    case Effect::PtzCtrl: {
        int step = static_cast<int>(std::min<uint32_t>(wire::le32(p.data() + 4), kPanRange));
        step = step ? step : 10;
        // pan, tilt, zoom direction of stop, up, down, left, right, zoom in, zoom out
        static constexpr int kMoves[7][3] = {{0, 0, 0}, {0, 1, 0}, {0, -1, 0}, {-1, 0, 0},
                                             {1, 0, 0}, {0, 0, 1}, {0, 0, -1}};
        uint32_t cmd = wire::le32(p.data());
        if (cmd >= 7) {
            nak("unknown PTZ command");
            break;
        }
        const int* d = kMoves[cmd];
        move_to_locked(ptz.pan + d[0] * step, ptz.tilt + d[1] * step, ptz.zoom + d[2] * step);
        break;
    }
    case Effect::Preset:
        if (!preset_locked(p)) nak("preset");
        break;
    case Effect::FactoryReset:
        records.clear();
        ptz = PtzState{};
        break;
    case Effect::MarkRecord:
        echo(record_locked(33, 7));
        break;
    case Effect::SnapPair:
        a.follow_up = [this] {
            for (uint8_t kind : {2, 1}) {  // the second picture of the pair first
                auto body = Camera::picture_body(kind, Camera::sample_picture(64, 48, kind));
                broadcast(Kind::Report, Camera::report_message(0xA002, body));
            }
        };
        break;
    case Effect::Position:
        a.follow_up = [this] {
            std::vector<uint8_t> body(48, 0);
            put_text(body, 0, 32, "N3113.8240 E12128.4420");  // degrees and minutes
            wire::put_le32(body, 32, 31230400);                 // latitude, 1e-6 degrees
            wire::put_le32(body, 36, 121473700);                // longitude, 1e-6 degrees
            wire::put_le32(body, 40, 12);                       // altitude, metres
            wire::put_le32(body, 44, static_cast<uint32_t>(std::time(nullptr)));
            broadcast(Kind::Report, Camera::report_message(cfg.gps_report_type, body));
        };
        break;
    case Effect::Distance:
        a.follow_up = [this] {
            std::vector<uint8_t> body(128, 0);
            put_text(body, 0, 32, "distance 1250.5 m");
            wire::put_le32(body, 32, 12505);  // decimetres
            for (size_t i = 36; i < body.size(); ++i) body[i] = static_cast<uint8_t>(i);
            broadcast(Kind::Report, Camera::report_message(0x1004, body));
        };
        break;
    }
    return a;
}

void Camera::Impl::deliver(const Sink& sink, const Outcome& a) {
    if (a.act == Act::None) return;
    if (sink.transport == Transport::Udp) {
        if (a.act == Act::Send)
            sendto(udp_fd, a.bytes.data(), a.bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                   reinterpret_cast<const sockaddr*>(&sink.addr), sizeof sink.addr);
        return;
    }
    std::lock_guard lk(mu);
    auto it = conns.find(sink.conn);
    if (it == conns.end() || it->second.closing) return;  // the connection is gone: dropped
    enqueue_locked(it->second, Out{a.bytes, 0, a.act});
}

void Camera::Impl::log(const Request& req, const std::string& label) const {
    if (!cfg.log) return;
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tm t;
    localtime_r(&ts.tv_sec, &t);
    const CommandDef* def = find_command(req.msgClass, req.code);
    std::printf("%02d:%02d:%02d.%03ld %s %s %u.%u %s len=%zu -> %s\n", t.tm_hour, t.tm_min, t.tm_sec,
                ts.tv_nsec / 1000000, cfg.ip.c_str(), req.transport == Transport::Udp ? "udp" : "tcp",
                req.msgClass, req.code, def ? def->name : "?", req.frame.size() - wire::kHeader, label.c_str());
    std::fflush(stdout);
}

// ============================================================================================
// Stored state
// ============================================================================================

std::vector<uint8_t> Camera::Impl::record_locked(uint8_t cls, uint8_t code) const {
    if (cls == 12 && code == 8) {  // the PTZ value record is the live position
        std::vector<uint8_t> r(134, 0);
        wire::put_be16(r, 0, ptz.pan);
        wire::put_be16(r, 2, ptz.tilt);
        wire::put_be16(r, 4, ptz.zoom);
        return r;
    }
    if (auto it = records.find(key_of(cls, code)); it != records.end()) return it->second;
    const CommandDef* def = find_command(cls, code);
    if (!def || def->role != Role::Query) return {};
    if (cls == 3 && code == 2) return system_info_locked();
    return patterned(cls, code, size_t{def->size} * def->count);
}

void Camera::Impl::store_locked(uint8_t cls, uint8_t code, std::vector<uint8_t> wire) {
    if (cls == 12 && code == 8) {
        if (wire.size() >= 6)
            move_to_locked(wire::be16(wire.data()), wire::be16(wire.data() + 2), wire::be16(wire.data() + 4));
        return;
    }
    records[key_of(cls, code)] = std::move(wire);
}

void Camera::Impl::move_to_locked(int pan, int tilt, int zoom) {
    ptz.pan = static_cast<uint16_t>((pan % kPanRange + kPanRange) % kPanRange);
    ptz.tilt = static_cast<uint16_t>(std::clamp(tilt, 0, kTiltMax));
    ptz.zoom = static_cast<uint16_t>(std::clamp(zoom, kZoomMin, kZoomMax));
}

bool Camera::Impl::preset_locked(const std::vector<uint8_t>& rec) {
    uint32_t n = wire::le32(rec.data()), op = wire::le32(rec.data() + 4);
    if (n < 1 || n > kPresetCount) return false;
    std::vector<uint8_t> table = record_locked(12, 3);
    table.resize(kPresetEntry * kPresetCount);
    uint8_t* entry = table.data() + (n - 1) * kPresetEntry;
    switch (op) {
    case 1:
        std::copy(rec.begin(), rec.begin() + kPresetEntry, entry);
        for (int i = 0; i < 3; ++i) {
            uint16_t v = i == 0 ? ptz.pan : i == 1 ? ptz.tilt : ptz.zoom;
            entry[28 + 2 * i] = static_cast<uint8_t>(v);
            entry[29 + 2 * i] = static_cast<uint8_t>(v >> 8);
        }
        break;
    case 2:
        if (wire::le32(entry) != n) return false;  // never stored
        move_to_locked(wire::le16(entry + 28), wire::le16(entry + 30), wire::le16(entry + 32));
        return true;
    case 3:
        std::fill(entry, entry + kPresetEntry, 0);
        break;
    default:
        return false;
    }
    records[key_of(12, 3)] = std::move(table);
    return true;
}

// 80 bytes: numbers big-endian at 0, 20, 24, 28, 76 (u32) and 54, 56 (u16), text elsewhere.
std::vector<uint8_t> Camera::Impl::system_info_locked() const {
    std::vector<uint8_t> r(80, 0);
    wire::put_be32(r, 0, 1);               // device type: PTZ dome
    put_text(r, 4, 16, "IPCSIM-PTZ");      // model
    wire::put_be32(r, 20, 0x00010000);     // hardware version 1.0
    wire::put_be32(r, 24, 0x01000016);     // firmware version 1.0.0.22
    wire::put_be32(r, 28, 20240101);       // firmware date
    put_text(r, 32, 16, "SIM-" + cfg.ip);  // serial number
    put_text(r, 48, 2, "V1");
    wire::put_be16(r, 54, kUdpPort);
    wire::put_be16(r, 56, cfg.tcp_port);
    put_text(r, 58, 16, "ipcsim");
    put_text(r, 74, 2, "OK");
    wire::put_be32(r, 76, 1);              // video channels
    return r;
}

// ============================================================================================
// Camera
// ============================================================================================

Camera::Camera(Config config) : impl_(std::make_unique<Impl>(std::move(config))) {}
Camera::~Camera() { stop(); }
bool Camera::start() { return impl_->start(); }
void Camera::stop() { impl_->stop(); }

bool Camera::running() const {
    std::lock_guard lk(impl_->mu);
    return impl_->running;
}

void Camera::refuse_logins(bool refuse) {
    std::lock_guard lk(impl_->mu);
    impl_->refuse_logins = refuse;
}
const Config& Camera::config() const { return impl_->cfg; }

void Camera::script(Scripted next) {
    std::lock_guard lk(impl_->mu);
    next.times = std::max(next.times, 1);
    impl_->script.push_back(std::move(next));
}

void Camera::clear_script() {
    std::lock_guard lk(impl_->mu);
    impl_->script.clear();
}

std::vector<Request> Camera::requests() const {
    std::lock_guard lk(impl_->mu);
    return impl_->requests;
}

void Camera::clear_requests() {
    std::lock_guard lk(impl_->mu);
    std::vector<Request>().swap(impl_->requests);  // the capacity too: long runs clear it often
}

std::optional<Request> Camera::wait_request(uint8_t msgClass, uint8_t code, std::chrono::milliseconds timeout,
                                           int nth) const {
    std::unique_lock lk(impl_->mu);
    std::optional<Request> found;
    impl_->changed.wait_for(lk, timeout, [&] {
        int seen = 0;
        for (const auto& r : impl_->requests)
            if (r.msgClass == msgClass && r.code == code && ++seen == nth) {
                found = r;
                return true;
            }
        return false;
    });
    return found;
}

int Camera::login_count() const {
    std::lock_guard lk(impl_->mu);
    return impl_->logins;
}

std::vector<uint8_t> Camera::record(uint8_t msgClass, uint8_t get_code) const {
    std::lock_guard lk(impl_->mu);
    return impl_->record_locked(msgClass, get_code);
}

void Camera::set_record(uint8_t msgClass, uint8_t get_code, std::vector<uint8_t> wire) {
    std::lock_guard lk(impl_->mu);
    impl_->store_locked(msgClass, get_code, std::move(wire));
}

PtzState Camera::ptz() const {
    std::lock_guard lk(impl_->mu);
    return impl_->ptz;
}

int Camera::report_connections() const {
    std::lock_guard lk(impl_->mu);
    return impl_->count_locked(Impl::Kind::Report);
}

int Camera::video_connections() const {
    std::lock_guard lk(impl_->mu);
    return impl_->count_locked(Impl::Kind::Video);
}

int Camera::video_connections_opened() const {
    std::lock_guard lk(impl_->mu);
    return impl_->video_announced;
}

bool Camera::wait_report_connection(std::chrono::milliseconds timeout) const {
    std::unique_lock lk(impl_->mu);
    return impl_->changed.wait_for(lk, timeout, [&] { return impl_->count_locked(Impl::Kind::Report) > 0; });
}

bool Camera::wait_video_connection(std::chrono::milliseconds timeout) const {
    std::unique_lock lk(impl_->mu);
    return impl_->changed.wait_for(lk, timeout, [&] { return impl_->count_locked(Impl::Kind::Video) > 0; });
}

void Camera::send_report(uint32_t type, const std::vector<uint8_t>& body) {
    impl_->broadcast(Impl::Kind::Report, report_message(type, body));
}
void Camera::send_report_raw(const std::vector<uint8_t>& bytes) { impl_->broadcast(Impl::Kind::Report, bytes); }
void Camera::send_video_raw(const std::vector<uint8_t>& bytes) { impl_->broadcast(Impl::Kind::Video, bytes); }
void Camera::send_report_split(const std::vector<uint8_t>& bytes, size_t piece, std::chrono::milliseconds gap) {
    impl_->send_split(Impl::Kind::Report, bytes, piece, gap);
}
void Camera::send_video_split(const std::vector<uint8_t>& bytes, size_t piece, std::chrono::milliseconds gap) {
    impl_->send_split(Impl::Kind::Video, bytes, piece, gap);
}
void Camera::close_report_channels() { impl_->close_channels(Impl::Kind::Report, false); }
void Camera::close_video_channels() { impl_->close_channels(Impl::Kind::Video, false); }
void Camera::reset_report_channels() { impl_->close_channels(Impl::Kind::Report, true); }

void Camera::stall_channels(bool stalled) {
    std::lock_guard lk(impl_->mu);
    impl_->stalled = stalled;
    impl_->wake_locked();
    impl_->stream_cv.notify_all();
}

void Camera::start_video_stream() {
    std::lock_guard lk(impl_->mu);
    impl_->streaming = true;
    impl_->stream_cv.notify_all();
}

void Camera::stop_video_stream() {
    std::lock_guard lk(impl_->mu);
    impl_->streaming = false;
    impl_->stream_cv.notify_all();
}

uint64_t Camera::video_frames_sent() const {
    std::lock_guard lk(impl_->mu);
    return impl_->frames_sent;
}

uint32_t Camera::checksum(const uint8_t* data, size_t n, uint32_t seed) {
    for (size_t i = 0; i < n; ++i) seed = (seed ^ data[i]) * 16777619u;
    return seed;
}

void Camera::send_numbered_reports(uint32_t type, int count, size_t body_bytes) {
    body_bytes = std::max<size_t>(body_bytes, 8);
    std::vector<uint8_t> burst;
    {
        std::lock_guard lk(impl_->mu);
        for (int n = 0; n < count; ++n) {
            const uint32_t seq = impl_->report_seq++;
            std::vector<uint8_t> body(body_bytes);
            for (size_t i = 8; i < body_bytes; ++i) body[i] = static_cast<uint8_t>(seq * 7 + i);
            wire::put_le32(body, 0, seq);
            wire::put_le32(body, 4, checksum(body.data() + 8, body.size() - 8));
            auto m = report_message(type, body);
            burst.insert(burst.end(), m.begin(), m.end());
        }
    }
    impl_->broadcast(Impl::Kind::Report, std::move(burst));
}

void Camera::reset_video_mid_frame(size_t keep) {
    auto f = video_frame(std::vector<uint8_t>(1024, 0x5A), 0);
    f.resize(std::min(keep, f.size() - 1));
    impl_->reset_midway(Impl::Kind::Video, std::move(f));
}

void Camera::reset_reports_mid_message(size_t keep) {
    auto m = report_message(0x1003, std::vector<uint8_t>(256, 0xA5));
    m.resize(std::min(keep, m.size() - 1));
    impl_->reset_midway(Impl::Kind::Report, std::move(m));
}

void Camera::on_request(std::function<void(const Request&)> hook) {
    std::lock_guard lk(impl_->mu);
    impl_->hook = std::move(hook);
}

void Camera::answer_with(Answerer answerer) {
    std::lock_guard lk(impl_->mu);
    impl_->answerer = std::move(answerer);
}

}  // namespace ipcsim
