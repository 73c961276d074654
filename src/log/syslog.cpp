#include "log/log.hpp"

#include <cstdio>

namespace ipc::log {

void syslog_line(int priority, const char* format, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    ::syslog(priority, "%s", buf);
}

}  // namespace ipc::log
