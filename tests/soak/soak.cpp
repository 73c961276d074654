// Soak: simulated cameras under a host workload (UDP and TCP phases alternate) and a seeded schedule of kFaults.
// Checked: calls within their bounds, frames and reports intact, results documented, no callback after its
// camera's logout returned; at the end descriptors and threads back, resident memory flat.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>

#include "bytes.hpp"
#include "ipcsdk.h"
#include "ipcsim.hpp"
#include "testenv.hpp"

// The library's system log lines are counted here and never reach the machine's log.
static std::atomic<uint64_t> g_syslogLines{0};
extern "C" void syslog(int, const char*, ...) { g_syslogLines.fetch_add(1, std::memory_order_relaxed); }
extern "C" void vsyslog(int, const char*, va_list) { g_syslogLines.fetch_add(1, std::memory_order_relaxed); }
extern "C" void openlog(const char*, int, int) {}
extern "C" void closelog(void) {}

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr uint32_t kFrameBytes = 1500;
// An exchange ends within 2.5 s, but a camera's commands queue and a logout waits for the calls in flight.
constexpr std::chrono::seconds kCommandBound{20}, kWaitingBound{25}, kLifecycleBound{20};

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }
FILE* g_out = stderr;  // the soak's own output (the library's standard output goes to /dev/null)

std::mutex g_mutex;  // the output and the call figures
std::atomic<uint64_t> g_violations{0};
void violation(const char* what, const std::string& detail = {}) {
    if (g_violations.fetch_add(1) < 50) {
        std::lock_guard lock(g_mutex);
        std::fprintf(g_out, "VIOLATION: %s %s\n", what, detail.c_str());
        std::fflush(g_out);
    }
}

std::atomic<uint64_t> g_framesChecked{0}, g_reportsChecked{0}, g_callbacks{0};

// Calls by kind: count and slowest, each against a bound.
std::map<std::string, std::pair<uint64_t, int64_t>> g_callStats;  // count, slowest ms

template <class F>
auto timed(const char* name, milliseconds bound, F&& f) {
    const auto t0 = Clock::now();
    auto r = f();
    const auto ms = std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count();
    std::unique_lock lock(g_mutex);
    auto& [count, slowest] = g_callStats[name];
    ++count, slowest = std::max(slowest, ms);
    lock.unlock();
    if (ms > bound.count()) violation("call over its bound:", std::string(name) + " " + std::to_string(ms) + " ms");
    return r;
}

// The result codes a command may return (the waiting commands also a byte count).
bool documented(uint32_t r, bool countAllowed = false) {
    const uint32_t codes[] = {IPCSDK_OK,     IPCSDK_ERR_NOT_INIT, IPCSDK_ERR_BAD_HANDLE, IPCSDK_ERR_NO_PICTURE,
                              IPCSDK_ERR_NET, IPCSDK_ERR_TCP_SEND, IPCSDK_ERR_REFUSED};
    return std::find(std::begin(codes), std::end(codes), r) != std::end(codes) || (countAllowed && r < (16u << 20));
}

enum State { Down, Up, Busy };
enum Action { None, SlowFrame, SlowReport, RestartVideoInFrame, CommandInReport, LogoutInReport, ReloginInDisconnect };
using Rng = std::mt19937;

struct Cam {
    std::unique_ptr<ipcsim::Camera> sim;  // replaced only by the fault thread
    Clock::time_point stalledUntil{};     // channels stalled until then (the fault thread's)
    ipcsim::Config cfg;
    std::atomic<int> state{Down};
    std::atomic<uint32_t> handle{0};
    std::atomic<bool> loggedOut{true};    // a logout returned and no login began since
    std::atomic<int> action{None};
};

std::vector<std::unique_ptr<Cam>> g_cams;
std::map<uint32_t, Cam*> g_byAddr;
std::atomic<uint32_t> g_netType{1};

