// ipcctl as a process against the simulator; the Wireshark dissector with tshark on captures
// of such sessions; the simulator replaying a capture; bad captures refused.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <functional>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "camera_fixture.hpp"
#include "capture.hpp"
#include "ipcsdk.hpp"
#include "ipcsim.hpp"
#include "testenv.hpp"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

struct Result {
    int status = -1;
    std::string out, err;
};

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs a shell command line in the working directory; standard input from `input`.
Result sh(const std::string& line, const std::string& input = "") {
    static int n = 0;
    std::string base = testenv::workdir() + "/run" + std::to_string(++n);
    std::ofstream(base + ".in") << input;
    int rc = std::system((line + " <" + base + ".in >" + base + ".out 2>" + base + ".err").c_str());
    Result r;
    r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    r.out = testenv::read_file(base + ".out");
    r.err = testenv::read_file(base + ".err");
    return r;
}

// ipcctl with the password in the environment.
Result ipcctl(const std::string& args, const std::string& input = "") {
    return sh("IPCCTL_PASSWORD=admin " + quote(IPCCTL_PATH) + " " + args, input);
}

// A child process (tcpdump, ipcsim) stopped with SIGINT at the end of the scope.
class Child {
public:
    Child(std::vector<std::string> argv, const std::string& errFile) {
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
        if (posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&fa);
    }
    ~Child() { stop(); }
    bool running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
    int stop() {
        if (pid_ <= 0) return -1;
        kill(pid_, SIGINT);
        int st = 0;
        waitpid(pid_, &st, 0);
        pid_ = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }

private:
    pid_t pid_ = -1;
};

bool waitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit = 10s) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// tcpdump on the loopback interface for one address; skips the test without the privilege.
class Capture {
public:
    explicit Capture(const std::string& ip, const std::string& name)
        : file_(testenv::workdir() + "/" + name + ".pcap"), log_(testenv::workdir() + "/" + name + ".tcpdump"),
          child_({TCPDUMP_PATH, "-i", "lo", "--immediate-mode", "-U", "-n", "-w", file_, "host", ip}, log_) {
        ok_ = waitFor([&] { return testenv::read_file(log_).find("listening on") != std::string::npos; });
    }
    bool ok() const { return ok_; }
    // Stops the capture once the last packets are written.
    const std::string& finish() {
        std::this_thread::sleep_for(300ms);
        child_.stop();
        return file_;
    }

private:
    std::string file_, log_;
    Child child_;
    bool ok_ = false;
};

#define START_CAPTURE(var, ip, name)                                        \
    Capture var(ip, name);                                                  \
    if (!var.ok()) GTEST_SKIP() << "tcpdump cannot capture on lo here";

// tshark with the generated dissector: one line per ipcsdk message of the capture.
Result tshark(const std::string& pcap, const std::string& fields, const std::string& filter = "ipcsdk") {
    return sh(quote(TSHARK_PATH) + " -X lua_script:" + quote(DISSECTOR_PATH) + " -n -r " + quote(pcap) + " -Y " +
              quote(filter) + " -T fields -E occurrence=a -E aggregator=, " + fields);
}

json parse(const std::string& text) { return json::parse(text); }

// ---- ipcctl ---------------------------------------------------------------------------------

