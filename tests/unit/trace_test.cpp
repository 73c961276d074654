// Trace file: line format, appending, rotation past 8 MiB and its failure paths, a vanished
// working directory, and concurrent writers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <ipcsdk.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/log.hpp"
#include "testenv.hpp"

namespace fs = std::filesystem;

namespace {

constexpr const char* kLog = "IPCSDK_log";
constexpr size_t kLimit = 8388608;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Rewrites the log file in place (same inode, so an open s_fp keeps pointing at it): `head`,
// then 'a' up to `size` bytes.
void write_log(const std::string& head, size_t size = 0) {
    int fd = open(kLog, O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 0), 0);
    ASSERT_EQ(write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
    std::string pad(1 << 20, 'a');
    for (size_t n = head.size(); n < size;) {
        size_t k = std::min(pad.size(), size - n);
        ASSERT_EQ(write(fd, pad.data(), k), static_cast<ssize_t>(k));
        n += k;
    }
    close(fd);
}

std::string time_text(const char* format, time_t t) {
    tm lt{};
    localtime_r(&t, &lt);
    char buf[128];
    std::snprintf(buf, sizeof buf, format, lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour,
                  lt.tm_min, lt.tm_sec);
    return buf;
}

std::string stamp(time_t t) { return time_text("%04d%02d%02d_%02d%02d%02d", t); }
std::string rotated_name(time_t t) {
    return time_text("sdk_log%04d_%02d_%02d_%02d_%02d_%02d_app.log", t);
}

// True when the text equals f(t) for some second t in [from, to].
template <class F>
bool matches_second(const std::string& text, time_t from, time_t to, F f) {
    for (time_t t = from; t <= to; ++t)
        if (text == f(t)) return true;
    return false;
}

// Checks that `line` is "sec <stamp>:" + message with a stamp of [from, to].
void expect_line(const std::string& line, const std::string& message, time_t from, time_t to) {
    static const std::regex re(R"(sec (\d{8}_\d{6}):([\s\S]*))");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, re)) << line;
    EXPECT_TRUE(matches_second(m[1].str(), from, to, stamp)) << m[1];
    EXPECT_EQ(m[2].str(), message);
}

std::vector<fs::path> rotated_files() {
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(testenv::workdir()))
        if (e.path().filename().string().rfind("sdk_log", 0) == 0) out.push_back(e.path());
    return out;
}

class TraceFile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(chdir(testenv::workdir().c_str()), 0);
        for (const auto& p : rotated_files()) fs::remove_all(p);
        write_log("");
    }
};

TEST_F(TraceFile, LinesAreStampedAndAppendedToAnExistingFile) {
    write_log("earlier run\n");
    time_t t0 = time(nullptr);
    EXPECT_EQ(sdk_print("pthread_id=%d function=%s\n", 42, "IPCReboot"), -1);
    sdk_print("no newline;");  // runs on into the next line
    sdk_print("%s\n", "next");
    time_t t1 = time(nullptr);
    ASSERT_NE(s_fp, nullptr);

    std::string text = read_file(kLog);
    ASSERT_EQ(text.rfind("earlier run\n", 0), 0u) << text;
    std::vector<std::string> lines;
    std::stringstream ss(text.substr(12));
    for (std::string l; std::getline(ss, l);) lines.push_back(l);
    ASSERT_EQ(lines.size(), 2u) << text;
    expect_line(lines[0], "pthread_id=42 function=IPCReboot", t0, t1);
    ASSERT_EQ(lines[1].size(), 2 * 20 + 11 + 4u);
    expect_line(lines[1].substr(0, 31), "no newline;", t0, t1);
    expect_line(lines[1].substr(31), "next", t0, t1);
}

TEST_F(TraceFile, MessageIsCutTo1023Characters) {
    std::string big(2000, 'x');
    time_t t0 = time(nullptr);
    sdk_print("%s", big.c_str());
    sdk_print("after\n");
    time_t t1 = time(nullptr);
    std::string text = read_file(kLog);
    ASSERT_EQ(text.size(), 20 + 1023 + 20 + 6u);
    expect_line(text.substr(0, 20 + 1023), std::string(1023, 'x'), t0, t1);
    expect_line(text.substr(20 + 1023), "after\n", t0, t1);
}

TEST_F(TraceFile, RotatesOnlyOnceTheFileExceeds8MiB) {
    write_log("OLD\n", kLimit);
    time_t t0 = time(nullptr);
    std::string out1, out2;
    {
        testenv::StdoutCapture cap;
        sdk_print("first\n");  // exactly 8 MiB: appended
        out1 = cap.text();
    }
    EXPECT_EQ(out1, "");
    EXPECT_TRUE(rotated_files().empty());
    ASSERT_EQ(fs::file_size(kLog), kLimit + 26);
    {
        testenv::StdoutCapture cap;
        sdk_print("second\n");  // now past the limit: rotated before the line is written
        out2 = cap.text();
    }
    time_t t1 = time(nullptr);
    EXPECT_EQ(out2, "3\n4\n");

    auto rotated = rotated_files();
    ASSERT_EQ(rotated.size(), 1u);
    EXPECT_TRUE(matches_second(rotated[0].filename().string(), t0, t1, rotated_name)) << rotated[0];
    std::string old = read_file(rotated[0]);
    ASSERT_EQ(old.size(), kLimit + 26);
    EXPECT_EQ(old.substr(0, 5), "OLD\na");
    expect_line(old.substr(kLimit), "first\n", t0, t1);
    expect_line(read_file(kLog), "second\n", t0, t1);

    // The fresh file keeps growing normally.
    sdk_print("third\n");
    EXPECT_EQ(fs::file_size(kLog), 27u + 26u);
    EXPECT_EQ(rotated_files().size(), 1u);
}