bool is_handle(uint32_t h) { return h >= IPCSDK_HANDLE_BASE && h < IPCSDK_HANDLE_BASE + IPCSDK_MAX_DEVICES; }
Cam* cam_at(uint32_t addr) { const auto it = g_byAddr.find(addr); return it == g_byAddr.end() ? nullptr : it->second; }
Cam* cam_of(uint32_t h) { return cam_at(std::atomic_ref(g_DevManage[h - IPCSDK_HANDLE_BASE].deviceAddr).load()); }
bool cas(std::atomic<int>& v, int from, int to) { return v.compare_exchange_strong(from, to); }
// A host reaction asked of this camera's next callback (Cam::action), taken once.
bool take(Cam& c, Action a) { return cas(c.action, a, None); }
bool claim(Cam& c) { return cas(c.state, Up, Busy); }

// A callback for `handle` runs: its camera must not have been logged out meanwhile. Returns the camera.
Cam* check_alive(uint32_t handle, const char* where) {
    g_callbacks.fetch_add(1, std::memory_order_relaxed);
    Cam* c = is_handle(handle) ? cam_of(handle) : nullptr;
    if (!c || c->loggedOut.load())
        violation(!is_handle(handle) ? "callback with a bad handle in"
                  : !c               ? "callback for a released slot in"
                                     : "callback after its camera's logout returned in",
                  where);
    return c;
}

// A slow callback: a release waits for its camera's running callbacks, so no logout may return meanwhile.
void slow_callback(const Cam& c, const char* where) {
    std::this_thread::sleep_for(milliseconds(300));
    if (c.loggedOut.load()) violation("callback still running after its camera's logout returned in", where);
}

// Logs camera c in over the current transport and starts heartbeat and video. Owner: Busy.
bool bring_up(Cam& c) {
    c.loggedOut = false;
    LoginDeviceInfo d{g_netType.load(), 5002, {}};
    std::snprintf(d.address, sizeof d.address, "%s", c.cfg.ip.c_str());
    LoginUserInfo u{"admin", "admin", 0, 0, {}};
    const uint32_t h = timed("IPCSdkLogin", kLifecycleBound, [&] { return IPCSdkLogin(&d, &u, 5); });
    if (!is_handle(h)) {
        if (!documented(h) && h != IPCSDK_ERR_SOCKET && h != IPCSDK_ERR_AUTH && h != 0)
            violation("login result", std::to_string(h));
        return c.loggedOut = true, false;
    }
    timed("CreatHandlHeartBeatThread", seconds(2),
          [&] { return CreatHandlHeartBeatThread(&g_DevManage[h - IPCSDK_HANDLE_BASE]); });
    timed("StartVideoRequest", kLifecycleBound, [&] { return StartVideoRequest(h); });
    timed("IPCStartVideo", kCommandBound, [&] { VideoStartInfo start{}; return IPCStartVideo(h, &start); });
    c.handle = h;
    return true;
}

// Logs camera c out (the caller made it Busy) one of three ways: `DeviceLogout`, `IPCSdkLogout`,
// or both at once from two threads, where the camera counts as logged out when the first returns.
enum Release { ByDeviceLogout, BySdkLogout, ByBothRacing };
void take_down(Cam& c, int how) {
    const uint32_t h = c.handle.exchange(0);
    if (!h) return;
    std::thread racing;
    if (how == ByBothRacing) {
        // Both while a slow frame callback runs, which neither may return before.
        c.action = SlowFrame;
        for (int i = 0; i < 40 && c.action.load() == SlowFrame; ++i) std::this_thread::sleep_for(milliseconds(5));
        take(c, SlowFrame);  // no frame came
        racing = std::thread([&c, h] {
            timed("DeviceLogout (racing IPCSdkLogout)", kLifecycleBound, [&] { return DeviceLogout(h), 0; });
            c.loggedOut = true;
        });
    }
    if (how == ByDeviceLogout)
        timed("DeviceLogout", kLifecycleBound, [&] { return DeviceLogout(h), 0; });
    else
        timed("IPCSdkLogout", kLifecycleBound, [&] { return IPCSdkLogout(h); });
    c.loggedOut = true;
    if (racing.joinable()) racing.join();
}
// The host logs an Up camera out; the maintainer brings it back.
void drop(Cam& c, int how) {
    if (!claim(c)) return;
    take_down(c, how);
    c.state = Down;
}