// Every setting pair through JSON: get, clear the camera's copy, set what get printed, get
// again: the same JSON, and the camera holds the record it held before.
TEST(Ipcctl, EverySettingRoundTripsThroughJson) {
    auto cam = testenv::start_camera();
    const std::string ip = testenv::camera_ip();
    Result list = ipcctl("list --json");
    ASSERT_EQ(list.status, 0) << list.err;
    int pairs = 0;
    for (const auto& s : parse(list.out)) {
        if (s["set"].is_null()) continue;
        ++pairs;
        const std::string name = s["name"];
        const auto cls = s["class"].get<uint8_t>(), code = s["code"].get<uint8_t>();
        std::string count = s["max_count"].get<int>() > 1 ? " --count 2" : "";
        Result before = ipcctl(ip + " get " + name + count + " --json");
        ASSERT_EQ(before.status, 0) << name << ": " << before.err;
        std::vector<uint8_t> held = cam->record(cls, code);
        cam->setRecord(cls, code, std::vector<uint8_t>(held.size(), 0));
        std::ofstream(testenv::workdir() + "/" + name + ".json") << before.out;
        Result set = ipcctl(ip + " set " + name + " " + name + ".json");
        ASSERT_EQ(set.status, 0) << name << ": " << set.err;
        Result after = ipcctl(ip + " get " + name + count + " --json");
        ASSERT_EQ(after.status, 0) << name << ": " << after.err;
        EXPECT_EQ(parse(after.out), parse(before.out)) << name;
        EXPECT_NE(cam->record(cls, code), std::vector<uint8_t>(held.size(), 0)) << name << " was not written";
    }
    EXPECT_EQ(pairs, 25);
}

