// Trace file: line format, appending, rotation past 8 MiB and its failures, concurrent writers; system log lines.
#include <gtest/gtest.h>
#include <ipcsdk.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "log/log.hpp"
#include "testenv.hpp"

namespace fs = std::filesystem;
using testenv::read_file;

namespace {

constexpr const char* kLog = "IPCSDK_log";
constexpr size_t kLimit = 8388608;

// Rewrites the log in place (same inode, so an open s_fp still points at it): `head`, then 'a' up to `size` bytes.
void write_log(const std::string& head, size_t size = 0) {
    std::ofstream(kLog) << head << std::string(size > head.size() ? size - head.size() : 0, 'a');
}

// Local time in the library's formats; both sort like the times they show.
std::string when(time_t t, bool rotated = false) {
    tm lt{};
    char buf[64];
    std::strftime(buf, sizeof buf, rotated ? "sdk_log%Y_%m_%d_%H_%M_%S_app.log" : "%Y%m%d_%H%M%S", localtime_r(&t, &lt));
    return buf;
}

// Checks that `line` is "sec <stamp>:" + message with a stamp of a second in [from, now].
void expect_line(const std::string& line, const std::string& message, time_t from) {
    static const std::regex re(R"(sec (\d{8}_\d{6}):([\s\S]*))");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, re)) << line;
    EXPECT_TRUE(m[1] >= when(from) && m[1] <= when(time(nullptr))) << m[1];
    EXPECT_EQ(m[2].str(), message);
}

std::vector<fs::path> rotated_files() {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(testenv::workdir()))
        if (e.path().filename().string().starts_with("sdk_log")) out.push_back(e.path());
    return out;
}

// What one trace call prints on standard output.
std::string printed(const char* message) {
    testenv::StdoutCapture cap;
    sdk_print("%s", message);
    return cap.text();
}

class TraceFile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(chdir(testenv::workdir().c_str()), 0);
        for (const auto& p : rotated_files()) fs::remove_all(p);
    }
};

TEST_F(TraceFile, LinesStampedAppendedCutAndWholeUnderConcurrencySystemLogLinesBounded) {
    write_log("earlier run\n");
    const time_t t0 = time(nullptr);
    EXPECT_EQ(sdk_print("pthread_id=%d function=%s\n", 42, "IPCReboot"), -1);
    sdk_print("no newline;");  // runs on into the next line
    sdk_print("%s\n", "next");
    sdk_print("%s", std::string(2000, 'x').c_str());
    sdk_print("after\n");
    const std::string text = read_file(kLog);
    ASSERT_EQ(text.size(), 12 + 53 + 31 + 25 + 20 + 1023 + 26u) << text;
    EXPECT_TRUE(text.starts_with("earlier run\n"));
    expect_line(text.substr(12, 53), "pthread_id=42 function=IPCReboot\n", t0);
    expect_line(text.substr(65, 31), "no newline;", t0);
    expect_line(text.substr(96, 25), "next\n", t0);
    expect_line(text.substr(121, 20 + 1023), std::string(1023, 'x'), t0);
    expect_line(text.substr(121 + 20 + 1023), "after\n", t0);

    write_log("");  // concurrent calls: every line whole, once
    constexpr int kThreads = 8, kPerThread = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kPerThread; ++i)
                sdk_print("T%d-%03d-%s\n", t, i, std::string(10 + (i * 7 + t) % 90, 'p').c_str());
        });
    for (auto& th : threads) th.join();
    static const std::regex re(R"(sec \d{8}_\d{6}:T(\d)-(\d{3})-(p+))");
    std::map<std::pair<int, int>, int> seen;
    std::stringstream ss(read_file(kLog));
    for (std::string l; std::getline(ss, l);) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, re)) << l;
        const int t = std::stoi(m[1]), i = std::stoi(m[2]);
        ASSERT_TRUE((m[3].length() == 10u + (i * 7 + t) % 90 && ++seen[{t, i}] == 1)) << l;
    }
    EXPECT_EQ(seen.size(), size_t(kThreads * kPerThread));

    // System log lines: formatted once, cut to 1023 characters.
    testenv::clear_syslog();
    ipc::log::syslog_line(ipc::log::kErr, "sipua %s %d\n", "IPCReboot", 12);
    ipc::log::syslog_line(ipc::log::kDebug, "%s %d, error [-2]\n", "a%sb%n", 3);
    ipc::log::syslog_line(ipc::log::kErr, "%s", std::string(3000, 'y').c_str());
    EXPECT_EQ(testenv::syslog_lines(), (std::vector<std::string>{"11 sipua IPCReboot 12\n", "15 a%sb%n 3, error [-2]\n",
                                                                 "11 " + std::string(1023, 'y')}));
}

