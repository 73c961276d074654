// Command round trips against simulated cameras on loopback: median and 99th percentile of a
// query over UDP and TCP next to the protocol's polling floors (10 ms and 200 ms), and the
// aggregate command rate for 1, 8, 64 and 256 cameras, each driven by a thread of its own.
//   bench_commands [seconds-per-step]     (default 5)
#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>

#include "bench_common.hpp"

using namespace bench;

namespace {

struct Cameras {
    std::vector<std::unique_ptr<ipcsim::Camera>> sims;
    std::vector<uint32_t> handles;
    Cameras(int n, uint32_t netType) {
        for (int i = 0; i < n; ++i) {
            ipcsim::Config c;
            c.ip = camera_ip(i);
            c.channels = false;  // commands only
            sims.push_back(std::make_unique<ipcsim::Camera>(c));
            if (!sims.back()->start()) std::exit(1);
        }
        for (int i = 0; i < n; ++i) {
            const uint32_t h = login(camera_ip(i), netType);
            if (!is_handle(h)) {
                std::fprintf(stderr, "login %d failed: 0x%x\n", i, h);
                std::exit(1);
            }
            handles.push_back(h);
        }
    }
    ~Cameras() {
        for (uint32_t h : handles) DeviceLogout(h);
        for (auto& s : sims) s->stop();
    }
};

void round_trip(uint32_t netType, int count, double floorMs) {
    Cameras cams(1, netType);
    std::vector<double> ms;
    VideoParamRecord r[2];
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        const uint32_t res = IPCVideoParamGet(cams.handles[0], r, 2);
        ms.push_back(seconds_since(t0) * 1000);
        if (res != 0) std::fprintf(stderr, "query failed: 0x%x\n", res);
    }
    const double med = percentile(ms, 0.5), p99 = percentile(ms, 0.99);
    std::fprintf(stderr, "%-4s round trip over %d queries: median %.2f ms, p99 %.2f ms (floor %.0f ms: +%.2f ms at the median)\n",
                netType == 1 ? "UDP" : "TCP", count, med, p99, floorMs, med - floorMs);
}

double rate(int n, double seconds) {
    Cameras cams(n, 1);
    std::atomic<bool> go{false}, stop{false};
    std::vector<uint64_t> done(static_cast<size_t>(n), 0);
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
        threads.emplace_back([&, i] {
            while (!go) std::this_thread::yield();
            VideoParamRecord r[2];
            uint64_t k = 0;
            while (!stop)
                if (IPCVideoParamGet(cams.handles[static_cast<size_t>(i)], r, 2) == 0) ++k;
            done[static_cast<size_t>(i)] = k;
        });
    const auto t0 = Clock::now();
    go = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& t : threads) t.join();
    uint64_t total = 0;
    for (uint64_t d : done) total += d;
    return static_cast<double>(total) / seconds_since(t0);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    // The library prints a line per empty poll on standard output: the report goes to stderr.
    if (!std::freopen("/dev/null", "w", stdout)) return 1;
    IPCSdkInit();
    round_trip(1, 400, 10);
    round_trip(2, 40, 200);
    double one = 0;
    for (int n : {1, 8, 64, 256}) {
        const double r = rate(n, seconds);
        if (n == 1) one = r;
        std::fprintf(stderr, "%3d cameras: %9.0f commands/s  (%.2f of linear scaling)\n", n, r, r / (one * n));
    }
    IPCSdkUnInit();
    return 0;
}
