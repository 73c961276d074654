// Debug datagrams: wire form of debug and error lines, bounds, the "tyfol" rewrite, sends that
// never block, first-use socket creation and concurrent senders.
#include <gtest/gtest.h>
#include <ipcsdk.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "testenv.hpp"

namespace {

using Strings = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

size_t open_fds() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// Declared first: it only proves something while this process has not created the socket yet.
TEST(DebugOutput, SocketCreationFailureIsReportedAndRetried) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    std::string out;
    int r1, r2;
    {
        testenv::StdoutCapture cap;
        rlimit none = saved;
        none.rlim_cur = 0;  // no new descriptor can be opened
        setrlimit(RLIMIT_NOFILE, &none);
        r1 = debug_print("x");
        IPCSdkDebug("y");
        r2 = debug_print("z");
        setrlimit(RLIMIT_NOFILE, &saved);
        out = cap.text();
    }
    if (out.empty()) GTEST_SKIP() << "debug socket already created by an earlier test";
    EXPECT_EQ(r1, -1);
    EXPECT_EQ(r2, -1);
    static const std::regex re(R"((debug_print:\d+ open_unix_socket\(\) failed\.\n){4})");
    EXPECT_TRUE(std::regex_match(out, re)) << out;

    testenv::DebugCapture cap;
    ASSERT_TRUE(cap.ok());
    EXPECT_EQ(debug_print("again %d", 1), 7);
    EXPECT_EQ(cap.datagrams(), Strings{"again 1"});
}

TEST(DebugOutput, LinesTravelAsTextThenNewline) {
    testenv::DebugCapture cap;
    ASSERT_TRUE(cap.ok());
    IPCSdkDebug("camera %s answered %d", "cam1", 7);
    IPCSdkError("IPCReboot net err.");
    EXPECT_EQ(cap.datagrams(), (Strings{"camera cam1 answered 7", "\n", "IPCReboot net err.", "\n"}));

    cap.clear();
    EXPECT_EQ(debug_print("direct %d", 5), 8);  // one datagram, no newline partner
    EXPECT_EQ(cap.datagrams(), Strings{"direct 5"});
}

TEST(DebugOutput, LeadingTyfolIsRewrittenOnlyThere) {
    testenv::DebugCapture cap;
    ASSERT_TRUE(cap.ok());
    IPCSdkDebug("tyfol:%d", 3);
    IPCSdkError("%s", "tyfol");
    IPCSdkError("tyfoltyfol");
    cap.datagrams(0);  // the receiver queue holds only about ten datagrams
    IPCSdkDebug("tyfo");
    IPCSdkDebug("Tyfol x");
    IPCSdkError("x tyfol");
    debug_print("tyfol direct");
    EXPECT_EQ(cap.lines(), (Strings{"pmqvx:3", "pmqvx", "pmqvxtyfol", "tyfo", "Tyfol x", "x tyfol",
                                    "tyfol direct"}));
}

TEST(DebugOutput, PercentSignsInArgumentsArriveUnchanged) {
    testenv::DebugCapture cap;
    ASSERT_TRUE(cap.ok());
    IPCSdkError("open %s failed", "/tmp/a%sb%d%%");
    IPCSdkDebug("%s", "100%");
    debug_print("%s", "%s%x");
    EXPECT_EQ(cap.datagrams(),
              (Strings{"open /tmp/a%sb%d%% failed", "\n", "100%", "\n", "%s%x"}));
}

TEST(DebugOutput, TextsAreBounded) {
    testenv::DebugCapture cap;
    ASSERT_TRUE(cap.ok());
    std::string big;
    for (int i = 0; big.size() < 2000; ++i) big += std::to_string(i % 10);
    IPCSdkError("%s", big.substr(0, 600).c_str());
    IPCSdkDebug("%s", big.substr(0, 510).c_str());
    EXPECT_EQ(debug_print("%s", big.c_str()), 1023);
    EXPECT_EQ(debug_print("%s", big.substr(0, 1023).c_str()), 1023);
    EXPECT_EQ(cap.datagrams(), (Strings{big.substr(0, 510), "\n", big.substr(0, 510), "\n",
                                        big.substr(0, 1023), big.substr(0, 1023)}));
}

