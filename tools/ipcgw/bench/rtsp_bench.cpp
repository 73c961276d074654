// ipcgw RTSP benchmark: simulated cameras serving a real H.264 clip at 25 fps, a mosquitto
// broker and the gateway as a process, one RTSP client per camera in this process, all on
// loopback.
//   - latency of camera 0's frames from the simulator's send to the RTSP client's receipt of the
//     depayloaded access unit (median, p99, max)
//   - the gateway's CPU (from /proc/PID/stat), resident memory and threads over the run
//
//   ipcgw_rtsp_bench [seconds] [cameras]
//
// A frame is recognised on the client by the last bytes of its last NAL unit, which the
// payloader and depayloader keep; the simulator sends the clip's access units in order from the
// first, so its n-th send is unit n modulo the clip's length. Send times come from polling the
// simulator's frame counter every 100 us; on a loaded machine the poll can wake later than the
// client's receipt, and such frames are counted apart.
#include <gst/gst.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <signal.h>
#include <sstream>
#include <thread>

#include <ipctools/annexb.hpp>

#include "bench_common.hpp"
#include "mqtt_peer.hpp"

namespace {

using namespace std::chrono_literals;
using bench::Clock;
namespace annexb = ipctools::annexb;

const std::string kBrokerIp = "127.12.0.1";
constexpr uint16_t kBrokerPort = 1883;
constexpr uint16_t kRtspPort = 18554;
constexpr int kBlock = 12;  // camera addresses 127.12.x.y

std::string name(int i) { return "cam" + std::to_string(i); }

std::string write_config(const std::string& dir, int cameras) {
    const std::string path = dir + "/gw.toml";
    std::ofstream out(path);
    out << "[mqtt]\nhost = \"" << kBrokerIp << "\"\nport = " << kBrokerPort
        << "\nclient_id = \"rtsp-bench\"\nprefix = \"bench\"\n[rtsp]\naddress = \"127.0.0.1\"\nport = "
        << kRtspPort << "\n";
    for (int i = 0; i < cameras; ++i)
        out << "[[camera]]\nname = \"" << name(i) << "\"\naddress = \"" << bench::camera_ip(i + 1, kBlock)
            << "\"\npassword = \"admin\"\nvideo = true\n";
    return path;
}

// The last bytes of the last NAL unit: a frame's fingerprint.
std::string key(std::span<const uint8_t> au) {
    auto n = annexb::nals(au);
    if (n.empty()) return {};
    const auto& last = n.back();
    size_t from = last.end - std::min<size_t>(24, last.end - last.begin);
    return std::string(au.begin() + from, au.begin() + last.end);
}

struct Proc {
    double cpu_s = 0;  // user + system
    long rss_kib = 0, threads = 0;
};

Proc proc(pid_t pid) {
    Proc p;
    std::ifstream st("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(st)), {});
    size_t close = s.rfind(')');
    if (close != std::string::npos) {
        std::istringstream in(s.substr(close + 2));
        std::string f;
        unsigned long utime = 0, stime = 0;
        for (int i = 3; in >> f; ++i) {
            if (i == 14) utime = std::stoul(f);
            if (i == 15) stime = std::stoul(f);
            if (i == 20) p.threads = std::stol(f);
        }
        p.cpu_s = double(utime + stime) / double(sysconf(_SC_CLK_TCK));
    }
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) p.rss_kib = std::strtol(line.c_str() + 6, nullptr, 10);
    return p;
}

struct Receipts {
    std::mutex mu;
    std::vector<std::pair<std::string, Clock::time_point>> seen;
    std::atomic<uint64_t> frames{0};
};

void on_handoff(GstElement*, GstBuffer* buf, GstPad*, gpointer data) {
    auto now = Clock::now();
    auto* r = static_cast<Receipts*>(data);
    r->frames++;
    if (!r->seen.capacity()) return;  // not camera 0
    GstMapInfo map;
    if (!gst_buffer_map(buf, &map, GST_MAP_READ)) return;
    std::string k = key({map.data, map.size});
    gst_buffer_unmap(buf, &map);
    std::lock_guard lk(r->mu);
    r->seen.emplace_back(std::move(k), now);
}

}  // namespace

