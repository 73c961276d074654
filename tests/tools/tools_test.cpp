// ipcctl as a process against the simulator; the Wireshark dissector with tshark on captures
// of such sessions; the simulator replaying a capture; bad captures refused.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "camera_fixture.hpp"
#include "capture.hpp"
#include "ipcsdk.hpp"
#include "ipctools/utc_time.hpp"
#include "mqtt_peer.hpp"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
constexpr auto npos = std::string::npos;


// ipcctl with the password in the environment.
testenv::Run ipcctl(const std::string& args, const std::string& input = "") {
    return testenv::sh("IPCCTL_PASSWORD=admin " IPCCTL_PATH " " + args, input);
}

// A child process (tcpdump, ipcsim, ipcctl watch), output in `log`, stopped by SIGINT at the end.
struct Child {
    Child(const std::vector<std::string>& argv, const std::string& log) : pid(gwtest::spawn(argv, log)) {}
    ~Child() { stop(); }
    int stop() {  // its exit status
        if (pid <= 0) return -1;
        kill(pid, SIGINT);
        return gwtest::wait_exit(std::exchange(pid, -1));
    }
    pid_t pid;
};

bool logSays(const std::string& log, const std::string& text, std::chrono::milliseconds limit = 10s) {
    return testenv::eventually([&] { return testenv::read_file(log).find(text) != npos; }, limit);
}

// tshark with the generated dissector: one line per ipcsdk message of the capture.
testenv::Run tshark(const std::string& pcap, const std::string& fields, const std::string& filter = "ipcsdk") {
    return testenv::sh(TSHARK_PATH " -X lua_script:" DISSECTOR_PATH " -n -r " + pcap + " -Y '" + filter +
              "' -T fields -E occurrence=a -E aggregator=, " + fields);
}

}  // namespace

