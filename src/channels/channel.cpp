#include "channels/channel.hpp"

#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "transport/transport.hpp"

namespace ipc::channel {

uint32_t& running(DeviceSlot& s, Which w) { return w == Which::Video ? s.videoRunning : s.reportRunning; }
int32_t& socket(DeviceSlot& s, Which w) { return w == Which::Video ? s.videoSocket : s.reportSocket; }
int32_t& fill(DeviceSlot& s, Which w) { return w == Which::Video ? s.videoFill : s.reportFill; }
ThreadKind kind(Which w) { return w == Which::Video ? ThreadKind::Video : ThreadKind::Report; }

// The slot is checked first: once released (possibly by a callback on this very thread) its
// fields may already belong to the next login.
bool wanted(const Context& c) {
    return slot_current(c.index, c.generation) && channel_state(c.index, kind(c.which)).epoch.load() == c.epoch &&
           load(running(g_DevManage[c.index], c.which)) != 0;
}

namespace {

struct ThreadArgs {
    Context ctx;
    int fd;        // the receiver's own connection: it closes it when it ends
    int wakeFd;    // its wake-up descriptor, registered with the channel
    uint8_t* buf;  // its receive buffer
    Receiver receiver;
};

// Gives up a connection: the slot's field forgets it only while it still names it (a newer
// start may have stored its own) and the slot still holds this login, then it is closed. In
// this order the descriptor number cannot have been reused by the time the field is compared.
void close_connection(const Context& c, int fd) {
    if_current(c.index, c.generation, [&] {
        int expected = fd;
        std::atomic_ref<int32_t>(socket(g_DevManage[c.index], c.which)).compare_exchange_strong(expected, -1);
    });
    close(fd);
}

// Reads the connection until the receiver is no longer wanted or the camera closes it.
// True when the camera closed it (or the buffer filled up); the connection is then closed.
bool receive_loop(const ThreadArgs& a) {
    const int wakeFd = a.wakeFd;
    uint8_t* buf = a.buf;
    const Context& c = a.ctx;
    DeviceSlot& s = g_DevManage[c.index];
    size_t held = 0;
    store(fill(s, c.which), 0);
    while (wanted(c)) {
        pollfd p[2] = {{a.fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int ready = poll(p, wakeFd >= 0 ? 2 : 1, 1000);
        if (ready <= 0) continue;
        if (p[1].revents & POLLIN) {
            drain_wake(wakeFd);
            continue;
        }
        // Asks for all the free space; a full buffer asks for nothing, reads 0 and ends the
        // channel like a closed connection.
        const ssize_t got = recv(a.fd, buf + held, kReceiveBuffer - held, 0);
        if (got <= 0) {
            if (got < 0 && (errno == EINTR || errno == EAGAIN) && held < kReceiveBuffer) continue;
            std::printf(a.receiver.closeFormat, errno);
            close_connection(c, a.fd);
            return true;
        }
        held += static_cast<size_t>(got);
        if (c.which == Which::Video) store(s.lastRecvTime, now_seconds());
        const size_t used = a.receiver.scan(c, buf, held);
        if (used) {
            std::memmove(buf, buf + used, held - used);
            held -= used;
        }
        if_current(c.index, c.generation, [&] { store(fill(s, c.which), static_cast<int32_t>(held)); });
    }
    close_connection(c, a.fd);
    return false;
}

void* receive_thread(void* arg) {
    const ThreadArgs a = *static_cast<ThreadArgs*>(arg);
    delete static_cast<ThreadArgs*>(arg);
    const Context& c = a.ctx;
    const ThreadKind k = kind(c.which);
    set_current_slot_thread(c.index);
    bool lost = false;
    // A receiver that superseded a running one (possibly from that one's own callback) starts
    // reading once the old one has gone; a receiver superseded meanwhile never starts.
    const auto still_wanted = [](const void* p) { return wanted(static_cast<const ThreadArgs*>(p)->ctx); };
    if (wait_sole_receiver(c.index, k, still_wanted, &a))
        lost = receive_loop(a);
    else
        close_connection(c, a.fd);
    unmap_buffer(a.buf, kReceiveBuffer);
    remove_receiver_wake(c.index, k, a.wakeFd);
    std::puts(a.receiver.exitLine);
    std::fflush(stdout);
    if (lost && a.receiver.lost && slot_current(c.index, c.generation)) a.receiver.lost(c.index, g_DevManage[c.index]);
    unregister_thread(c.index, k);
    return nullptr;
}

// The connection type announcement, on buffers of its own: no slot buffer, no semaphore.
void announce(int index, int fd, Which w) {
    ServerConnTypeInfo info;
    std::memset(&info, 0, sizeof info);
    info.connType = (w == Which::Video) ? 2 : 1;
    uint8_t request[sizeof info];
    uint32_t len = 0;
    IPCPackServerConnTypeInfo(&info, request, &len);
    uint8_t answer[64];
    const uint32_t cap = sizeof answer;
    exchange(fd, 0, 3, request, len, answer, cap, slot_mode(index));
}

}  // namespace

int64_t start(uint32_t handle, Which w, const Receiver& receiver) {
    if (handle == 0) return IPCSDK_ERR_BAD_HANDLE;
    SlotUse use(handle);
    if (!use) return IPCSDK_ERR_BAD_HANDLE;
    DeviceSlot& s = *use.slot();
    const int index = use.index();
    const ThreadKind k = kind(w);
    ChannelState& ch = channel_state(index, k);
    std::lock_guard<std::mutex> lock(ch.start);
    // A new epoch supersedes the running receiver, which closes its connection and ends.
    const uint32_t epoch = ch.epoch.fetch_add(1) + 1;
    store(running(s, w), 1u);
    wake(index, k);

    const int fd = IPCSdkTcpConnect(ntohl(load(s.deviceAddr)), IPCSDK_CHANNEL_PORT, 10);
    store(socket(s, w), static_cast<int32_t>(fd < 0 ? -1 : fd));
    if (fd < 0) return -1;
    announce(index, fd, w);

    // Everything the receiver needs is had here, so that a failure is this call's -1.
    const Context ctx{index, handle, use.generation(), epoch, w};
    uint8_t* buf = map_buffer(kReceiveBuffer);
    const int wakeFd = buf ? add_receiver_wake(index, k) : -1;
    auto* args = wakeFd >= 0 ? new (std::nothrow) ThreadArgs{ctx, fd, wakeFd, buf, receiver} : nullptr;
    const bool registered = args && register_thread(index, use.generation(), k);
    pthread_t tid;
    if (registered) {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        const int rc = pthread_create(&tid, &attr, receive_thread, args);
        pthread_attr_destroy(&attr);
        if (rc == 0) return fd;
        unregister_thread(index, k);
    }
    delete args;
    remove_receiver_wake(index, k, wakeFd);
    unmap_buffer(buf, kReceiveBuffer);
    close_connection(ctx, fd);
    return -1;
}

uint32_t stop(uint32_t handle, Which w) {
    if (handle == 0) return IPCSDK_ERR_BAD_HANDLE;
    SlotUse use(handle);
    if (!use) return IPCSDK_ERR_BAD_HANDLE;
    store(running(*use.slot(), w), 0u);
    channel_state(use.index(), kind(w)).epoch.fetch_add(1);
    wake(use.index(), kind(w));
    return IPCSDK_OK;
}

}  // namespace ipc::channel
