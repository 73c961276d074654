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
#include <cerrno>
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
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ipctools/cli.hpp"
#include "ipctools/input.hpp"
#include "ipctools/json_input.hpp"
#include "ipctools/ptz.hpp"
#include "ipctools/record_json.hpp"
#include "ipctools/settings.hpp"
#include "container.hpp"
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
    if (ec)
        throw Stop{kNoLogin, "cannot log in to " + o.address + ": " + describe(static_cast<uint32_t>(ec.value())) +
                                 (o.password.empty() && ec.value() == static_cast<int>(IPCSDK_ERR_AUTH)
                                      ? "\nipcctl: hint: no password was given; set it in the environment "
                                        "variable IPCCTL_PASSWORD (or use -p)"
                                      : "")};
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

// A command that changes something prints nothing on success, or with --json an object
// {"ok": true, ...what was done}.
void done(const Options& o, const ojson& fields) {
    if (!o.json) return;
    ojson j{{"ok", true}};
    for (auto it = fields.begin(); it != fields.end(); ++it) j[it.key()] = it.value();
    writeData(j.dump() + "\n");
}

std::string isoTime(uint32_t seconds) {
    std::time_t t = seconds;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
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
    if (!s) {
        std::vector<std::string_view> names;
        for (const auto& e : ipctools::settingSchemas()) names.push_back(e.info->name);
        const std::string near = ipctools::closest(name, names);
        usage("unknown setting \"" + name.substr(0, 64) + "\"" + (near.empty() ? "" : "; did you mean \"" + near + "\"?") +
              " (ipcctl list shows them)");
    }
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
        j = ipctools::readJson(file);
    } catch (const ipctools::InputError& e) {
        usage(std::string("set ") + name + ": " + e.what());
    }
    std::vector<uint8_t> records;
    try {
        records = ipctools::recordsFromJson(*s.layout, j, s.info->counted() ? s.info->max_count : 1);
    } catch (const ipctools::FieldError& e) {
        usage("set " + name + ": " + e.what() + "; nothing was sent");
    }
    Session session(o);
    camera([&] { session.cam.set(*s.info, std::as_bytes(std::span(records))); });
    done(o, {{"setting", name}, {"records", records.size() / s.layout->size}});
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
    if (!ipctools::ptzControl(what, 0)) {
        std::vector<std::string_view> names{"position"};
        for (const auto& [n, v] : ipctools::kPtzMotions) names.push_back(n);
        const std::string near = ipctools::closest(what, names);
        usage("ptz: unknown motion \"" + what.substr(0, 64) + "\"" + (near.empty() ? "" : "; did you mean \"" + near + "\"?") +
              " (up, down, left, right, zoom-in, zoom-out, stop, position)");
    }
    uint32_t step = 0;
    if (what == "stop") {
        if (!args.empty()) usage("ptz stop takes no STEP");
    } else {
        if (args.size() != 1) usage("ptz " + what + " needs one STEP");
        auto v = ipctools::parseDecimal(args[0], 0, 0xFFFFFFFFu);
        if (!v) usage("ptz: STEP: " + ipctools::decimalProblem(args[0], 0, 0xFFFFFFFFu));
        step = static_cast<uint32_t>(*v);
    }
    const PTZCtrlRecord ctrl = *ipctools::ptzControl(what, step);
    Session session(o);
    camera([&] { return session.cam.call<IPCPTZCtrl>(ctrl); });
    done(o, {{"motion", what}, {"step", step}});
    return kDone;
}