TEST_F(TraceFile, UnknownSizeCountsAsFull) {
    write_log("OLD\n");
    sdk_print("opened\n");
    ASSERT_NE(s_fp, nullptr);
    // A stream whose position cannot be queried: ftell() yields -1.
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    FILE* previous = s_fp;
    s_fp = fdopen(p[1], "w");
    ASSERT_NE(s_fp, nullptr);
    time_t t0 = time(nullptr);
    std::string out;
    {
        testenv::StdoutCapture cap;
        sdk_print("fresh\n");
        out = cap.text();
    }
    time_t t1 = time(nullptr);
    std::fclose(previous);
    EXPECT_EQ(out, "3\n4\n");
    char c;
    EXPECT_EQ(read(p[0], &c, 1), 0);  // closed by the rotation, nothing written to it
    close(p[0]);
    auto rotated = rotated_files();
    ASSERT_EQ(rotated.size(), 1u);
    EXPECT_EQ(read_file(rotated[0]).rfind("OLD\n", 0), 0u);
    expect_line(read_file(kLog), "fresh\n", t0, t1);
}

TEST_F(TraceFile, FailedRenameDeletesTheFullFile) {
    write_log("OLD\n", kLimit + 1);
    // Directories under every name the rotation could pick make the rename fail.
    time_t now = time(nullptr);
    std::vector<std::string> blockers;
    for (time_t t = now - 1; t <= now + 10; ++t) {
        blockers.push_back(rotated_name(t));
        fs::create_directory(blockers.back());
        std::ofstream(blockers.back() + "/keep") << "x";
    }
    ASSERT_EQ(link(kLog, "full.link"), 0);  // shows whether the full file was deleted or reused
    std::string out;
    {
        testenv::StdoutCapture cap;
        sdk_print("fresh\n");
        out = cap.text();
    }
    time_t t1 = time(nullptr);
    ASSERT_LE(t1, now + 10);
    EXPECT_EQ(fs::file_size("full.link"), kLimit + 1);
    fs::remove("full.link");
    EXPECT_EQ(out, "3\n4\nshell log rename log file faild!\n");
    expect_line(read_file(kLog), "fresh\n", now, t1);
    for (const auto& b : blockers) {
        EXPECT_TRUE(fs::is_directory(b));
        EXPECT_EQ(read_file(b + "/keep"), "x");
    }
    EXPECT_EQ(rotated_files().size(), blockers.size());
}

TEST_F(TraceFile, VanishedWorkingDirectoryDropsLinesUntilItIsBack) {
    sdk_print("open\n");
    ASSERT_NE(s_fp, nullptr);
    write_log("OLD\n", kLimit + 1);  // the next call rotates, inside a directory that is gone
    std::string gone = testenv::workdir() + "/gone";
    ASSERT_EQ(mkdir(gone.c_str(), 0755), 0);
    ASSERT_EQ(chdir(gone.c_str()), 0);
    ASSERT_EQ(rmdir(gone.c_str()), 0);

    std::string out1, out2;
    {
        testenv::StdoutCapture cap;
        sdk_print("lost 1\n");
        out1 = cap.text();
    }
    EXPECT_EQ(out1,
              "3\n4\nshell log rename log file faild!\n"
              "big IPCSDK_log error,save file flag\n");
    EXPECT_EQ(s_fp, nullptr);
    {
        testenv::StdoutCapture cap;
        sdk_print("lost 2\n");  // no file can be opened: dropped quietly
        out2 = cap.text();
    }
    EXPECT_EQ(out2, "");
    EXPECT_EQ(s_fp, nullptr);

    ASSERT_EQ(chdir(testenv::workdir().c_str()), 0);
    write_log("kept\n");
    time_t t0 = time(nullptr);
    sdk_print("back\n");
    time_t t1 = time(nullptr);
    ASSERT_NE(s_fp, nullptr);
    std::string text = read_file(kLog);
    ASSERT_EQ(text.rfind("kept\n", 0), 0u) << text;
    expect_line(text.substr(5), "back\n", t0, t1);
    EXPECT_TRUE(rotated_files().empty());
}

TEST_F(TraceFile, ConcurrentCallsWriteWholeLinesOnce) {
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
        int t = std::stoi(m[1]), i = std::stoi(m[2]);
        ASSERT_EQ(m[3].length(), 10 + (i * 7 + t) % 90) << l;
        ++seen[{t, i}];
    }
    ASSERT_EQ(seen.size(), size_t(kThreads * kPerThread));
    for (const auto& [key, n] : seen) EXPECT_EQ(n, 1);
}

TEST(SystemLog, LinesAreFormattedOnceAndBounded) {
    testenv::clear_syslog();
    ipc::log::syslog_line(ipc::log::kErr, "sipua %s %d\n", "IPCReboot", 12);
    ipc::log::syslog_line(ipc::log::kDebug, "%s %d, error [-2]\n", "a%sb%n", 3);
    ipc::log::syslog_line(ipc::log::kErr, "%s", std::string(3000, 'y').c_str());
    auto lines = testenv::syslog_lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].priority, 11);
    EXPECT_EQ(lines[0].text, "sipua IPCReboot 12\n");
    EXPECT_EQ(lines[1].priority, 15);
    EXPECT_EQ(lines[1].text, "a%sb%n 3, error [-2]\n");
    EXPECT_EQ(lines[2].text, std::string(1023, 'y'));
}

}  // namespace
