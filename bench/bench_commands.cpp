// Command timings against simulated cameras on loopback, each next to the raw round trip of a
// plain socket that sends the same 16-byte query to the same simulator and blocks on the answer:
// query latency over UDP and TCP, the command rate of one camera and of 8, 64 and 256 in
// parallel, login alone and 256 at once, and how soon a snapshot returns after its second
// picture has been dispatched. The trace file is written as always (in the working directory).
//   bench_commands [seconds-per-step]     (default 5)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

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
    Cameras(int n, uint32_t netType, bool channels = false) {
        for (int i = 0; i < n; ++i) {
            ipcsim::Config c;
            c.ip = camera_ip(i);
            c.channels = channels;
            sims.push_back(std::make_unique<ipcsim::Camera>(c));
            if (!sims.back()->start()) std::exit(1);
        }
        for (int i = 0; i < n && netType; ++i) handles.push_back(must_login(i, netType));
    }
    static uint32_t must_login(int i, uint32_t netType) {
        const uint32_t h = login(camera_ip(i), netType);
        if (!is_handle(h)) {
            std::fprintf(stderr, "login %d failed: 0x%x\n", i, h);
            std::exit(1);
        }
        return h;
    }
    ~Cameras() {
        for (uint32_t h : handles) DeviceLogout(h);
        for (auto& s : sims) s->stop();
    }
};

const char* name(uint32_t netType) { return netType == 1 ? "UDP" : "TCP"; }

// The raw figure: the video parameter query as a bare header, answered by the same simulator.
std::vector<double> raw_round_trips(const std::string& ip, uint32_t netType, int count) {
    const bool tcp = netType == 2;
    const int fd = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(tcp ? 5002 : 5001);
    inet_pton(AF_INET, ip.c_str(), &to.sin_addr);
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) std::exit(1);
    const uint8_t query[16] = {0x5B, 0x5A, 1, 1, 6};
    std::vector<double> us;
    uint8_t answer[2048];
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        if (send(fd, query, sizeof query, 0) != sizeof query) std::exit(1);
        if (tcp) {
            size_t have = 0, want = 16;
            while (have < want) {
                const ssize_t r = recv(fd, answer + have, want - have, 0);
                if (r <= 0) std::exit(1);
                have += static_cast<size_t>(r);
                if (have == 16) want = 16 + ((size_t{answer[14]} << 8) | answer[15]);
            }
        } else if (recv(fd, answer, sizeof answer, 0) <= 0) {
            std::exit(1);
        }
        us.push_back(seconds_since(t0) * 1e6);
    }
    close(fd);
    return us;
}

void latency(uint32_t netType, int count) {
    Cameras cams(1, netType);
    const std::vector<double> raw = raw_round_trips(camera_ip(0), netType, count);
    std::vector<double> us;
    VideoParamRecord r[2];
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        const uint32_t res = IPCVideoParamGet(cams.handles[0], r, 2);
        us.push_back(seconds_since(t0) * 1e6);
        if (res != 0) std::fprintf(stderr, "query failed: 0x%x\n", res);
    }
    const double rawMed = percentile(raw, 0.5), med = percentile(us, 0.5);
    std::fprintf(stderr, "%s query over %d calls: median %.0f us, p99 %.0f us; raw round trip median %.0f us, p99 %.0f us (%.1fx)\n",
                 name(netType), count, med, percentile(us, 0.99), rawMed, percentile(raw, 0.99), med / rawMed);
}

double rate(int n, uint32_t netType, double seconds) {
    Cameras cams(n, netType);
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

void logins(uint32_t netType) {
    {
        Cameras cams(1, 0);
        std::vector<double> us;
        for (int i = 0; i < 200; ++i) {
            const auto t0 = Clock::now();
            const uint32_t h = Cameras::must_login(0, netType);
            us.push_back(seconds_since(t0) * 1e6);
            DeviceLogout(h);
        }
        std::fprintf(stderr, "%s login: median %.0f us, p99 %.0f us\n", name(netType), percentile(us, 0.5),
                     percentile(us, 0.99));
    }
    Cameras cams(256, 0);
    std::vector<uint32_t> handles(256);
    std::vector<std::thread> threads;
    const auto t0 = Clock::now();
    std::vector<double> each(256);
    for (int i = 0; i < 256; ++i)
        threads.emplace_back([&, i] {
            const auto t1 = Clock::now();
            handles[static_cast<size_t>(i)] = Cameras::must_login(i, netType);
            each[static_cast<size_t>(i)] = seconds_since(t1) * 1000;
        });
    for (auto& t : threads) t.join();
    std::fprintf(stderr, "%s: 256 logins in parallel in %.0f ms (each: median %.1f ms, max %.1f ms)\n", name(netType),
                 seconds_since(t0) * 1000, percentile(each, 0.5), percentile(each, 1.0));
    for (uint32_t h : handles) DeviceLogout(h);
}

std::atomic<int64_t> g_secondPicture{0};

void snapshot(uint32_t netType) {
    Cameras cams(1, netType, true);
    SetReportCallbackFunc([](uint32_t type, intptr_t, intptr_t, uint8_t*, uint32_t, intptr_t) {
        if (type == 0xA002) g_secondPicture = Clock::now().time_since_epoch().count();
        return 0;
    });
    std::vector<double> us;
    std::vector<uint8_t> out(1 << 16);
    SimuSnapInfo info{};
    for (int i = 0; i < 40; ++i) {
        const uint32_t r = IPCSIMUSNAP(cams.handles[0], &info, 1, out.data(), static_cast<uint32_t>(out.size()), 5);
        const int64_t back = Clock::now().time_since_epoch().count();
        if (r >= 0x80000000u) std::fprintf(stderr, "snapshot failed: 0x%x\n", r);
        us.push_back(static_cast<double>(back - g_secondPicture.load()) / 1000.0);
    }
    SetReportCallbackFunc(nullptr);
    std::fprintf(stderr, "%s snapshot: returns a median %.0f us (p99 %.0f us) after its second picture was dispatched\n",
                 name(netType), percentile(us, 0.5), percentile(us, 0.99));
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    // The library prints a line per empty poll on standard output: the report goes to stderr.
    if (!std::freopen("/dev/null", "w", stdout)) return 1;
    IPCSdkInit();
    for (uint32_t netType : {1u, 2u}) {
        latency(netType, 2000);
        double one = 0;
        for (int n : {1, 8, 64, 256}) {
            const double r = rate(n, netType, seconds);
            if (n == 1) one = r;
            std::fprintf(stderr, "%s %3d cameras: %9.0f commands/s  (%.2f of one camera's rate)\n", name(netType), n, r,
                         r / one);
        }
        logins(netType);
        snapshot(netType);
    }
    IPCSdkUnInit();
    return 0;
}
