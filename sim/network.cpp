// The camera's sockets and threads: life cycle, the serving loop, channel output, the timer
// and the video stream.
#include "camera_impl.hpp"
#include "ipctools/annexb.hpp"
#include "ipctools/input.hpp"
#include "wire.hpp"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace ipcsim {

namespace {

constexpr size_t kPacedBacklog = 4u << 20;   // queued bytes above which a video connection waits
constexpr size_t kFastBacklog = 256u << 10;  // the same when streaming as fast as possible

int open_socket(const sockaddr_in& addr, int type, std::string& error) {
    int fd = socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    int one = 1;
    if (type == SOCK_STREAM)  // a restarted camera must not wait for old connections' TIME_WAIT
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        (type == SOCK_STREAM && listen(fd, 64) != 0)) {
        error = std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

// ============================================================================================
// Life cycle
// ============================================================================================

bool Camera::Impl::start() {
    std::unique_lock lk(mu);
    if (running) return true;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (inet_pton(AF_INET, cfg.ip.c_str(), &addr.sin_addr) != 1) {
        std::fprintf(stderr, "ipcsim: not an IPv4 address: %s\n", cfg.ip.c_str());
        return false;
    }
    auto fail = [&](const char* what, uint16_t port, const std::string& why) {
        std::fprintf(stderr, "ipcsim: cannot open %s %s:%u: %s\n", what, cfg.ip.c_str(), port, why.c_str());
        close_sockets();
        return false;
    };
    std::string why;
    if (!cfg.video_file.empty()) {
        try {
            const std::string data = ipctools::read_file(cfg.video_file, kMaxVideoFile);
            video_data.assign(data.begin(), data.end());
        } catch (const ipctools::InputError& e) {
            std::fprintf(stderr, "ipcsim: video file: %s\n", e.what());
            return false;
        }
        if (video_data.empty()) {
            std::fprintf(stderr, "ipcsim: video file %s is empty\n", cfg.video_file.c_str());
            return false;
        }
        video_units = ipctools::annexb::access_units(video_data);
    }
    wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd < 0) return fail("wake-up eventfd for", 0, std::strerror(errno));
    if (cfg.udp) {
        addr.sin_port = htons(kUdpPort);
        if ((udp_fd = open_socket(addr, SOCK_DGRAM, why)) < 0) return fail("UDP", kUdpPort, why);
    }
    if (cfg.tcp) {
        addr.sin_port = htons(cfg.tcp_port);
        if ((cmd_listen_fd = open_socket(addr, SOCK_STREAM, why)) < 0) return fail("TCP", cfg.tcp_port, why);
    }
    if (cfg.channels) {
        addr.sin_port = htons(kChannelPort);
        if ((chan_listen_fd = open_socket(addr, SOCK_STREAM, why)) < 0) return fail("TCP", kChannelPort, why);
    }
    running = true;
    stopping = false;
    lk.unlock();
    if (cfg.keepalive_seconds > 0) schedule(std::chrono::seconds(cfg.keepalive_seconds), [this] { keepalive(); });
    server = std::thread([this] { serve(); });
    timer = std::thread([this] { timer_loop(); });
    streamer = std::thread([this] { stream_loop(); });
    return true;
}

void Camera::Impl::stop() {
    {
        std::lock_guard lk(mu);
        if (!running || stopping) return;
        stopping = true;
        wake_locked();
        timer_cv.notify_all();
        stream_cv.notify_all();
        changed.notify_all();
    }
    server.join();
    timer.join();
    streamer.join();
    std::lock_guard lk(mu);
    for (auto& [id, c] : conns) close(c.fd);
    conns.clear();
    close_sockets();
    timed = {};
    streaming = false;
    stalled = false;
    running = false;
    stopping = false;
    changed.notify_all();
}

void Camera::Impl::close_sockets() {
    for (int* fd : {&udp_fd, &cmd_listen_fd, &chan_listen_fd, &wakeFd})
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
}

// ============================================================================================
// Serving thread
// ============================================================================================

void Camera::Impl::serve() {
    std::vector<pollfd> pfds;
    std::vector<uint64_t> ids;  // per entry of pfds after the fixed ones: the connection
    std::vector<std::pair<Sink, Request>> work;
    for (;;) {
        pfds.clear();
        ids.clear();
        int timeout = -1;
        {
            std::lock_guard lk(mu);
            if (stopping) return;
            for (int fd : {wakeFd, udp_fd, cmd_listen_fd, chan_listen_fd}) pfds.push_back({fd, POLLIN, 0});
            for (auto& [id, c] : conns) {
                bool channel = c.kind == Kind::Report || c.kind == Kind::Video;
                short ev = POLLIN;
                if (!c.out.empty() && !(stalled && channel)) ev |= POLLOUT;
                if (c.closing) timeout = 20;  // honour close_by even when nothing moves
                pfds.push_back({c.fd, ev, 0});
                ids.push_back(id);
            }
        }
        if (poll(pfds.data(), pfds.size(), timeout) < 0 && errno != EINTR) return;
        if (pfds[0].revents & POLLIN) {
            uint64_t drained;
            [[maybe_unused]] ssize_t n = read(wakeFd, &drained, sizeof drained);
        }
        work.clear();
        if (pfds[1].revents & POLLIN) read_datagrams(work);
        if (pfds[2].revents & POLLIN) accept_all(cmd_listen_fd, Kind::Command);
        if (pfds[3].revents & POLLIN) accept_all(chan_listen_fd, Kind::Pending);
        {
            std::lock_guard lk(mu);
            for (size_t i = 0; i < ids.size(); ++i) {
                if (!(pfds[i + 4].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                auto it = conns.find(ids[i]);
                if (it != conns.end()) read_conn_locked(it, work);
            }
        }
        for (auto& [sink, req] : work) handle(std::move(req), sink);
        std::lock_guard lk(mu);
        flush_all_locked();
    }
}

void Camera::Impl::read_datagrams(std::vector<std::pair<Sink, Request>>& work) {
    static thread_local std::vector<uint8_t> buf(65536);
    for (int i = 0; i < 64; ++i) {
        Sink sink;
        socklen_t len = sizeof sink.addr;
        ssize_t n = recvfrom(udp_fd, buf.data(), buf.size(), MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&sink.addr), &len);
        if (n < 0) return;
        if (n < static_cast<ssize_t>(wire::kHeader)) continue;  // not even a header: ignored
        Request req{Transport::Udp, buf[3], buf[4], std::vector<uint8_t>(buf.begin(), buf.begin() + n)};
        work.emplace_back(sink, std::move(req));
    }
}

void Camera::Impl::accept_all(int listen_fd, Kind kind) {
    for (;;) {
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard lk(mu);
        Conn c;
        c.fd = fd;
        c.kind = kind;
        conns.emplace(next_conn++, std::move(c));
    }
}

void Camera::Impl::read_conn_locked(std::map<uint64_t, Conn>::iterator it,
                                  std::vector<std::pair<Sink, Request>>& work) {
    static thread_local std::vector<uint8_t> buf(65536);
    Conn& c = it->second;
    ssize_t n = recv(c.fd, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        close_conn_locked(it, false);  // the peer went away
        return;
    }
    if (n < 0 || c.kind == Kind::Report || c.kind == Kind::Video) return;  // channels: ignored
    c.in.insert(c.in.end(), buf.begin(), buf.begin() + n);
    if (c.kind == Kind::Command) {
        parse_commands_locked(it->first, c, work);
        if (c.in.size() > wire::kHeader + wire::kMaxRequest) close_conn_locked(it, false);
    } else if (!parse_announcement_locked(c)) {
        close_conn_locked(it, false);
    }
}

void Camera::Impl::parse_commands_locked(uint64_t id, Conn& c, std::vector<std::pair<Sink, Request>>& work) {
    std::vector<std::vector<uint8_t>> frames;
    size_t used = wire::split_requests(c.in.data(), c.in.size(), frames);
    for (auto& f : frames) {
        Sink sink;
        sink.transport = Transport::Tcp;
        sink.conn = id;
        uint8_t cls = f[3], code = f[4];
        work.emplace_back(sink, Request{Transport::Tcp, cls, code, std::move(f)});
    }
    c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(used));
}

// A new connection on the channel port tells what it is; false: not an announcement, the
// connection is dropped.
bool Camera::Impl::parse_announcement_locked(Conn& c) {
    const wire::Announcement a = wire::parse_announcement(c.in.data(), c.in.size());
    if (a.kind == wire::Announcement::More) return true;
    if (a.kind == wire::Announcement::Bad) return false;
    c.kind = a.kind == wire::Announcement::Report ? Kind::Report : Kind::Video;
    video_announced += c.kind == Kind::Video;
    c.in.clear();
    c.in.shrink_to_fit();
    enqueue_locked(c, Out{wire::message(wire::kAck, 3)});
    if (cfg.log) {
        Request r{Transport::Tcp, 0, 3, std::vector<uint8_t>(wire::kHeader + a.length)};
        log(r, c.kind == Kind::Report ? "ack (report channel)" : "ack (video channel)");
    }
    changed.notify_all();
    stream_cv.notify_all();
    return true;
}

void Camera::Impl::flush_all_locked() {
    auto now = Clock::now();
    bool video_moved = false;
    for (auto it = conns.begin(); it != conns.end();) {
        auto cur = it++;
        Conn& c = cur->second;
        bool channel = c.kind == Kind::Report || c.kind == Kind::Video;
        if (c.closing && (c.reset || (stalled && channel) || now >= c.close_by)) {
            close_conn_locked(cur, c.reset);
            continue;
        }
        if (stalled && channel) continue;
        Act end = Act::Send;
        while (!c.out.empty() && end == Act::Send) {
            Out& o = c.out.front();
            if (o.act != Act::Send) {
                end = o.act;
                break;
            }
            if (o.off < o.bytes.size()) {
                ssize_t n = send(c.fd, o.bytes.data() + o.off, o.bytes.size() - o.off, MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n < 0) {
                    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
                    end = Act::Close;
                    break;
                }
                o.off += static_cast<size_t>(n);
                c.queued -= static_cast<size_t>(n);
                video_moved |= c.kind == Kind::Video;
                if (o.off < o.bytes.size()) break;
            }
            c.out.pop_front();
        }
        if (end == Act::Close || end == Act::Reset)
            close_conn_locked(cur, end == Act::Reset);
        else if (c.closing && c.out.empty())
            close_conn_locked(cur, false);
    }
    if (video_moved) stream_cv.notify_all();
}

void Camera::Impl::close_conn_locked(std::map<uint64_t, Conn>::iterator it, bool reset) {
    if (reset) {
        linger lg{1, 0};
        setsockopt(it->second.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    close(it->second.fd);
    conns.erase(it);
    changed.notify_all();
}

// ============================================================================================
// Channels
// ============================================================================================

void Camera::Impl::wake_locked() const {
    if (wakeFd < 0) return;
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(wakeFd, &one, sizeof one);
}

void Camera::Impl::enqueue_locked(Conn& c, Out out) {
    c.queued += out.bytes.size();
    c.out.push_back(std::move(out));
    wake_locked();
}

void Camera::Impl::broadcast(Kind kind, std::vector<uint8_t> bytes) {
    std::lock_guard lk(mu);
    for (auto& [id, c] : conns)
        if (c.kind == kind && !c.closing) enqueue_locked(c, Out{bytes});
}

void Camera::Impl::close_channels(Kind kind, bool reset) {
    std::unique_lock lk(mu);
    std::vector<uint64_t> ids;
    for (auto& [id, c] : conns)
        if (c.kind == kind) {
            c.closing = true;
            c.reset = reset;
            c.close_by = Clock::now() + std::chrono::seconds(1);
            ids.push_back(id);
        }
    wake_locked();
    changed.wait_for(lk, std::chrono::seconds(5), [&] {
        return !running || std::none_of(ids.begin(), ids.end(), [&](uint64_t id) { return conns.count(id); });
    });
}

int Camera::Impl::count_locked(Kind kind) const {
    return static_cast<int>(std::count_if(conns.begin(), conns.end(), [&](const auto& e) {
        return e.second.kind == kind && !e.second.closing;
    }));
}

void Camera::Impl::reset_midway(Kind kind, std::vector<uint8_t> partial) {
    std::lock_guard lk(mu);
    for (auto& [id, c] : conns)
        if (c.kind == kind && !c.closing) {
            enqueue_locked(c, Out{partial});
            c.out.push_back(Out{{}, 0, Act::Reset});
            c.closing = true;  // no further frames or reports; closed at the latest after a second
            c.close_by = Clock::now() + std::chrono::seconds(1);
        }
    wake_locked();
}

void Camera::Impl::send_split(Kind kind, const std::vector<uint8_t>& bytes, size_t piece, milliseconds gap) {
    piece = std::max<size_t>(piece, 1);
    for (size_t at = 0; at < bytes.size(); at += piece) {
        if (at) std::this_thread::sleep_for(gap);
        auto end = bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), at + piece));
        broadcast(kind, std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(at), end));
    }
}

