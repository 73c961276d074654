#include "testenv.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace testenv {
namespace {

std::string g_workdir;
std::mutex g_syslogMutex;
std::vector<std::string> g_syslog;

}  // namespace

const std::string& workdir() { return g_workdir; }

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

Run sh(const std::string& line, const std::string& input) {
    static std::atomic<int> n{0};
    const std::string base = workdir() + "/sh" + std::to_string(++n);
    std::ofstream(base + ".in") << input;
    const int rc = std::system(("{ " + line + "\n} <" + base + ".in >" + base + ".out 2>" + base + ".err").c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, read_file(base + ".out"), read_file(base + ".err")};
}

std::vector<std::string> syslog_lines() {
    std::lock_guard lock(g_syslogMutex);
    return g_syslog;
}

void clear_syslog() {
    std::lock_guard lock(g_syslogMutex);
    g_syslog.clear();
}

bool syslog_has(const std::string& text, int priority) {
    return std::ranges::count(syslog_lines(), std::to_string(priority) + " " + text) > 0;
}

DebugCapture::DebugCapture(bool background) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (fd_ < 0) return;
    int one = 1, big = 4 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_PASSCRED, &one, sizeof one);
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    sockaddr_un addr{AF_UNIX, "/tmp/pntSever"};
    unlink(addr.sun_path);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) close(std::exchange(fd_, -1));
    else if (background) thread_ = std::thread([this] { run(); });
}

DebugCapture::~DebugCapture() {
    if (fd_ < 0) return;
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    close(fd_);
    unlink("/tmp/pntSever");
}

void DebugCapture::run() {
    for (pollfd p{fd_, POLLIN, 0}; !stop_;)
        if (poll(&p, 1, 20) > 0) drain();
}

// Reads every datagram queued now (a local send completes into the queue); returns how many are kept.
size_t DebugCapture::drain() {
    std::lock_guard lock(mutex_);
    for (;;) {
        char buf[4096], ctrl[CMSG_SPACE(sizeof(ucred))];
        iovec iov{buf, sizeof buf};
        msghdr msg{nullptr, 0, &iov, 1, ctrl, sizeof ctrl, 0};
        const ssize_t n = recvmsg(fd_, &msg, MSG_DONTWAIT);
        if (n < 0) return got_.size();
        ucred cred{};  // the sender's, the one control message asked for
        if (cmsghdr* c = CMSG_FIRSTHDR(&msg); c && c->cmsg_type == SCM_CREDENTIALS)
            std::memcpy(&cred, CMSG_DATA(c), sizeof cred);
        // Other test processes running in parallel may send here too: keep only ours.
        if (cred.pid == getpid()) got_.emplace_back(buf, static_cast<size_t>(n));
    }
}

std::vector<std::string> DebugCapture::datagrams(int waitMs) {
    if (fd_ < 0) return {};
    if (drain() == 0 && waitMs > 0) {  // nothing yet: lines from other threads may be on their way
        std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
        drain();
    }
    std::lock_guard lock(mutex_);
    return got_;
}

std::vector<std::string> DebugCapture::lines(int waitMs) {
    auto out = datagrams(waitMs);
    std::erase(out, "\n");
    return out;
}

void DebugCapture::clear() {
    if (fd_ < 0) return;
    drain();
    std::lock_guard lock(mutex_);
    got_.clear();
}

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    path_ = g_workdir + "/stdout-capture.txt";
    int fd = open(path_.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
    saved_ = dup(1);
    dup2(fd, 1);
    close(fd);
}

StdoutCapture::~StdoutCapture() {
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    unlink(path_.c_str());
}

std::string StdoutCapture::text() {
    std::fflush(stdout);
    return read_file(path_);
}

}  // namespace testenv

// These definitions take precedence over the C library's: no test reaches the machine's log.
extern "C" void vsyslog(int priority, const char* format, va_list ap) {
    char buf[2048];
    std::vsnprintf(buf, sizeof buf, format, ap);
    std::lock_guard lock(testenv::g_syslogMutex);
    testenv::g_syslog.push_back(std::to_string(priority) + " " + buf);
}

extern "C" void syslog(int priority, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vsyslog(priority, format, ap);
    va_end(ap);
}

extern "C" void openlog(const char*, int, int) {}
extern "C" void closelog(void) {}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    char dir[] = "/tmp/ipcsdk-test-XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0) return 2;
    testenv::g_workdir = dir;
    const int result = RUN_ALL_TESTS();
    if (std::error_code ec; chdir("/") == 0) std::filesystem::remove_all(dir, ec);
    return result;
}
