// Linked into the gateway that the tests run: the library's system log lines go to standard
// error (the gateway's log file in the test's directory), never to the machine's log.
#include <cstdarg>
#include <cstdio>

extern "C" void vsyslog(int priority, const char* format, va_list ap) {
    std::fprintf(stderr, "syslog <%d>: ", priority);
    std::vfprintf(stderr, format, ap);
}

extern "C" void syslog(int priority, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vsyslog(priority, format, ap);
    va_end(ap);
}

extern "C" void openlog(const char*, int, int) {}
extern "C" void closelog(void) {}
