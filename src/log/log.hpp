// Internal diagnostics helpers shared by the library's units.
#pragma once

#include <syslog.h>

#include <cstdarg>

namespace ipc::log {

// Priorities of the library's system log lines: facility user, error or debug.
constexpr int kErr = LOG_USER | LOG_ERR;      // 11
constexpr int kDebug = LOG_USER | LOG_DEBUG;  // 15

// Formats into a bounded stack buffer and hands the text to syslog() as "%s", so the formatted
// text is never read as a format again. Never calls openlog().
void syslog_line(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The body of IPCSdkDebug and IPCSdkError: at most 510 characters, a leading "tyfol" becomes
// "pmqvx", then the text and a "\n" go out as two datagrams.
void vdebug_line(const char* format, va_list ap) __attribute__((format(printf, 1, 0)));

}  // namespace ipc::log
