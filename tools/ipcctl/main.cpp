// ipcctl: one camera (or a few) from the shell, on the C++ layer.
//
// Exit status: 0 done, 1 the camera refused or failed, 2 usage error (bad arguments, an
// unknown setting, JSON that does not fit the record), 3 no login (unreachable or wrong
// credentials). Data goes to standard output, messages to standard error.
#include <CLI/CLI.hpp>
#include <ipcsdk.hpp>
#include <nlohmann/json.hpp>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "ipctools/ptz.hpp"
#include "ipctools/record_json.hpp"
#include "ipctools/settings.hpp"
#include "ipcctl.hpp"

namespace ipcctl {

using ojson = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

std::string describe(uint32_t code) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
    return std::string(hex) + " " + ipc::code_name(code) + " (" + ipc::category().message(static_cast<int>(code)) + ")";
}

Stop failure(const ipc::Error& e) {
    std::string what = e.what();
    return Stop{kFailed, what.substr(0, what.find(':')) + ": " + describe(e.result())};
}

Session::Session(const Options& o) {
    if (o.address.empty()) usage("this command needs the camera's ADDRESS");
    ipc::Endpoint ep;
    ep.address = o.address;
    if (o.tcpPort) {
        ep.transport = ipc::Endpoint::Transport::tcp;
        ep.port = o.tcpPort;
    }
    std::error_code ec;
    cam = ipc::Camera::login(ep, {o.user, o.password}, std::chrono::seconds(o.timeout), ec);
    if (ec) throw Stop{kNoLogin, "cannot log in to " + o.address + ": " + describe(static_cast<uint32_t>(ec.value()))};
}

// Standard output as it was at start. The library writes a few lines of its own to standard
// output (at logout, for instance); they must not end up in the data, so descriptor 1 is
// pointed at /dev/null and the data goes here.
FILE* g_data = stdout;

void separateData() {
    int fd = dup(1);
    int null = open("/dev/null", O_WRONLY);
    if (fd < 0 || null < 0) return;
    std::fflush(stdout);
    if (FILE* f = fdopen(fd, "w")) {
        g_data = f;
        dup2(null, 1);
    }
    close(null);
}

bool writeData(std::string_view bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), g_data) == bytes.size() && std::fflush(g_data) == 0;
}

// Stops on SIGINT/SIGTERM: the waiting commands poll this.
std::atomic<bool> g_interrupted{false};
extern "C" void onSignal(int) { g_interrupted = true; }

