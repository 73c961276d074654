// ipcsim: runs one or more simulated cameras until SIGINT or SIGTERM.
#include "capture.hpp"
#include "ipcsim.hpp"
#include "ipctools/input.hpp"

#include <arpa/inet.h>
#include <ipcsdk.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

// The login record's text fields hold this many characters before their NUL.
constexpr size_t kCredentialMax = sizeof(LoginUserInfo::password) - 1;

const char kUsage[] =
    "Usage: ipcsim [options]\n"
    "Runs simulated PTZ cameras on consecutive IPv4 addresses until SIGINT or SIGTERM.\n"
    "Each camera serves UDP commands on port 5001, TCP commands on the TCP port and the\n"
    "video and report channels on TCP port 5000, and logs one line per request served.\n"
    "\n"
    "  --ip A               address of the first camera (default 127.0.0.2); any 127.x.y.z\n"
    "                       works without configuration. Four decimal numbers 0 to 255\n"
    "                       without leading zeros; numbers below are decimal as well\n"
    "  --count N            number of cameras, on A, A+1, ... (default 1)\n"
    "  --tcp-port P         TCP command port (default 5002)\n"
    "  --user U             user name the cameras accept (default admin, at most 31\n"
    "                       characters, as for --password)\n"
    "  --password P         password the cameras accept (default admin)\n"
    "  --fps N              video frames per second once started; 0 = as fast as the\n"
    "                       connection takes them (default 25)\n"
    "  --frame-bytes N      payload bytes per video frame (default 4096)\n"
    "  --video-file F       take the frame payloads from F, cycled (default: a generated\n"
    "                       pattern); a regular file of at most 64 MiB. An H.264 or H.265\n"
    "                       stream in Annex B form (starting with a start code) is sent one\n"
    "                       access unit per frame, from its first at each start of the\n"
    "                       stream; any other file is cut in frame-bytes pieces\n"
    "  --keepalive S        keepalive report (0x1005) every S seconds (default 0: off)\n"
    "  --alarm-every S      alarm report (0x1003) every S seconds (default 0: off)\n"
    "  --alarm-burst N      N alarm reports back to back each time (default 1)\n"
    "  --report-delay MS    delay of the reports that follow the snapshot, position and\n"
    "                       distance commands (default 200)\n"
    "  --gps-report-type T  report type answering the position command: 0x1001 or 0x1002\n"
    "                       (default 0x1001; hexadecimal with 0x, or decimal)\n"
    "  --refuse-logins      answer every login as if the credentials were wrong\n"
    "  --flap S             every S seconds, take the cameras away (closing every\n"
    "                       connection) or bring them back (default 0: never)\n"
    "  --replay FILE        answer as the camera in FILE (pcap or pcapng) did: each request\n"
    "                       gets the captured answer to the same class and code, in captured\n"
    "                       order (the last one again once they run out; the simulator's own\n"
    "                       answer for commands the capture lacks), and the captured reports\n"
    "                       follow the requests they followed (or a new report channel)\n"
    "  --quiet              no log lines\n"
    "  --help               this text\n"
    "  --version            the version\n"
    "\n"
    "Log line: time, camera address, transport, class.code, command, payload length, answer.\n";

// The answers of a captured camera, handed out per class and code in captured order.
struct Replay {
    explicit Replay(ipcsim::CapturedCamera c) : cam(std::move(c)) {}
    ipcsim::CapturedCamera cam;
    std::mutex mu;
    std::map<uint16_t, size_t> seen;  // requests per class and code
    // Reports due after an answered request: when, and which.
    std::vector<std::pair<std::chrono::steady_clock::time_point, const std::vector<uint8_t>*>> due;

    std::optional<std::vector<uint8_t>> answer(const ipcsim::Request& r) {
        auto key = static_cast<uint16_t>(r.msgClass << 8 | r.code);
        std::lock_guard lk(mu);
        size_t n = ++seen[key];
        for (const auto& rep : cam.reports)
            if (rep.after_nth > 0 && rep.after_key == key && rep.after_nth == n)
                due.emplace_back(std::chrono::steady_clock::now() + std::chrono::milliseconds(rep.delay_ms), &rep.bytes);
        auto it = cam.answers.find(key);
        if (it == cam.answers.end()) return std::nullopt;
        return it->second[std::min(n, it->second.size()) - 1];
    }
    // The reports whose time has come.
    std::vector<const std::vector<uint8_t>*> take_due() {
        std::lock_guard lk(mu);
        std::vector<const std::vector<uint8_t>*> out;
        auto now = std::chrono::steady_clock::now();
        for (auto it = due.begin(); it != due.end();) {
            if (it->first <= now) {
                out.push_back(it->second);
                it = due.erase(it);
            } else {
                ++it;
            }
        }
        return out;
    }
    size_t answer_count() const {
        size_t n = 0;
        for (const auto& [key, list] : cam.answers) n += list.size();
        return n;
    }
};