int main(int argc, char** argv) {
    gst_init(&argc, &argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20;
    const int cameras = argc > 2 ? std::atoi(argv[2]) : 1;
    char tmpl[] = "/tmp/ipcgw-rtsp-bench-XXXXXX";
    const std::string dir = mkdtemp(tmpl);
    if (chdir(dir.c_str()) != 0) return 1;

    // 6 s of 640x360 H.264, a key frame every 2 s, no B frames; the picture scrolls 4 pixels a
    // frame, so that no two frames are alike.
    if (std::system("gst-launch-1.0 -q videotestsrc num-buffers=150 pattern=smpte horizontal-speed=4 ! "
                    "video/x-raw,format=I420,width=640,height=360,framerate=25/1 ! "
                    "x264enc speed-preset=ultrafast tune=zerolatency key-int-max=50 ! "
                    "video/x-h264,stream-format=byte-stream ! filesink location=clip.h264") != 0)
        return 1;
    std::ifstream in("clip.h264", std::ios::binary);
    std::vector<uint8_t> clip((std::istreambuf_iterator<char>(in)), {});
    auto units = annexb::access_units(clip);
    std::map<std::string, int> index;  // fingerprint -> unit; -1 when two units share it
    for (size_t i = 0; i < units.size(); ++i) {
        auto [it, fresh] = index.emplace(key(units[i]), int(i));
        if (!fresh) it->second = -1;
    }

    gwtest::Broker broker(kBrokerIp, kBrokerPort, dir);
    if (!broker.start()) {
        std::fprintf(stderr, "broker did not start (see %s/mosquitto.log)\n", dir.c_str());
        return 1;
    }
    std::vector<std::unique_ptr<ipcsim::Camera>> cams;
    for (int i = 0; i < cameras; ++i) {
        ipcsim::Config c;
        c.ip = bench::camera_ip(i + 1, kBlock);
        c.video_file = dir + "/clip.h264";
        c.frames_per_second = 25;
        cams.push_back(std::make_unique<ipcsim::Camera>(c));
        if (!cams.back()->start()) return 1;
    }
    gwtest::Client sub("bench-sub", kBrokerIp, kBrokerPort);
    if (!sub.connect() || !sub.subscribe("bench/+/state")) return 1;
    pid_t gw = gwtest::spawn({IPCGW_PATH, "--config", write_config(dir, cameras)}, dir + "/ipcgw.log");
    for (int i = 0; i < cameras; ++i)
        if (!sub.wait_json("bench/" + name(i) + "/state", "state", "online", 30s)) {
            std::fprintf(stderr, "camera %d did not come online (see %s/ipcgw.log)\n", i, dir.c_str());
            return 1;
        }
    Proc idle = proc(gw);

    // One client per camera; camera 0's records every frame's fingerprint and time.
    std::vector<std::unique_ptr<Receipts>> receipts;
    std::vector<GstElement*> pipes;
    for (int i = 0; i < cameras; ++i) {
        receipts.push_back(std::make_unique<Receipts>());
        if (i == 0) receipts[0]->seen.reserve(size_t(seconds * 50) + 100);
        std::string desc = "rtspsrc location=rtsp://127.0.0.1:" + std::to_string(kRtspPort) + "/" + name(i) +
                           " protocols=tcp latency=0 ! rtph264depay ! "
                           "video/x-h264,stream-format=byte-stream,alignment=au ! "
                           "fakesink name=sink sync=false signal-handoffs=true";
        GError* err = nullptr;
        GstElement* p = gst_parse_launch(desc.c_str(), &err);
        if (!p) {
            std::fprintf(stderr, "pipeline: %s\n", err->message);
            return 1;
        }
        GstElement* sink = gst_bin_get_by_name(GST_BIN(p), "sink");
        g_signal_connect(sink, "handoff", G_CALLBACK(on_handoff), receipts.back().get());
        gst_object_unref(sink);
        gst_element_set_state(p, GST_STATE_PLAYING);
        pipes.push_back(p);
    }

    // Camera 0's send times, by its frame counter.
    std::vector<Clock::time_point> sent;  // sent[n]: the n-th frame since the stream started
    std::atomic<bool> stop{false};
    std::thread poll([&] {
        uint64_t last = cams[0]->video_frames_sent();
        sent.assign(last, Clock::time_point{});  // sent before polling: unknown
        while (!stop) {
            uint64_t n = cams[0]->video_frames_sent();
            auto now = Clock::now();
            for (; last < n; ++last) sent.push_back(now);
            std::this_thread::sleep_for(100us);
        }
    });
    std::this_thread::sleep_for(2s);  // clients set up
    Proc p0 = proc(gw);
    auto t0 = Clock::now();
    uint64_t f0 = 0;
    for (auto& r : receipts) f0 += r->frames;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    Proc p1 = proc(gw);
    double wall = bench::seconds_since(t0);
    uint64_t f1 = 0;
    for (auto& r : receipts) f1 += r->frames;
    stop = true;
    poll.join();
    for (auto* p : pipes) {
        gst_element_set_state(p, GST_STATE_NULL);
        gst_object_unref(p);
    }

    // Each receipt against the latest send of the same unit before it.
    std::vector<double> ms;
    size_t unknown = 0, early = 0;
    {
        std::lock_guard lk(receipts[0]->mu);
        const size_t L = units.size();
        for (auto& [k, t] : receipts[0]->seen) {
            if (t < t0) continue;  // while the clients set up
            auto it = index.find(k);
            if (it == index.end() || it->second < 0) {
                ++unknown;
                continue;
            }
            // The nearest send of that unit; a receipt before it is one the poll saw late.
            double best = 1e12;
            for (size_t n = size_t(it->second); n < sent.size(); n += L)
                if (sent[n] != Clock::time_point{}) {
                    double d = std::chrono::duration<double, std::milli>(t - sent[n]).count();
                    if (std::abs(d) < std::abs(best)) best = d;
                }
            if (best == 1e12) ++unknown;
            else if (best < 0) ++early;
            else ms.push_back(best);
        }
    }
    std::printf("clip: %zu access units, %zu distinct fingerprints\n", units.size(), index.size());
    std::printf("latency camera send -> RTSP client (camera 0, %zu frames, %zu unmatched): "
                "median %.2f ms, p99 %.2f ms, max %.2f ms; %zu received before the poll saw them sent\n",
                ms.size(), unknown, bench::percentile(ms, 0.5), bench::percentile(ms, 0.99),
                bench::percentile(ms, 1.0), early);
    std::printf("%d cameras at 25 fps to %d RTSP clients: %.0f frames/s received, gateway CPU %.1f %% of one "
                "core, resident %.1f MB (idle %.1f MB), threads %ld (idle %ld)\n",
                cameras, cameras, double(f1 - f0) / wall, 100 * (p1.cpu_s - p0.cpu_s) / wall,
                p1.rss_kib / 1024.0, idle.rss_kib / 1024.0, p1.threads, idle.threads);
    kill(gw, SIGTERM);
    gwtest::wait_exit(gw);
    return 0;
}
