// Local datagram channel: name checks and bound files, request results against a peer bound at
// the fixed path "/tmp/dbgServer", answer size checks, timeout and late-answer counting,
// serialised concurrent requests, prefix removal and the frame dump.
#include <gtest/gtest.h>
#include <ipcsdk.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "testenv.hpp"

namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr const char* kPeerPath = "/tmp/dbgServer";

// Paths of this process: "/tmp/ipcu<pid>_..." (17 characters at most before the suffix).
std::string base() { return "/tmp/ipcu" + std::to_string(getpid()) + "_"; }
std::string padded(size_t len) { return base() + std::string(len - base().size(), 'x'); }

bool is_socket(const std::string& p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}
bool exists(const std::string& p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}
void touch(const std::string& p) { std::ofstream(p) << "x"; }

Bytes frame(const std::string& payload, uint32_t declared, uint8_t code = 6) {
    Bytes f(16 + payload.size(), 0);
    const uint8_t head[] = {0x5B, 0x5A, 0x01, 0x01, code};
    std::memcpy(f.data(), head, sizeof head);
    for (int i = 0; i < 4; ++i) f[12 + i] = static_cast<uint8_t>(declared >> (24 - 8 * i));
    std::memcpy(f.data() + 16, payload.data(), payload.size());
    return f;
}
Bytes frame(const std::string& payload) { return frame(payload, static_cast<uint32_t>(payload.size())); }

// The peer process: bound at the fixed path, answers each request with the datagrams that the
// handler returns, sent back to the requesting socket's bound path.
class Peer {
public:
    using Handler = std::function<std::vector<Bytes>(const Bytes& req)>;
    explicit Peer(Handler h) : handler_(std::move(h)) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strcpy(a.sun_path, kPeerPath);
        unlink(kPeerPath);
        if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(fd_);
            fd_ = -1;
        }
        if (fd_ >= 0) thread_ = std::thread([this] { run(); });
    }
    ~Peer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
        unlink(kPeerPath);
    }
    bool ok() const { return fd_ >= 0; }
    std::vector<Bytes> received() {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    void run() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            uint8_t buf[4096];
            sockaddr_un from{};
            socklen_t fromLen = sizeof from;
            const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (n < 0) continue;
            Bytes req(buf, buf + n);
            {
                std::lock_guard lock(mutex_);
                received_.push_back(req);
            }
            for (const Bytes& r : handler_(req))
                sendto(fd_, r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLen);
        }
    }
    Handler handler_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Bytes> received_;
    std::thread thread_;
};

class UnixChannel : public ::testing::Test {
protected:
    void SetUp() override {
        testenv::clear_syslog();
        ASSERT_TRUE(cap_.ok());
    }
    void TearDown() override {
        IPCSdkUnixUninit();
        const std::string mine = fs::path(base()).filename();
        std::error_code ec;
        for (const auto& e : fs::directory_iterator("/tmp", ec))
            if (e.path().filename().string().starts_with(mine)) fs::remove_all(e.path(), ec);
    }
    Strings lines() { return cap_.lines(); }
    testenv::DebugCapture cap_;
};

