// UDP transport: one unbound socket per camera, one datagram per request to port 5001, and a
// short bounded polling receive that drops answers which arrive after their command gave up.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "core/slots.hpp"
#include "log/log.hpp"
#include "transport/transport.hpp"

namespace ipc {
namespace {

std::atomic<int> g_staleReplies{0};

bool is_command_socket(int fd) {
    for (auto& s : g_DevManage)
        if (load(s.cmdSocket) == fd) return true;
    return false;
}

// Takes one late answer off the counter if there is one still expected.
bool consume_stale(int& remaining) {
    int v = g_staleReplies.load();
    while (v > 0)
        if (g_staleReplies.compare_exchange_weak(v, v - 1)) {
            remaining = v - 1;
            return true;
        }
    return false;
}

}  // namespace

}  // namespace ipc

using namespace ipc;

extern "C" {

IPCSDK_API int IPCSdkUdpExist(void) { return 1; }

IPCSDK_API int32_t IPCSdkUdpConnect(uint32_t addr, uint16_t port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::printf("%s:%d socket() failed.\n", "IPCSdkUdpConnect", __LINE__);
        return -1;
    }
    if (addr == 0 || port == 0) {
        std::printf("%s:%d Invalid address[0x%x] and port[%d].\n", "IPCSdkUdpConnect", __LINE__, addr, port);
        close(fd);
        return -1;
    }
    return fd;
}

IPCSDK_API int32_t IPCSdkUdpSend(int fd, const void* buf, int len) {
    uint32_t dest = load(g_DevManage[0].deviceAddr);
    for (int i = kSlots - 1; i >= 0; --i)
        if (load(g_DevManage[i].cmdSocket) == fd) {
            dest = load(g_DevManage[i].deviceAddr);
            break;
        }
    if (len <= 0 || fd == -1 || !buf) return 0;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(IPCSDK_UDP_PORT);
    to.sin_addr.s_addr = dest;
    const int r = static_cast<int>(
        sendto(fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof to));
    if (r < 0) std::printf("nRet=%d,errno=%d\n", r, errno);
    return r;
}

IPCSDK_API int32_t IPCSdkUdpRecv(int fd, void* buf, int len) {
    if (fd == -1) return -1;
    if (!is_command_socket(fd)) return -1;
    for (int attempt = 0; attempt < 41; ++attempt) {
        usleep(10 * 1000);
        const int r = static_cast<int>(recv(fd, buf, len > 0 ? static_cast<size_t>(len) : 0, MSG_DONTWAIT));
        if (r < 0) {
            std::printf("nRet=%d,errno=%d\n", r, errno);
            continue;
        }
        int remaining;
        if (consume_stale(remaining)) {
            IPCSdkError("reduce cmd timeout num: %d\n", remaining);
            continue;
        }
        return r;
    }
    const int v = g_staleReplies.fetch_add(1) + 1;
    IPCSdkError("add cmd timeout num: %d\n", v);
    return -2;
}

IPCSDK_API int32_t IPCSdkUdpRequest(int fd, const void* req, uint32_t reqLen, void* resp, uint32_t respCap) {
    if (!req || reqLen == 0) return -1;
    const int32_t sent = IPCSdkUdpSend(fd, req, static_cast<int>(reqLen));
    if (!resp || respCap == 0 || sent < 0) return sent;
    const int32_t got = IPCSdkUdpRecv(fd, resp, static_cast<int>(respCap));
    if (got >= static_cast<int32_t>(kHeaderSize) &&
        static_cast<uint64_t>(got) == uint64_t{be32(static_cast<const uint8_t*>(resp) + 12)} + kHeaderSize)
        return got;
    return -2;
}

}  // extern "C"
