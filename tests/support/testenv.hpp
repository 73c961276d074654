// Per test process: a private working directory and loopback addresses; captured system log, debug datagrams, stdout.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testenv {

// Under a sanitizer resident memory is mostly the sanitizer's own: printed, not judged.
inline constexpr bool kSanitized = IPCSDK_TESTS_SANITIZED;

// The loopback address of this process's simulated camera n (0 to 372; 127.x.y.z, unique per pid).
std::string camera_ip(int n = 0);
// The whole content of a file ("" when missing).
std::string read_file(const std::string& path);
// The private temporary working directory of this process (the current directory at start).
const std::string& workdir();
// A shell command line run there, `input` on its standard input: its exit status and output.
struct Run { int status = -1; std::string out, err; };
Run sh(const std::string& line, const std::string& input = "");

// Lines the library sent to the system log, as "<priority> <text>"; intercepted, never reaching the machine's log.
std::vector<std::string> syslog_lines();
void clear_syslog();
bool syslog_has(const std::string& text, int priority);

// Binds "/tmp/pntSever" and keeps the datagrams this process sends there. `background` drains them at once on a
// thread (the kernel queues only a few per receiver); false leaves them queued until datagrams() or lines().
class DebugCapture {
public:
    explicit DebugCapture(bool background = true);
    ~DebugCapture();  // not copyable: it owns a thread
    bool ok() const { return fd_ >= 0; }
    // All datagrams received so far, waiting up to waitMs for the first pending one.
    std::vector<std::string> datagrams(int waitMs = 50);
    // The texts of the IPCSdkDebug/IPCSdkError lines (datagrams that are not the "\n" partner).
    std::vector<std::string> lines(int waitMs = 50);
    void clear();

private:
    void run();
    size_t drain();
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> got_;
    std::thread thread_;
};

// Redirects file descriptor 1 to a file for its lifetime; text() returns what was written.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    std::string text();

private:
    int saved_ = -1;
    std::string path_;
};

}  // namespace testenv