TEST_F(UnixChannel, NamesAreCheckedAndTheBoundFileIsRemovedAgain) {
    EXPECT_EQ(IPCSdkUnixInit(nullptr), -1);
    EXPECT_EQ(IPCSdkUnixInit(""), -1);
    const std::string tooLong = padded(20);
    EXPECT_EQ(IPCSdkUnixInit(tooLong.c_str()), -1);
    EXPECT_FALSE(exists(tooLong));
    EXPECT_FALSE(exists(tooLong.substr(0, 19)));  // never truncated and bound
    EXPECT_EQ(IPCSdkUnixRequest(reinterpret_cast<const uint8_t*>("x"), 1, nullptr, 0), -9);

    const Strings got = lines();
    ASSERT_EQ(got.size(), 3u);
    const std::regex null(R"(IPCSdkUnixInit,\d+,conflocateName is null\n)");
    const std::regex empty(R"(IPCSdkUnixInit,\d+,conflocateName:\[\]\n)");
    const std::regex longer("IPCSdkUnixInit,\\d+,conflocateName:\\[" + tooLong + "\\]\n");
    EXPECT_TRUE(std::regex_match(got[0], null)) << got[0];
    EXPECT_TRUE(std::regex_match(got[1], empty)) << got[1];
    EXPECT_TRUE(std::regex_match(got[2], longer)) << got[2];
    const auto sys = testenv::syslog_lines();
    ASSERT_EQ(sys.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sys[i].text, got[i]);
        EXPECT_EQ(sys[i].priority, 11);
    }

    const std::string name = padded(19);
    ASSERT_EQ(IPCSdkUnixInit(name.c_str()), 0);
    EXPECT_TRUE(is_socket(name));
    EXPECT_EQ(IPCSdkUnixUninit(), 0);
    EXPECT_FALSE(exists(name));
    EXPECT_EQ(IPCSdkUnixUninit(), 0);  // closing twice is harmless
    EXPECT_EQ(IPCSdkUnixRequest(reinterpret_cast<const uint8_t*>("x"), 1, nullptr, 0), -9);

    // A stale file at the name is replaced by the new socket.
    touch(name);
    ASSERT_EQ(IPCSdkUnixInit(name.c_str()), 0);
    EXPECT_TRUE(is_socket(name));
    EXPECT_EQ(lines().size(), 3u);  // a successful init logs nothing
}

TEST_F(UnixChannel, BindFailureRemovesPrefixedFilesAndLeavesTheChannelClosed) {
    const std::string name = base() + "b";
    ASSERT_TRUE(fs::create_directory(name));  // nothing can be bound over a directory
    touch(name + "-cfg");
    touch(base());  // shorter than the name: not matched
    EXPECT_EQ(IPCSdkUnixInit(name.c_str()), -1);
    EXPECT_FALSE(exists(name + "-cfg"));
    EXPECT_TRUE(fs::is_directory(name));
    EXPECT_TRUE(exists(base()));
    EXPECT_EQ(IPCSdkUnixRequest(reinterpret_cast<const uint8_t*>("x"), 1, nullptr, 0), -9);
}

TEST_F(UnixChannel, RequestsReachThePeerAndAnswersAreChecked) {
    std::atomic<int> mode{0};
    Peer peer([&](const Bytes& req) -> std::vector<Bytes> {
        const std::string body(req.begin(), req.end());
        switch (mode.load()) {
            case 0: return {frame("echo:" + body)};
            case 1: return {frame("abcdef", 8)};       // two payload bytes missing
            case 2: return {frame("abcdefghij", 8)};   // two too many
            case 3: return {Bytes{1, 2, 3}};           // shorter than a header
            case 4: return {frame(std::string(100, 'p'))};  // larger than the caller's buffer
            default: return {};
        }
    });
    ASSERT_TRUE(peer.ok());
    ASSERT_EQ(IPCSdkUnixInit((base() + "r").c_str()), 0);

    EXPECT_EQ(IPCSdkUnixRequest(nullptr, 4, nullptr, 0), -1);
    EXPECT_EQ(IPCSdkUnixRequest(reinterpret_cast<const uint8_t*>("x"), 0, nullptr, 0), -1);

    const Bytes req = frame("hello");
    uint8_t resp[256];
    const Bytes want = frame("echo:" + std::string(req.begin(), req.end()));
    ASSERT_EQ(IPCSdkUnixRequest(req.data(), static_cast<uint32_t>(req.size()), resp, sizeof resp),
              static_cast<int32_t>(want.size()));
    EXPECT_EQ(Bytes(resp, resp + want.size()), want);
    // An answer that exactly fills the buffer is accepted.
    ASSERT_EQ(IPCSdkUnixRequest(req.data(), static_cast<uint32_t>(req.size()), resp, static_cast<int>(want.size())),
              static_cast<int32_t>(want.size()));

    mode = 1;
    EXPECT_EQ(IPCSdkUnixRequest(req.data(), 5, resp, sizeof resp), -2);
    mode = 2;
    EXPECT_EQ(IPCSdkUnixRequest(req.data(), 5, resp, sizeof resp), -2);
    mode = 3;
    // Stale bytes 12..15 whose length would wrap to 3 must not make a 3-byte datagram valid.
    std::memset(resp, 0, sizeof resp);
    resp[12] = resp[13] = resp[14] = 0xFF;
    resp[15] = 0xF3;
    EXPECT_EQ(IPCSdkUnixRequest(req.data(), 5, resp, sizeof resp), -2);
    mode = 4;
    EXPECT_EQ(IPCSdkUnixRequest(req.data(), 5, resp, 64), -2);  // truncated to 64 bytes

    mode = 5;  // no answer wanted: the sent count comes back at once
    EXPECT_EQ(IPCSdkUnixRequest(req.data(), 7, nullptr, 16), 7);
    EXPECT_EQ(IPCSdkUnixRequest(req.data(), 6, resp, 0), 6);

    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (peer.received().size() < 8 && Clock::now() < deadline) usleep(10 * 1000);
    const auto got = peer.received();
    ASSERT_EQ(got.size(), 8u);
    EXPECT_EQ(got[0], req);
    EXPECT_EQ(got[6], Bytes(req.begin(), req.begin() + 7));
    EXPECT_EQ(got[7], Bytes(req.begin(), req.begin() + 6));
    EXPECT_TRUE(lines().empty());  // no late answers were counted
}