TEST_F(TraceFile, RotatesOnlyOnceTheFileExceeds8MiBFailedRotationsDeleteTheFullFileOrDropLines) {
    write_log("OLD\n", kLimit);
    const time_t t0 = time(nullptr);
    EXPECT_EQ(printed("first\n"), "");  // exactly 8 MiB: appended
    ASSERT_EQ(fs::file_size(kLog), kLimit + 26);
    EXPECT_TRUE(rotated_files().empty());
    EXPECT_EQ(printed("second\n"), "3\n4\n");  // now past the limit: rotated before the line
    const auto rotated = rotated_files();
    ASSERT_EQ(rotated.size(), 1u);
    EXPECT_TRUE(rotated[0].filename() >= when(t0, true) && rotated[0].filename() <= when(time(nullptr), true));
    const std::string old = read_file(rotated[0]);
    ASSERT_EQ(old.size(), kLimit + 26);
    EXPECT_TRUE(old.starts_with("OLD\na"));
    expect_line(old.substr(kLimit), "first\n", t0);
    expect_line(read_file(kLog), "second\n", t0);
    sdk_print("third\n");  // the fresh file keeps growing normally
    EXPECT_EQ(fs::file_size(kLog), 27u + 26u);
    EXPECT_EQ(rotated_files().size(), 1u);

    // A failed rename deletes the full file; in a vanished working directory lines are dropped until it is back.
    fs::remove(rotated[0]);
    write_log("OLD\n", kLimit + 1);
    const time_t now = time(nullptr);  // directories under every name the rotation could pick
    for (time_t t = now - 1; t <= now + 10; ++t) fs::create_directories(when(t, true) + "/keep");
    ASSERT_EQ(link(kLog, "full.link"), 0);  // shows whether the full file was deleted or reused
    EXPECT_EQ(printed("fresh\n"), "3\n4\nshell log rename log file faild!\n");
    ASSERT_LE(time(nullptr), now + 10);
    EXPECT_EQ(fs::file_size("full.link"), kLimit + 1);
    expect_line(read_file(kLog), "fresh\n", now);
    for (time_t t = now - 1; t <= now + 10; ++t) EXPECT_TRUE(fs::is_directory(when(t, true) + "/keep"));

    const size_t kept = rotated_files().size();
    ASSERT_NE(s_fp, nullptr);
    write_log("OLD\n", kLimit + 1);  // the next call rotates, inside a directory that is gone
    const std::string gone = testenv::workdir() + "/gone";
    ASSERT_TRUE(fs::create_directory(gone));
    ASSERT_EQ(chdir(gone.c_str()), 0);
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    EXPECT_EQ(printed("lost 1\n"), "3\n4\nshell log rename log file faild!\nbig IPCSDK_log error,save file flag\n");
    EXPECT_EQ(s_fp, nullptr);
    EXPECT_EQ(printed("lost 2\n"), "");  // no file can be opened: dropped quietly
    EXPECT_EQ(s_fp, nullptr);
    ASSERT_EQ(chdir(testenv::workdir().c_str()), 0);
    write_log("kept\n");
    const time_t t1 = time(nullptr);
    sdk_print("back\n");
    const std::string text = read_file(kLog);
    ASSERT_TRUE(text.starts_with("kept\n")) << text;
    expect_line(text.substr(5), "back\n", t1);
    EXPECT_EQ(rotated_files().size(), kept);
}

}  // namespace
