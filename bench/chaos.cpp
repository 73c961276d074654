// Chaos run: simulated cameras under an ipc::Fleet are taken away and brought back at random
// every few seconds, and now and then removed and added again at once, while host threads run
// commands on them (some through CameraRefs kept past their with()). At the end every camera must be
// online again, the process's descriptors and threads back to their count at the start, and
// its resident memory flat within 5 % over the last 80 % of the run (the mean of the last fifth
// against the mean of the second fifth; printed, not judged, under a sanitizer, whose own
// memory dominates the figure).
//   chaos [seconds] [cameras] [tcp|udp]      (default 600 64 tcp)
// Exit status 0 when every check holds, 1 otherwise.
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include <dirent.h>
#include <unistd.h>

#include "bench_common.hpp"
#include "testenv.hpp"
#include "ipcsdk_fleet.hpp"

using namespace bench;
using namespace std::chrono_literals;

namespace {

// The cameras of the chaos run: a block of addresses of their own (127.11.x.y).
std::string ip(int n) { return camera_ip(n, 11); }

size_t count_dir(const char* path) {
    size_t n = 0;
    if (DIR* d = opendir(path)) {
        while (readdir(d)) ++n;
        closedir(d);
    }
    return n;
}

std::map<int, std::string> fd_list() {
    std::map<int, std::string> m;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            char target[256] = {};
            std::string p = std::string("/proc/self/fd/") + e->d_name;
            if (readlink(p.c_str(), target, sizeof target - 1) > 0) m[std::atoi(e->d_name)] = target;
        }
        closedir(d);
    }
    return m;
}