bool number(const char* text, long min, long max, long& out) {
    auto v = ipctools::parse_decimal(text, static_cast<uint64_t>(min), static_cast<uint64_t>(max));
    if (!v) return false;
    out = static_cast<long>(*v);
    return true;
}

// "0x1001" or "4097".
bool report_type(const char* text, long& out) {
    std::string_view s(text);
    if (s.size() != 6 || (s.substr(0, 2) != "0x" && s.substr(0, 2) != "0X")) return number(text, 0x1001, 0x1002, out);
    if (s.substr(2) != "1001" && s.substr(2) != "1002") return false;
    out = s.substr(2) == "1001" ? 0x1001 : 0x1002;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    ipcsim::Config base;
    base.ip = "127.0.0.2";
    base.log = true;
    long count = 1, alarm_every = 0, alarm_burst = 1, flap_every = 0;
    bool refuse = false;
    std::string replay_file;
    for (int i = 1; i < argc; ++i) {
        std::string opt = argv[i];
        if (opt == "--help" || opt == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (opt == "--version") {
            std::printf("ipcsim %s\n", IPCSDK_VERSION);
            return 0;
        }
        if (opt == "--quiet") {
            base.log = false;
            continue;
        }
        if (opt == "--refuse-logins") {
            refuse = true;
            continue;
        }
        static const char* const kValued[] = {"--ip", "--user", "--password", "--video-file", "--count",
                                              "--tcp-port", "--fps", "--frame-bytes", "--keepalive",
                                              "--alarm-every", "--alarm-burst", "--report-delay",
                                              "--gps-report-type", "--flap", "--replay"};
        if (std::none_of(std::begin(kValued), std::end(kValued), [&](const char* o) { return opt == o; })) {
            std::fprintf(stderr, "ipcsim: unknown option %s (see --help)\n", opt.c_str());
            return 2;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "ipcsim: %s needs a value (see --help)\n", opt.c_str());
            return 2;
        }
        const char* val = argv[++i];
        long n = 0;
        bool ok = true;
        if (opt == "--ip") {
            base.ip = val;
            ok = ipctools::parse_ipv4(val).has_value();
        } else if (opt == "--user") {
            base.user = val;
            ok = base.user.size() <= kCredentialMax;
        } else if (opt == "--password") {
            base.password = val;
            ok = base.password.size() <= kCredentialMax;
        } else if (opt == "--replay") {
            replay_file = val;
        } else if (opt == "--video-file") {
            base.video_file = val;
            try {
                if (ipctools::read_file(val, ipcsim::kMaxVideoFile).empty())
                    throw ipctools::InputError(std::string(val) + " is empty");
            } catch (const ipctools::InputError& e) {
                std::fprintf(stderr, "ipcsim: --video-file: %s\n", e.what());
                return 2;
            }
        } else if (opt == "--count") {
            ok = number(val, 1, 4096, count);
        } else if (opt == "--tcp-port") {
            ok = number(val, 1, 65535, n) && n != 5000 && n != 5001;
            base.tcp_port = static_cast<uint16_t>(n);
        } else if (opt == "--fps") {
            ok = number(val, 0, 1000, n);
            base.frames_per_second = static_cast<int>(n);
        } else if (opt == "--frame-bytes") {
            ok = number(val, 1, 4 << 20, n);
            base.frame_bytes = static_cast<uint32_t>(n);
        } else if (opt == "--keepalive") {
            ok = number(val, 0, 86400, n);
            base.keepalive_seconds = static_cast<int>(n);
        } else if (opt == "--alarm-every") {
            ok = number(val, 0, 86400, alarm_every);
        } else if (opt == "--alarm-burst") {
            ok = number(val, 1, 1000000, alarm_burst);
        } else if (opt == "--flap") {
            ok = number(val, 0, 86400, flap_every);
        } else if (opt == "--report-delay") {
            ok = number(val, 0, 600000, n);
            base.report_delay = std::chrono::milliseconds(n);
        } else {  // --gps-report-type
            ok = report_type(val, n);
            base.gps_report_type = static_cast<uint32_t>(n);
        }
        if (!ok && (opt == "--user" || opt == "--password")) {
            std::fprintf(stderr, "ipcsim: %s: at most %zu characters\n", opt.c_str(), kCredentialMax);
            return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "ipcsim: bad value for %s: %s (%s)\n", opt.c_str(), val,
                         opt == "--ip" ? "four decimal numbers 0 to 255 without leading zeros"
                                       : "a decimal number without leading zeros, in range");
            return 2;
        }
    }
    in_addr first{htonl(*ipctools::parse_ipv4(base.ip))};
    if (ntohl(first.s_addr) + static_cast<uint64_t>(count - 1) > 0xFFFFFFFFu) {
        std::fprintf(stderr, "ipcsim: --count %ld cameras from %s run past 255.255.255.255\n", count, base.ip.c_str());
        return 2;
    }

    std::shared_ptr<Replay> replay;
    if (!replay_file.empty()) {
        try {
            replay = std::make_shared<Replay>(ipcsim::read_capture(replay_file));
        } catch (const ipcsim::CaptureError& e) {
            std::fprintf(stderr, "ipcsim: %s\n", e.what());
            return 1;
        }
    }

    // The camera threads inherit this mask, so the signals reach sigtimedwait below only.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    std::vector<std::unique_ptr<ipcsim::Camera>> cameras;
    for (long i = 0; i < count; ++i) {
        in_addr a{htonl(ntohl(first.s_addr) + static_cast<uint32_t>(i))};
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &a, text, sizeof text);
        ipcsim::Config cfg = base;
        cfg.ip = text;
        cameras.push_back(std::make_unique<ipcsim::Camera>(cfg));
        cameras.back()->refuse_logins(refuse);
        if (replay) cameras.back()->answer_with([replay](const ipcsim::Request& r) { return replay->answer(r); });
        if (!cameras.back()->start()) return 1;
    }
    std::printf("ipcsim: %ld camera(s) from %s, UDP 5001, TCP %u and 5000; user %s\n", count, base.ip.c_str(),
                base.tcp_port, base.user.c_str());
    std::fflush(stdout);

    if (replay)
        std::printf("ipcsim: replaying %zu answer(s) to %zu command(s) and %zu report(s) from %s\n", replay->answer_count(),
                    replay->cam.answers.size(), replay->cam.reports.size(), replay_file.c_str());
    std::fflush(stdout);

    uint32_t alarms = 0;
    std::vector<int> report_channels(cameras.size(), 0);
    using Clock = std::chrono::steady_clock;
    auto next_alarm = Clock::now() + std::chrono::seconds(alarm_every);
    auto next_flap = Clock::now() + std::chrono::seconds(flap_every);
    for (;;) {
        auto next = Clock::now() + std::chrono::hours(1);
        if (alarm_every > 0) next = std::min(next, next_alarm);
        if (flap_every > 0) next = std::min(next, next_flap);
        // Replaying cameras look for new report channels and due reports ten times a second.
        if (replay) next = std::min(next, Clock::now() + std::chrono::milliseconds(100));
        auto wait = std::max(Clock::duration::zero(), next - Clock::now());
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        int sig = sigtimedwait(&stop_signals, nullptr, &ts);
        if (sig == SIGINT || sig == SIGTERM) break;
        if (sig >= 0 || errno != EAGAIN) continue;
        if (replay) {
            for (size_t i = 0; i < cameras.size(); ++i) {
                int now = cameras[i]->report_connections();
                if (now > report_channels[i])
                    for (const auto& r : replay->cam.reports)
                        if (r.after_nth == 0) cameras[i]->send_report_raw(r.bytes);
                report_channels[i] = now;
            }
            for (const auto* r : replay->take_due())
                for (auto& cam : cameras) cam->send_report_raw(*r);
        }
        if (alarm_every > 0 && Clock::now() >= next_alarm) {
            next_alarm += std::chrono::seconds(alarm_every);
            for (long k = 0; k < alarm_burst; ++k) {
                ++alarms;
                std::vector<uint8_t> body(64, 0);
                std::snprintf(reinterpret_cast<char*>(body.data()), 32, "alarm %u", alarms);
                for (int b = 0; b < 4; ++b) body[32 + b] = static_cast<uint8_t>(alarms >> (8 * b));
                for (auto& cam : cameras) cam->send_report(0x1003, body);
            }
            if (base.log) {
                std::printf("alarm report 0x1003 #%u sent on every report channel\n", alarms);
                std::fflush(stdout);
            }
        }
        if (flap_every > 0 && Clock::now() >= next_flap) {
            next_flap += std::chrono::seconds(flap_every);
            bool away = cameras.front()->running();
            for (auto& cam : cameras) {
                if (away)
                    cam->stop();
                else if (!cam->start())
                    return 1;
            }
            if (base.log) {
                std::printf("ipcsim: cameras %s\n", away ? "taken away" : "back");
                std::fflush(stdout);
            }
        }
    }
    for (auto& cam : cameras) cam->stop();
    std::printf("ipcsim: stopped\n");
    return 0;
}