// Every setting pair: get, clear the camera's copy, set what get printed, get again: the same.
// Hostile or mistyped input and bad JSON: status 2, the problem named, nothing sent.
TEST(Ipcctl, SettingsThroughJsonAndBadInputRefused) {
    auto cam = testenv::start_camera();
    const std::string ip = testenv::camera_ip(), dir = testenv::workdir();
    auto list = ipcctl("list --json");
    ASSERT_EQ(list.status, 0) << list.err;
    int pairs = 0;
    for (const auto& s : json::parse(list.out)) {
        if (s["set"].is_null()) continue;
        ++pairs;
        const std::string name = s["name"];
        const std::string get = ip + " get " + name + (s["max_count"].get<int>() > 1 ? " --count 2" : "") + " --json";
        const auto cls = s["class"].get<uint8_t>(), code = s["code"].get<uint8_t>();
        auto before = ipcctl(get);
        ASSERT_EQ(before.status, 0) << name << ": " << before.err;
        const std::vector<uint8_t> held = cam->record(cls, code), zero(held.size(), 0);
        cam->set_record(cls, code, zero);
        std::ofstream(testenv::workdir() + "/" + name + ".json") << before.out;
        auto set = ipcctl(ip + " --json set " + name + " " + name + ".json"), after = ipcctl(get);
        ASSERT_EQ(set.status, 0) << name << ": " << set.err;
        EXPECT_EQ(json::parse(set.out)["ok"], true) << name;
        ASSERT_EQ(after.status, 0) << name << ": " << after.err;
        EXPECT_EQ(json::parse(after.out), json::parse(before.out)) << name;
        // Written as the camera held it (a set may leave reserved bytes out): fields in wire order.
        const std::vector<uint8_t> now = cam->record(cls, code);
        EXPECT_NE(now, zero) << name << " was not written";
        for (size_t i = 0; i < std::min(now.size(), held.size()); ++i)
            EXPECT_TRUE(now[i] == held[i] || now[i] == 0) << name << " byte " << i;
    }
    EXPECT_EQ(pairs, std::ranges::count_if(ipc::settings(), &ipc::SettingInfo::writable));

    const json good = json::parse(ipcctl(ip + " get face-info --json").out);
    json osd = json::parse(ipcctl(ip + " get ex-osd --json").out);  // an array of integers one short
    osd[0]["values"].erase(osd[0]["values"].size() - 1);
    auto with = [&](const std::function<void(json&)>& change) {
        json bad = good;
        change(bad);
        return bad.dump();
    };
    json deep = good;  // a whole record but for one field, nested 100000 deep
    deep["number1"] = 0;
    std::string text = deep.dump();
    text.replace(text.find("\"number1\":0") + 10, 1, std::string(100000, '[') + std::string(100000, ']'));
    std::ofstream(dir + "/deep.json") << text;
    cam->clear_requests();
    std::ofstream(dir + "/big.json") << std::string(2 << 20, ' ') << "{}";
    const std::string stdin_set = ip + " set face-info -";
    const struct {
        std::string args, expect, input = {};
    } refused[] = {
        {stdin_set, "field \"number2\": missing", with([](json& b) { b.erase("number2"); })},
        {stdin_set, "field \"colour\": unknown field", with([](json& b) { b["colour"] = 1; })},
        {stdin_set, "field \"number1\": 65536 is out of range (0 to 65535)", with([](json& b) { b["number1"] = 65536; })},
        {stdin_set, "field \"block\": expected 236 hexadecimal digits", with([](json& b) { b["block"] = "0f"; })},
        {stdin_set, "field \"number3\": -1 is out of range", with([](json& b) { b["number3"] = -1; })},
        {stdin_set, "expected", "[]"},
        {ip + " set ex-osd -", "field \"[0].values\": expected an array of 5 integers", osd.dump()},
        {stdin_set, "not JSON", "{\"number1\": "},
        {stdin_set, "not JSON", "{\"number1\": 1e999}"},
        {ip + " set face-info deep.json", "deep.json nests deeper than 32 levels"},
        {ip + " set face-info .", ". is a directory"},
        {ip + " set face-info /proc/self/mem", "cannot read /proc/self/mem"},
        {ip + " set face-info big.json", "big.json is larger than the limit of 1048576 bytes"},
        {"127.000.077.002 info", "\"127.000.077.002\" is not an IPv4 address"},
        {ip + " watch " + testenv::camera_ip(1) + " watch", "\"watch\" is not an IPv4 address"},
        {"--tcp 05002 " + ip + " info", "\"05002\" has a leading zero"},
        {ip + " ptz right 0x10", "\"0x10\" is not a decimal number"},
        {"-u " + std::string(32, 'u') + " " + ip + " info", "at most 31 characters, got 32"},
        {ip + " time set 2026-02-31T12:00:00Z", "not a valid ISO-8601 time"},
        {ip + " reboot", "reboot needs --yes"},
        {ip + " ptz sideways 3", "unknown motion \"sideways\""},
        {ip + " get sys-version --count 2", "--count does not apply"},
        {"lst", "unknown command \"lst\"; did you mean \"list\"?"},
        {ip + " get vide-param", "unknown setting \"vide-param\"; did you mean \"video-param\"?"}};
    for (const auto& [args, expect, input] : refused) {
        auto r = ipcctl(args, input);
        EXPECT_EQ(r.status, 2) << args << ": " << r.err;
        EXPECT_NE(r.err.find(expect), npos) << args << ": " << r.err;
        EXPECT_TRUE(input.empty() || expect == "not JSON" || r.err.find("nothing was sent") != npos) << r.err;
    }
    auto longPassword = testenv::sh("IPCCTL_PASSWORD=" + std::string(32, 'p') + " " IPCCTL_PATH " " + ip + " info");
    EXPECT_EQ(longPassword.status, 2);
    EXPECT_NE(longPassword.err.find("at most 31 characters"), npos) << longPassword.err;
    EXPECT_TRUE(cam->requests().empty());

    for (const char* bad : {"--video-file .", "--video-file /proc/self/mem", "--ip 127.0.0.02", "--fps 010"}) {
        auto sim = testenv::sh(IPCSIM_PATH " --ip " + testenv::camera_ip(1) + " " + bad);
        EXPECT_EQ(sim.status, 2) << bad << ": " << sim.err;
        EXPECT_NE(sim.err.find("ipcsim: "), npos) << bad << ": " << sim.err;
    }
}