TEST(Ipcctl, ChangedFieldReachesTheCameraInWireOrder) {
    auto cam = testenv::start_camera();
    const std::string ip = testenv::camera_ip();
    Result got = ipcctl(ip + " get ntp-conf --json");
    ASSERT_EQ(got.status, 0) << got.err;
    json j = parse(got.out);
    j["word1"] = 0x01020304;
    j["number"] = 0xA0B0;
    ASSERT_EQ(ipcctl(ip + " set ntp-conf -", j.dump()).status, 0);
    auto rec = cam->record(3, 8);  // big-endian on the wire: word1 at 0, number at 8
    ASSERT_GE(rec.size(), 10u);
    EXPECT_EQ(std::vector<uint8_t>(rec.begin(), rec.begin() + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(rec[8], 0xA0);
    EXPECT_EQ(rec[9], 0xB0);
}

// Refusals name the field and send nothing, not even a login.
TEST(Ipcctl, BadJsonIsRefusedNamingTheFieldAndNothingIsSent) {
    auto cam = testenv::start_camera();
    const std::string ip = testenv::camera_ip();
    Result got = ipcctl(ip + " get face-info --json");
    ASSERT_EQ(got.status, 0);
    json good = parse(got.out);
    cam->clearRequests();
    struct Case {
        json value;
        std::string expect;
    };
    json missing = good, unknown = good, wide = good, hexShort = good, negative = good;
    missing.erase("number2");
    unknown["colour"] = 1;
    wide["number1"] = 65536;
    hexShort["block"] = "00ff";
    negative["number3"] = -1;
    for (const auto& c : std::vector<Case>{{missing, "field \"number2\": missing"},
                                           {unknown, "field \"colour\": unknown field"},
                                           {wide, "field \"number1\": 65536 is out of range (0 to 65535)"},
                                           {hexShort, "field \"block\": expected 236 hexadecimal digits, got 4"},
                                           {negative, "field \"number3\": -1 is out of range"},
                                           {json::array(), "expected"}}) {
        Result r = ipcctl(ip + " set face-info -", c.value.dump());
        EXPECT_EQ(r.status, 2) << c.expect;
        EXPECT_NE(r.err.find(c.expect), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("nothing was sent"), std::string::npos) << r.err;
    }
    Result notJson = ipcctl(ip + " set face-info -", "{\"number1\": ");
    EXPECT_EQ(notJson.status, 2);
    EXPECT_NE(notJson.err.find("not JSON"), std::string::npos);
    EXPECT_TRUE(cam->requests().empty());
}

TEST(Ipcctl, ExitStatusTellsUsageRefusalAndLoginApart) {
    auto cam = testenv::start_camera();
    const std::string ip = testenv::camera_ip();
    Result unknown = ipcctl(ip + " get no-such-setting");
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.err.find("unknown setting \"no-such-setting\""), std::string::npos) << unknown.err;
    EXPECT_EQ(ipcctl(ip + " reboot").status, 2);
    EXPECT_EQ(ipcctl(ip + " ptz sideways 3").status, 2);
    EXPECT_EQ(ipcctl(ip + " get sys-version --count 2").status, 2);

    // The camera's nak: status 1 naming the result code as the README's table does.
    cam->script(ipcsim::Scripted{});  // the login as usual, then a nak for the get
    cam->script(ipcsim::Reply::Nak);
    Result nak = ipcctl(ip + " get dev2-info");
    EXPECT_EQ(nak.status, 1);
    EXPECT_NE(nak.err.find("IPCGetDev2Info: 0x80002002 IPCSDK_ERR_REFUSED"), std::string::npos) << nak.err;
    ASSERT_TRUE(cam->waitRequest(34, 6));

    Result wrong = sh("IPCCTL_PASSWORD=wrong " + quote(IPCCTL_PATH) + " " + ip + " info");
    EXPECT_EQ(wrong.status, 3);
    EXPECT_NE(wrong.err.find("0x80001005 IPCSDK_ERR_AUTH"), std::string::npos) << wrong.err;
    Result nobody = ipcctl("--timeout 1 " + testenv::camera_ip(1) + " info");
    EXPECT_EQ(nobody.status, 3);

    Result onLine = sh(quote(IPCCTL_PATH) + " -p admin " + ip + " ptz position --json");
    EXPECT_EQ(onLine.status, 0);
    EXPECT_NE(onLine.err.find("warning"), std::string::npos);
    EXPECT_EQ(onLine.err.find("admin"), std::string::npos) << "the password was echoed";
    EXPECT_EQ(parse(onLine.out), (json{{"pan", 0}, {"tilt", 0}, {"zoom", 10}}));
}

TEST(Ipcctl, PtzPresetAndTimeCommandsMoveTheCamera) {
    auto cam = testenv::start_camera();
    const std::string ip = testenv::camera_ip();
    ASSERT_EQ(ipcctl(ip + " ptz right 450").status, 0);
    ASSERT_EQ(ipcctl(ip + " ptz up 120").status, 0);
    ASSERT_EQ(ipcctl(ip + " preset store 7").status, 0);
    ASSERT_EQ(ipcctl(ip + " ptz left 900").status, 0);
    EXPECT_EQ(cam->ptz().pan, 3150);
    ASSERT_EQ(ipcctl(ip + " preset goto 7").status, 0);
    EXPECT_EQ(ipcctl(ip + " ptz position").out, "pan 450 tilt 120 zoom 10\n");
    EXPECT_EQ(ipcctl(ip + " preset goto 8").status, 1);

    ASSERT_EQ(ipcctl(ip + " time set 2026-12-05T13:00:00+01:00").status, 0);
    json t = parse(ipcctl(ip + " time --json").out);
    EXPECT_EQ(t["seconds"], 1796472000u);
    EXPECT_EQ(t["time"], "2026-12-05T12:00:00Z");
}

// The file holds exactly the payloads the camera sent, in order.
TEST(Ipcctl, RecordWritesExactlyThePayloads) {
    std::string video;
    for (int i = 0; i < 2500; ++i) video += static_cast<char>((i * 31 + i / 7) & 0xFF);
    std::ofstream(testenv::workdir() + "/source.bin", std::ios::binary) << video;
    ipcsim::Config cfg;
    cfg.videoFile = testenv::workdir() + "/source.bin";
    cfg.frameBytes = 1000;
    cfg.framesPerSecond = 50;
    auto cam = testenv::start_camera(0, cfg);
    Result r = ipcctl(testenv::camera_ip() + " --json record -o out.bin --frames 6");
    ASSERT_EQ(r.status, 0) << r.err;
    // Frame payloads are the source cut in 1000-byte pieces, cycled.
    std::string expected;
    for (size_t at = 0; expected.size() < 6000; at = (at + 1) % video.size()) expected += video[at];
    EXPECT_EQ(testenv::read_file(testenv::workdir() + "/out.bin"), expected);
    json summary = parse(r.out);
    EXPECT_EQ(summary["frames"], 6);
    EXPECT_EQ(summary["bytes"], 6000);
    EXPECT_TRUE(r.err.empty()) << "progress on a file that is not a terminal: " << r.err;
}

TEST(Ipcctl, SnapshotWritesThePicturePair) {
    auto cam = testenv::start_camera();
    Result r = ipcctl(testenv::camera_ip() + " --json snapshot -o .");
    ASSERT_EQ(r.status, 0) << r.err;
    json files = parse(r.out);
    ASSERT_EQ(files.size(), 2u);
    for (int i = 0; i < 2; ++i) {
        std::string content = testenv::read_file(files[i]["file"]);
        EXPECT_EQ(content.size(), files[i]["bytes"].get<size_t>());
        EXPECT_EQ(content.substr(0, 2), "P6");
    }
}

// One JSON object per line: the camera online, offline when it goes away, online again (one
// reconnect) when it is back; its reports in between.
TEST(Ipcctl, WatchShowsACameraGoingOfflineAndOnlineAgain) {
    auto cam = testenv::start_camera();
    const std::string ip = testenv::camera_ip(), log = testenv::workdir() + "/watch.out";
    setenv("IPCCTL_PASSWORD", "admin", 1);
    Child watch({IPCCTL_PATH, "--json", ip, "watch", "--seconds", "60"}, log);
    auto lines = [&] {
        std::vector<json> v;
        std::istringstream in(testenv::read_file(log));
        for (std::string l; std::getline(in, l);)
            if (!l.empty() && l[0] == '{') v.push_back(json::parse(l));
        return v;
    };
    auto seen = [&](const json& want) {
        for (const auto& l : lines()) {
            bool all = true;
            for (auto it = want.begin(); it != want.end(); ++it) all = all && l.contains(it.key()) && l[it.key()] == *it;
            if (all) return true;
        }
        return false;
    };
    ASSERT_TRUE(waitFor([&] { return seen({{"event", "state"}, {"state", "online"}, {"reconnects", 0}}); }, 20s))
        << testenv::read_file(log);
    cam->sendReport(0x1003, std::vector<uint8_t>(64, 1));
    ASSERT_TRUE(waitFor([&] { return seen({{"event", "report"}, {"type", 0x1003}, {"bytes", 64}}); }, 20s))
        << testenv::read_file(log);
    cam->stop();
    ASSERT_TRUE(waitFor([&] { return seen({{"event", "state"}, {"state", "offline"}}); }, 30s)) << testenv::read_file(log);
    ASSERT_TRUE(cam->start());
    ASSERT_TRUE(waitFor([&] { return seen({{"event", "state"}, {"state", "online"}, {"reconnects", 1}}); }, 60s))
        << testenv::read_file(log);
    EXPECT_EQ(watch.stop(), 0);
    auto all = lines();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front()["camera"], ip);
    EXPECT_TRUE(all.front().contains("time"));
    // In order: online, report, offline, online again.
    std::vector<std::string> order;
    for (const auto& l : all)
        if (l["event"] != "state" || l["state"] != "connecting")
            order.push_back(l["event"] == "state" ? l["state"].get<std::string>() : l["event"].get<std::string>());
    EXPECT_EQ(order, (std::vector<std::string>{"online", "report", "offline", "online"}));
}