int on_frame(uint32_t handle, uint8_t* f) {
    Cam* c = check_alive(handle, "frame");
    const uint32_t len = le32(f + 8);
    const uint32_t sum = ipcsim::Camera::checksum(f + 156, len, ipcsim::Camera::checksum(f + 4, 4));
    if (std::memcmp(f, "xqmp", 4) != 0 || len != kFrameBytes || sum != le32(f + 20))
        violation("damaged frame", "length " + std::to_string(len));
    g_framesChecked.fetch_add(1, std::memory_order_relaxed);
    if (!c) return 0;
    if (take(*c, SlowFrame)) slow_callback(*c, "frame");
    if (take(*c, RestartVideoInFrame))
        timed("StartVideoRequest (frame callback)", kLifecycleBound, [&] { return StartVideoRequest(handle); });
    return 0;
}

void check_report(uint32_t type, const uint8_t* b, uint32_t n) {
    bool ok = false;
    switch (type) {
    case 0x1003: case 0xD003:  // numbered and checksummed by the simulator
        ok = n >= 8 && ipcsim::Camera::checksum(b + 8, n - 8) == le32(b + 4);
        break;
    case 0x1001:  // position
        ok = n == 48 && std::memcmp(b, "N3113.8240 E12128.4420", 22) == 0 && le32(b + 32) == 31230400;
        break;
    case 0x1004:  // distance
        ok = n == 128 && le32(b + 32) == 12505;
        for (uint32_t i = 36; ok && i < n; ++i) ok = b[i] == static_cast<uint8_t>(i);
        break;
    case 0xA002: {  // one picture of a pair: a 64 x 48 PPM
        const auto pic = ipcsim::Camera::sample_picture(64, 48, n > 12 ? b[12] : 0);
        ok = n == 268 + pic.size() && std::memcmp(b + 268, pic.data(), pic.size()) == 0;
    }
    }
    if (!ok) violation("damaged report", "type " + std::to_string(type) + " length " + std::to_string(n));
    g_reportsChecked.fetch_add(1, std::memory_order_relaxed);
}

int on_report(uint32_t type, intptr_t handle, intptr_t, uint8_t* body, uint32_t n, intptr_t) {
    const auto h = static_cast<uint32_t>(handle);
    Cam* c = check_alive(h, "report");
    check_report(type, body, n);
    if (!c) return 0;
    if (take(*c, SlowReport)) slow_callback(*c, "report");
    if (take(*c, CommandInReport)) {
        SystemInfo si;
        const uint32_t r = timed("IPCGetSysVersion (report callback)", kCommandBound, [&] { return IPCGetSysVersion(h, &si); });
        if (!documented(r)) violation("result of a command from a report callback", std::to_string(r));
    }
    if (take(*c, LogoutInReport) && c->handle.load() == h) drop(*c, BySdkLogout);
    return 0;
}

int on_disconnect(uint32_t addr, uint32_t handle, uintptr_t) {
    check_alive(handle, "disconnection");
    Cam* c = cam_at(addr);
    if (!c) return 0;
    if (take(*c, ReloginInDisconnect) && c->handle.load() == handle && claim(*c)) {
        take_down(*c, ByDeviceLogout);
        c->state = bring_up(*c) ? Up : Down;
    } else if (c->state.load() == Up) {  // the host's ordinary reaction: reconnect the report channel
        timed("StartDataReport (disconnection callback)", kLifecycleBound, [&] { return StartDataReport(handle); });
    }
    return 0;
}

