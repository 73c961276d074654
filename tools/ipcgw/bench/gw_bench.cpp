// ipcgw benchmark: simulated cameras, a mosquitto broker and the gateway as a process, all on
// loopback.
//   - reports per second from the cameras through the gateway to a subscriber, and their
//     latency from the camera's send to the subscriber (median, p99), at rising report rates
//   - request/response round trip over the broker next to the same command called directly
//   - the gateway's resident memory per camera
//
//   ipcgw_bench [seconds-per-step] [cameras]
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <signal.h>
#include <thread>

#include <ipcsdk.hpp>

#include "bench_common.hpp"
#include "mqtt_peer.hpp"

namespace {

using namespace std::chrono_literals;
using bench::Clock;

const std::string kBrokerIp = "127.11.0.1";
constexpr uint16_t kBrokerPort = 1883;

std::string name(int i) { return "cam" + std::to_string(i); }

std::string write_config(const std::string& dir, int cameras) {
    const std::string path = dir + "/gw-" + std::to_string(cameras) + ".toml";
    std::ofstream out(path);
    out << "[mqtt]\nhost = \"" << kBrokerIp << "\"\nport = " << kBrokerPort
        << "\nclient_id = \"bench-gw\"\nprefix = \"bench\"\n";
    for (int i = 0; i < cameras; ++i)
        out << "[[camera]]\nname = \"" << name(i) << "\"\naddress = \"" << bench::camera_ip(i)
            << "\"\npassword = \"admin\"\n";
    return path;
}

long rss_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// Starts the gateway for the first `cameras` cameras and waits until all are online.
pid_t start_gateway(const std::string& dir, int cameras, gwtest::Client& sub) {
    sub.clear();
    pid_t pid = gwtest::spawn({IPCGW_PATH, "--config", write_config(dir, cameras)}, dir + "/ipcgw.log");
    for (int i = 0; i < cameras; ++i)
        if (!sub.wait_json("bench/" + name(i) + "/state", "state", "online", 30s)) {
            std::fprintf(stderr, "camera %d did not come online (see %s/ipcgw.log)\n", i, dir.c_str());
            std::exit(1);
        }
    return pid;
}

void stop_gateway(pid_t pid) {
    kill(pid, SIGTERM);
    gwtest::wait_exit(pid);
}

int64_t now_ns() { return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count(); }

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5;
    const int cameras = argc > 2 ? std::atoi(argv[2]) : 64;
    char tmpl[] = "/tmp/ipcgw-bench-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    if (chdir(dir.c_str()) != 0) return 1;  // the library's trace file lands here

    gwtest::Broker broker(kBrokerIp, kBrokerPort, dir);
    if (!broker.start()) {
        std::fprintf(stderr, "broker did not start (see %s/mosquitto.log)\n", dir.c_str());
        return 1;
    }
    std::vector<std::unique_ptr<ipcsim::Camera>> cams;
    for (int i = 0; i < cameras; ++i) {
        ipcsim::Config c;
        c.ip = bench::camera_ip(i);
        cams.push_back(std::make_unique<ipcsim::Camera>(c));
        if (!cams.back()->start()) return 1;
    }
    gwtest::Client sub("bench-sub", kBrokerIp, kBrokerPort);
    if (!sub.connect() || !sub.subscribe("bench/+/state")) return 1;

    // Resident memory: one camera, then all of them.
    pid_t gw = start_gateway(dir, 1, sub);
    std::this_thread::sleep_for(1s);
    const long rss1 = rss_kib(gw);
    stop_gateway(gw);
    gw = start_gateway(dir, cameras, sub);
    std::this_thread::sleep_for(1s);
    const long rss_n = rss_kib(gw);
    std::printf("gateway resident memory: %ld KiB with 1 camera, %ld KiB with %d: %.0f KiB per camera\n", rss1, rss_n,
                cameras, cameras > 1 ? double(rss_n - rss1) / (cameras - 1) : 0.0);

