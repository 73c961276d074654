// Debug and error lines as datagrams to a local receiver at "/tmp/pntSever". Nobody in the
// library listens there; sends never block and a line nobody receives is simply lost.
#include <ipcsdk.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "log/log.hpp"

namespace {

// One lock over the socket's first-use creation and the shared message buffer.
std::mutex g_mutex;
int g_sock = -1;
sockaddr_un g_addr;
char g_message[1024];

}  // namespace

int debug_print(const char* format, ...) {
    std::lock_guard lock(g_mutex);
    if (g_sock == -1) {
        g_sock = socket(AF_UNIX, SOCK_DGRAM, 0);
        std::memset(&g_addr, 0, sizeof g_addr);
        g_addr.sun_family = AF_UNIX;
        std::strcpy(g_addr.sun_path, "/tmp/pntSever");
        if (g_sock < 0) {
            g_sock = -1;  // retried by the next call
            std::printf("%s:%d open_unix_socket() failed.\n", "debug_print", __LINE__);
        }
    }
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(g_message, sizeof g_message, format, ap);
    va_end(ap);
    if (g_sock < 0) return -1;
    return static_cast<int>(sendto(g_sock, g_message, std::strlen(g_message), MSG_DONTWAIT,
                                   reinterpret_cast<const sockaddr*>(&g_addr), sizeof g_addr));
}

namespace ipc::log {

void vdebug_line(const char* format, va_list ap) {
    char buf[512];
    std::vsnprintf(buf, sizeof buf - 1, format, ap);  // at most 510 characters
    if (std::strncmp(buf, "tyfol", 5) == 0) std::memcpy(buf, "pmqvx", 5);
    debug_print("%s", buf);
    debug_print("\n");
}

}  // namespace ipc::log

void IPCSdkDebug(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    ipc::log::vdebug_line(format, ap);
    va_end(ap);
}

void IPCSdkError(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    ipc::log::vdebug_line(format, ap);
    va_end(ap);
}