struct Worker { Rng rng; std::vector<uint8_t> out = std::vector<uint8_t>(64 << 10); };
// The commands, each with its bound; the waiting ones (bound kWaitingBound) may return a count.
struct Command { const char* name; uint32_t (*call)(uint32_t h, Worker& w); bool waiting = false; };
const Command kCommands[] = {
    {"IPCVideoParamGet", [](uint32_t h, Worker&) { VideoParamRecord v[2]; return IPCVideoParamGet(h, v, 2); }},
    {"IPCVideoParamSet",
     [](uint32_t h, Worker& w) { VideoParamRecord v{}; v.value16 = uint16_t(w.rng()); return IPCVideoParamSet(h, &v, 1); }},
    {"IPCPTZValueGet", [](uint32_t h, Worker&) { PTZValueRecord p{}; return IPCPTZValueGet(h, &p); }},
    {"IPCGetSysVersion", [](uint32_t h, Worker&) { SystemInfo si; return IPCGetSysVersion(h, &si); }},
    {"IPCSendHeartBeat", [](uint32_t h, Worker&) { return IPCSendHeartBeat(h); }},
    {"IPCGpsInfo", [](uint32_t h, Worker& w) { GpsInfoRequest g{}; return IPCGpsInfo(h, &g, 1, w.out.data(), 256, 3); }, true},
    {"IPCDistantInfoSet",
     [](uint32_t h, Worker& w) { DistantInfo d{}; return IPCDistantInfoSet(h, &d, 1, w.out.data(), 256, 3); }, true},
    {"IPCSIMUSNAP", [](uint32_t h, Worker& w) {
         SimuSnapInfo s{};
         const uint32_t r = IPCSIMUSNAP(h, &s, 1, w.out.data(), static_cast<uint32_t>(w.out.size()), 3);
         const auto* pair = reinterpret_cast<const SnapPairResult*>(w.out.data());  // complete: both pictures as sent
         const auto p1 = ipcsim::Camera::sample_picture(64, 48, 1), p2 = ipcsim::Camera::sample_picture(64, 48, 2);
         if (r > 660 && r < (16u << 20) &&
             (pair->snapPairFlag != 2 || pair->snapLen1 != p1.size() || pair->snapLen2 != p2.size() ||
              std::memcmp(pair->pictures, p1.data(), p1.size()) != 0 ||
              std::memcmp(pair->pictures + p1.size(), p2.data(), p2.size()) != 0))
             violation("damaged picture pair", "flag " + std::to_string(pair->snapPairFlag) + " result " + std::to_string(r));
         return r;
     }, true},
    {"IPCPTZCtrl", [](uint32_t h, Worker&) { PTZCtrlRecord p{}; return IPCPTZCtrl(h, &p); }},
};

void command_worker(unsigned seed, const std::atomic<bool>& stop) {
    Worker w{Rng(seed)};
    while (!stop) {
        Cam& c = *g_cams[w.rng() % g_cams.size()];
        const uint32_t h = c.handle.load();
        if (c.state.load() != Up || !h) {
            std::this_thread::sleep_for(milliseconds(2));
            continue;
        }
        // One in seven a waiting command (they take a second or more each).
        const unsigned pick = w.rng() % 21;
        const Command& cmd = kCommands[pick < 3 ? 5 + pick : pick % 6 == 5 ? 8 : pick % 6];
        const uint32_t r = timed(cmd.name, cmd.waiting ? kWaitingBound : kCommandBound, [&] { return cmd.call(h, w); });
        if (!documented(r, cmd.waiting)) violation("undocumented result", std::to_string(r));
    }
}

