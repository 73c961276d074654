// Debug datagrams: wire form, bounds, the "tyfol" rewrite, sends that never block, socket creation, concurrency.
#include <sys/resource.h>
#include <unistd.h>

#include <future>
#include <map>
#include <regex>

#include "camera_fixture.hpp"

namespace {

using Strings = std::vector<std::string>;

// Declared first: it only proves something while this process has not created the socket yet.
TEST(DebugOutput, SocketCreationFailureIsReportedAndRetried) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    std::string out;
    int r1, r2;
    {
        testenv::StdoutCapture cap;
        const rlimit none{0, saved.rlim_max};  // no new descriptor can be opened
        setrlimit(RLIMIT_NOFILE, &none);
        r1 = debug_print("x");
        IPCSdkDebug("y");
        r2 = debug_print("z");
        out = (setrlimit(RLIMIT_NOFILE, &saved), cap.text());
    }
    if (out.empty()) GTEST_SKIP() << "debug socket already created by an earlier test";
    EXPECT_EQ(r1, -1);
    EXPECT_EQ(r2, -1);
    EXPECT_TRUE(std::regex_match(out, std::regex(R"((debug_print:\d+ open_unix_socket\(\) failed\.\n){4})"))) << out;
    testenv::DebugCapture cap;
    ASSERT_TRUE(cap.ok());
    EXPECT_EQ(debug_print("again %d", 1), 7);
    EXPECT_EQ(cap.datagrams(), Strings{"again 1"});
}

TEST(DebugOutput, LinesTyfolRewritePercentSignsBoundsAndConcurrentSenders) {
    testenv::DebugCapture cap;
    ASSERT_TRUE(cap.ok());
    IPCSdkDebug("camera %s answered %d", "cam1", 7);
    IPCSdkError("open %s failed", "/tmp/a%sb%d%%");
    EXPECT_EQ(debug_print("direct %s", "%s%x"), 11);  // one datagram, no newline partner
    EXPECT_EQ(cap.datagrams(),
              (Strings{"camera cam1 answered 7", "\n", "open /tmp/a%sb%d%% failed", "\n", "direct %s%x"}));
    cap.clear();  // the receiver queue holds only about ten datagrams
    // Only a leading "tyfol" of a debug or error line becomes "pmqvx".
    IPCSdkDebug("tyfol:%d", 3);
    IPCSdkError("%s", "tyfol");
    IPCSdkError("tyfoltyfol");
    IPCSdkDebug("tyfo");
    cap.datagrams(0);
    IPCSdkDebug("Tyfol x");
    IPCSdkError("x tyfol");
    debug_print("tyfol direct");
    EXPECT_EQ(cap.lines(), (Strings{"pmqvx:3", "pmqvx", "pmqvxtyfol", "tyfo", "Tyfol x", "x tyfol", "tyfol direct"}));
    cap.clear();
    std::string big;
    for (int i = 0; big.size() < 2000; ++i) big += std::to_string(i % 10);
    IPCSdkError("%s", big.substr(0, 600).c_str());
    IPCSdkDebug("%s", big.substr(0, 510).c_str());
    EXPECT_EQ(debug_print("%s", big.c_str()), 1023);
    EXPECT_EQ(debug_print("%s", big.substr(0, 1023).c_str()), 1023);
    EXPECT_EQ(cap.datagrams(), (Strings{big.substr(0, 510), "\n", big.substr(0, 510), "\n", big.substr(0, 1023),
                                        big.substr(0, 1023)}));

    // Concurrent senders: every debug_print datagram exactly once; error lines may be lost, never torn.
    cap.clear();
    const size_t fdsBefore = testenv::count_dir("/proc/self/fd");
    constexpr int kThreads = 8, kPerThread = 200;
    auto payload = [](int t, int i) {
        return "T" + std::to_string(t) + "-" + std::to_string(i) + "-" +
               std::string(5 + (i * 13 + t) % 300, char('a' + t));
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i)
                for (int tries = 0; debug_print("%s", payload(t, i).c_str()) == -1 && tries < 50000; ++tries)
                    usleep(200);  // queue full: retry, for up to 10 s
            for (int i = 1000; i < 1020; ++i) IPCSdkError("%s", payload(t, i).c_str());
        });
    for (auto& th : threads) th.join();
    testenv::eventually([&] { return cap.datagrams(10).size() >= kThreads * kPerThread; }, std::chrono::seconds(60));
    EXPECT_EQ(testenv::count_dir("/proc/self/fd"), fdsBefore);  // the one socket, made above
    std::map<std::string, int> seen;
    for (const auto& d : cap.datagrams()) seen[d] += d != "\n";
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kPerThread; ++i) EXPECT_EQ(std::exchange(seen[payload(t, i)], 0), 1) << t << " " << i;
        for (int i = 1000; i < 1020; ++i) EXPECT_LE(std::exchange(seen[payload(t, i)], 0), 1);
    }
    std::erase_if(seen, [](const auto& e) { return e.second == 0; });
    EXPECT_TRUE(seen.empty()) << "torn or repeated: " << seen.begin()->first;
}

TEST(DebugOutput, NoReceiverOrAFullQueueNeverBlocks) {
    { testenv::DebugCapture gone; }  // nobody bound at the path from here on
    int failures = 0;
    for (int i = 0; i < 100; ++i) failures += (IPCSdkError("nobody %d", i), debug_print("nobody %d", i) == -1);
    EXPECT_EQ(failures, 100);
    std::future<std::pair<Strings, int>> sender;  // destroyed after the receiver, which releases it
    testenv::DebugCapture cap(false);              // bound, but not read until the end
    ASSERT_TRUE(cap.ok());
    sender = std::async(std::launch::async, [] {
        Strings sent;  // the lines accepted before the first refused one
        int r = 0;
        for (std::string q = "q0"; sent.size() < 100000 && (r = debug_print("%s", q.c_str())) > 0;)
            sent.push_back(std::exchange(q, "q" + std::to_string(sent.size() + 1)));
        for (int i = 0; i < 50; ++i) IPCSdkDebug("lost %d", i);  // queue still full
        return std::pair(sent, r);
    });
    // A blocking send would wait forever here.
    ASSERT_EQ(sender.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "blocked on a full receiver";
    const auto [sent, refused] = sender.get();
    EXPECT_EQ(refused, -1);
    EXPECT_FALSE(sent.empty());
    EXPECT_EQ(cap.datagrams(), sent);
}

}  // namespace
