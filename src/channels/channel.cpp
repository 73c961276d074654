#include "channels/channel.hpp"

#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "transport/transport.hpp"

namespace ipc::channel {

uint32_t& running(DeviceSlot& s, Which w) { return w == Which::Video ? s.videoRunning : s.reportRunning; }
int32_t& socket(DeviceSlot& s, Which w) { return w == Which::Video ? s.videoSocket : s.reportSocket; }
int32_t& fill(DeviceSlot& s, Which w) { return w == Which::Video ? s.videoFill : s.reportFill; }
ThreadKind kind(Which w) { return w == Which::Video ? ThreadKind::Video : ThreadKind::Report; }

namespace {

struct ThreadArgs {
    int index;
    uint32_t handle;
    uint32_t generation;
    Which which;
    Receiver receiver;
};

// The slot is checked first: once released (possibly by a callback on this very thread) its
// fields may already belong to the next login.
bool still_wanted(const ThreadArgs& a, DeviceSlot& s) {
    return slot_current(a.index, a.generation) && load(running(s, a.which)) != 0;
}

void* receive_thread(void* arg) {
    ThreadArgs a = *static_cast<ThreadArgs*>(arg);
    delete static_cast<ThreadArgs*>(arg);
    set_current_slot_thread(a.index, kind(a.which));
    DeviceSlot& s = g_DevManage[a.index];
    const ThreadKind k = kind(a.which);
    auto* buf = static_cast<uint8_t*>(std::malloc(kReceiveBuffer));
    if (!buf) {
        unregister_thread(a.index, k);
        return nullptr;
    }
    const int wakeFd = wake_fd(a.index, k);
    size_t held = 0;
    store(fill(s, a.which), 0);
    bool lost = false;
    while (still_wanted(a, s)) {
        const int fd = load(socket(s, a.which));
        if (fd == -1) break;
        pollfd p[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int ready = poll(p, wakeFd >= 0 ? 2 : 1, 1000);
        if (ready <= 0) continue;
        if (p[1].revents & POLLIN) {
            drain_wake(wakeFd);
            continue;
        }
        // Asks for all the free space; a full buffer asks for nothing, reads 0 and ends the
        // channel like a closed connection.
        const ssize_t got = recv(fd, buf + held, kReceiveBuffer - held, 0);
        if (got <= 0) {
            if (got < 0 && (errno == EINTR || errno == EAGAIN) && held < kReceiveBuffer) continue;
            std::printf(a.receiver.closeFormat, errno);
            close(fd);
            store(socket(s, a.which), -1);
            lost = true;
            break;
        }
        held += static_cast<size_t>(got);
        if (a.which == Which::Video) store(s.lastRecvTime, now_seconds());
        const size_t used = a.receiver.scan(a.index, a.generation, a.handle, buf, held);
        if (used) {
            std::memmove(buf, buf + used, held - used);
            held -= used;
        }
        if (slot_current(a.index, a.generation)) store(fill(s, a.which), static_cast<int32_t>(held));
    }
    std::free(buf);
    // Once the slot is being released its release closes the socket (after this thread has
    // gone, or at once when a callback on this thread released it).
    if (state(a.index).generation.load() == a.generation) {
        const int fd = load(socket(s, a.which));
        if (fd != -1) {
            close(fd);
            store(socket(s, a.which), -1);
        }
    }
    std::puts(a.receiver.exitLine);
    std::fflush(stdout);
    if (lost && a.receiver.lost && slot_current(a.index, a.generation)) a.receiver.lost(a.index, s);
    unregister_thread(a.index, k);
    return nullptr;
}

}  // namespace

int64_t start(uint32_t handle, Which w, const Receiver& receiver) {
    if (handle == 0) return IPCSDK_ERR_BAD_HANDLE;
    SlotUse use(handle);
    if (!use) return IPCSDK_ERR_BAD_HANDLE;
    DeviceSlot& s = *use.slot();
    const int index = use.index();
    const ThreadKind k = kind(w);
    // From the channel's own callback the running receiver cannot be waited for: refused.
    if (is_current_slot_thread(index, k)) return -1;
    // One receiver per channel: a running one is stopped and waited for first.
    store(running(s, w), 0u);
    wake(index, k);
    wait_receiver_gone(index, k);

    store(running(s, w), 1u);
    const int fd = IPCSdkTcpConnect(ntohl(load(s.deviceAddr)), IPCSDK_CHANNEL_PORT, 10);
    store(socket(s, w), static_cast<int32_t>(fd));
    if (fd < 0) return -1;

    // The announcement uses the slot's buffers, which the commands use too: hold the semaphore
    // for this one exchange.
    if (use.acquire()) {
        ServerConnTypeInfo info;
        std::memset(&info, 0, sizeof info);
        info.connType = (w == Which::Video) ? 2 : 1;
        uint32_t len = 0;
        IPCPackServerConnTypeInfo(&info, s.reqBuf, &len);
        s.reqLen = len;
        s.respLen = kCmdBuf;
        IPCSdk2usock2(fd, 0, 3, s.reqBuf, len, s.respBuf, &s.respLen);
        use.release();
    }
    if (!register_thread(index, use.generation(), k)) return -1;
    auto* args = new ThreadArgs{index, handle, use.generation(), w, receiver};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t tid;
    const int rc = pthread_create(&tid, &attr, receive_thread, args);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete args;
        unregister_thread(index, k);
        return -1;
    }
    return fd;
}

uint32_t stop(uint32_t handle, Which w) {
    if (handle == 0) return IPCSDK_ERR_BAD_HANDLE;
    SlotUse use(handle);
    if (!use) return IPCSDK_ERR_BAD_HANDLE;
    store(running(*use.slot(), w), 0u);
    wake(use.index(), kind(w));
    return IPCSDK_OK;
}

}  // namespace ipc::channel