TEST(Ipcctl, CommandsAndExitStatus) {
    std::string video;
    for (int i = 0; i < 2500; ++i) video += static_cast<char>((i * 31 + i / 7) & 0xFF);
    std::ofstream(testenv::workdir() + "/source.bin", std::ios::binary) << video;
    // Frames as fast as they go: more arrive while the recording stops.
    auto cam = testenv::start_camera(0, {.frame_bytes = 1000, .frames_per_second = 0, .video_file = "source.bin"});
    const std::string ip = testenv::camera_ip();

    // record: exactly the payloads sent, in order (the source cut in 1000-byte pieces, cycled).
    auto r = ipcctl(ip + " --json record -o out.bin --frames 6");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string expected;
    for (size_t at = 0; expected.size() < 6000; at = (at + 1) % video.size()) expected += video[at];
    EXPECT_EQ(testenv::read_file(testenv::workdir() + "/out.bin"), expected);
    EXPECT_TRUE(json::parse(r.out)["frames"] == 6 && json::parse(r.out)["bytes"] == 6000) << r.out;
    EXPECT_TRUE(r.err.empty()) << "progress on a file that is not a terminal: " << r.err;
    // A failed login leaves an existing recording alone.
    r = testenv::sh("IPCCTL_PASSWORD=wrong " IPCCTL_PATH " " + ip + " record -o out.bin --frames 1");
    EXPECT_EQ(r.status, 3) << r.err;
    EXPECT_NE(r.err.find("0x80001005 IPCSDK_ERR_AUTH"), npos) << r.err;
    EXPECT_EQ(testenv::read_file(testenv::workdir() + "/out.bin"), expected);

    r = ipcctl(ip + " --json snapshot -o .");
    ASSERT_EQ(json::parse(r.out).size(), 2u) << r.err;
    for (const auto& f : json::parse(r.out)) {
        const std::string content = testenv::read_file(f["file"]);
        EXPECT_TRUE(content.size() == f["bytes"] && content.starts_with("P6")) << f;
    }

    for (const char* c : {" ptz right 450", " ptz up 120"}) ASSERT_EQ(ipcctl(ip + c).status, 0) << c;
    r = ipcctl(ip + " --json preset store 7");
    EXPECT_EQ(json::parse(r.out), (json{{"ok", true}, {"operation", "store"}, {"number", 7}})) << r.err;
    ASSERT_EQ(ipcctl(ip + " ptz left 900").status, 0);
    EXPECT_EQ(cam->ptz().pan, 3150);
    cam->clear_requests();
    r = ipcctl(ip + " --json ptz stop");
    EXPECT_EQ(json::parse(r.out), (json{{"ok", true}, {"motion", "stop"}, {"step", 0}})) << r.err;
    auto stop = cam->wait_request(12, 2, 2s);  // the last control record: command 0 (stop), step 0
    ASSERT_TRUE(stop);
    EXPECT_EQ(stop->payload(), std::vector<uint8_t>(stop->payload().size(), 0));
    ASSERT_EQ(ipcctl(ip + " preset goto 7").status, 0);
    EXPECT_EQ(ipcctl(ip + " ptz position").out, "pan 450 tilt 120 zoom 10\n");
    ASSERT_EQ(ipcctl(ip + " time set 2026-12-05T13:00:00.250+01:00").status, 0);  // as watch prints it
    json t = json::parse(ipcctl(ip + " time --json").out);
    EXPECT_EQ(t["seconds"], 1796472000u);
    EXPECT_EQ(t["time"], "2026-12-05T12:00:00Z");

    // Exit status 1: the camera's refusal, named as the README's table does; 3: no login.
    cam->script(ipcsim::Scripted{});  // the login as usual, then a nak for the get
    cam->script(ipcsim::Reply::Nak);
    auto nak = ipcctl(ip + " get dev2-info");
    EXPECT_EQ(nak.status, 1);
    EXPECT_NE(nak.err.find("IPCGetDev2Info: 0x80002002 IPCSDK_ERR_REFUSED"), npos) << nak.err;
    ASSERT_TRUE(cam->wait_request(34, 6));
    auto none = testenv::sh(IPCCTL_PATH " " + ip + " info");
    EXPECT_EQ(none.status, 3);
    EXPECT_NE(none.err.find("no password was given; set it in the environment variable IPCCTL_PASSWORD"), npos)
        << none.err;
    EXPECT_EQ(ipcctl("--timeout 1 " + testenv::camera_ip(1) + " info").status, 3);
    auto onLine = testenv::sh(IPCCTL_PATH " -p admin " + ip + " ptz position --json");
    EXPECT_EQ(onLine.status, 0);
    EXPECT_NE(onLine.err.find("warning"), npos);
    EXPECT_EQ(onLine.err.find("admin"), npos) << "the password was echoed";
    EXPECT_EQ(json::parse(onLine.out), (json{{"pan", 450}, {"tilt", 120}, {"zoom", 10}}));
}

