// Local request channel for hosts: a Unix-domain datagram socket bound to a host-chosen path,
// requests to the fixed peer "/tmp/dbgServer", answers awaited for about 4 seconds and taken
// as they arrive. As on the UDP transport a lost answer costs its own request only: datagrams
// waiting before a request are discarded, and while an answer is expected late, one that does
// not fit the request is skipped. A send waits for room in the peer's queue, at most kSendTimeout.
#include <dirent.h>
#include <ipcsdk.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

#include "log/log.hpp"
#include "transport/transport.hpp"

namespace {

constexpr size_t kMaxName = 19;
constexpr int kAttempts = 401;
constexpr auto kWindow = std::chrono::milliseconds(10);
constexpr timeval kSendTimeout{3, 0};

// Everything the channel keeps, process-wide. The lock serialises init, uninit, removal and
// whole requests, so two concurrent requests cannot read each other's answers.
struct Channel {
    std::mutex mutex;
    int localSocket = -1;
    char conflocateName[kMaxName + 1] = {};
    char peerName[sizeof(sockaddr_un::sun_path)] = {};
    sockaddr_un destination{};
    int unixStaleReplyCount = 0;
};

Channel g_ch;

void error_line(const char* format, auto... args) {
    IPCSdkError(format, args...);
    ipc::log::syslog_line(ipc::log::kErr, format, args...);
}

// Removes every non-directory entry whose path begins with the bound name, like "rm NAME*"
// but without a shell: the name is taken literally, never as a pattern.
int remove_prefixed_files() {
    std::string_view name(g_ch.conflocateName);
    if (name.empty()) return -1;
    const size_t slash = name.rfind('/');
    char dir[kMaxName + 2];
    std::string_view prefix = name;
    if (slash == std::string_view::npos) {
        std::strcpy(dir, ".");
    } else {
        const size_t dirLen = slash == 0 ? 1 : slash;
        std::memcpy(dir, name.data(), dirLen);
        dir[dirLen] = '\0';
        prefix = name.substr(slash + 1);
    }
    DIR* d = opendir(dir);
    if (!d) return 0;
    const int dfd = dirfd(d);
    while (const dirent* e = readdir(d)) {
        std::string_view entry(e->d_name);
        if (!entry.starts_with(prefix)) continue;
        if (prefix.empty() && entry.starts_with('.')) continue;  // a bare "*" skips hidden names
        if (e->d_type == DT_DIR) continue;
        unlinkat(dfd, e->d_name, 0);  // fails harmlessly on a directory of unknown type
    }
    closedir(d);
    return 0;
}

}  // namespace

extern "C" {

IPCSDK_API int32_t IPCSdkUnixInit(const char* conflocateName) {
    std::lock_guard lock(g_ch.mutex);
    g_ch.localSocket = -1;  // an earlier socket is abandoned, not closed
    g_ch.conflocateName[0] = '\0';
    if (!conflocateName) {
        error_line("%s,%d,conflocateName is null\n", "IPCSdkUnixInit", __LINE__);
        return -1;
    }
    const size_t len = std::strlen(conflocateName);
    if (len == 0 || len > kMaxName) {
        error_line("%s,%d,conflocateName:[%s]\n", "IPCSdkUnixInit", __LINE__, conflocateName);
        return -1;
    }
    std::memcpy(g_ch.conflocateName, conflocateName, len + 1);
    if (g_ch.peerName[0] == '\0') std::strcpy(g_ch.peerName, "/tmp/dbgServer");

    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    unlink(g_ch.conflocateName);
    sockaddr_un local{};
    local.sun_family = AF_UNIX;
    std::snprintf(local.sun_path, sizeof local.sun_path, "%s", g_ch.conflocateName);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &kSendTimeout, sizeof kSendTimeout);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        remove_prefixed_files();
        close(fd);
        return -1;
    }
    g_ch.localSocket = fd;
    g_ch.destination = sockaddr_un{};
    g_ch.destination.sun_family = AF_UNIX;
    std::snprintf(g_ch.destination.sun_path, sizeof g_ch.destination.sun_path, "%s", g_ch.peerName);
    return 0;
}