    // Reports: every camera sends position reports at `rate` per second; the text field carries
    // the send time.
    if (!sub.subscribe("bench/+/report")) return 1;
    for (const auto& c : cams) c->wait_report_connection();
    std::printf("\nreports (type 0x1001, 48 bytes) from %d cameras through the gateway, QoS 1:\n", cameras);
    std::printf("%14s %12s %12s %10s %12s %12s\n", "sent/s/camera", "sent/s", "received/s", "lost", "median ms",
                "p99 ms");
    for (int rate : {10, 50, 100, 200, 400}) {
        sub.clear();
        const auto period = std::chrono::nanoseconds(1'000'000'000 / rate);
        const auto t0 = Clock::now();
        uint64_t sent = 0;
        auto next = t0;
        while (Clock::now() - t0 < std::chrono::duration<double>(seconds)) {
            for (auto& c : cams) {
                std::vector<uint8_t> body(48, 0);
                const std::string stamp = std::to_string(now_ns());
                std::memcpy(body.data(), stamp.data(), stamp.size());
                c->send_report(0x1001, body);
                ++sent;
            }
            next += period;
            std::this_thread::sleep_until(next);
        }
        const double elapsed = bench::seconds_since(t0);
        std::this_thread::sleep_for(2s);  // what is still on its way
        std::vector<double> latency;
        for (const auto& m : sub.messages()) {
            if (m.topic.size() < 7 || m.topic.compare(m.topic.size() - 7, 7, "/report") != 0) continue;
            auto j = m.json();
            const int64_t sent_ns = std::strtoll(j.value("text", std::string("0")).c_str(), nullptr, 10);
            const int64_t arrived_ns =
                std::chrono::duration_cast<std::chrono::nanoseconds>(m.arrived.time_since_epoch()).count();
            latency.push_back((arrived_ns - sent_ns) / 1e6);
        }
        std::printf("%14d %12.0f %12.0f %10" PRIu64 " %12.2f %12.2f\n", rate, sent / elapsed, latency.size() / elapsed,
                    sent - latency.size(), bench::percentile(latency, 0.5), bench::percentile(latency, 0.99));
    }

    // Request/response over the broker against the same command called directly.
    const int rounds = 300;
    gwtest::Client req("bench-req", kBrokerIp, kBrokerPort);
    if (!req.connect() || !req.subscribe("bench-client/replies")) return 1;
    std::vector<double> over_broker, direct;
    for (int i = 0; i < rounds; ++i) {
        req.clear();
        const std::string corr = std::to_string(i);
        const auto t = Clock::now();
        req.publish("bench/cam0/request", R"({"op": "get", "setting": "ntp-conf"})", "bench-client/replies", corr);
        auto r = req.wait([&](const gwtest::Message& m) { return m.correlation == corr; }, 10s);
        if (!r || r->json()["result"] != 0) {
            std::fprintf(stderr, "request %d failed\n", i);
            return 1;
        }
        over_broker.push_back(bench::seconds_since(t) * 1e3);
    }
    {
        // The same command from this process on another camera (the gateway holds camera 0).
        ipc::Sdk sdk;
        ipc::Camera cam = ipc::Camera::login({bench::camera_ip(cameras > 1 ? 1 : 0)}, {"admin", "admin"});
        for (int i = 0; i < rounds; ++i) {
            const auto t = Clock::now();
            (void)cam.get<NtpConfInfo>();
            direct.push_back(bench::seconds_since(t) * 1e3);
        }
    }
    std::printf("\nget ntp-conf, %d rounds:  median ms  p99 ms\n", rounds);
    std::printf("  over the broker       %9.3f %7.3f\n", bench::percentile(over_broker, 0.5),
                bench::percentile(over_broker, 0.99));
    std::printf("  called directly       %9.3f %7.3f\n", bench::percentile(direct, 0.5), bench::percentile(direct, 0.99));

    stop_gateway(gw);
    for (auto& c : cams) c->stop();
    broker.stop();
    std::filesystem::remove_all(dir);
    return 0;
}