// ============================================================================================
// Timer and stream
// ============================================================================================

void Camera::Impl::schedule(milliseconds delay, std::function<void()> fn) {
    std::lock_guard lk(mu);
    if (!running || stopping) return;
    timed.push(Timed{Clock::now() + delay, timed_seq++, std::move(fn)});
    timer_cv.notify_all();
}

void Camera::Impl::timer_loop() {
    std::unique_lock lk(mu);
    while (!stopping) {
        if (timed.empty()) {
            timer_cv.wait(lk);
            continue;
        }
        // A copy: the queue may grow (and move its elements) while the lock is released.
        const auto at = timed.top().at;
        if (Clock::now() < at) {
            timer_cv.wait_until(lk, at);
            continue;
        }
        auto fn = timed.top().fn;
        timed.pop();
        lk.unlock();
        fn();
        lk.lock();
    }
}

void Camera::Impl::keepalive() {
    broadcast(Kind::Report, Camera::report_message(0x1005, {}));
    schedule(std::chrono::seconds(cfg.keepalive_seconds), [this] { keepalive(); });
}

void Camera::Impl::stream_loop() {
    std::unique_lock lk(mu);
    auto next = Clock::now();
    while (!stopping) {
        stream_cv.wait(lk, [&] { return stopping || (streaming && !stalled && video_ready_locked()); });
        if (stopping) return;
        send_frame_locked();
        if (cfg.frames_per_second > 0) {
            next += std::chrono::nanoseconds(1000000000 / cfg.frames_per_second);
            next = std::max(next, Clock::now());  // no burst to catch up after a pause
            stream_cv.wait_until(lk, next, [&] { return stopping || !streaming; });
        }
    }
}