TEST(DebugOutput, NoReceiverReturnsAtOnce) {
    { testenv::DebugCapture gone; }  // nobody bound at the path from here on
    auto t0 = Clock::now();
    int failures = 0;
    for (int i = 0; i < 100; ++i) {
        failures += debug_print("nobody %d", i) == -1;
        IPCSdkError("nobody %d", i);
    }
    EXPECT_EQ(failures, 100);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(5));
}

TEST(DebugOutput, FullReceiverQueueNeverBlocks) {
    std::future<std::vector<int>> sender;  // destroyed after the receiver, which releases it
    testenv::DebugCapture cap(false);         // bound, but not read until the end
    ASSERT_TRUE(cap.ok());
    sender = std::async(std::launch::async, [] {
        std::vector<int> results;
        while (results.size() < 100000 && (results.empty() || results.back() != -1))
            results.push_back(debug_print("q%zu", results.size()));
        for (int i = 0; i < 50; ++i) IPCSdkDebug("lost %d", i);  // queue still full
        return results;
    });
    // A blocking send would wait forever here.
    ASSERT_EQ(sender.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "debug output blocked on a full receiver";
    auto results = sender.get();
    ASSERT_EQ(results.back(), -1);
    ASSERT_GT(results.size(), 1u);
    Strings expected;
    for (size_t i = 0; i + 1 < results.size(); ++i) {
        EXPECT_GT(results[i], 0);
        expected.push_back("q" + std::to_string(i));
    }
    EXPECT_EQ(cap.datagrams(), expected);
}

TEST(DebugOutput, ConcurrentSendersKeepDatagramsWhole) {
    testenv::DebugCapture cap;
    ASSERT_TRUE(cap.ok());
    size_t fdsBefore = open_fds();
    constexpr int kThreads = 8, kPerThread = 200;
    auto payload = [](int t, int i) {
        return "T" + std::to_string(t) + "-" + std::to_string(i) + "-" +
               std::string(5 + (i * 13 + t) % 300, static_cast<char>('a' + t));
    };
    std::atomic<int> running{kThreads};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                std::string p = payload(t, i);
                while (debug_print("%s", p.c_str()) == -1) usleep(200);  // queue full: retry
            }
            for (int i = 0; i < 20; ++i) IPCSdkError("%s", payload(t, 1000 + i).c_str());
            --running;
        });
    auto deadline = Clock::now() + std::chrono::seconds(60);
    while ((running > 0 || cap.datagrams(0).size() < kThreads * kPerThread) && Clock::now() < deadline)
        cap.datagrams(10);
    for (auto& th : threads) th.join();
    EXPECT_LE(open_fds(), fdsBefore + 1);  // at most one socket, ever

    std::map<std::string, int> expected;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kPerThread; ++i) expected[payload(t, i)] = 0;
    std::map<std::string, int> lines;  // IPCSdkError lines: may be lost on a full queue, never torn
    for (int t = 0; t < kThreads; ++t)
        for (int i = 1000; i < 1020; ++i) lines[payload(t, i)] = 0;
    for (const auto& d : cap.datagrams()) {
        if (d == "\n") continue;
        if (auto it = expected.find(d); it != expected.end()) {
            ++it->second;
        } else {
            auto line = lines.find(d);
            ASSERT_NE(line, lines.end()) << "torn datagram: " << d;
            ++line->second;
        }
    }
    for (const auto& [p, n] : expected) EXPECT_EQ(n, 1) << p;
    for (const auto& [p, n] : lines) EXPECT_LE(n, 1) << p;
}

}  // namespace
