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
#include <memory>
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
#include "ipctools/utc_time.hpp"
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
    if (o.tcp_port) {
        ep.transport = ipc::Endpoint::Transport::tcp;
        ep.port = o.tcp_port;
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

void separate_data() {
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

bool write_data(std::string_view bytes) {
    return std::fwrite(bytes.data(), 1, bytes.size(), g_data) == bytes.size() && std::fflush(g_data) == 0;
}

// Stops on SIGINT/SIGTERM: the waiting commands poll this.
std::atomic<bool> g_interrupted{false};
extern "C" void on_signal(int) { g_interrupted = true; }

void catch_interrupt() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

namespace {

void print(const Options& o, const ojson& j, const std::string& text) {
    write_data(o.json ? j.dump(2) + "\n" : text);
}

// A command that changes something prints nothing on success, or with --json an object
// {"ok": true, ...what was done}.
void done(const Options& o, const ojson& fields) {
    if (!o.json) return;
    ojson j{{"ok", true}};
    for (auto it = fields.begin(); it != fields.end(); ++it) j[it.key()] = it.value();
    write_data(j.dump() + "\n");
}

// ---- commands: each owns its options (add) and does its work (run) --------------------------

using ipctools::cli::decimal;

struct Info {
    void run(const Options& o) const;
};

struct List {
    void run(const Options& o) const;
};

struct Get {
    std::string name;
    size_t count = 1;
    void add(CLI::App& c) {
        c.add_option("name", name, "setting name (see list)")->required();
        c.add_option("-c,--count", count, "records to read of a counted setting")->check(decimal(1, 65535));
    }
    void run(const Options& o) const;
};

struct Set {
    std::string name, file;
    void add(CLI::App& c) {
        c.add_option("name", name, "setting name (see list)")->required();
        c.add_option("file", file, "JSON file, or - for standard input (the default)");
    }
    void run(const Options& o) const;
};

struct Ptz {
    std::string motion;
    std::vector<std::string> args;
    void add(CLI::App& c) {
        c.add_option("motion", motion, "up, down, left, right, zoom-in, zoom-out, stop or position")->required();
        c.add_option("args", args, "STEP");
    }
    void run(const Options& o) const;
};

struct Preset {
    std::string operation;
    int number = 0;
    void add(CLI::App& c) {
        c.add_option("operation", operation, "store, goto or clear")->required();
        c.add_option("number", number, "preset 1..255")->required()->check(decimal(1, 255));
    }
    void run(const Options& o) const;
};

struct Time {
    std::vector<std::string> args;
    void add(CLI::App& c) { c.add_option("args", args, "set now|ISO-8601"); }
    void run(const Options& o) const;
};

// reboot, ptz-reboot and factory-default: the subcommand's name says which.
struct Maintenance {
    std::string command;
    bool yes = false;
    void add(CLI::App& c) {
        command = c.get_name();
        c.add_flag("-y,--yes", yes, "really do it");
    }
    void run(const Options& o) const;
};

struct Snapshot {
    std::string dir = ".";
    void add(CLI::App& c) { c.add_option("-o,--output", dir, "directory for the two pictures (default .)"); }
    void run(const Options& o) const;
};

// position and distance: the request Fn takes, and the subcommand's name for messages.
template <auto Fn, class Request>
struct WaitingReport {
    std::string what;
    void add(CLI::App& c) { what = c.get_name(); }
    void run(const Options& o) const;
};

struct Record {
    std::string file;
    int seconds = 0;
    long frames = 0;
    void add(CLI::App& c) {
        c.add_option("-o,--output", file, "file to write, - for standard output; .mp4 (fragmented), .mkv, .ts: a container")->required();
        c.add_option("--seconds", seconds, "record this long")->check(decimal(1, 86400 * 365));
        c.add_option("--frames", frames, "record this many frames")->check(decimal(1, uint64_t{1} << 40));
    }
    void run(const Options& o) const;
};

// Subcommand `name` owning a C: C::add (where there is one) declares its options, C::run is
// its callback, run once the whole command line is parsed.
template <class C>
void add_command(CLI::App& app, const Options& o, const std::string& name, const std::string& description) {
    auto cmd = std::make_shared<C>();
    CLI::App* sub = app.add_subcommand(name, description);
    if constexpr (requires { cmd->add(*sub); }) cmd->add(*sub);
    sub->callback([&o, cmd] { cmd->run(o); });
}

void List::run(const Options& o) const {
    ojson all = ojson::array();
    std::string text;
    for (const auto& s : ipctools::setting_schemas()) {
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
}

const ipctools::SettingSchema& setting(const std::string& name) {
    const auto* s = ipctools::find_setting_schema(name);
    if (!s) {
        std::vector<std::string_view> names;
        for (const auto& e : ipctools::setting_schemas()) names.push_back(e.info->name);
        const std::string near = ipctools::closest(name, names);
        usage("unknown setting \"" + name.substr(0, 64) + "\"" + (near.empty() ? "" : "; did you mean \"" + near + "\"?") +
              " (ipcctl list shows them)");
    }
    return *s;
}

void Get::run(const Options& o) const {
    const auto& s = setting(name);
    if (!s.info->counted() && count != 1) usage(name + " is a single record; --count does not apply");
    if (count < 1 || (s.info->counted() && count > s.info->max_count))
        usage("--count must be 1 to " + std::to_string(s.info->max_count) + " for " + name);
    std::vector<std::byte> buf(count * s.info->record_size);
    Session session(o);
    camera([&] { session.cam.get(*s.info, buf); });
    std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(buf.data()), buf.size());
    print(o, s.info->counted() ? ipctools::records_to_json(*s.layout, bytes) : ipctools::to_json(*s.layout, bytes),
          ipctools::to_text(*s.layout, bytes));
}

void Set::run(const Options& o) const {
    const auto& s = setting(name);
    if (!s.info->writable) usage(name + " is read-only");
    nlohmann::json j;
    try {
        j = ipctools::read_json(file);
    } catch (const ipctools::InputError& e) {
        usage(std::string("set ") + name + ": " + e.what());
    }
    std::vector<uint8_t> records;
    try {
        records = ipctools::records_from_json(*s.layout, j, s.info->counted() ? s.info->max_count : 1);
    } catch (const ipctools::FieldError& e) {
        usage("set " + name + ": " + e.what() + "; nothing was sent");
    }
    Session session(o);
    camera([&] { session.cam.set(*s.info, std::as_bytes(std::span(records))); });
    done(o, {{"setting", name}, {"records", records.size() / s.layout->size}});
}

void Info::run(const Options& o) const {
    Session session(o);
    SystemInfo info{};
    camera([&] { session.cam.get(info); });
    std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(&info), sizeof info);
    print(o, ipctools::to_json(info), ipctools::to_text(ipc::records::kLayout<SystemInfo>, bytes));
}

void Ptz::run(const Options& o) const {
    if (motion == "position") {
        if (!args.empty()) usage("ptz position takes no argument");
        Session session(o);
        PTZValueRecord v{};
        camera([&] { session.cam.get(v); });
        char line[96];
        std::snprintf(line, sizeof line, "pan %u tilt %u zoom %u\n", v.usPanVal, v.usValue2, v.usValue3);
        print(o, ipctools::ptz_position(v), line);
        return;
    }
    if (!ipctools::ptz_control(motion, 0)) {
        std::vector<std::string_view> names{"position"};
        for (const auto& [n, v] : ipctools::kPtzMotions) names.push_back(n);
        const std::string near = ipctools::closest(motion, names);
        usage("ptz: unknown motion \"" + motion.substr(0, 64) + "\"" + (near.empty() ? "" : "; did you mean \"" + near + "\"?") +
              " (up, down, left, right, zoom-in, zoom-out, stop, position)");
    }
    uint32_t step = 0;
    if (motion == "stop") {
        if (!args.empty()) usage("ptz stop takes no STEP");
    } else {
        if (args.size() != 1) usage("ptz " + motion + " needs one STEP");
        auto v = ipctools::parse_decimal(args[0], 0, 0xFFFFFFFFu);
        if (!v) usage("ptz: STEP: " + ipctools::decimal_problem(args[0], 0, 0xFFFFFFFFu));
        step = static_cast<uint32_t>(*v);
    }
    const PTZCtrlRecord ctrl = *ipctools::ptz_control(motion, step);
    Session session(o);
    camera([&] { return session.cam.call<IPCPTZCtrl>(ctrl); });
    done(o, {{"motion", motion}, {"step", step}});
}

void Preset::run(const Options& o) const {
    if (number < 1 || number > 255) usage("preset: N must be 1 to 255");
    const auto rec = ipctools::preset_record(operation, static_cast<uint32_t>(number));
    if (!rec) usage("preset: unknown operation \"" + operation + "\" (store, goto, clear)");
    Session session(o);
    camera([&] { return session.cam.call<IPCSetPresetPoint>(*rec); });
    done(o, {{"operation", operation}, {"number", number}});
}

// The camera's time record: seconds since the epoch, then the time as text.
void Time::run(const Options& o) const {
    if (args.empty()) {
        Session session(o);
        SystemTimeInfo t{};
        camera([&] { session.cam.get(t); });
        std::string text(reinterpret_cast<const char*>(t.block), strnlen(reinterpret_cast<const char*>(t.block), sizeof t.block));
        ojson j{{"time", ipctools::iso_time(t.word)}, {"seconds", t.word}};
        std::string clean;
        try {
            j["text"] = text;
            (void)j.dump();
            clean = text;
        } catch (const nlohmann::json::exception&) {
            j["text"] = nullptr;
        }
        print(o, j, ipctools::iso_time(t.word) + (clean.empty() ? "" : "  \"" + clean + "\"") + "\n");
        return;
    }
    if (args.size() != 2 || args[0] != "set") usage("time takes no argument, or: set now|ISO-8601");
    int64_t when;
    if (args[1] == "now") {
        when = std::time(nullptr);
    } else {
        auto t = ipctools::parse_utc_time(args[1]);
        if (!t)
            usage("time set: \"" + args[1].substr(0, 64) +
                  "\" is not a valid ISO-8601 time such as 2026-12-05T12:00:00Z, 2026-12-05T12:00:00.250Z or "
                  "2026-12-05 13:00:00+01:00");
        when = *t;
    }
    if (when < 0 || when > 0xFFFFFFFFll) usage("time set: out of the camera's range (1970 to 2106)");
    SystemTimeInfo t{};
    t.word = static_cast<uint32_t>(when);
    const std::string text = ipctools::utc_text(when, "%Y-%m-%d %H:%M:%S +00:00");
    std::memcpy(t.block, text.data(), std::min(text.size(), sizeof t.block - 1));
    Session session(o);
    camera([&] { session.cam.set(t); });
    done(o, {{"time", ipctools::iso_time(t.word)}, {"seconds", t.word}});
}

void Maintenance::run(const Options& o) const {
    if (!yes) usage(command + " needs --yes");
    Session session(o);
    camera([&] {
        if (command == "reboot") return session.cam.call<IPCReboot>();
        if (command == "ptz-reboot") return session.cam.call<IPCPtzReboot>();
        return session.cam.call<IPCDevFactoryDefault>();
    });
    done(o, {{"command", command}});
}

const char* extension_of(std::span<const uint8_t> p) {
    if (p.size() >= 3 && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF) return ".jpg";
    if (p.size() >= 2 && p[0] == 'P' && (p[1] == '6' || p[1] == '5' || p[1] == '3')) return ".ppm";
    if (p.size() >= 8 && std::memcmp(p.data(), "\x89PNG", 4) == 0) return ".png";
    return ".bin";
}

uint32_t le32(const uint8_t* p) { return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24; }

void Snapshot::run(const Options& o) const {
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
        std::string path = (std::filesystem::path(dir) / ("snapshot-" + std::to_string(i) + extension_of(pic))).string();
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(pic.data()), static_cast<std::streamsize>(pic.size()));
        if (!out.flush()) throw Stop{kFailed, "cannot write " + path};
        files.push_back({{"file", path}, {"bytes", pic.size()}});
        text += path + " (" + std::to_string(pic.size()) + " bytes)\n";
        at += pic.size();
    }
    print(o, files, text);
}