TEST_F(UnixChannel, SendFailureClosesTheChannel) {
    unlink(kPeerPath);  // no peer
    ASSERT_EQ(IPCSdkUnixInit((base() + "s").c_str()), 0);
    uint8_t resp[64];
    EXPECT_EQ(IPCSdkUnixRequest(reinterpret_cast<const uint8_t*>("ping"), 4, resp, sizeof resp), -1);
    const std::string line =
        "send args message failed , ret = -1 , errno " + std::to_string(ENOENT) + "," + std::strerror(ENOENT) + "\n";
    EXPECT_EQ(lines(), Strings{line});
    EXPECT_TRUE(testenv::syslog_has(line, 11));
    EXPECT_EQ(IPCSdkUnixRequest(reinterpret_cast<const uint8_t*>("ping"), 4, resp, sizeof resp), -9);
}

TEST_F(UnixChannel, TimeoutCountsALateAnswerThatTheNextRequestSkips) {
    std::atomic<int> calls{0};
    Peer peer([&](const Bytes&) -> std::vector<Bytes> {
        if (calls++ == 0) return {};
        return {frame("late"), frame("current", 7, 7)};  // the first request's answer comes first
    });
    ASSERT_TRUE(peer.ok());
    ASSERT_EQ(IPCSdkUnixInit((base() + "t").c_str()), 0);
    const Bytes req = frame("q");
    uint8_t resp[128];

    const auto t0 = Clock::now();
    EXPECT_EQ(IPCSdkUnixRequest(req.data(), static_cast<uint32_t>(req.size()), resp, sizeof resp), -2);
    const auto waited = Clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(4010));  // 401 polls of at least 10 ms
    EXPECT_LT(waited, std::chrono::seconds(60));
    EXPECT_EQ(lines(), Strings{"add cmd timeout num: 1\n"});

    cap_.clear();
    const Bytes want = frame("current", 7, 7);
    const Bytes next = frame("n", 1, 7);
    ASSERT_EQ(IPCSdkUnixRequest(next.data(), static_cast<uint32_t>(next.size()), resp, sizeof resp),
              static_cast<int32_t>(want.size()));
    EXPECT_EQ(Bytes(resp, resp + want.size()), want);
    EXPECT_EQ(lines(), Strings{"reduce cmd timeout num: 0\n"});
}