// ---- the dissector ----------------------------------------------------------------------------

TEST(Dissector, DecodesACapturedSession) {
    const std::string ip = testenv::camera_ip();
    auto cam = testenv::start_camera();
    START_CAPTURE(cap, ip, "session");
    ASSERT_EQ(ipcctl(ip + " get video-param --count 2").status, 0);
    ASSERT_EQ(ipcctl("--tcp 5002 " + ip + " get ntp-conf").status, 0);
    {
        // A report cut into 7-byte segments needs reassembly; a datagram that is no message.
        ipc::Sdk sdk;
        auto c = ipc::Camera::login({ip}, {"admin", "admin"});
        ASSERT_TRUE(cam->waitReportConnection());
        cam->sendReportSplit(ipcsim::Camera::reportMessage(0x1003, std::vector<uint8_t>(40, 0xAB)), 7, 5ms);
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(5001);
        inet_pton(AF_INET, ip.c_str(), &to.sin_addr);
        const char junk[] = "\x5b\x5a\x01\x01\x06\0\0\0\0\0\0\0\0\0\x01\0";  // length says 256, holds 0
        sendto(fd, junk, 16, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        close(fd);
        std::this_thread::sleep_for(300ms);
    }
    const std::string& pcap = cap.finish();
    Result r = tshark(pcap, "-e ipcsdk.class -e ipcsdk.code -e ipcsdk.length -e ipcsdk.command");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("Lua"), std::string::npos) << r.err;
    auto has = [&](const std::string& line) { return ("\n" + r.out).find("\n" + line + "\n") != std::string::npos; };
    EXPECT_TRUE(has("0\t0\t160\tIPCUserLogin")) << r.out;
    EXPECT_TRUE(has("1\t6\t0\tIPCVideoParamGet")) << r.out;
    EXPECT_TRUE(has("1\t6\t264\tIPCVideoParamGet")) << r.out;   // two 132-byte records
    EXPECT_TRUE(has("3\t8\t0\tIPCNtpConfGet")) << r.out;        // over TCP 5002
    EXPECT_TRUE(has("3\t8\t136\tIPCNtpConfGet")) << r.out;
    EXPECT_TRUE(has("0\t3\t132\tannouncement")) << r.out;
    EXPECT_TRUE(has("122\t3\t0\tack")) << r.out;

    Result report = tshark(pcap, "-e ipcsdk.report_type -e ipcsdk.length", "ipcsdk.report_type");
    EXPECT_EQ(report.out, "0x00001003\t52\n");
    Result field = tshark(pcap, "-e ipcsdk.NtpConfInfo.number", "ipcsdk.NtpConfInfo.number");
    auto rec = cam->record(3, 8);
    EXPECT_EQ(field.out, std::to_string(rec[8] << 8 | rec[9]) + "\n");
    Result bad = tshark(pcap, "-e ipcsdk.length", "ipcsdk.malformed");
    EXPECT_EQ(bad.out, "256\n");
    // The TCP command port is a preference: moved elsewhere, port 5002 is no longer ipcsdk.
    Result moved = tshark(pcap, "-o ipcsdk.cmd_port:6002 -e ipcsdk.code", "ipcsdk.class == 3");
    EXPECT_EQ(moved.out, "") << moved.err;
}

