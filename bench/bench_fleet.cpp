// The C++ layer measured against simulated cameras on loopback:
//   1. the overhead of a typed call over the C call it wraps: a query round trip both ways
//      (against the 10 ms protocol floor), and the bare cost of the wrapper on a call that
//      returns at once (an unknown handle);
//   2. with 64 cameras under an ipc::Fleet, the time from a camera's return to online again,
//      next to the backoff pause the fleet was in.
//   bench_fleet [cameras] [tcp|udp]      (default 64 tcp): both of the above
// Modes of their own:
//   bench_fleet restart [cameras] [tcp|udp]    every camera killed together and restarted, ten
//       times: time from a camera's restart (or from the end of its pause, if later) to online,
//       and resident memory when first online against after the last round
//   bench_fleet frozen [cameras] [tcp|udp]     all but 4 cameras never answer a login: time for
//       the 4 healthy ones, added last, to come online
//   bench_fleet teardown [cameras] [tcp|udp]   every camera hangs in its login: time ~Fleet takes
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include <unistd.h>

#include "bench_common.hpp"
#include "ipcsdk_fleet.hpp"

using namespace bench;
using namespace std::chrono_literals;

namespace {

// The cameras of this benchmark: a block of addresses of their own (127.12.x.y).
std::string ip(int n) { return camera_ip(n, 12); }

void call_overhead() {
    ipcsim::Config c;
    c.ip = ip(0);
    c.channels = false;
    ipcsim::Camera sim(c);
    if (!sim.start()) std::exit(1);
    ipc::Camera cam = ipc::Camera::login({ip(0)}, {"admin", "admin"});
    std::vector<double> cMs, cppMs;
    NtpConfInfo r{};
    for (int i = 0; i < 300; ++i) {  // interleaved, so both see the same machine
        auto t0 = Clock::now();
        if (IPCNtpConfGet(cam.handle(), &r) != 0) std::fprintf(stderr, "C query failed\n");
        cMs.push_back(seconds_since(t0) * 1000);
        t0 = Clock::now();
        r = cam.get<NtpConfInfo>();
        cppMs.push_back(seconds_since(t0) * 1000);
    }
    std::fprintf(stderr, "query round trip, 300 each: C median %.3f ms p99 %.3f ms; C++ median %.3f ms p99 %.3f ms\n",
                 percentile(cMs, 0.5), percentile(cMs, 0.99), percentile(cppMs, 0.5), percentile(cppMs, 0.99));
    cam.close();

    // The wrapper alone: a call the library refuses at once.
    constexpr int kCalls = 2000000;
    ipc::CameraRef none(IPCSDK_HANDLE_BASE + 255);
    std::error_code ec;
    uint32_t sink = 0;
    auto t0 = Clock::now();
    for (int i = 0; i < kCalls; ++i) sink += IPCNtpConfGet(none.handle(), &r);
    const double cNs = seconds_since(t0) * 1e9 / kCalls;
    t0 = Clock::now();
    for (int i = 0; i < kCalls; ++i) {
        none.get(r, ec);
        sink += static_cast<uint32_t>(ec.value());
    }
    const double cppNs = seconds_since(t0) * 1e9 / kCalls;
    std::fprintf(stderr, "refused call, %d each: C %.1f ns, C++ (error_code) %.1f ns, overhead %.1f ns (%u)\n", kCalls,
                 cNs, cppNs, cppNs - cNs, sink & 1u);
    sim.stop();
}

void returns(int n, ipc::Endpoint::Transport transport) {
    std::vector<std::unique_ptr<ipcsim::Camera>> sims;
    for (int i = 0; i < n; ++i) {
        ipcsim::Config c;
        c.ip = ip(i);
        c.frames_per_second = 10;
        sims.push_back(std::make_unique<ipcsim::Camera>(c));
        if (!sims.back()->start()) std::exit(1);
    }
    std::mutex m;
    std::condition_variable cv;
    std::map<std::string, ipc::State> state;
    std::map<std::string, Clock::time_point> onlineAt;
    std::map<std::string, std::chrono::milliseconds> lastPause;
    ipc::Fleet fleet;  // default options: 1 s doubling to 30 s, 20 % jitter
    fleet.on_state([&](const ipc::StateChange& c) {
        std::lock_guard lock(m);
        state[c.id] = c.to;
        if (c.to == ipc::State::online) onlineAt[c.id] = Clock::now();
        cv.notify_all();
    });
    fleet.on_retry([&](const ipc::Retry& r) {
        std::lock_guard lock(m);
        lastPause[r.id] = r.pause;
    });
    const auto t0 = Clock::now();
    add_cameras(fleet, n, transport, ip);
    auto all_online = [&] {
        for (int i = 0; i < n; ++i)
            if (state[ip(i)] != ipc::State::online) return false;
        return true;
    };
    {
        std::unique_lock lock(m);
        if (!cv.wait_for(lock, 60s, all_online)) {
            std::fprintf(stderr, "not every camera came online\n");
            std::exit(1);
        }
    }
    std::fprintf(stderr, "%d cameras online %.2f s after the fleet started\n", n, seconds_since(t0));

    // Waves of 8 cameras: taken away, back after 0.5 to 2.5 s; each measured from its return.
    std::mt19937 rng(7);
    std::vector<double> delay, excess;
    for (int wave = 0; wave < n / 8; ++wave) {
        std::vector<int> ids;
        for (int k = 0; k < 8; ++k) ids.push_back(wave * 8 + k);
        for (int i : ids) sims[i]->stop();
        {
            std::unique_lock lock(m);
            cv.wait_for(lock, 30s, [&] {
                for (int i : ids)
                    if (state[ip(i)] != ipc::State::offline) return false;
                return true;
            });
        }
        std::vector<std::pair<int, Clock::time_point>> back;
        std::uniform_int_distribution<int> down(500, 2500);
        std::vector<std::pair<int, int>> order;
        for (int i : ids) order.emplace_back(down(rng), i);
        std::sort(order.begin(), order.end());
        const auto away = Clock::now();
        for (auto [ms, i] : order) {
            std::this_thread::sleep_until(away + std::chrono::milliseconds(ms));
            if (!sims[i]->start()) std::exit(1);
            back.emplace_back(i, Clock::now());
        }
        std::unique_lock lock(m);
        cv.wait_for(lock, 60s, [&] {
            for (auto& [i, t] : back)
                if (state[ip(i)] != ipc::State::online) return false;
            return true;
        });
        for (auto& [i, t] : back) {
            const double d = std::chrono::duration<double>(onlineAt[ip(i)] - t).count();
            delay.push_back(d * 1000);
            excess.push_back(d * 1000 - static_cast<double>(lastPause[ip(i)].count()));
        }
    }
    std::fprintf(stderr,
                 "return to online, %zu returns of %d cameras (%s): median %.0f ms, p99 %.0f ms; "
                 "beyond the backoff pause in force: median %.0f ms, p99 %.0f ms\n",
                 delay.size(), n, transport == ipc::Endpoint::Transport::tcp ? "TCP" : "UDP", percentile(delay, 0.5),
                 percentile(delay, 0.99), percentile(excess, 0.5), percentile(excess, 0.99));
}

// This process's resident memory (the simulated cameras run in it too).
double resident_mib() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

const char* name(ipc::Endpoint::Transport t) { return t == ipc::Endpoint::Transport::tcp ? "TCP" : "UDP"; }

std::vector<std::unique_ptr<ipcsim::Camera>> start_sims(int n, int fps = 10) {
    std::vector<std::unique_ptr<ipcsim::Camera>> sims;
    for (int i = 0; i < n; ++i) {
        ipcsim::Config c;
        c.ip = ip(i);
        c.frames_per_second = fps;
        sims.push_back(std::make_unique<ipcsim::Camera>(c));
        if (!sims.back()->start()) std::exit(1);
    }
    return sims;
}

// State changes and pauses as the handlers saw them, with the time each arrived.
struct Watch {
    std::mutex m;
    std::condition_variable cv;
    std::map<std::string, ipc::State> state;
    std::map<std::string, Clock::time_point> onlineAt, dueAt;  // dueAt: end of the last pause
    void attach(ipc::Fleet& fleet) {
        fleet.on_state([this](const ipc::StateChange& c) {
            std::lock_guard lock(m);
            state[c.id] = c.to;
            if (c.to == ipc::State::online) onlineAt[c.id] = Clock::now();
            cv.notify_all();
        });
        fleet.on_retry([this](const ipc::Retry& r) {
            std::lock_guard lock(m);
            dueAt[r.id] = Clock::now() + r.pause;
        });
    }
    bool wait_all(int from, int to, ipc::State s, std::chrono::seconds limit) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, limit, [&] {
            for (int i = from; i < to; ++i)
                if (state[ip(i)] != s) return false;
            return true;
        });
    }
};