double rss_mib() {
    std::ifstream f("/proc/self/statm");
    long size = 0, resident = 0;
    f >> size >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 600;
    const int n = argc > 2 ? std::atoi(argv[2]) : 64;
    const auto transport = argc > 3 && std::string(argv[3]) == "udp" ? ipc::Endpoint::Transport::udp
                                                                      : ipc::Endpoint::Transport::tcp;
    ipc::Sdk sdk;
    std::vector<std::unique_ptr<ipcsim::Camera>> sims;
    for (int i = 0; i < n; ++i) {
        ipcsim::Config c;
        c.ip = ip(i);
        c.frames_per_second = 10;
        c.frame_bytes = 2048;
        c.keepalive_seconds = 2;
        sims.push_back(std::make_unique<ipcsim::Camera>(c));
        if (!sims.back()->start()) return 1;
    }
    std::mutex m;
    std::condition_variable cv;
    std::map<std::string, ipc::State> state;
    std::atomic<uint64_t> frames{0}, reports{0}, changes{0};
    ipc::FleetOptions o;
    o.initial_backoff = 500ms;
    o.max_backoff = 5s;
    {
        ipc::Fleet fleet(o);
        fleet.on_state([&](const ipc::StateChange& c) {
            ++changes;
            std::lock_guard lock(m);
            state[c.id] = c.to;
            cv.notify_all();
        });
        fleet.on_frame([&](const std::string&, const ipc::Frame&) { ++frames; });
        fleet.on_report([&](const std::string&, const ipc::Report&) { ++reports; });
        add_cameras(fleet, n, transport, ip);
        auto all_online = [&] {
            std::unique_lock lock(m);
            return cv.wait_for(lock, 60s, [&] {
                for (int i = 0; i < n; ++i)
                    if (state[ip(i)] != ipc::State::online) return false;
                return true;
            });
        };
        if (!all_online()) {
            std::fprintf(stderr, "chaos: not every camera came online at the start\n");
            return 1;
        }
        std::this_thread::sleep_for(2s);  // heartbeat threads and first frames settle
        IPCSdkDebug("chaos run starts");  // opens the library's debug socket, kept for good
        const size_t fds0 = count_dir("/proc/self/fd"), threads0 = count_dir("/proc/self/task");
        const auto fdList0 = fd_list();

        // Host threads: commands on random cameras, whatever their state.
        std::atomic<bool> stop{false};
        std::atomic<uint64_t> ok{0}, notOnline{0}, failed{0}, keptOk{0}, keptRefused{0}, readded{0};
        std::vector<std::thread> hosts;
        for (int t = 0; t < 4; ++t)
            hosts.emplace_back([&, t] {
                std::mt19937 rng(100 + t);
                ipc::CameraRef kept;  // now and then a copy out of with(), used a while later
                while (!stop) {
                    const std::string id = ip(static_cast<int>(rng() % n));
                    std::error_code ec, command;
                    if (kept && rng() % 8 == 0) {
                        SystemInfo s{};
                        kept.get(s, command);
                        ++(command == ipc::errc::fleet_not_online || command == ipc::errc::fleet_unknown ? keptRefused : keptOk);
                        kept = {};
                    }
                    fleet.with(id, [&](ipc::CameraRef& c) {
                        if (!kept && rng() % 16 == 0) kept = c;
                        switch (rng() % 3) {
                        case 0: { SystemInfo s{}; c.get(s, command); break; }
                        case 1: { PTZValueRecord v{}; c.get(v, command); if (!command) c.set(v, command); break; }
                        default: { VideoParamRecord vp[2]{}; c.get(std::span<VideoParamRecord>(vp), command); }
                        }
                    }, ec);
                    if (ec) {
                        ++notOnline;
                        std::this_thread::sleep_for(20ms);
                    } else if (command) {
                        ++failed;
                    } else {
                        ++ok;
                    }
                }
            });

        // The chaos: every 0.5 s one camera is taken away, to come back 1 to 4 s later, so about
        // five cameras are away at any time.
        std::mt19937 rng(1);
        std::uniform_int_distribution<int> away(1000, 4000);
        std::vector<Clock::time_point> backAt(static_cast<size_t>(n));
        std::vector<double> rss;
        const auto t0 = Clock::now();
        auto nextSample = t0;
        int flips = 0;
        while (seconds_since(t0) < seconds) {
            std::this_thread::sleep_for(500ms);
            const auto now = Clock::now();
            for (int i = 0; i < n; ++i)
                if (!sims[i]->running() && now >= backAt[i] && !sims[i]->start()) return 1;
            const int i = static_cast<int>(rng() % n);
            if (sims[i]->running()) {
                sims[i]->stop();
                backAt[i] = now + std::chrono::milliseconds(away(rng));
                ++flips;
            }
            if (rng() % 6 == 0) {  // a camera removed and added again at once, whatever its state
                const int j = static_cast<int>(rng() % n);
                fleet.remove(ip(j));
                add_camera(fleet, j, transport, ip);
                ++readded;
            }
            std::vector<uint8_t> alarm(64, static_cast<uint8_t>(flips));
            sims[rng() % n]->send_report(0x1003, alarm);
            if (now >= nextSample) {
                // The simulated cameras keep every request for the tests' inspection: drop them,
                // or the run measures the simulators' records instead of the host.
                for (auto& sim : sims) sim->clear_requests();
                rss.push_back(rss_mib());
                nextSample += 1s;
            }
        }
        for (auto& s : sims)
            if (!s->running() && !s->start()) return 1;
        const auto settle = Clock::now();
        const bool online = all_online();
        const double settleS = seconds_since(settle);
        stop = true;
        for (auto& h : hosts) h.join();
        // Descriptors and threads: compared once the last releases and restarts are through.
        size_t fds = 0, threads = 0;
        for (int i = 0; i < 100; ++i) {
            fds = count_dir("/proc/self/fd");
            threads = count_dir("/proc/self/task");
            if (fds == fds0 && threads == threads0) break;
            std::this_thread::sleep_for(100ms);
        }
        // Flat: the mean of the last fifth of the run against the mean of the second fifth (the
        // first fifth is warm-up). Single samples swing with how many cameras are logged in.
        auto mean = [&](size_t a, size_t b) {
            double sum = 0;
            for (size_t i = a; i < b; ++i) sum += rss[i];
            return b > a ? sum / static_cast<double>(b - a) : 0.0;
        };
        const size_t fifth = rss.size() / 5;
        const double early = mean(fifth, 2 * fifth), late = mean(rss.size() - fifth, rss.size());
        const double growth = early > 0 ? (late - early) / early * 100 : 0;
        double lo = 1e18, hi = 0;
        for (size_t i = fifth; i < rss.size(); ++i) lo = std::min(lo, rss[i]), hi = std::max(hi, rss[i]);
        std::printf("chaos: %d s, %d cameras, %d taken away and brought back, %llu state changes\n", seconds, n, flips,
                    static_cast<unsigned long long>(changes.load()));
        std::printf("chaos: %llu cameras removed and added again; commands through kept CameraRefs: %llu ran, %llu "
                    "refused\n",
                    static_cast<unsigned long long>(readded.load()), static_cast<unsigned long long>(keptOk.load()),
                    static_cast<unsigned long long>(keptRefused.load()));
        std::printf("chaos: commands %llu ok, %llu failed, %llu refused as not online; %llu frames, %llu reports\n",
                    static_cast<unsigned long long>(ok.load()), static_cast<unsigned long long>(failed.load()),
                    static_cast<unsigned long long>(notOnline.load()), static_cast<unsigned long long>(frames.load()),
                    static_cast<unsigned long long>(reports.load()));
        std::printf("chaos: every camera online at the end: %s (%.1f s after the last return)\n", online ? "yes" : "NO",
                    settleS);
        std::printf("chaos: descriptors %zu -> %zu, threads %zu -> %zu\n", fds0, fds, threads0, threads);
        if (fds != fds0)
            for (auto& [fd, target] : fd_list())
                if (!fdList0.count(fd)) std::printf("chaos: descriptor %d -> %s\n", fd, target.c_str());
        std::printf("chaos: resident memory every 10 s:");
        for (size_t i = 0; i < rss.size(); i += 10) std::printf(" %.0f", rss[i]);
        std::printf(" MiB\n");
        std::printf("chaos: resident memory over the last 80 %%: %.1f to %.1f MiB; mean %.1f MiB in the second "
                    "fifth, %.1f MiB in the last (%+.1f %%%s)\n",
                    lo, hi, early, late, growth, testenv::kSanitized ? "; not judged under a sanitizer" : "");
        const bool memoryFlat = testenv::kSanitized || (growth <= 5.0 && growth >= -5.0);
        const bool pass = ok > 0 && online && fds == fds0 && threads == threads0 && memoryFlat;
        std::printf("chaos: %s\n", pass ? "PASS" : "FAIL");
        std::fflush(stdout);
        if (!pass) return 1;
    }
    for (auto& s : sims) s->stop();
    return 0;
}