// ---- replay -------------------------------------------------------------------------------------

TEST(Replay, GivesIpcctlTheCapturedAnswersByteForByte) {
    const std::string ip = testenv::camera_ip();
    std::vector<std::string> commands = {"get video-param --count 2 --json", "info --json", "get ex-osd --json",
                                         "get ntp-conf"};
    std::vector<std::string> captured;
    std::string pcap;
    {
        auto cam = testenv::start_camera();
        START_CAPTURE(cap, ip, "field");
        for (const auto& c : commands) {
            Result r = ipcctl(ip + " " + c);
            ASSERT_EQ(r.status, 0) << r.err;
            captured.push_back(r.out);
        }
        pcap = cap.finish();
    }
    // tshark's pcapng of the same capture replays the same.
    std::string pcapng = testenv::workdir() + "/field.pcapng";
    ASSERT_EQ(sh(quote(TSHARK_PATH) + " -r " + quote(pcap) + " -F pcapng -w " + quote(pcapng)).status, 0);
    for (const auto& file : {pcap, pcapng}) {
        const std::string other = testenv::camera_ip(1);
        Child sim({IPCSIM_PATH, "--ip", other, "--replay", file}, testenv::workdir() + "/replay.log");
        ASSERT_TRUE(waitFor([&] { return testenv::read_file(testenv::workdir() + "/replay.log").find("replaying") !=
                                         std::string::npos; }))
            << testenv::read_file(testenv::workdir() + "/replay.log");
        for (size_t i = 0; i < commands.size(); ++i) {
            Result r = ipcctl(other + " " + commands[i]);
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, captured[i]) << file << ": " << commands[i];
        }
        EXPECT_EQ(sim.stop(), 0);
    }
}

