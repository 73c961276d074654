// UDP transport: one unbound socket per camera, one datagram per request to port 5001, and a
// bounded receive in 41 windows of 10 ms that takes the answer the moment it arrives. A lost or
// late answer costs its own command only: each camera counts its own late answers, datagrams
// waiting before a request are discarded, and a late answer that arrives during the next
// command is told apart by its class and code. Datagrams from any other address are ignored.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/slots.hpp"
#include "log/log.hpp"
#include "transport/transport.hpp"

namespace ipc {
namespace {

constexpr int kAttempts = 41;
constexpr auto kWindow = std::chrono::milliseconds(10);

// Takes one expected late answer off the camera's count; lines as the count changes.
void drop_late(SlotState& st) {
    IPCSdkError("reduce cmd timeout num: %d\n", --st.lateAnswers);
}

// Receives one datagram without waiting; `fromCamera` tells whether it came from the camera's
// address (a stranger's datagram is consumed and then ignored by the callers).
ssize_t receive(int fd, void* buf, size_t len, uint32_t camera, bool& fromCamera) {
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    const ssize_t r = recvfrom(fd, buf, len, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLen);
    fromCamera = r >= 0 && from.sin_family == AF_INET && from.sin_addr.s_addr == camera;
    return r;
}

// Discards the datagrams already waiting on a command socket: they answer requests that gave up.
void discard_waiting(SlotState& st, int fd, uint32_t camera) {
    uint8_t scratch[64];  // the rest of a longer datagram is discarded with it
    bool fromCamera = false;
    while (receive(fd, scratch, sizeof scratch, camera, fromCamera) >= 0)
        if (fromCamera && st.lateAnswers > 0) drop_late(st);
}

// Waits for the answer. With a request, a datagram that answers another command is the late
// answer of an earlier one while the camera expects one, and is skipped; the expectation ends
// with this exchange. Without a request every datagram counts down the expected late answers.
// Each 10 ms window that passes without a datagram prints one would-block line.
int32_t poll_answer(SlotState& st, int fd, uint32_t camera, void* buf, int len, const uint8_t* req,
                    uint32_t reqLen) {
    const Clock::time_point start = Clock::now();
    const size_t cap = len > 0 ? static_cast<size_t>(len) : 0;
    for (int attempt = 0; attempt < kAttempts;) {
        const Clock::time_point due = start + (attempt + 1) * kWindow;
        const bool ready = wait_readable(fd, due);
        bool fromCamera = false;
        const int r = static_cast<int>(receive(fd, buf, cap, camera, fromCamera));
        if (r < 0) {
            if (ready) continue;
            std::printf("nRet=%d,errno=%d\n", r, errno);
            ++attempt;
            continue;
        }
        if (Clock::now() >= due) ++attempt;  // a window that took a datagram ends without a line
        if (!fromCamera) continue;
        if (st.lateAnswers > 0 &&
            (!req || !answers_request(static_cast<const uint8_t*>(buf), static_cast<size_t>(r), req, reqLen))) {
            drop_late(st);
            continue;
        }
        if (req) st.lateAnswers = 0;
        return r;
    }
    st.lateAnswers = req ? 1 : st.lateAnswers + 1;
    IPCSdkError("add cmd timeout num: %d\n", st.lateAnswers);
    return -2;
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
    const int index = command_slot(fd);
    if (index < 0) return -1;
    SlotState& st = state(index);
    std::lock_guard<std::mutex> lock(st.exchange);
    return poll_answer(st, fd, load(g_DevManage[index].deviceAddr), buf, len, nullptr, 0);
}

IPCSDK_API int32_t IPCSdkUdpRequest(int fd, const void* req, uint32_t reqLen, void* resp, uint32_t respCap) {
    if (!req || reqLen == 0) return -1;
    const int index = command_slot(fd);
    if (index < 0 || !resp || respCap == 0) {
        const int32_t sent = IPCSdkUdpSend(fd, req, static_cast<int>(reqLen));
        if (!resp || respCap == 0 || sent < 0) return sent;
        return -2;  // no command socket: nothing to receive on
    }
    // One exchange at a time per camera: login and commands share the socket.
    SlotState& st = state(index);
    std::lock_guard<std::mutex> lock(st.exchange);
    const uint32_t camera = load(g_DevManage[index].deviceAddr);
    discard_waiting(st, fd, camera);
    const int32_t sent = IPCSdkUdpSend(fd, req, static_cast<int>(reqLen));
    if (sent < 0) return sent;
    const int32_t got = poll_answer(st, fd, camera, resp, static_cast<int>(respCap), static_cast<const uint8_t*>(req), reqLen);
    if (got >= static_cast<int32_t>(kHeaderSize) &&
        static_cast<uint64_t>(got) == uint64_t{be32(static_cast<const uint8_t*>(resp) + 12)} + kHeaderSize)
        return got;
    std::memset(resp, 0, respCap);  // a failed exchange leaves no stray bytes behind
    return -2;
}

}  // extern "C"
