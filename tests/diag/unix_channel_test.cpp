// Local datagram channel: names, bound files, removal, the dump; requests to a peer at "/tmp/dbgServer".
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <regex>

#include "camera_fixture.hpp"

namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;
using testenv::Bytes;
using Clock = std::chrono::steady_clock;

constexpr const char* kPeerPath = "/tmp/dbgServer";

// Paths of this process: "/tmp/ipcu<pid>_..." (17 characters at most before the suffix).
std::string base() { return "/tmp/ipcu" + std::to_string(getpid()) + "_"; }
bool exists(const std::string& p) { return fs::exists(fs::symlink_status(p)); }
void touch(const std::string& p) { std::ofstream(p) << "x"; }

Bytes frame(const std::string& payload, uint32_t declared, uint8_t code = 6) {
    Bytes f(16 + payload.size(), 0);
    f[0] = 0x5B, f[1] = 0x5A, f[2] = 0x01, f[3] = 0x01, f[4] = code;
    for (int i = 0; i < 4; ++i) f[12 + i] = static_cast<uint8_t>(declared >> (24 - 8 * i));
    std::memcpy(f.data() + 16, payload.data(), payload.size());
    return f;
}
Bytes frame(const std::string& payload) { return frame(payload, static_cast<uint32_t>(payload.size())); }
int32_t request(const Bytes& req, uint8_t* resp, int size) {
    return IPCSdkUnixRequest(req.data(), static_cast<uint32_t>(req.size()), resp, size);
}

// The peer: answers each request to its sender as `mode` says; while `slow` it reads nothing.
struct Peer {
    Peer() {
        sockaddr_un a{AF_UNIX, {}};
        std::strcpy(a.sun_path, kPeerPath);
        unlink(kPeerPath);
        const timeval tick{0, 20000};  // a receive gives up after 20 ms, so that `stop` is seen
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
        if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) thread = std::thread([this] { run(); });
    }
    ~Peer() {
        stop = true;
        if (thread.joinable()) thread.join();
        close(fd), unlink(kPeerPath);
    }
    // The requests received so far, once at least n have arrived (or after 10 s).
    std::vector<Bytes> received(size_t n) {
        testenv::eventually([&] { std::lock_guard lock(mutex); return seen.size() >= n; });
        std::lock_guard lock(mutex);
        return seen;
    }
    std::vector<Bytes> answer(const Bytes& req) {
        while (slow) usleep(10 * 1000);
        switch (mode.load()) {
            case 0:  // a little later, so that an unserialised caller would poll meanwhile
                return usleep(2000), std::vector<Bytes>{frame("echo:" + std::string(req.begin(), req.end()))};
            case 1: return {frame("abcdef", 8)};            // two payload bytes missing
            case 2: return {frame("abcdefghij", 8)};        // two too many
            case 3: return {Bytes{1, 2, 3}};                // shorter than a header
            case 4: return {frame(std::string(100, 'p'))};  // larger than the caller's buffer
            case 5: return {};
            default: return {frame("late"), frame("current", 7, 7)};  // the timed-out answer comes first
        }
    }
    void run() {
        for (uint8_t buf[4096]; !stop;) {
            sockaddr_un from{};
            socklen_t len = sizeof from;
            auto* f = reinterpret_cast<sockaddr*>(&from);
            const ssize_t n = recvfrom(fd, buf, sizeof buf, 0, f, &len);
            if (n < 0) continue;
            std::unique_lock lock(mutex);
            seen.emplace_back(buf, buf + n);
            lock.unlock();
            for (const Bytes& r : answer(Bytes(buf, buf + n))) sendto(fd, r.data(), r.size(), 0, f, len);
        }
    }
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    std::atomic<int> mode{0};
    std::atomic<bool> slow{false}, stop{false};
    std::mutex mutex;
    std::vector<Bytes> seen;
    std::thread thread;
};

class UnixChannel : public ::testing::Test {
protected:
    void SetUp() override {
        testenv::clear_syslog();
        ASSERT_TRUE(cap.ok());
    }
    void TearDown() override {
        IPCSdkUnixUninit();
        const std::string mine = fs::path(base()).filename();
        std::error_code ec;
        for (const auto& e : fs::directory_iterator("/tmp", ec))
            if (e.path().filename().string().starts_with(mine)) fs::remove_all(e.path(), ec);
    }
    testenv::DebugCapture cap;
};