TEST_F(UnixChannel, SendsWaitForASlowPeerInsteadOfFailing) {
    std::atomic<bool> slow{true};
    Peer peer([&](const Bytes&) -> std::vector<Bytes> {
        while (slow) usleep(10 * 1000);  // reads nothing more meanwhile: its queue fills up
        return {};
    });
    ASSERT_TRUE(peer.ok());
    ASSERT_EQ(IPCSdkUnixInit((base() + "s").c_str()), 0);
    std::thread release([&] {
        usleep(500 * 1000);
        slow = false;
    });
    const Bytes req = frame("q");
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(IPCSdkUnixRequest(req.data(), static_cast<uint32_t>(req.size()), nullptr, 0),
                  static_cast<int32_t>(req.size())) << "request " << i;
    release.join();
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (peer.received().size() < 40 && Clock::now() < deadline) usleep(10 * 1000);
    EXPECT_EQ(peer.received().size(), 40u);
    EXPECT_TRUE(lines().empty());
}

TEST_F(UnixChannel, ConcurrentRequestsEachGetTheirOwnAnswer) {
    Peer peer([](const Bytes& req) -> std::vector<Bytes> {
        usleep(2000);  // answer a little later, so an unserialised caller would poll meanwhile
        return {frame(std::string(req.begin(), req.end()))};
    });
    ASSERT_TRUE(peer.ok());
    ASSERT_EQ(IPCSdkUnixInit((base() + "c").c_str()), 0);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 15; ++i) {
                const std::string id = "t" + std::to_string(t) + "-" + std::to_string(i);
                uint8_t resp[128];
                const int32_t r = IPCSdkUnixRequest(reinterpret_cast<const uint8_t*>(id.data()),
                                                    static_cast<uint32_t>(id.size()), resp, sizeof resp);
                if (r != static_cast<int32_t>(16 + id.size()) ||
                    std::string(resp + 16, resp + r) != id)
                    ++wrong;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_TRUE(lines().empty());
}

TEST_F(UnixChannel, RemovalTakesEveryFileBeginningWithTheName) {
    EXPECT_EQ(IPCSdkUnixInit(nullptr), -1);  // clears the name
    EXPECT_EQ(remove_confargs_file(), -1);

    const std::string name = base() + "r";
    ASSERT_EQ(IPCSdkUnixInit(name.c_str()), 0);
    const std::string other = testenv::workdir() + "/" + fs::path(name).filename().string() + "abc";
    const std::string target = testenv::workdir() + "/target";
    for (const auto& f : {name + "abc", name + ".bak", base(), other, target}) touch(f);
    fs::create_directory(name + "dir");
    fs::create_symlink(target, name + "lnk");
    fs::create_symlink(testenv::workdir(), name + "dirlnk");

    EXPECT_EQ(remove_confargs_file(), 0);
    EXPECT_FALSE(exists(name));  // the bound socket itself
    EXPECT_FALSE(exists(name + "abc"));
    EXPECT_FALSE(exists(name + ".bak"));
    EXPECT_FALSE(exists(name + "lnk"));
    EXPECT_FALSE(exists(name + "dirlnk"));  // a link is removed, never followed
    EXPECT_TRUE(fs::is_directory(name + "dir"));
    EXPECT_TRUE(exists(base()));
    EXPECT_TRUE(exists(other));
    EXPECT_TRUE(exists(target));
    EXPECT_TRUE(fs::is_directory(testenv::workdir()));
    EXPECT_EQ(remove_confargs_file(), 0);  // nothing left to match is still success
}

TEST_F(UnixChannel, DumpWritesLengthAndFirstSixteenBytes) {
    const char data[20] = {'\x80', '\x01', '\x7f', '\xff', 0, 0x10, 'A', 'z',
                           '\x5b', '\x5a', 1, 2, 3, '\xab', '\xcd', '\xef', 9, 9, 9, 9};
    DumpData(data, 15);
    EXPECT_EQ(lines(), Strings{"recv data len: 15\n"});
    cap_.clear();
    DumpData(data, 20);
    EXPECT_EQ(lines(), (Strings{"recv data len: 20\n", "ffffff80 1 7f ffffffff 0 10 41 7a\n",
                                "5b 5a 1 2 3 ffffffab ffffffcd ffffffef\n"}));
    cap_.clear();
    DumpData(nullptr, -1);
    EXPECT_EQ(lines(), Strings{"recv data len: -1\n"});
}

}  // namespace