// The position and distance commands answer with a report whose body the camera fills in
// (text in the simulator's case): printed as text when it is text, else as hex.
template <auto Fn, class Request>
void WaitingReport<Fn, Request>::run(const Options& o) const {
    Session session(o);
    Request req{};
    auto body = camera([&] { return session.cam.wait_for<Fn>(req, o.timeout, IPCSDK_REPORT_BUF_SIZE); });
    if (!body) throw Stop{kFailed, what + ": no report within " + std::to_string(o.timeout) + " s"};
    // Text: the printable characters before the first NUL.
    size_t end = 0;
    while (end < body->size() && (*body)[end] >= 0x20 && (*body)[end] < 0x7F) ++end;
    bool is_text = end > 0 && (end == body->size() || (*body)[end] == 0);
    std::string s(body->begin(), body->begin() + static_cast<std::ptrdiff_t>(end));
    ojson j{{"bytes", body->size()}, {"text", is_text ? ojson(s) : ojson(nullptr)}, {"hex", ipctools::hex(*body)}};
    print(o, j, (is_text ? s : ipctools::hex(*body)) + "\n");
}

void Record::run(const Options& o) const {
    if ((seconds > 0) == (frames > 0)) usage("record needs exactly one of --seconds N and --frames N");
    if (is_container_file(file)) {
        record_container(o, file, seconds, frames);
        return;
    }
    bool to_stdout = file == "-";
    // The file is created (or emptied) only once the login succeeded: a wrong password or an
    // unreachable camera leaves an existing recording as it was.
    std::error_code fec;
    if (!to_stdout && std::filesystem::is_directory(file, fec)) usage("record: " + file + " is a directory");
    if (!to_stdout && access(file.c_str(), W_OK) != 0 && errno != ENOENT) usage("cannot write " + file + ": " + std::strerror(errno));
    Session session(o);
    FILE* out = to_stdout ? g_data : std::fopen(file.c_str(), "wb");
    if (!out) throw Stop{kFailed, "cannot write " + file + ": " + std::strerror(errno)};
    std::mutex mu;
    std::condition_variable cv;
    uint64_t count = 0, bytes = 0;
    bool write_failed = false, no_video = false;
    session.cam.on_frame([&](const ipc::Frame& f) {
        auto p = f.payload();
        std::lock_guard lk(mu);
        if (frames > 0 && count >= static_cast<uint64_t>(frames)) return;
        write_failed = write_failed || std::fwrite(p.data(), 1, p.size(), out) != p.size();
        ++count;
        bytes += p.size();
        cv.notify_all();
    });
    catch_interrupt();
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
        while (!g_interrupted && !write_failed) {
            if (frames > 0 && count >= static_cast<uint64_t>(frames)) break;
            if (seconds > 0 && Clock::now() >= deadline) break;
            if (count == 0 && Clock::now() - start >= std::chrono::seconds(o.timeout)) {
                no_video = true;
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
    write_failed = std::fflush(out) != 0 || write_failed;
    if (!to_stdout) write_failed = std::fclose(out) != 0 || write_failed;
    if (progress) std::fputs("\n", stderr);
    if (write_failed) throw Stop{kFailed, "cannot write " + file};
    if (no_video) throw Stop{kFailed, "no video frame within " + std::to_string(o.timeout) + " s"};
    char line[128];
    std::snprintf(line, sizeof line, "%llu frames, %llu bytes, %.1f seconds\n", static_cast<unsigned long long>(count),
                  static_cast<unsigned long long>(bytes), elapsed);
    ojson j{{"file", file}, {"frames", count}, {"bytes", bytes}, {"seconds", elapsed}};
    if (to_stdout)
        std::cerr << (o.json ? j.dump() + "\n" : std::string(line));
    else
        print(o, j, line);
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
    app.fallthrough();
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("ipcctl ") + IPCSDK_VERSION);
    const std::string at_most = "at most " + std::to_string(kCredentialMax) + " characters";
    app.add_option("-u,--user", o.user, "user name (default admin, " + at_most + ")")
        ->check(ipctools::cli::max_length(kCredentialMax));
    auto* pw = app.add_option("-p,--password", o.password,
                              "password (" + at_most + "); better in the environment variable IPCCTL_PASSWORD")
                   ->check(ipctools::cli::max_length(kCredentialMax));
    app.add_option("--tcp", o.tcp_port, "commands over TCP on this port (default: UDP 5001)")->check(decimal(1, 65535));
    app.add_option("--timeout", o.timeout, "seconds to wait for the login and for waiting commands (default 5)")
        ->check(decimal(1, 3600));
    app.add_flag("--json", o.json, "JSON output (one object per line for watch)");
    app.add_option("address", o.address, "the camera's IPv4 address")->check(ipctools::cli::ipv4);
    // Runs once the line is parsed, before the subcommand's callback.
    app.parse_complete_callback([&] {
        separate_data();
        if (pw->count() > 0) {
            std::fputs("ipcctl: warning: a password on the command line is visible to other users; "
                       "use IPCCTL_PASSWORD\n",
                       stderr);
        } else if (const char* env = std::getenv("IPCCTL_PASSWORD")) {
            o.password = env;
            if (o.password.size() > kCredentialMax)
                usage("IPCCTL_PASSWORD: at most " + std::to_string(kCredentialMax) + " characters, got " +
                      std::to_string(o.password.size()));
        }
    });

    add_command<Info>(app, o, "info", "system information");
    add_command<List>(app, o, "list", "every setting get and set know, with class and code");
    add_command<Get>(app, o, "get", "read a setting");
    add_command<Set>(app, o, "set", "write a setting from JSON as get --json prints it");
    add_command<Ptz>(app, o, "ptz", "move: up|down|left|right|zoom-in|zoom-out STEP; or: stop; or: position");
    add_command<Preset>(app, o, "preset", "store|goto|clear N");
    add_command<Time>(app, o, "time", "read the camera's time; time set now|ISO-8601 sets it");
    add_command<Maintenance>(app, o, "reboot", "restart the camera (needs --yes)");
    add_command<Maintenance>(app, o, "ptz-reboot", "restart the PTZ head (needs --yes)");
    add_command<Maintenance>(app, o, "factory-default", "reset every setting (needs --yes)");
    add_command<Snapshot>(app, o, "snapshot", "take the picture pair (two files)");
    add_command<WaitingReport<IPCGpsInfo, GpsInfoRequest>>(app, o, "position", "ask for a position report");
    add_command<WaitingReport<IPCDistantInfoSet, DistantInfo>>(app, o, "distance", "ask for a distance report");
    add_command<Record>(app, o, "record", "write the video payloads to a file");
    add_command<Watch>(app, o, "watch", "supervise camera(s): one line per state change and report");

    try {
        app.parse(argc, argv);
        return kDone;
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
            if (word.empty() || word[0] == '-' || ipctools::parse_ipv4(word) || valued.count(argv[i - 1])) continue;
            if (std::find(commands.begin(), commands.end(), word) != commands.end()) break;
            const std::string near = ipctools::closest(word, commands);
            if (!near.empty()) {
                std::cerr << "ipcctl: unknown command \"" << word << "\"; did you mean \"" << near << "\"?\n";
                return kUsage;
            }
        }
        app.exit(e);
        return kUsage;
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