TEST(Replay, BadCapturesAreRefusedCleanly) {
    auto write = [](const std::string& name, const std::string& bytes) {
        std::string path = testenv::workdir() + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    };
    // A pcap header (little-endian, Ethernet) and one UDP datagram between other ports.
    std::string header("\xd4\xc3\xb2\xa1\x02\x00\x04\x00\0\0\0\0\0\0\0\0\xff\xff\0\0\x01\0\0\0", 24);
    std::string frame(14, '\0');
    frame[12] = 0x08;
    std::string ip4("\x45\0\0\x24\0\0\0\0\x40\x11\0\0\x7f\0\0\x01\x7f\0\0\x02", 20);
    std::string udp("\x30\x39\x00\x35\x00\x10\0\0", 8);
    std::string packet = frame + ip4 + udp + "abcdefgh";
    std::string record("\0\0\0\0\0\0\0\0", 8);
    record += static_cast<char>(packet.size());
    record += std::string("\0\0\0", 3) + static_cast<char>(packet.size()) + std::string("\0\0\0", 3);
    struct Case {
        std::string file, expect;
    };
    for (const auto& c : std::vector<Case>{
             {write("text.pcap", "this is not a capture\n"), "not a capture"},
             {write("cut.pcap", header + record + packet.substr(0, 20)), "truncated capture"},
             {write("dns.pcap", header + record + packet), "no camera answers"},
             {write("empty.pcap", ""), "not a capture"},
             {testenv::workdir() + "/missing.pcap", "cannot open"}}) {
        Result r = sh(quote(IPCSIM_PATH) + " --ip " + testenv::camera_ip() + " --replay " + quote(c.file));
        EXPECT_EQ(r.status, 1) << c.file;
        EXPECT_NE(r.err.find(c.expect), std::string::npos) << c.file << ": " << r.err;
    }
}

// Every prefix of a real capture, and the capture with bytes flipped: a clean refusal or a
// result, never a crash (run under the sanitizers).
TEST(Replay, HostileCaptureBytesNeverCrashTheReader) {
    const std::string ip = testenv::camera_ip();
    std::string pcap;
    {
        auto cam = testenv::start_camera();
        START_CAPTURE(cap, ip, "small");
        ASSERT_EQ(ipcctl(ip + " get fire-mode").status, 0);
        pcap = cap.finish();
    }
    std::string text = testenv::read_file(pcap);
    std::vector<uint8_t> bytes(text.begin(), text.end());
    ASSERT_NO_THROW(ipcsim::parseCapture(bytes));
    for (size_t n = 0; n < bytes.size(); n += 3) {
        std::vector<uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
        try {
            ipcsim::parseCapture(cut);
        } catch (const ipcsim::CaptureError&) {
        }
    }
    uint32_t x = 12345;
    for (int round = 0; round < 300; ++round) {
        std::vector<uint8_t> noisy = bytes;
        for (int k = 0; k < 4; ++k) {
            x = x * 1664525u + 1013904223u;
            noisy[24 + x % (noisy.size() - 24)] ^= static_cast<uint8_t>(x >> 24 | 1);
        }
        try {
            ipcsim::parseCapture(noisy);
        } catch (const ipcsim::CaptureError&) {
        }
    }
}

}  // namespace
