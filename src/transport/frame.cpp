// Message frame and request exchange. Each exchange assembles its frame in a buffer of its
// own thread, so exchanges of different cameras run in parallel without sharing a buffer.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "core/slots.hpp"
#include "transport/transport.hpp"

namespace ipc {
namespace {

// Builds header + payload in the calling thread's frame buffer; returns the frame size.
uint8_t* frame_buffer() {
    thread_local uint8_t frame[kHeaderSize + kMaxFramePayload];
    return frame;
}

uint32_t build_frame(uint8_t* frame, uint8_t msgClass, uint8_t code, const void* payload, uint32_t len,
                     bool copy) {
    std::memset(frame, 0, kHeaderSize);
    frame[0] = 0x5B;
    frame[1] = 0x5A;
    frame[2] = 0x01;
    frame[3] = msgClass;
    frame[4] = code;
    put_be32(frame + 12, len);
    if (copy)
        std::memcpy(frame + kHeaderSize, payload, len);
    else if (len)
        std::memset(frame + kHeaderSize, 0, len);
    return kHeaderSize + len;
}

// The slot behind a table entry pointer, or -1 for memory outside the table.
int index_of(const DeviceSlot* slot) {
    // Compared as addresses: a host's own record is not part of the table.
    const auto at = reinterpret_cast<uintptr_t>(slot), first = reinterpret_cast<uintptr_t>(&g_DevManage[0]);
    if (at < first || at >= first + sizeof g_DevManage || (at - first) % sizeof(DeviceSlot) != 0) return -1;
    return static_cast<int>((at - first) / sizeof(DeviceSlot));
}

}  // namespace

// The answer buffer is cleared first, whatever the mode, so a failed exchange leaves it zero.
uint32_t exchange(int fd, uint8_t msgClass, uint8_t code, const void* payload, uint32_t len, void* resp,
                  uint32_t cap, int mode) {
    if (resp && cap) std::memset(resp, 0, cap);
    if (mode != 1 && mode != 2) return 0;
    if (len > kMaxFramePayload) return kFail1;
    uint8_t* frame = frame_buffer();
    const bool copy = payload != nullptr && len != 0;
    uint32_t size = build_frame(frame, msgClass, code, payload, len, copy);
    if (mode == 1) return static_cast<uint32_t>(IPCSdkUdpRequest(fd, frame, size, resp, cap));
    return IPCSdkTcpRequest(fd, frame, size, resp, static_cast<int>(cap));
}

int slot_mode(int index) {
    const int32_t mode = index >= 0 ? state(index).netMode.load() : -1;
    return mode > 0 ? mode : load(g_SdkNetMode);
}

bool wait_readable(int fd, Clock::time_point due) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(due - Clock::now()).count();
        if (left <= 0) return false;
        const timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        pollfd p{fd, POLLIN, 0};
        const int r = ppoll(&p, 1, &ts, nullptr);
        if (r == 0) return false;
        if (r < 0 && errno == EINTR) continue;
        if (r > 0 && (p.revents & (POLLIN | POLLHUP))) return true;
        if (r > 0 && (p.revents & POLLERR)) {
            // A pending socket error with nothing to read: clear it and keep waiting.
            int pending = 0;
            socklen_t len = sizeof pending;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &len) == 0) continue;
        }
        // A descriptor that cannot be waited on (closed meanwhile): the window passes unused.
        std::this_thread::sleep_until(due);
        return false;
    }
}

void give_up_broken_connection(DeviceSlot& slot, int fd, uint32_t result) {
    if (slot_mode(index_of(&slot)) != 2 || result != IPCSDK_ERR_TCP_SEND || fd < 0) return;
    int expected = fd;
    if (std::atomic_ref<int32_t>(slot.cmdSocket).compare_exchange_strong(expected, -1)) close(fd);
}

uint32_t command_exchange(DeviceSlot& slot, uint8_t msgClass, uint8_t code, const void* payload, uint32_t len,
                          void* resp, uint32_t cap) {
    const int fd = load(slot.cmdSocket);
    const uint32_t r = exchange(fd, msgClass, code, payload, len, resp, cap, slot_mode(index_of(&slot)));
    give_up_broken_connection(slot, fd, r);
    return r;
}

}  // namespace ipc

using namespace ipc;

extern "C" {

IPCSDK_API int32_t IPCSdkSockInit(LoginDeviceInfo* info, uint32_t timeoutSeconds) {
    if (!info) return -1;
    store(g_SdkNetMode, static_cast<int32_t>(info->netType));
    char text[65];
    std::memcpy(text, info->address, 64);
    text[64] = '\0';
    const uint32_t addr = ntohl(inet_addr(text));
    int32_t fd;
    if (info->netType == 1) {
        fd = IPCSdkUdpConnect(addr, IPCSDK_UDP_PORT);
    } else if (info->netType == 2) {
        fd = IPCSdkTcpConnect(addr, info->port, static_cast<int>(timeoutSeconds));
    } else {
        std::printf("ipc sdk net type(%d) error!!\n", static_cast<int>(info->netType));
        return -1;
    }
    store(g_SocketInitFlag, fd < 0 ? -1 : 1);
    return fd;
}

IPCSDK_API uint32_t IPCSdk2usock(DeviceSlot* slot, uint8_t msgClass, uint8_t code) {
    if (!slot) return kFail1;
    // The slot's fields are exported and writable by the host: never trust them beyond the
    // buffers they describe.
    const uint32_t len = (slot->reqBuf && slot->reqLen) ? slot->reqLen : 0;
    const uint32_t cap = (slot->respBuf && slot->respLen) ? std::min<uint32_t>(slot->respLen, kCmdBuf) : 0;
    const int mode = slot_mode(index_of(slot));
    if (mode != 1 && mode != 2) {
        if (cap) std::memset(slot->respBuf, 0, cap);
        return 0;
    }
    const uint32_t r = len > kCmdBuf ? kFail1
                                     : command_exchange(*slot, msgClass, code, slot->reqBuf, len,
                                                        cap ? slot->respBuf : nullptr, cap);
    slot->respLen = r;
    return r;
}

IPCSDK_API uint32_t IPCSdk2usock2(int fd, uint8_t msgClass, uint8_t code, const void* payload, uint32_t payloadLen,
                                  void* resp, uint32_t* respCapacity) {
    const uint32_t cap = (resp && respCapacity) ? *respCapacity : 0;
    return exchange(fd, msgClass, code, payload, payloadLen, cap ? resp : nullptr, cap, slot_mode(command_slot(fd)));
}

}  // extern "C"