using ipcsim::Reply;
struct Fault { const char* name; void (*inject)(Cam& c, Rng& rng); };
const Fault kFaults[] = {
    // A restarted camera is logged in again by the host (the maintainer does it).
    {"restart", [](Cam& c, Rng& rng) {
         c.sim->stop();
         c.sim = std::make_unique<ipcsim::Camera>(c.cfg);
         for (int i = 0; i < 100 && !c.sim->start(); ++i) std::this_thread::sleep_for(milliseconds(50));
         drop(c, static_cast<int>(rng() % 3));
     }},
    // The host restarts the video channel of a camera whose video connection was reset.
    {"video reset mid-frame", [](Cam& c, Rng& rng) {
         c.sim->reset_video_mid_frame(1 + rng() % (156 + kFrameBytes - 1));
         if (const uint32_t h = c.handle.load(); h && c.state.load() == Up)
             timed("StartVideoRequest", kLifecycleBound, [&] { return StartVideoRequest(h); });
     }},
    {"report reset mid-message", [](Cam& c, Rng& rng) { c.sim->reset_reports_mid_message(1 + rng() % 283); }},
    {"report channel closed", [](Cam& c, Rng&) { c.sim->close_report_channels(); }},
    {"answer dropped", [](Cam& c, Rng&) { c.sim->script({.reply = Reply::None}); }},
    {"answer late", [](Cam& c, Rng& rng) { c.sim->script({.delay = milliseconds(100 + rng() % 2900)}); }},
    {"answer short", [](Cam& c, Rng& rng) { c.sim->script({.reply = Reply::Short, .short_length = 1 + rng() % 15}); }},
    {"answer of another class", [](Cam& c, Rng&) { c.sim->script({.reply = Reply::OtherClass}); }},
    {"answer of another code", [](Cam& c, Rng&) { c.sim->script({.reply = Reply::OtherCode}); }},
    {"answer garbage", [](Cam& c, Rng& rng) { c.sim->script({.reply = Reply::Garbage, .short_length = 1 + rng() % 2000}); }},
    {"answer twice", [](Cam& c, Rng&) { c.sim->script({.twice = true}); }},
    {"answer nak", [](Cam& c, Rng&) { c.sim->script({.reply = Reply::Nak}); }},
    {"command connection reset", [](Cam& c, Rng&) { c.sim->script({.reply = Reply::Reset}); }},
    {"report flood", [](Cam& c, Rng& rng) {
         c.sim->send_numbered_reports(rng() % 2 ? 0x1003 : 0xD003, 50 + static_cast<int>(rng() % 450), 8 + rng() % 4096);
     }},
    {"channels stalled", [](Cam& c, Rng& rng) {
         c.sim->stall_channels(true);
         c.stalledUntil = Clock::now() + milliseconds(300 + rng() % 2700);
     }},
    {"slow frame callback", [](Cam& c, Rng&) { c.action = SlowFrame; }},
    {"slow report callback", [](Cam& c, Rng&) { c.action = SlowReport; c.sim->send_numbered_reports(0x1003, 3, 64); }},
    {"video restart in frame callback", [](Cam& c, Rng&) { c.action = RestartVideoInFrame; }},
    {"command in report callback", [](Cam& c, Rng&) { c.action = CommandInReport; c.sim->send_numbered_reports(0x1003, 2, 64); }},
    {"logout in report callback", [](Cam& c, Rng&) { c.action = LogoutInReport; c.sim->send_numbered_reports(0xD003, 2, 64); }},
    {"re-login in disconnection callback", [](Cam& c, Rng&) { c.action = ReloginInDisconnect; c.sim->close_report_channels(); }},
    {"host re-login", [](Cam& c, Rng& rng) { drop(c, static_cast<int>(rng() % 3)); }},
};
constexpr size_t kFaultKinds = std::size(kFaults);
std::array<uint64_t, kFaultKinds> g_faults{};  // injected, by kind