void catchInterrupt() {
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

namespace {

void print(const Options& o, const ojson& j, const std::string& text) {
    writeData(o.json ? j.dump(2) + "\n" : text);
}

std::string readInput(const std::string& file) {
    if (file.empty() || file == "-") return {std::istreambuf_iterator<char>(std::cin), {}};
    std::ifstream in(file, std::ios::binary);
    if (!in) usage("cannot read " + file);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string isoTime(uint32_t seconds) {
    std::time_t t = seconds;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

// "2026-12-05T12:00:00Z", "2026-12-05 12:00:00", "2026-12-05T13:00:00+01:00": seconds since
// the epoch (UTC when no offset is given).
std::optional<int64_t> parseIso(const std::string& s) {
    std::tm tm{};
    int n = 0;
    if (std::sscanf(s.c_str(), "%4d-%2d-%2d%*[T ]%2d:%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec, &n) != 6)
        return std::nullopt;
    if (tm.tm_mon < 1 || tm.tm_mon > 12 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 60)
        return std::nullopt;
    std::string rest = s.substr(static_cast<size_t>(n));
    int64_t offset = 0;
    if (rest == "Z" || rest.empty()) {
    } else {
        int sign = rest[0] == '+' ? 1 : rest[0] == '-' ? -1 : 0;
        int hh = 0, mm = 0;
        if (!sign || std::sscanf(rest.c_str() + 1, "%2d:%2d", &hh, &mm) != 2 || rest.size() != 6) return std::nullopt;
        offset = sign * (hh * 3600 + mm * 60);
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<int64_t>(timegm(&tm)) - offset;
}

// ---- commands ---------------------------------------------------------------------------------

int cmdList(const Options& o) {
    ojson all = ojson::array();
    std::string text;
    for (const auto& s : ipctools::settingSchemas()) {
        const ipc::SettingInfo& i = *s.info;
        ojson e = {{"name", i.name},
                   {"class", i.get_class},
                   {"code", i.get_code},
                   {"get", i.get_function},
                   {"set", i.writable ? ojson(i.set_function) : ojson(nullptr)},
                   {"set_code", i.writable ? ojson(i.set_code) : ojson(nullptr)},
                   {"record", s.layout->name},
                   {"max_count", i.counted() ? i.max_count : 1}};
        all.push_back(e);
        char line[160];
        std::snprintf(line, sizeof line, "%-30s %2u.%-3u %-28s %s\n", std::string(i.name).c_str(), i.get_class,
                      i.get_code,
                      i.writable ? (std::to_string(i.set_class) + "." + std::to_string(i.set_code)).c_str() : "read-only",
                      i.counted() ? ("up to " + std::to_string(i.max_count) + " records").c_str() : "");
        text += line;
    }
    print(o, all, text);
    return kDone;
}

const ipctools::SettingSchema& setting(const std::string& name) {
    const auto* s = ipctools::findSettingSchema(name);
    if (!s) usage("unknown setting \"" + name + "\" (ipcctl list shows them)");
    return *s;
}

int cmdGet(const Options& o, const std::string& name, size_t count) {
    const auto& s = setting(name);
    if (!s.info->counted() && count != 1) usage(name + " is a single record; --count does not apply");
    if (count < 1 || (s.info->counted() && count > s.info->max_count))
        usage("--count must be 1 to " + std::to_string(s.info->max_count) + " for " + name);
    std::vector<std::byte> buf(count * s.info->record_size);
    Session session(o);
    camera([&] { session.cam.get(*s.info, buf); });
    std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(buf.data()), buf.size());
    print(o, s.info->counted() ? ipctools::recordsToJson(*s.layout, bytes) : ipctools::toJson(*s.layout, bytes),
          ipctools::toText(*s.layout, bytes));
    return kDone;
}

int cmdSet(const Options& o, const std::string& name, const std::string& file) {
    const auto& s = setting(name);
    if (!s.info->writable) usage(name + " is read-only");
    nlohmann::json j;
    try {
        j = nlohmann::json::parse(readInput(file));
    } catch (const nlohmann::json::parse_error& e) {
        usage((file.empty() || file == "-" ? std::string("standard input") : file) + " is not JSON: " + e.what());
    }
    std::vector<uint8_t> records;
    try {
        records = ipctools::recordsFromJson(*s.layout, j, s.info->counted() ? s.info->max_count : 1);
    } catch (const ipctools::FieldError& e) {
        usage("set " + name + ": " + e.what() + "; nothing was sent");
    }
    Session session(o);
    camera([&] { session.cam.set(*s.info, std::as_bytes(std::span(records))); });
    return kDone;
}

int cmdInfo(const Options& o) {
    Session session(o);
    SystemInfo info{};
    camera([&] { session.cam.get(info); });
    std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(&info), sizeof info);
    print(o, ipctools::toJson(info), ipctools::toText(ipctools::kLayout<SystemInfo>, bytes));
    return kDone;
}

int cmdPtz(const Options& o, const std::string& what, const std::vector<std::string>& args) {
    if (what == "position") {
        if (!args.empty()) usage("ptz position takes no argument");
        Session session(o);
        PTZValueRecord v{};
        camera([&] { session.cam.get(v); });
        char line[96];
        std::snprintf(line, sizeof line, "pan %u tilt %u zoom %u\n", v.usPanVal, v.usValue2, v.usValue3);
        print(o, ipctools::ptzPosition(v), line);
        return kDone;
    }
    if (what == "stop" || !ipctools::ptzControl(what, 0))
        usage("ptz: unknown motion \"" + what + "\" (up, down, left, right, zoom-in, zoom-out, position)");
    if (args.size() != 1) usage("ptz " + what + " needs one STEP");
    uint32_t step = 0;
    try {
        size_t used = 0;
        unsigned long v = std::stoul(args[0], &used);
        if (used != args[0].size() || v > 0xFFFFFFFFul) throw std::out_of_range("step");
        step = static_cast<uint32_t>(v);
    } catch (const std::exception&) {
        usage("ptz: STEP must be a number from 0 to 4294967295, got \"" + args[0] + "\"");
    }
    const PTZCtrlRecord ctrl = *ipctools::ptzControl(what, step);
    Session session(o);
    camera([&] { return session.cam.call<IPCPTZCtrl>(ctrl); });
    return kDone;
}

int cmdPreset(const Options& o, const std::string& what, int number) {
    if (number < 1 || number > 255) usage("preset: N must be 1 to 255");
    const auto rec = ipctools::presetRecord(what, static_cast<uint32_t>(number));
    if (!rec) usage("preset: unknown operation \"" + what + "\" (store, goto, clear)");
    Session session(o);
    camera([&] { return session.cam.call<IPCSetPresetPoint>(*rec); });
    return kDone;
}

// The camera's time record: seconds since the epoch, then the time as text.
int cmdTime(const Options& o, const std::vector<std::string>& args) {
    if (args.empty()) {
        Session session(o);
        SystemTimeInfo t{};
        camera([&] { session.cam.get(t); });
        std::string text(reinterpret_cast<const char*>(t.block), strnlen(reinterpret_cast<const char*>(t.block), sizeof t.block));
        ojson j{{"time", isoTime(t.word)}, {"seconds", t.word}};
        std::string clean;
        try {
            j["text"] = text;
            (void)j.dump();
            clean = text;
        } catch (const nlohmann::json::exception&) {
            j["text"] = nullptr;
        }
        print(o, j, isoTime(t.word) + (clean.empty() ? "" : "  \"" + clean + "\"") + "\n");
        return kDone;
    }
    if (args.size() != 2 || args[0] != "set") usage("time takes no argument, or: set now|ISO-8601");
    int64_t when;
    if (args[1] == "now") {
        when = std::time(nullptr);
    } else {
        auto t = parseIso(args[1]);
        if (!t) usage("time set: \"" + args[1] + "\" is not an ISO-8601 time such as 2026-12-05T12:00:00Z");
        when = *t;
    }
    if (when < 0 || when > 0xFFFFFFFFll) usage("time set: out of the camera's range (1970 to 2106)");
    SystemTimeInfo t{};
    t.word = static_cast<uint32_t>(when);
    std::time_t tt = static_cast<std::time_t>(when);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    std::strftime(reinterpret_cast<char*>(t.block), sizeof t.block, "%Y-%m-%d %H:%M:%S +00:00", &tm);
    Session session(o);
    camera([&] { session.cam.set(t); });
    return kDone;
}

int cmdMaintenance(const Options& o, const std::string& what, bool yes) {
    if (!yes) usage(what + " needs --yes");
    Session session(o);
    camera([&] {
        if (what == "reboot") return session.cam.call<IPCReboot>();
        if (what == "ptz-reboot") return session.cam.call<IPCPtzReboot>();
        return session.cam.call<IPCDevFactoryDefault>();
    });
    return kDone;
}

const char* extensionOf(std::span<const uint8_t> p) {
    if (p.size() >= 3 && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF) return ".jpg";
    if (p.size() >= 2 && p[0] == 'P' && (p[1] == '6' || p[1] == '5' || p[1] == '3')) return ".ppm";
    if (p.size() >= 8 && std::memcmp(p.data(), "\x89PNG", 4) == 0) return ".png";
    return ".bin";
}

uint32_t le32(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24; }

int cmdSnapshot(const Options& o, const std::string& dir) {
    std::error_code fec;
    if (!std::filesystem::is_directory(dir, fec)) usage("snapshot: " + dir + " is not a directory");
    Session session(o);
    SimuSnapInfo snap{};
    auto pair = camera([&] { return session.cam.wait_for<IPCSIMUSNAP>(snap, o.timeout); });
    if (!pair) throw Stop{kFailed, "IPCSIMUSNAP: " + describe(IPCSDK_ERR_NO_PICTURE)};
    const auto& b = *pair;
    if (b.size() < sizeof(SnapPairResult)) throw Stop{kFailed, "IPCSIMUSNAP: result shorter than its head"};
    uint32_t len1 = le32(b.data() + offsetof(SnapPairResult, snapLen1)), len2 = le32(b.data() + offsetof(SnapPairResult, snapLen2));
    if (uint64_t{len1} + len2 > b.size() - sizeof(SnapPairResult)) throw Stop{kFailed, "IPCSIMUSNAP: pictures cut short"};
    ojson files = ojson::array();
    std::string text;
    const uint8_t* at = b.data() + sizeof(SnapPairResult);
    for (int i = 1; i <= 2; ++i) {
        std::span<const uint8_t> pic(at, i == 1 ? len1 : len2);
        std::string path = (std::filesystem::path(dir) / ("snapshot-" + std::to_string(i) + extensionOf(pic))).string();
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(pic.data()), static_cast<std::streamsize>(pic.size()));
        if (!out.flush()) throw Stop{kFailed, "cannot write " + path};
        files.push_back({{"file", path}, {"bytes", pic.size()}});
        text += path + " (" + std::to_string(pic.size()) + " bytes)\n";
        at += pic.size();
    }
    print(o, files, text);
    return kDone;
}

// The position and distance commands answer with a report whose body the camera fills in
// (text in the simulator's case): printed as text when it is text, else as hex.
template <auto Fn, class Request>
int cmdWaitingReport(const Options& o, const char* what) {
    Session session(o);
    Request req{};
    auto body = camera([&] { return session.cam.wait_for<Fn>(req, o.timeout, IPCSDK_REPORT_BUF_SIZE); });
    if (!body) throw Stop{kFailed, std::string(what) + ": no report within " + std::to_string(o.timeout) + " s"};
    // Text: the printable characters before the first NUL.
    size_t end = 0;
    while (end < body->size() && (*body)[end] >= 0x20 && (*body)[end] < 0x7F) ++end;
    bool isText = end > 0 && (end == body->size() || (*body)[end] == 0);
    std::string s(body->begin(), body->begin() + static_cast<std::ptrdiff_t>(end));
    ojson j{{"bytes", body->size()}, {"text", isText ? ojson(s) : ojson(nullptr)}, {"hex", ipctools::hex(*body)}};
    print(o, j, (isText ? s : ipctools::hex(*body)) + "\n");
    return kDone;
}

int cmdRecord(const Options& o, const std::string& file, int seconds, long frames) {
    if ((seconds > 0) == (frames > 0)) usage("record needs exactly one of --seconds N and --frames N");
    bool toStdout = file == "-";
    FILE* out = toStdout ? g_data : std::fopen(file.c_str(), "wb");
    if (!out) usage("cannot write " + file);
    Session session(o);
    std::mutex mu;
    std::condition_variable cv;
    uint64_t count = 0, bytes = 0;
    bool writeFailed = false, noVideo = false;
    session.cam.on_frame([&](const ipc::Frame& f) {
        auto p = f.payload();
        std::lock_guard lk(mu);
        if (frames > 0 && count >= static_cast<uint64_t>(frames)) return;
        writeFailed = writeFailed || std::fwrite(p.data(), 1, p.size(), out) != p.size();
        ++count;
        bytes += p.size();
        cv.notify_all();
    });
    catchInterrupt();
    auto start = Clock::now();
    camera([&] { session.cam.open_video_channel(); });
    // The start request's record ends in a flexible array (no extra data here), so it is
    // passed by pointer.
    VideoStartInfo req{};
    VideoStartInfo* reqp = &req;
    camera([&] { return session.cam.call<IPCStartVideo>(reqp); });
    bool progress = isatty(2);
    auto deadline = start + std::chrono::seconds(seconds);
    {
        std::unique_lock lk(mu);
        while (!g_interrupted && !writeFailed) {
            if (frames > 0 && count >= static_cast<uint64_t>(frames)) break;
            if (seconds > 0 && Clock::now() >= deadline) break;
            if (count == 0 && Clock::now() - start >= std::chrono::seconds(o.timeout)) {
                noVideo = true;
                break;
            }
            cv.wait_for(lk, std::chrono::milliseconds(250));
            if (progress) {
                double s = std::chrono::duration<double>(Clock::now() - start).count();
                std::fprintf(stderr, "\r%llu frames, %llu bytes, %.1f s ", static_cast<unsigned long long>(count),
                             static_cast<unsigned long long>(bytes), s);
            }
        }
    }
    VideoStopInfo stop{};
    std::error_code ec;
    session.cam.call<IPCStopVideo>(stop, ec);
    session.cam.close_video_channel(ec);
    session.cam.on_frame(nullptr);
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::lock_guard lk(mu);
    writeFailed = std::fflush(out) != 0 || writeFailed;
    if (!toStdout) writeFailed = std::fclose(out) != 0 || writeFailed;
    if (progress) std::fputs("\n", stderr);
    if (writeFailed) throw Stop{kFailed, "cannot write " + file};
    if (noVideo) throw Stop{kFailed, "no video frame within " + std::to_string(o.timeout) + " s"};
    char line[128];
    std::snprintf(line, sizeof line, "%llu frames, %llu bytes, %.1f seconds\n", static_cast<unsigned long long>(count),
                  static_cast<unsigned long long>(bytes), elapsed);
    ojson j{{"file", file}, {"frames", count}, {"bytes", bytes}, {"seconds", elapsed}};
    if (toStdout)
        std::cerr << (o.json ? j.dump() + "\n" : std::string(line));
    else
        print(o, j, line);
    return kDone;
}

}  // namespace

int run(int argc, char** argv) {
    Options o;
    CLI::App app{"ipcctl: a PTZ IP camera from the shell.\n"
                 "Exit status: 0 done, 1 the camera refused or failed, 2 usage error, 3 no login.",
                 "ipcctl"};
    app.fallthrough();
    app.require_subcommand(1);
    app.add_option("-u,--user", o.user, "user name (default admin)");
    auto* pw = app.add_option("-p,--password", o.password,
                              "password; better in the environment variable IPCCTL_PASSWORD");
    app.add_option("--tcp", o.tcpPort, "commands over TCP on this port (default: UDP 5001)")->check(CLI::Range(1, 65535));
    app.add_option("--timeout", o.timeout, "seconds to wait for the login and for waiting commands (default 5)")
        ->check(CLI::Range(1, 3600));
    app.add_flag("--json", o.json, "JSON output (one object per line for watch)");
    app.add_option("address", o.address, "the camera's IPv4 address");

    app.add_subcommand("info", "system information");
    app.add_subcommand("list", "every setting get and set know, with class and code");
    auto* get = app.add_subcommand("get", "read a setting");
    std::string name, file;
    size_t count = 1;
    get->add_option("name", name, "setting name (see list)")->required();
    get->add_option("-c,--count", count, "records to read of a counted setting");
    auto* set = app.add_subcommand("set", "write a setting from JSON as get --json prints it");
    set->add_option("name", name, "setting name (see list)")->required();
    set->add_option("file", file, "JSON file, or - for standard input (the default)");
    auto* ptz = app.add_subcommand("ptz", "move: up|down|left|right|zoom-in|zoom-out STEP; or: position");
    std::string what;
    std::vector<std::string> args;
    ptz->add_option("motion", what, "up, down, left, right, zoom-in, zoom-out or position")->required();
    ptz->add_option("args", args, "STEP");
    auto* preset = app.add_subcommand("preset", "store|goto|clear N");
    int number = 0;
    preset->add_option("operation", what, "store, goto or clear")->required();
    preset->add_option("number", number, "preset 1..255")->required();
    auto* timeCmd = app.add_subcommand("time", "read the camera's time; time set now|ISO-8601 sets it");
    timeCmd->add_option("args", args, "set now|ISO-8601");
    bool yes = false;
    for (const char* m : {"reboot", "ptz-reboot", "factory-default"}) {
        auto* c = app.add_subcommand(m, std::string(m) == "reboot"         ? "restart the camera (needs --yes)"
                                        : std::string(m) == "ptz-reboot" ? "restart the PTZ head (needs --yes)"
                                                                           : "reset every setting (needs --yes)");
        c->add_flag("-y,--yes", yes, "really do it");
    }
    auto* snapshot = app.add_subcommand("snapshot", "take the picture pair (two files)");
    std::string dir = ".";
    snapshot->add_option("-o,--output", dir, "directory for the two pictures (default .)");
    app.add_subcommand("position", "ask for a position report");
    app.add_subcommand("distance", "ask for a distance report");
    auto* record = app.add_subcommand("record", "write the video payloads to a file");
    int seconds = 0;
    long frames = 0;
    record->add_option("-o,--output", file, "file to write, - for standard output")->required();
    record->add_option("--seconds", seconds, "record this long")->check(CLI::Range(1, 86400 * 365));
    record->add_option("--frames", frames, "record this many frames")->check(CLI::Range(1L, 1L << 40));
    auto* watch = app.add_subcommand("watch", "supervise camera(s): one line per state change and report");
    WatchOptions wo;
    watch->add_option("more", wo.more, "further camera addresses");
    watch->add_option("--seconds", wo.seconds, "stop after this long (default: until interrupted)")
        ->check(CLI::Range(1, 86400 * 365));
    watch->add_flag("--video", wo.video, "also stream video and print a frames line per camera every second");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kUsage;
    }
    separateData();
    if (pw->count() > 0) {
        o.passwordGiven = true;
        std::fputs("ipcctl: warning: a password on the command line is visible to other users; "
                   "use IPCCTL_PASSWORD\n",
                   stderr);
    } else if (const char* env = std::getenv("IPCCTL_PASSWORD")) {
        o.password = env;
    }

    try {
        const std::string cmd = app.get_subcommands().front()->get_name();
        if (cmd == "list") return cmdList(o);
        if (cmd == "info") return cmdInfo(o);
        if (cmd == "get") return cmdGet(o, name, count);
        if (cmd == "set") return cmdSet(o, name, file);
        if (cmd == "ptz") return cmdPtz(o, what, args);
        if (cmd == "preset") return cmdPreset(o, what, number);
        if (cmd == "time") return cmdTime(o, args);
        if (cmd == "reboot" || cmd == "ptz-reboot" || cmd == "factory-default") return cmdMaintenance(o, cmd, yes);
        if (cmd == "snapshot") return cmdSnapshot(o, dir);
        if (cmd == "position") return cmdWaitingReport<IPCGpsInfo, GpsInfoRequest>(o, "position");
        if (cmd == "distance") return cmdWaitingReport<IPCDistantInfoSet, DistantInfo>(o, "distance");
        if (cmd == "record") return cmdRecord(o, file, seconds, frames);
        if (cmd == "watch") return cmdWatch(o, wo);
        usage("unknown command " + cmd);
    } catch (const Stop& s) {
        std::cerr << "ipcctl: " << s.message << "\n";
        return s.status;
    } catch (const ipc::Error& e) {
        Stop s = failure(e);
        std::cerr << "ipcctl: " << s.message << "\n";
        return s.status;
    }
}

}  // namespace ipcctl

int main(int argc, char** argv) { return ipcctl::run(argc, argv); }