IPCSDK_API int32_t IPCSdkUnixUninit(void) {
    std::lock_guard lock(g_ch.mutex);
    if (g_ch.localSocket != -1) close(g_ch.localSocket);
    g_ch.localSocket = -1;
    if (g_ch.conflocateName[0] != '\0') unlink(g_ch.conflocateName);
    return 0;
}

IPCSDK_API int remove_confargs_file(void) {
    std::lock_guard lock(g_ch.mutex);
    return remove_prefixed_files();
}

IPCSDK_API int32_t IPCSdkUnixRequest(const uint8_t* req, uint32_t reqLen, uint8_t* resp, int respCap) {
    if (!req || reqLen == 0) return -1;
    std::lock_guard lock(g_ch.mutex);
    if (g_ch.localSocket == -1) return -9;

    // Whatever is waiting answers requests that gave up.
    uint8_t scratch[64];
    while (recv(g_ch.localSocket, scratch, sizeof scratch, MSG_DONTWAIT) >= 0)
        if (g_ch.unixStaleReplyCount > 0) IPCSdkError("reduce cmd timeout num: %d\n", --g_ch.unixStaleReplyCount);

    const ssize_t sent = sendto(g_ch.localSocket, req, reqLen, MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&g_ch.destination), sizeof g_ch.destination);
    if (sent != static_cast<ssize_t>(reqLen)) {
        const int err = errno;
        close(g_ch.localSocket);
        g_ch.localSocket = -1;
        error_line("send args message failed , ret = %d , errno %d,%s\n", -1, err, std::strerror(err));
        return -1;
    }
    if (!resp || respCap <= 0) return static_cast<int32_t>(sent);

    const ipc::Clock::time_point start = ipc::Clock::now();
    for (int attempt = 0; attempt < kAttempts;) {
        const ipc::Clock::time_point due = start + (attempt + 1) * kWindow;
        const bool ready = ipc::wait_readable(g_ch.localSocket, due);
        const ssize_t got = recv(g_ch.localSocket, resp, static_cast<size_t>(respCap), MSG_DONTWAIT);
        if (got < 0) {
            if (!ready) ++attempt;
            continue;
        }
        if (ipc::Clock::now() >= due) ++attempt;
        if (g_ch.unixStaleReplyCount > 0 && !ipc::answers_request(resp, static_cast<size_t>(got), req, reqLen)) {
            IPCSdkError("reduce cmd timeout num: %d\n", --g_ch.unixStaleReplyCount);
            continue;
        }
        g_ch.unixStaleReplyCount = 0;  // an earlier late answer that has not come is given up
        if (attempt >= kAttempts - 1) break;  // consumed, but too late to count as the answer
        // Bytes 12..15 are only this datagram's when it holds a whole header.
        if (got >= static_cast<ssize_t>(ipc::kHeaderSize) &&
            static_cast<uint64_t>(got) == uint64_t{ipc::be32(resp + 12)} + ipc::kHeaderSize)
            return static_cast<int32_t>(got);
        return -2;
    }
    g_ch.unixStaleReplyCount = 1;
    IPCSdkError("add cmd timeout num: %d\n", g_ch.unixStaleReplyCount);
    return -2;
}

IPCSDK_API void DumpData(const char* data, int len) {
    IPCSdkDebug("recv data len: %d\n", len);
    if (len < 16 || !data) return;
    // Bytes widen as signed characters whatever the platform's char, so 0x80 reads ffffff80.
    auto b = [data](int i) { return static_cast<unsigned>(static_cast<int>(static_cast<signed char>(data[i]))); };
    for (int row = 0; row < 16; row += 8)
        IPCSdkDebug("%x %x %x %x %x %x %x %x\n", b(row), b(row + 1), b(row + 2), b(row + 3), b(row + 4),
                    b(row + 5), b(row + 6), b(row + 7));
}

}  // extern "C"