long rss_kib() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"ipcsdk soak: simulated cameras, a host workload and a seeded fault schedule"};
    int cameras = 32, duration = 60, threads = 4, phase = 0, faultMs = 0;
    uint64_t seed = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()) % 1000000007u;
    bool libraryOutput = false;
    app.add_option("--cameras", cameras, "simulated cameras (1..256)")->check(CLI::Range(1, 256));
    app.add_option("--seconds", duration, "duration of the run")->check(CLI::PositiveNumber);
    app.add_option("--seed", seed, "seed of the fault schedule and the workload (printed; repeats a run)");
    app.add_option("--threads", threads, "host command threads")->check(CLI::Range(1, 64));
    app.add_option("--phase", phase, "seconds per transport phase (default: a quarter of the run, 10..600)");
    app.add_option("--fault-ms", faultMs, "milliseconds between faults (default: 3000 / cameras, at least 10)");
    app.add_flag("--library-output", libraryOutput, "keep the library's standard output lines");
    CLI11_PARSE(app, argc, argv);
    if (phase <= 0) phase = std::clamp(duration / 4, 10, 600);
    if (faultMs <= 0) faultMs = std::max(10, 3000 / cameras);

    // A private working directory for the trace file; the library's standard output to /dev/null unless asked for.
    char dir[] = "/tmp/ipcsdk-soak-XXXXXX";
    if (!mkdtemp(dir) || chdir(dir) != 0) return 2;
    g_out = fdopen(dup(1), "w");
    if (!libraryOutput && !std::freopen("/dev/null", "w", stdout)) return 2;
    std::fprintf(g_out, "soak: %d cameras, %d s, %d command threads, transport phases of %d s, a fault every %d ms, seed %" PRIu64
                        "\n  (repeat with --seed %" PRIu64 ")\n",
                 cameras, duration, threads, phase, faultMs, seed, seed);
    std::fflush(g_out);

    // The trace file and the debug socket live as long as the process; a first thread lets a sanitizer
    // start its helper thread before the count.
    std::thread([] {}).join();
    sdk_print("soak\n");
    IPCSdkDebug("soak");
    const size_t fdsStart = testenv::count_dir("/proc/self/fd"), threadsStart = testenv::count_dir("/proc/self/task");
    const long rssStart = rss_kib();

    std::mt19937 faultRng(static_cast<unsigned>(seed));
    if (IPCSdkInit() != 0) return 2;
    SetVideoFrameCallBack(on_frame);
    SetReportCallbackFunc(on_report);
    SetExceptionCallBack(on_disconnect);
    for (int i = 0; i < cameras; ++i) {
        auto c = std::make_unique<Cam>();
        c->cfg.ip = testenv::camera_ip(i + 1);
        c->cfg.keepalive_seconds = 1, c->cfg.frame_bytes = kFrameBytes, c->cfg.frames_per_second = 10;
        c->cfg.report_delay = milliseconds(50);
        c->sim = std::make_unique<ipcsim::Camera>(c->cfg);
        if (!c->sim->start()) return std::fprintf(g_out, "cannot start a camera on %s\n", c->cfg.ip.c_str()), 2;
        g_byAddr[inet_addr(c->cfg.ip.c_str())] = c.get();
        g_cams.push_back(std::move(c));
    }

    std::atomic<bool> stop{false}, switching{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) workers.emplace_back(command_worker, static_cast<unsigned>(seed + 1 + t), std::cref(stop));
    // Brings every camera that is down back up (the host's ordinary recovery).
    workers.emplace_back([&] {
        while (!stop) {
            for (int i = 0; i < cameras && !stop; ++i) {
                Cam& c = *g_cams[static_cast<size_t>(i)];
                if (!switching && cas(c.state, Down, Busy)) c.state = bring_up(c) ? Up : Down;
            }
            std::this_thread::sleep_for(milliseconds(20));
        }
    });

    // Faults, transport phases and resource samples on this thread.
    const auto t0 = Clock::now(), end = t0 + seconds(duration);
    auto nextFault = t0 + seconds(2), nextPhase = t0 + seconds(phase), nextSample = t0;
    std::vector<std::pair<double, long>> rss;
    auto everyone_down = [&] {  // each camera once its owner let go of it
        for (int i = 0; i < cameras; ++i) {
            Cam& c = *g_cams[static_cast<size_t>(i)];
            while (!cas(c.state, Down, Busy) && !cas(c.state, Up, Busy)) std::this_thread::sleep_for(milliseconds(5));
            take_down(c, i % 3);
        }
    };
    int phases = 1;
    while (Clock::now() < end) {
        const auto now = Clock::now();
        for (auto& c : g_cams)
            if (c->stalledUntil != Clock::time_point{} && c->stalledUntil <= now)
                c->sim->stall_channels(false), c->stalledUntil = {};
        if (now >= nextSample) {
            rss.emplace_back(std::chrono::duration<double>(now - t0).count(), rss_kib());
            std::error_code ec;  // rotated trace files
            for (const auto& e : std::filesystem::directory_iterator(".", ec))
                if (e.path().filename().string().starts_with("sdk_log")) std::filesystem::remove(e.path(), ec);
            for (auto& c : g_cams) c->sim->clear_requests();  // the simulators keep every request
            nextSample += seconds(1);
        }
        if (now >= nextPhase) {  // every camera out, then in again over the other transport
            switching = true;
            everyone_down();
            g_netType = g_netType.load() == 1 ? 2 : 1;
            for (auto& c : g_cams) c->state = Down;
            switching = false;
            ++phases;
            nextPhase = Clock::now() + seconds(phase);
        }
        if (now >= nextFault) {
            Cam& c = *g_cams[faultRng() % static_cast<unsigned>(cameras)];
            const size_t kind = faultRng() % kFaultKinds;
            kFaults[kind].inject(c, faultRng);
            ++g_faults[kind];
            nextFault = std::max(nextFault + milliseconds(faultMs), now);
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    for (auto& c : g_cams) c->sim->stall_channels(false);

    stop = true;
    for (auto& w : workers) w.join();
    switching = true;
    everyone_down();
    IPCSdkUnInit();
    for (auto& c : g_cams) c->sim->stop();
    g_cams.clear();
    const long rssEnd = rss_kib();

    const size_t fdsEnd = testenv::count_dir("/proc/self/fd");
    size_t threadsEnd;  // ended threads leave the list a moment later
    for (int i = 0; (threadsEnd = testenv::count_dir("/proc/self/task")) != threadsStart && i < 300; ++i)
        std::this_thread::sleep_for(milliseconds(10));
    if (fdsEnd != fdsStart) violation("descriptors not back to their start");
    if (threadsEnd != threadsStart) violation("threads not back to their start");

    // Resident memory: the peak over the last 40 % of the run within 5 % of the peak over the 40 % before.
    long peakA = 0, peakB = 0;
    for (auto& [t, kib] : rss) {
        if (t >= 0.2 * duration && t < 0.6 * duration) peakA = std::max(peakA, kib);
        if (t >= 0.6 * duration) peakB = std::max(peakB, kib);
    }
    if (!testenv::kSanitized && peakA > 0 && peakB > peakA + peakA / 20)
        violation("resident memory grew", std::to_string(peakA) + " -> " + std::to_string(peakB) + " KiB");

    uint64_t calls = 0, faults = std::accumulate(g_faults.begin(), g_faults.end(), uint64_t{0});
    for (auto& [name, st] : g_callStats) calls += st.first;
    std::fprintf(g_out, "cameras %d, duration %d s, transport phases %d (UDP and TCP), seed %" PRIu64 "\n", cameras, duration,
                 phases, seed);
    std::fprintf(g_out, "calls %" PRIu64 ", callbacks %" PRIu64 ", system log lines %" PRIu64 "\n", calls,
                 g_callbacks.load(), g_syslogLines.load());
    std::fprintf(g_out, "calls by kind (count, slowest ms):\n");
    for (auto& [name, st] : g_callStats)
        std::fprintf(g_out, "  %-40s %10" PRIu64 " %8" PRId64 "\n", name.c_str(), st.first, st.second);
    std::fprintf(g_out, "faults injected %" PRIu64 ":\n", faults);
    for (size_t k = 0; k < kFaultKinds; ++k) std::fprintf(g_out, "  %-40s %10" PRIu64 "\n", kFaults[k].name, g_faults[k]);
    std::fprintf(g_out, "frames checked %" PRIu64 ", reports checked %" PRIu64 "\n", g_framesChecked.load(), g_reportsChecked.load());
    std::fprintf(g_out, "descriptors %zu -> %zu, threads %zu -> %zu, resident memory %ld -> %ld KiB (peaks %ld, %ld KiB%s)\n",
                 fdsStart, fdsEnd, threadsStart, threadsEnd, rssStart, rssEnd, peakA, peakB,
                 testenv::kSanitized ? "; not judged under a sanitizer" : "");
    std::fprintf(g_out, "resident memory at each tenth of the run (KiB):");
    for (int tenth = 1, at = 0; tenth <= 10; ++tenth) {
        while (at + 1 < int(rss.size()) && rss[at + 1].first <= duration * tenth / 10.0) ++at;
        std::fprintf(g_out, " %ld", rss.empty() ? 0 : rss[at].second);
    }
    std::fprintf(g_out, "\ninvariant violations %" PRIu64 "\n", g_violations.load());
    std::fflush(g_out);
    if (chdir("/") == 0) std::filesystem::remove_all(dir);
    return g_violations.load() == 0 ? 0 : 1;
}