// One JSON object per line: the camera online, offline when it goes away, online again (one
// reconnect) when it is back; its reports in between.
TEST(Ipcctl, WatchShowsACameraGoingOfflineAndOnlineAgain) {
    auto cam = testenv::start_camera();
    const std::string ip = testenv::camera_ip(), log = testenv::workdir() + "/watch.out";
    setenv("IPCCTL_PASSWORD", "admin", 1);
    const int64_t begun = std::time(nullptr);
    Child watch({IPCCTL_PATH, "--json", ip, "watch", "--seconds", "60"}, log);
    ASSERT_TRUE(logSays(log, R"("event":"state","state":"online","reconnects":0)", 20s)) << testenv::read_file(log);
    ASSERT_TRUE(cam->wait_report_connection());
    cam->send_report(0x1003, std::vector<uint8_t>(64, 1));
    ASSERT_TRUE(logSays(log, R"("event":"report","type":4099,"bytes":64)", 20s)) << testenv::read_file(log);
    cam->stop();
    ASSERT_TRUE(logSays(log, R"("event":"state","state":"offline")", 30s)) << testenv::read_file(log);
    ASSERT_TRUE(cam->start());
    ASSERT_TRUE(logSays(log, R"("event":"state","state":"online","reconnects":1)", 60s)) << testenv::read_file(log);
    EXPECT_EQ(watch.stop(), 0);
    std::vector<json> all;
    std::istringstream in(testenv::read_file(log));
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("{")) all.push_back(json::parse(line));
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front()["camera"], ip);
    EXPECT_EQ(all.front()["state"], "connecting");
    // UTC with milliseconds, within the run: "2026-12-05T12:00:00.250Z".
    const std::string when = all.front()["time"];
    const auto seconds = ipctools::parse_utc_time(when);
    EXPECT_TRUE(when.size() == 24 && when[19] == '.' && when[23] == 'Z') << when;
    EXPECT_TRUE(seconds >= begun && seconds <= std::time(nullptr)) << when;
    std::vector<std::string> order;
    for (const auto& l : all)
        if (l["event"] != "state" || l["state"] != "connecting")
            order.push_back(l["event"] == "state" ? l["state"].get<std::string>() : l["event"].get<std::string>());
    EXPECT_EQ(order, (std::vector<std::string>{"online", "report", "offline", "online"}));
}


