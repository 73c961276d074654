// TCP transport: connections with fixed options and a bounded non-blocking connect, single
// sends, and a request that polls for its answer for about two seconds.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "transport/transport.hpp"
#include "ipcsdk.h"

namespace {

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
    const uint32_t sent = IPCSdkTcpSend(fd, req, static_cast<int>(reqLen));
    if (sent == IPCSDK_ERR_TCP_SEND) return sent;
    if (!resp || respCap <= 0) return sent;
    for (int attempt = 0; attempt <= 10; ++attempt) {
        usleep(200 * 1000);
        const ssize_t r = recv(fd, resp, static_cast<size_t>(respCap), MSG_DONTWAIT);
        if (r < 0) continue;
        if (attempt < 10) return static_cast<uint32_t>(r);
        return ipc::kFail3;  // came in the last attempt: consumed, but too late
    }
    return ipc::kFail3;
}

}  // extern "C"
