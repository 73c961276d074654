// TCP transport: connections with fixed options and a bounded non-blocking connect, single
// sends, and a request that waits for its answer for about two seconds. Answers are read
// message by message (each header gives its length), so a late, partial, oversized or garbled
// answer costs its own command only and the connection is never left an answer behind.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "core/slots.hpp"
#include "transport/transport.hpp"

namespace {

using ipc::StreamCarry;

constexpr int kAttempts = 11;
constexpr auto kWindow = std::chrono::milliseconds(200);
constexpr int kFinishSlices = 4;
constexpr int kFinishSliceMs = 50;
constexpr uint32_t kMaxMessage = IPCSDK_CMD_BUF_SIZE;  // no answer is longer than an answer buffer

// The answer a request is waiting for, filled as its bytes arrive.
struct Answer {
    uint8_t* buf;
    uint32_t cap;
    const uint8_t* req;
    uint32_t reqLen;
    uint32_t stored = 0;    // bytes of the answer in buf
    bool reading = false;   // the message in progress is the answer
};

enum class Pump { Idle, Closed, Done };

// Consumes queued bytes up to the next possible message start (0x5B), without waiting.
bool skip_to_magic(int fd) {
    uint8_t scratch[4096];
    const ssize_t n = recv(fd, scratch, sizeof scratch, MSG_PEEK | MSG_DONTWAIT);
    if (n <= 0) return false;
    const void* at = std::memchr(scratch, 0x5B, static_cast<size_t>(n));
    const size_t drop = at ? static_cast<size_t>(static_cast<const uint8_t*>(at) - scratch) : static_cast<size_t>(n);
    if (drop > 0 && recv(fd, scratch, drop, MSG_DONTWAIT) <= 0) return false;
    return true;
}

// A header that starts no message (wrong magic, or a length no answer buffer could hold) is
// not waited for: keep its bytes from the next possible message start on.
void resync(StreamCarry& c) {
    uint32_t i = 1;
    while (i < 16 && !(c.header[i] == 0x5B && (i == 15 || c.header[i + 1] == 0x5A))) ++i;
    std::memmove(c.header, c.header + i, 16 - i);
    c.have = 16 - i;
}

// Reads what the connection holds now, message by message. Messages are discarded, except the
// one that answers `a` (while the connection expects a late answer, only one that fits the
// request; the late one is skipped and the expectation ends).
Pump pump(int fd, StreamCarry& c, Answer* a, int& late) {
    uint8_t scratch[4096];
    for (;;) {
        ssize_t r;
        if (c.skip > 0) {
            const bool keep = a && a->reading && a->stored < a->cap;
            uint8_t* dst = keep ? a->buf + a->stored : scratch;
            const uint64_t room = keep ? a->cap - a->stored : sizeof scratch;
            r = recv(fd, dst, static_cast<size_t>(std::min<uint64_t>(room, c.skip)), MSG_DONTWAIT);
            if (r == 0) return Pump::Closed;
            if (r < 0) return Pump::Idle;
            if (keep) a->stored += static_cast<uint32_t>(r);
            c.skip -= static_cast<uint64_t>(r);
            if (c.skip == 0 && a && a->reading) return Pump::Done;
            continue;
        }
        if (c.have == 0 && !skip_to_magic(fd)) {
            char probe;
            r = recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
            return r == 0 ? Pump::Closed : Pump::Idle;
        }
        r = recv(fd, c.header + c.have, 16 - c.have, MSG_DONTWAIT);
        if (r == 0) return Pump::Closed;
        if (r < 0) return Pump::Idle;
        c.have += static_cast<uint32_t>(r);
        if (c.have < 16) continue;
        const uint32_t len = ipc::be32(c.header + 12);
        if (c.header[0] != 0x5B || c.header[1] != 0x5A || len > kMaxMessage - 16) {
            resync(c);
            continue;
        }
        c.have = 0;
        c.skip = len;
        if (a && !(late > 0 && !ipc::answers_request(c.header, 16, a->req, a->reqLen))) {
            a->stored = std::min<uint32_t>(16, a->cap);
            std::memcpy(a->buf, c.header, a->stored);
            a->reading = true;
            if (len == 0) return Pump::Done;
        } else {
            late = 0;  // a whole message that nobody waits for any more
        }
    }
}

// Send and wait: 11 windows of 200 ms, the answer taken as soon as its last byte arrives. An
// answer completed in the last window is consumed but too late (-3). With no answer at all the
// connection expects the late one; a message left half read is finished and discarded by the
// next exchange.
uint32_t request(int fd, StreamCarry& c, int& late, bool drainFirst, const void* req, uint32_t reqLen, void* resp,
                 int respCap) {
    // Whatever is already waiting answers requests that gave up: discarded before the send. A
    // message left half read is given a short while to finish; a fragment that stays one is
    // forgotten, so it can never be glued to the next answer.
    if (drainFirst) {
        for (int i = 0; pump(fd, c, nullptr, late) == Pump::Idle && (c.have || c.skip) && i < kFinishSlices; ++i) {
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, kFinishSliceMs);
        }
        c = StreamCarry{};
    }
    const uint32_t sent = IPCSdkTcpSend(fd, req, static_cast<int>(reqLen));
    if (sent == IPCSDK_ERR_TCP_SEND) return sent;
    if (!resp || respCap <= 0) return sent;
    Answer a{static_cast<uint8_t*>(resp), static_cast<uint32_t>(respCap), static_cast<const uint8_t*>(req), reqLen};
    const ipc::Clock::time_point start = ipc::Clock::now();
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const ipc::Clock::time_point due = start + (attempt + 1) * kWindow;
        do {
            const Pump p = pump(fd, c, &a, late);
            if (p == Pump::Done) {
                late = 0;
                return attempt < kAttempts - 1 ? a.stored : ipc::kFail3;
            }
            if (p == Pump::Closed) return 0;
        } while (ipc::wait_readable(fd, due));
    }
    late = (a.reading || c.have > 0) ? 0 : 1;
    std::memset(resp, 0, static_cast<size_t>(respCap));
    return ipc::kFail3;
}