// One captured session, decoded by the dissector and replayed (pcap and pcapng) byte for byte;
// its prefixes and bit flips parse or are refused cleanly; bad captures refused by name.
TEST(Dissector, DecodesAndReplaysACapturedSession) {
    const std::string ip = testenv::camera_ip();
    // position: the camera acknowledges, then sends the position as a report.
    const std::vector<std::string> commands = {"get video-param --count 2 --json", "info --json", "get ex-osd --json",
                                               "ptz right 450", "ptz position", "position --json"};
    std::vector<std::string> captured;
    const std::string pcap = testenv::workdir() + "/session.pcap";
    std::vector<uint8_t> ntp;
    {
        auto cam = testenv::start_camera();
        Child tcpdump({TCPDUMP_PATH, "-i", "lo", "--immediate-mode", "-U", "-w", pcap, "host", ip}, pcap + ".log");
        if (!logSays(pcap + ".log", "listening on")) GTEST_SKIP() << "tcpdump cannot capture on lo here";
        for (const auto& c : commands) {
            auto r = ipcctl(ip + " " + c);
            ASSERT_EQ(r.status, 0) << c << ": " << r.err;
            captured.push_back(r.out);
        }
        ASSERT_EQ(ipcctl("--tcp 5002 " + ip + " get ntp-conf").status, 0);
        // A report cut into 7-byte segments; a datagram that is no message; a 4 GiB length on TCP.
        ipc::Sdk sdk;
        auto c = ipc::Camera::login({ip}, {"admin", "admin"});
        ASSERT_TRUE(cam->wait_report_connection());
        cam->send_report_split(ipcsim::Camera::report_message(0x1003, std::vector<uint8_t>(40, 0xAB)), 7, 5ms);
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{.sin_family = AF_INET, .sin_port = htons(5001), .sin_addr = {inet_addr(ip.c_str())}, .sin_zero{}};
        const char junk[] = "\x5b\x5a\x01\x01\x06\0\0\0\0\0\0\0\0\0\x01\0";  // length says 256, holds 0
        sendto(fd, junk, 16, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        close(fd);
        fd = socket(AF_INET, SOCK_STREAM, 0);
        to.sin_port = htons(5002);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        const char huge[] = "\x5b\x5a\x01\x03\x08\0\0\0\0\0\0\0\xff\xff\xff\xf0" "abcdefgh";
        ASSERT_EQ(send(fd, huge, 24, 0), 24);
        close(fd);
        // tcpdump, which may lag, drops what it has not read: stopped once the file stops growing.
        for (uintmax_t i = 0, still = 0, last = 1, now = 0; i < 200 && still < 5; ++i, last = now) {
            std::this_thread::sleep_for(100ms);
            std::error_code ec;
            now = std::filesystem::file_size(pcap, ec);
            still = (!ec && now == last) ? still + 1 : 0;
        }
        tcpdump.stop();
        ntp = cam->record(3, 8);
    }
    EXPECT_EQ(captured[4], "pan 450 tilt 0 zoom 10\n");
    auto r = tshark(pcap, "-e ipcsdk.class -e ipcsdk.code -e ipcsdk.length -e ipcsdk.command");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("Lua"), npos) << r.err;
    for (const char* line : {"0\t0\t160\tIPCUserLogin", "1\t6\t0\tIPCVideoParamGet",
                             "1\t6\t264\tIPCVideoParamGet",  // two 132-byte records
                             "3\t8\t0\tIPCNtpConfGet", "3\t8\t136\tIPCNtpConfGet",  // over TCP 5002
                             "0\t3\t132\tannouncement", "122\t3\t0\tack"})
        EXPECT_NE(("\n" + r.out).find("\n" + std::string(line) + "\n"), npos) << line << " in\n" << r.out;
    EXPECT_EQ(tshark(pcap, "-e ipcsdk.length", "ipcsdk.report_type == 0x1003").out, "52\n");
    EXPECT_EQ(tshark(pcap, "-e ipcsdk.NtpConfInfo.number", "ipcsdk.NtpConfInfo.number").out,
              std::to_string(ntp[8] << 8 | ntp[9]) + "\n");
    EXPECT_EQ(tshark(pcap, "-e ipcsdk.PTZValueRecord.usPanVal", "ipcsdk.PTZValueRecord.usPanVal").out, "450\n");
    EXPECT_EQ(tshark(pcap, "-e ipcsdk.length", "ipcsdk.malformed").out, "256\n4294967280\n");
    // The TCP command port is a preference: moved elsewhere, port 5002 is no longer ipcsdk.
    auto moved = tshark(pcap, "-o ipcsdk.cmd_port:6002 -e ipcsdk.code", "tcp.port == 5002 && ipcsdk");
    EXPECT_EQ(moved.out, "") << moved.err;

    const std::string pcapng = testenv::workdir() + "/session.pcapng", other = testenv::camera_ip(1);
    ASSERT_EQ(testenv::sh(TSHARK_PATH " -r " + pcap + " -F pcapng -w " + pcapng).status, 0);
    for (const auto& file : {pcap, pcapng}) {
        Child sim({IPCSIM_PATH, "--ip", other, "--replay", file}, file + ".log");
        ASSERT_TRUE(logSays(file + ".log", "replaying")) << testenv::read_file(file + ".log");
        for (size_t i = 0; i < commands.size(); ++i) {
            auto r = ipcctl(other + " " + commands[i]);
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out, captured[i]) << file << ": " << commands[i];
        }
        EXPECT_EQ(sim.stop(), 0);

        const std::string text = testenv::read_file(file);
        const std::vector<uint8_t> bytes(text.begin(), text.end());
        ASSERT_NO_THROW(ipcsim::parse_capture(bytes));
        auto parse = [](const std::vector<uint8_t>& b) {
            try {
                ipcsim::parse_capture(b);
            } catch (const ipcsim::CaptureError&) {
            }
        };
        for (size_t n = 0; n < bytes.size(); n += 3) parse({bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n)});
        uint32_t x = 12345;
        for (int round = 0; round < 300; ++round) {
            std::vector<uint8_t> noisy = bytes;
            for (int k = 0; k < 4; ++k) {
                x = x * 1664525u + 1013904223u;
                noisy[24 + x % (noisy.size() - 24)] ^= static_cast<uint8_t>(x >> 24 | 1);
            }
            parse(noisy);
        }
    }

    // A pcap header (little-endian, Ethernet) and one UDP datagram between other ports.
    const std::string header("\xd4\xc3\xb2\xa1\x02\x00\x04\x00\0\0\0\0\0\0\0\0\xff\xff\0\0\x01\0\0\0", 24);
    const std::string packet = std::string("\0\0\0\0\0\0\0\0\0\0\0\0\x08\0", 14) +
                               std::string("\x45\0\0\x24\0\0\0\0\x40\x11\0\0\x7f\0\0\x01\x7f\0\0\x02", 20) +
                               std::string("\x30\x39\x00\x35\x00\x10\0\0", 8) + "abcdefgh";
    const std::string record = std::string(8, '\0') + static_cast<char>(packet.size()) + std::string(3, '\0') +
                               static_cast<char>(packet.size()) + std::string(3, '\0');
    const std::pair<std::string, std::string> bad[] = {{"this is not a capture\n", "not a capture"},
                                                       {header + record + packet.substr(0, 20), "truncated capture"},
                                                       {header + record + packet, "no camera answers"},
                                                       {"", "not a capture"},
                                                       {"-", "cannot open"}};
    int n = 0;
    for (const auto& [bytes, expect] : bad) {
        const std::string path = testenv::workdir() + "/bad" + std::to_string(n++) + ".pcap";
        if (bytes != "-") std::ofstream(path, std::ios::binary) << bytes;
        auto r = testenv::sh(IPCSIM_PATH " --ip " + ip + " --replay " + path);
        EXPECT_EQ(r.status, 1) << expect;
        EXPECT_NE(r.err.find(expect), npos) << expect << ": " << r.err;
    }
}