int cmdPreset(const Options& o, const std::string& what, int number) {
    if (number < 1 || number > 255) usage("preset: N must be 1 to 255");
    const auto rec = ipctools::presetRecord(what, static_cast<uint32_t>(number));
    if (!rec) usage("preset: unknown operation \"" + what + "\" (store, goto, clear)");
    Session session(o);
    camera([&] { return session.cam.call<IPCSetPresetPoint>(*rec); });
    done(o, {{"operation", what}, {"number", number}});
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
        auto t = ipctools::parseUtcTime(args[1]);
        if (!t)
            usage("time set: \"" + args[1].substr(0, 64) +
                  "\" is not a valid ISO-8601 time such as 2026-12-05T12:00:00Z, 2026-12-05T12:00:00.250Z or "
                  "2026-12-05 13:00:00+01:00");
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
    done(o, {{"time", isoTime(t.word)}, {"seconds", t.word}});
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
    done(o, {{"command", what}});
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
    if (isContainerFile(file)) return recordContainer(o, file, seconds, frames);
    bool toStdout = file == "-";
    // The file is created (or emptied) only once the login succeeded: a wrong password or an
    // unreachable camera leaves an existing recording as it was.
    std::error_code fec;
    if (!toStdout && std::filesystem::is_directory(file, fec)) usage("record: " + file + " is a directory");
    if (!toStdout && access(file.c_str(), W_OK) != 0 && errno != ENOENT) usage("cannot write " + file + ": " + std::strerror(errno));
    Session session(o);
    FILE* out = toStdout ? g_data : std::fopen(file.c_str(), "wb");
    if (!out) throw Stop{kFailed, "cannot write " + file + ": " + std::strerror(errno)};
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

// The login record's text fields hold this many characters before their NUL; a longer user
// name or password would be cut and then refused as wrong.
constexpr size_t kCredentialMax = sizeof(LoginUserInfo::password) - 1;
static_assert(sizeof(LoginUserInfo::userName) == sizeof(LoginUserInfo::password));

int run(int argc, char** argv) {
    Options o;
    CLI::App app{"ipcctl: a PTZ IP camera from the shell.\n"
                 "Exit status: 0 done, 1 the camera refused or failed, 2 usage error, 3 no login.",
                 "ipcctl"};
    using ipctools::cli::decimal;
    app.fallthrough();
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("ipcctl ") + IPCSDK_VERSION);
    const std::string atMost = "at most " + std::to_string(kCredentialMax) + " characters";
    app.add_option("-u,--user", o.user, "user name (default admin, " + atMost + ")")
        ->check(ipctools::cli::maxLength(kCredentialMax));
    auto* pw = app.add_option("-p,--password", o.password,
                              "password (" + atMost + "); better in the environment variable IPCCTL_PASSWORD")
                   ->check(ipctools::cli::maxLength(kCredentialMax));
    app.add_option("--tcp", o.tcpPort, "commands over TCP on this port (default: UDP 5001)")->check(decimal(1, 65535));
    app.add_option("--timeout", o.timeout, "seconds to wait for the login and for waiting commands (default 5)")
        ->check(decimal(1, 3600));
    app.add_flag("--json", o.json, "JSON output (one object per line for watch)");
    app.add_option("address", o.address, "the camera's IPv4 address")->check(ipctools::cli::ipv4);

    app.add_subcommand("info", "system information");
    app.add_subcommand("list", "every setting get and set know, with class and code");
    auto* get = app.add_subcommand("get", "read a setting");
    std::string name, file;
    size_t count = 1;
    get->add_option("name", name, "setting name (see list)")->required();
    get->add_option("-c,--count", count, "records to read of a counted setting")->check(decimal(1, 65535));
    auto* set = app.add_subcommand("set", "write a setting from JSON as get --json prints it");
    set->add_option("name", name, "setting name (see list)")->required();
    set->add_option("file", file, "JSON file, or - for standard input (the default)");
    auto* ptz = app.add_subcommand("ptz", "move: up|down|left|right|zoom-in|zoom-out STEP; or: stop; or: position");
    std::string what;
    std::vector<std::string> args;
    ptz->add_option("motion", what, "up, down, left, right, zoom-in, zoom-out, stop or position")->required();
    ptz->add_option("args", args, "STEP");
    auto* preset = app.add_subcommand("preset", "store|goto|clear N");
    int number = 0;
    preset->add_option("operation", what, "store, goto or clear")->required();
    preset->add_option("number", number, "preset 1..255")->required()->check(decimal(1, 255));
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
    record->add_option("-o,--output", file, "file to write, - for standard output; .mp4 (fragmented), .mkv, .ts: a container")->required();
    record->add_option("--seconds", seconds, "record this long")->check(decimal(1, 86400 * 365));
    record->add_option("--frames", frames, "record this many frames")->check(decimal(1, uint64_t{1} << 40));
    auto* watch = app.add_subcommand("watch", "supervise camera(s): one line per state change and report");
    WatchOptions wo;
    watch->add_option("more", wo.more, "further camera addresses")->check(ipctools::cli::ipv4);
    watch->add_option("--seconds", wo.seconds, "stop after this long (default: until interrupted)")
        ->check(decimal(1, 86400 * 365));
    watch->add_flag("--video", wo.video, "also stream video and print a frames line per camera every second");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        // A mistyped command is taken for an address or an extra word: name the likely command.
        std::vector<std::string> commands;
        for (const auto* c : app.get_subcommands([](const CLI::App*) { return true; })) commands.push_back(c->get_name());
        static const std::set<std::string> valued = {"-u", "--user", "-p", "--password", "--tcp", "--timeout", "-c",
                                                     "--count", "-o", "--output", "--seconds", "--frames"};
        for (int i = 1; i < argc; ++i) {
            const std::string word = argv[i];
            if (word.empty() || word[0] == '-' || ipctools::parseIpv4(word) || valued.count(argv[i - 1])) continue;
            if (std::find(commands.begin(), commands.end(), word) != commands.end()) break;
            const std::string near = ipctools::closest(word, commands);
            if (!near.empty()) {
                std::cerr << "ipcctl: unknown command \"" << word << "\"; did you mean \"" << near << "\"?\n";
                return kUsage;
            }
        }
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
        if (o.password.size() > kCredentialMax) {
            std::cerr << "ipcctl: IPCCTL_PASSWORD: at most " << kCredentialMax << " characters, got " << o.password.size()
                      << "\n";
            return kUsage;
        }
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