void print_connect_failure(uint32_t addr, uint16_t port) {
    const int e = errno;
    std::printf("ERROR:Tcp connect to (0x%x:%d) failed. %d(%s)\n", addr, port, e, std::strerror(e));
}

sockaddr_in destination(uint32_t addr, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(addr);
    return to;
}

}  // namespace

extern "C" {

IPCSDK_API int IPCSdkTcpExist(void) { return 1; }

IPCSDK_API int IPCSdkTcpConnect(uint32_t addr, uint16_t port, int timeoutSeconds) {
    int fd = -1;
    for (int i = 0; i < 1000 && fd <= 0; ++i) fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd <= 0) return -1;

    const int off = 0, on = 1, bufSize = 65536;
    const linger lin{1, 0};
    struct Option {
        int level, name;
        const void* value;
        socklen_t size;
    } const options[] = {
        {SOL_SOCKET, SO_REUSEADDR, &off, sizeof off},  {SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on},
        {SOL_SOCKET, SO_LINGER, &lin, sizeof lin},     {IPPROTO_TCP, TCP_NODELAY, &on, sizeof on},
        {SOL_SOCKET, SO_SNDBUF, &bufSize, sizeof bufSize}, {SOL_SOCKET, SO_RCVBUF, &bufSize, sizeof bufSize},
    };
    for (const Option& o : options) {
        if (setsockopt(fd, o.level, o.name, o.value, o.size) != 0) {
            std::printf("%s:%d setsockopt() failed.\n", "IPCSdkTcpConnect", __LINE__);
            close(fd);
            return -1;
        }
    }
    const sockaddr_in to = destination(addr, port);
    const int flags = fcntl(fd, F_GETFL, 0);
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        std::printf("%s:%d fcntl() failed.\n", "IPCSdkTcpConnect", __LINE__);
        close(fd);
        return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        fcntl(fd, F_SETFL, flags);
        return fd;
    }
    if (errno != EINPROGRESS) {
        print_connect_failure(addr, port);
        close(fd);
        return -1;
    }
    pollfd p{fd, POLLIN | POLLOUT, 0};
    const int ready = poll(&p, 1, timeoutSeconds > 0 ? timeoutSeconds * 1000 : -1);
    // Exactly one indication (writable) means the connect finished; a refused connect also
    // reports readable, a timeout none.
    const bool readable = ready > 0 && (p.revents & (POLLIN | POLLERR | POLLHUP));
    const bool writable = ready > 0 && (p.revents & POLLOUT);
    if (ready <= 0 || (readable && writable) || (!readable && !writable)) {
        print_connect_failure(addr, port);
        close(fd);
        return -1;
    }
    int pending = 0;
    socklen_t len = sizeof pending;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &len) != 0 || pending != 0) {
        print_connect_failure(addr, port);
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, flags);
    return fd;
}

IPCSDK_API int IPCSdkTcpConnect2(uint32_t addr, uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        std::printf("%s:%d socket() failed.\n", "IPCSdkTcpConnect2", __LINE__);
        return -1;
    }
    const sockaddr_in to = destination(addr, port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
        print_connect_failure(addr, port);
        close(fd);
        return -1;
    }
    return fd;
}

IPCSDK_API uint32_t IPCSdkTcpSend(int fd, const void* buf, int len) {
    if (len <= 0 || fd == -1 || !buf) return 0;
    // MSG_NOSIGNAL: a camera that closed the connection must not end the host with SIGPIPE.
    const ssize_t r = send(fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL);
    if (r < 0) {
        std::printf("%s,%s,%d,errno=%d\n", "IPCSdkTcp", "IPCSdkTcpSend", __LINE__, errno);
        return IPCSDK_ERR_TCP_SEND;
    }
    return static_cast<uint32_t>(r);
}

IPCSDK_API uint32_t IPCSdkTcpRequest(int fd, const void* req, uint32_t reqLen, void* resp, int respCap) {
    if (!req || reqLen == 0) return ipc::kFail4;
    if (fd == -1) return ipc::kFail1;
    const int index = ipc::command_slot(fd);
    if (index < 0) {
        // A channel connection: one answer message, nothing read beyond it.
        StreamCarry carry;
        int late = 0;
        return request(fd, carry, late, false, req, reqLen, resp, respCap);
    }
    ipc::SlotState& st = ipc::state(index);
    std::lock_guard<std::mutex> lock(st.exchange);
    return request(fd, st.carry, st.lateAnswers, true, req, reqLen, resp, respCap);
}

}  // extern "C"