void restart(int n, ipc::Endpoint::Transport transport) {
    auto sims = start_sims(n);
    Watch w;
    ipc::Fleet fleet;  // default options: 1 s doubling to 30 s, 20 % jitter
    w.attach(fleet);
    add_cameras(fleet, n, transport, ip);
    if (!w.wait_all(0, n, ipc::State::online, 120s)) std::exit(1);
    const double first = resident_mib();
    std::vector<double> delay, excess;
    constexpr int kRounds = 10;
    for (int round = 0; round < kRounds; ++round) {
        for (auto& s : sims) s->stop();
        if (!w.wait_all(0, n, ipc::State::offline, 60s)) std::exit(1);
        std::this_thread::sleep_for(3s);
        std::vector<Clock::time_point> ready(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            if (!sims[i]->start()) std::exit(1);
            ready[i] = Clock::now();
        }
        if (!w.wait_all(0, n, ipc::State::online, 120s)) std::exit(1);
        std::lock_guard lock(w.m);
        for (int i = 0; i < n; ++i) {
            const auto online = w.onlineAt[ip(i)];
            delay.push_back(std::chrono::duration<double, std::milli>(online - ready[i]).count());
            excess.push_back(std::chrono::duration<double, std::milli>(online - std::max(ready[i], w.dueAt[ip(i)])).count());
        }
    }
    const double last = resident_mib();
    std::fprintf(stderr,
                 "restart of all %d cameras together (%s), %d rounds: restart to online median %.0f ms, p99 %.0f ms; "
                 "beyond the later of restart and pause end: median %.0f ms, p99 %.0f ms; resident memory "
                 "%.1f MiB when first online, %.1f MiB after the last round (%+.1f %%)\n",
                 n, name(transport), kRounds, percentile(delay, 0.5), percentile(delay, 0.99), percentile(excess, 0.5),
                 percentile(excess, 0.99), first, last, (last / first - 1) * 100);
}