TEST_F(UnixChannel, NamesFilesDumpRequestsAnswersBlockingSendsConcurrencyAndALateAnswer) {
    const Bytes x{'x'};
    EXPECT_EQ(IPCSdkUnixInit(nullptr), -1);
    EXPECT_EQ(remove_confargs_file(), -1);  // no name
    EXPECT_EQ(IPCSdkUnixInit(""), -1);
    const std::string tooLong = base() + std::string(20 - base().size(), 'x');
    EXPECT_EQ(IPCSdkUnixInit(tooLong.c_str()), -1);
    EXPECT_FALSE(exists(tooLong));
    EXPECT_FALSE(exists(tooLong.substr(0, 19)));  // never truncated and bound
    EXPECT_EQ(request(x, nullptr, 0), -9);
    const Strings got = cap.lines();
    const std::string init = R"(IPCSdkUnixInit,\d+,conflocateName)";
    ASSERT_EQ(got.size(), 3u);
    EXPECT_TRUE(std::regex_match(got[0] + got[1] + got[2], std::regex(init + " is null\n" + init + R"(:\[\]\n)" + init +
                                                                      ":\\[" + tooLong + "\\]\n")));
    EXPECT_EQ(testenv::syslog_lines(), (Strings{"11 " + got[0], "11 " + got[1], "11 " + got[2]}));

    // A bind failure removes the files beginning with the name and leaves the channel closed.
    const std::string bad = base() + "b";
    ASSERT_TRUE(fs::create_directory(bad));  // nothing can be bound over a directory
    touch(bad + "-cfg");
    touch(base());  // shorter than the name: not matched
    EXPECT_EQ(IPCSdkUnixInit(bad.c_str()), -1);
    EXPECT_FALSE(exists(bad + "-cfg"));
    EXPECT_TRUE(fs::is_directory(bad));
    EXPECT_EQ(request(x, nullptr, 0), -9);
    const std::string name = base() + std::string(19 - base().size(), 'y');
    touch(name);  // a stale file at the name is replaced by the new socket
    ASSERT_EQ(IPCSdkUnixInit(name.c_str()), 0);
    EXPECT_TRUE(fs::is_socket(name));
    EXPECT_EQ(IPCSdkUnixUninit(), 0);
    EXPECT_FALSE(exists(name));
    EXPECT_EQ(IPCSdkUnixUninit(), 0);  // closing twice is harmless
    EXPECT_EQ(request(x, nullptr, 0), -9);
    ASSERT_EQ(IPCSdkUnixInit(name.c_str()), 0);
    EXPECT_EQ(cap.lines().size(), 3u) << "a bind failure or a successful init logs nothing";

    // Removal takes every file of /tmp beginning with the name.
    const std::string other = testenv::workdir() + "/" + fs::path(name).filename().string() + "abc";
    for (const auto& f : {name + "abc", name + ".bak", other}) touch(f);
    EXPECT_EQ(remove_confargs_file(), 0);
    for (const auto& f : {name, name + "abc", name + ".bak"}) EXPECT_FALSE(exists(f)) << f;
    EXPECT_TRUE(exists(base()) && exists(other));
    EXPECT_EQ(remove_confargs_file(), 0);  // nothing left to match is still success

    // No peer: the send fails and closes the channel.
    ASSERT_EQ(IPCSdkUnixInit(name.c_str()), 0);
    unlink(kPeerPath);
    cap.clear();
    uint8_t resp[256];
    EXPECT_EQ(request(frame("ping"), resp, sizeof resp), -1);
    const std::string line =
        "send args message failed , ret = -1 , errno " + std::to_string(ENOENT) + "," + std::strerror(ENOENT) + "\n";
    EXPECT_EQ(cap.lines(), Strings{line});
    EXPECT_TRUE(testenv::syslog_has(line, 11));
    EXPECT_EQ(request(frame("ping"), resp, sizeof resp), -9);

    // The dump: the length, then the first sixteen bytes as sign-extended hex.
    cap.clear();
    const char data[20] = "\x80\x01\x7f\xff\0\x10" "Az\x5b\x5a\1\2\3\xab\xcd\xef\t\t\t";
    DumpData(data, 15);
    DumpData(data, 20);
    DumpData(nullptr, -1);
    EXPECT_EQ(cap.lines(), (Strings{"recv data len: 15\n", "recv data len: 20\n", "ffffff80 1 7f ffffffff 0 10 41 7a\n",
                                "5b 5a 1 2 3 ffffffab ffffffcd ffffffef\n", "recv data len: -1\n"}));

    // A peer: requests and answers, blocking sends, concurrent requests, a timeout and a late answer.
    cap.clear();
    Peer peer;
    auto& mode = peer.mode;
    ASSERT_TRUE(peer.thread.joinable());
    ASSERT_EQ(IPCSdkUnixInit((base() + "r").c_str()), 0);
    EXPECT_EQ(IPCSdkUnixRequest(nullptr, 4, nullptr, 0), -1);
    EXPECT_EQ(IPCSdkUnixRequest(reinterpret_cast<const uint8_t*>("x"), 0, nullptr, 0), -1);
    const Bytes req = frame("hello");
    const Bytes want = frame("echo:" + std::string(req.begin(), req.end()));
    ASSERT_EQ(request(req, resp, sizeof resp), static_cast<int32_t>(want.size()));
    EXPECT_EQ(Bytes(resp, resp + want.size()), want);
    // An answer that exactly fills the buffer is accepted.
    ASSERT_EQ(request(req, resp, static_cast<int>(want.size())), static_cast<int32_t>(want.size()));
    const Bytes five(req.begin(), req.begin() + 5);
    for (int m : {1, 2, 3}) {
        mode = m;
        // Stale bytes 12..15 whose length would wrap to 3 must not make a 3-byte datagram valid.
        std::memset(resp, 0, sizeof resp);
        resp[12] = resp[13] = resp[14] = 0xFF, resp[15] = 0xF3;
        EXPECT_EQ(request(five, resp, sizeof resp), -2) << m;
    }
    mode = 4;
    EXPECT_EQ(request(five, resp, 64), -2);  // truncated to 64 bytes
    mode = 5;  // no answer wanted: the sent count comes back at once
    const Bytes seven(req.begin(), req.begin() + 7), six(req.begin(), req.begin() + 6);
    EXPECT_EQ(request(seven, nullptr, 16), 7);
    EXPECT_EQ(request(six, resp, 0), 6);
    // A peer that reads nothing for a while: the sends wait for it, none is lost.
    peer.slow = true;
    std::thread release([&] { usleep(500 * 1000), peer.slow = false; });
    for (int i = 0; i < 40; ++i) EXPECT_EQ(request(req, nullptr, 0), static_cast<int32_t>(req.size())) << i;
    release.join();
    std::vector<Bytes> sent{req, req, five, five, five, five, seven, six};
    sent.resize(48, req);
    EXPECT_EQ(peer.received(48), sent);

    // Concurrent requests each get their own answer.
    mode = 0;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 15; ++i) {
                const std::string id = "t" + std::to_string(t) + "-" + std::to_string(i);
                uint8_t answer[128];
                const int32_t r = request(Bytes(id.begin(), id.end()), answer, sizeof answer);
                wrong += r != static_cast<int32_t>(21 + id.size()) || std::string(answer + 21, answer + r) != id;
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_TRUE(cap.lines().empty());  // no late answers were counted

    // No answer: a timeout, counted; the next request skips the late answer and takes its own.
    mode = 5;
    const auto t0 = Clock::now();
    EXPECT_EQ(request(frame("q"), resp, sizeof resp), -2);
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(4010));  // 401 polls of at least 10 ms
    EXPECT_EQ(cap.lines(), Strings{"add cmd timeout num: 1\n"});
    cap.clear();
    mode = 6;
    const Bytes current = frame("current", 7, 7);
    ASSERT_EQ(request(frame("n", 1, 7), resp, sizeof resp), static_cast<int32_t>(current.size()));
    EXPECT_EQ(Bytes(resp, resp + current.size()), current);
    EXPECT_EQ(cap.lines(), Strings{"reduce cmd timeout num: 0\n"});
}

}  // namespace