bool Camera::Impl::video_ready_locked() const {
    size_t limit = cfg.frames_per_second > 0 ? kPacedBacklog : kFastBacklog;
    return std::any_of(conns.begin(), conns.end(), [&](const auto& e) {
        return e.second.kind == Kind::Video && !e.second.closing && e.second.queued < limit;
    });
}

void Camera::Impl::send_frame_locked() {
    size_t n = video_units.empty() ? std::max<uint32_t>(cfg.frame_bytes, 1) : 0;
    std::vector<uint8_t> payload(n);
    if (!video_units.empty()) {
        payload.assign(video_units[video_unit].begin(), video_units[video_unit].end());
        video_unit = (video_unit + 1) % video_units.size();
    }
    for (size_t i = 0; i < n; ++i) {
        if (video_data.empty()) {
            payload[i] = static_cast<uint8_t>(frame_seq + i);
        } else {
            payload[i] = video_data[video_pos];
            video_pos = (video_pos + 1) % video_data.size();
        }
    }
    std::vector<uint8_t> frame = Camera::video_frame(payload, frame_seq++);
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count();
    for (int i = 0; i < 8; ++i) frame[12 + i] = static_cast<uint8_t>(static_cast<uint64_t>(us) >> (8 * i));
    wire::put_le32(frame, 20, Camera::checksum(payload.data(), payload.size(), Camera::checksum(frame.data() + 4, 4)));
    size_t limit = cfg.frames_per_second > 0 ? kPacedBacklog : kFastBacklog;
    for (auto& [id, c] : conns)
        if (c.kind == Kind::Video && !c.closing && c.queued < limit) enqueue_locked(c, Out{frame});
    ++frames_sent;
}

}  // namespace ipcsim