void frozen(int n, ipc::Endpoint::Transport transport) {
    auto sims = start_sims(n);
    for (int i = 0; i < n - 4; ++i) sims[i]->script(ipcsim::Scripted{ipcsim::Reply::None, {}, {}, 0, 0ms, 1 << 30});
    Watch w;
    ipc::Fleet fleet;
    w.attach(fleet);
    add_cameras(fleet, n - 4, transport, ip);
    const auto t0 = Clock::now();
    for (int i = n - 4; i < n; ++i) {
        ipc::CameraSpec s;
        s.endpoint = {ip(i), transport, 5002};
        s.credentials = {"admin", "admin"};
        fleet.add(ip(i), s);
    }
    if (!w.wait_all(n - 4, n, ipc::State::online, 300s)) std::exit(1);
    double last = 0;
    std::lock_guard lock(w.m);
    for (int i = n - 4; i < n; ++i)
        last = std::max(last, std::chrono::duration<double>(w.onlineAt[ip(i)] - t0).count());
    std::fprintf(stderr, "%d frozen cameras (%s) added first: the 4 healthy ones online after %.3f s\n", n - 4,
                 name(transport), last);
}

void teardown(int n, ipc::Endpoint::Transport transport) {
    auto sims = start_sims(n);
    for (auto& s : sims) s->script(ipcsim::Scripted{ipcsim::Reply::None, {}, {}, 0, 0ms, 1 << 30});
    auto fleet = std::make_unique<ipc::Fleet>();
    add_cameras(*fleet, n, transport, ip);
    for (auto& s : sims)  // every login under way
        if (!s->wait_request(0, 0, 60s)) std::exit(1);
    const auto t0 = Clock::now();
    fleet.reset();
    std::fprintf(stderr, "~Fleet with %d cameras hanging in their login (%s): %.3f s\n", n, name(transport),
                 seconds_since(t0));
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 && !std::isdigit(static_cast<unsigned char>(argv[1][0])) ? argv[1] : "";
    const int first = mode.empty() ? 1 : 2;
    const int n = argc > first ? std::atoi(argv[first]) : 64;
    const auto transport = argc > first + 1 && std::string(argv[first + 1]) == "udp" ? ipc::Endpoint::Transport::udp
                                                                                     : ipc::Endpoint::Transport::tcp;
    ipc::Sdk sdk;
    if (mode == "restart") {
        restart(n, transport);
    } else if (mode == "frozen") {
        frozen(n, transport);
    } else if (mode == "teardown") {
        teardown(n, transport);
    } else if (mode.empty()) {
        call_overhead();
        returns(n, transport);
    } else {
        std::fprintf(stderr, "usage: bench_fleet [restart|frozen|teardown] [cameras] [tcp|udp]\n");
        return 2;
    }
    return 0;
}
