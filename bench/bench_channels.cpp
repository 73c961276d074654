// Channel throughput against a simulated camera on loopback: video frames delivered through
// the frame callback for payloads of 1 KiB, 64 KiB and 1 MiB, next to a plain receive loop that
// only counts bytes on a connection of the same kind; and report messages dispatched per second.
//   bench_channels [seconds-per-step]     (default 4)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "bench_common.hpp"

using namespace bench;

namespace {

std::atomic<uint64_t> g_frames{0}, g_bytes{0}, g_reports{0};

int on_frame(uint32_t, uint8_t* frame) {
    uint32_t len;
    std::memcpy(&len, frame + 8, 4);
    g_frames.fetch_add(1, std::memory_order_relaxed);
    g_bytes.fetch_add(len + 156, std::memory_order_relaxed);
    return 0;
}

int on_report(uint32_t, intptr_t, intptr_t, uint8_t*, uint32_t, intptr_t) {
    g_reports.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

// A bare video connection: announcement, then count every byte that arrives.
double plain_loop(const std::string& ip, ipcsim::Camera& cam, double seconds) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(5000);
    to.sin_addr.s_addr = inet_addr(ip.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return 0;
    uint8_t announce[16 + 132] = {0x5B, 0x5A, 0x01, 0, 3};
    announce[15] = 132;
    announce[16 + 3] = 2;
    if (send(fd, announce, sizeof announce, 0) != sizeof announce) return 0;
    while (cam.video_connections() < 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    cam.start_video_stream();
    std::vector<uint8_t> buf(4 << 20);
    uint64_t bytes = 0;
    const auto t0 = Clock::now();
    while (seconds_since(t0) < seconds) {
        const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) break;
        bytes += static_cast<uint64_t>(n);
    }
    const double rate = static_cast<double>(bytes) / seconds_since(t0);
    cam.stop_video_stream();
    close(fd);
    return rate;
}

double through_library(uint32_t handle, ipcsim::Camera& cam, double seconds, uint64_t& frames) {
    if (StartVideoRequest(handle) != 0) return 0;
    while (cam.video_connections() < 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    g_frames = 0;
    g_bytes = 0;
    cam.start_video_stream();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const double rate = static_cast<double>(g_bytes.load()) / seconds_since(t0);
    frames = g_frames.load();
    cam.stop_video_stream();
    StopVideoRequest(handle);
    while (cam.video_connections() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return rate;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 4.0;
    if (!std::freopen("/dev/null", "w", stdout)) return 1;
    IPCSdkInit();
    SetVideoFrameCallBack(on_frame);
    SetReportCallbackFunc(on_report);
    for (uint32_t size : {1u << 10, 64u << 10, 1u << 20}) {
        ipcsim::Config c;
        c.ip = camera_ip(0);
        c.frames_per_second = 0;  // as fast as the connection takes them
        c.frame_bytes = size;
        ipcsim::Camera cam(c);
        if (!cam.start()) return 1;
        const double plain = plain_loop(c.ip, cam, seconds);
        while (cam.video_connections() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const uint32_t h = login(c.ip, 1);
        if (!is_handle(h)) return 1;
        uint64_t frames = 0;
        const double lib = through_library(h, cam, seconds, frames);
        std::fprintf(stderr, "video %7u-byte frames: %8.0f frames/s, %7.1f MB/s through the callback; plain loop %7.1f MB/s; ratio %.2f\n",
                     size, static_cast<double>(frames) / seconds, lib / 1e6, plain / 1e6, plain > 0 ? lib / plain : 0);
        DeviceLogout(h);
        cam.stop();
    }
    {
        ipcsim::Config c;
        c.ip = camera_ip(0);
        ipcsim::Camera cam(c);
        if (!cam.start()) return 1;
        const uint32_t h = login(c.ip, 1);
        if (!is_handle(h)) return 1;
        while (cam.report_connections() < 1) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::vector<uint8_t> burst;
        for (int i = 0; i < 1000; ++i) {
            auto m = ipcsim::Camera::report_message(0x1003, std::vector<uint8_t>(64, static_cast<uint8_t>(i)));
            burst.insert(burst.end(), m.begin(), m.end());
        }
        g_reports = 0;
        const auto t0 = Clock::now();
        uint64_t sent = 0;
        while (seconds_since(t0) < seconds) {
            cam.send_report_raw(burst);
            sent += 1000;
            while (g_reports.load() + 2000 < sent) std::this_thread::yield();
        }
        while (g_reports.load() < sent && seconds_since(t0) < seconds + 5) std::this_thread::yield();
        std::fprintf(stderr, "reports: %.0f messages/s dispatched to the callback (64-byte bodies)\n",
                     static_cast<double>(g_reports.load()) / seconds_since(t0));
        DeviceLogout(h);
        cam.stop();
    }
    IPCSdkUnInit();
    return 0;
}
