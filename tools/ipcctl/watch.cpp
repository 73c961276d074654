// ipcctl watch: cameras supervised by ipc::Fleet, one line per state change, per report and
// (with --video) per camera and second of video.
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "ipctools/cli.hpp"
#include "ipctools/utc_time.hpp"
#include "ipcctl.hpp"

namespace ipcctl {
namespace {

using ojson = nlohmann::ordered_json;

class Printer {
public:
    explicit Printer(bool json) : json_(json) {}
    // `fields` after time, camera and event; `text` is the human form of the same.
    void line(const std::string& camera, const char* event, const ojson& fields, const std::string& text) {
        std::string t = ipctools::iso_time(std::chrono::system_clock::now());
        std::string out;
        if (json_) {
            ojson j{{"time", t}, {"camera", camera}, {"event", event}};
            for (auto it = fields.begin(); it != fields.end(); ++it) j[it.key()] = it.value();
            out = j.dump() + "\n";
        } else {
            out = t + " " + camera + " " + event + " " + text + "\n";
        }
        std::lock_guard lk(mu_);
        write_data(out);
    }

private:
    bool json_;
    std::mutex mu_;
};

}  // namespace

void Watch::add(CLI::App& c) {
    using ipctools::cli::decimal;
    c.add_option("more", more, "further camera addresses")->check(ipctools::cli::ipv4);
    c.add_option("--seconds", seconds, "stop after this long (default: until interrupted)")
        ->check(decimal(1, 86400 * 365));
    c.add_flag("--video", video, "also stream video and print a frames line per camera every second");
}

void Watch::run(const Options& o) const {
    if (o.address.empty()) usage("watch needs at least one camera ADDRESS");
    std::vector<std::string> addresses{o.address};
    addresses.insert(addresses.end(), more.begin(), more.end());
    for (size_t i = 0; i < addresses.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (addresses[i] == addresses[j]) usage("watch: " + addresses[i] + " is named twice");
    catch_interrupt();

    Printer print(o.json);
    std::mutex mu;
    struct Counts {
        uint64_t frames = 0, bytes = 0;
    };
    std::map<std::string, Counts> counted;

    ipc::Sdk sdk;
    ipc::FleetOptions fo;
    fo.login_timeout = std::chrono::seconds(o.timeout);
    ipc::Fleet fleet(fo);
    fleet.on_state([&](const ipc::StateChange& c) {
        ojson f{{"state", ipc::to_string(c.to)}, {"reconnects", c.reconnects}};
        std::string text = std::string(ipc::to_string(c.to)) + " reconnects=" + std::to_string(c.reconnects);
        if (c.error) {
            f["error"] = describe(static_cast<uint32_t>(c.error.value()));
            text += " (" + f["error"].get<std::string>() + ")";
        }
        print.line(c.id, "state", f, text);
    });
    fleet.on_report([&](const std::string& id, const ipc::Report& r) {
        char text[64];
        std::snprintf(text, sizeof text, "type=0x%04X bytes=%zu", static_cast<unsigned>(r.type), r.body.size());
        print.line(id, "report", ojson{{"type", r.type}, {"bytes", r.body.size()}}, text);
    });
    if (video)
        fleet.on_frame([&](const std::string& id, const ipc::Frame& f) {
            std::lock_guard lk(mu);
            auto& c = counted[id];
            ++c.frames;
            c.bytes += f.payload().size();
        });
    for (const auto& a : addresses) {
        // The fleet reports changes only; the state every camera starts in is printed here.
        print.line(a, "state", ojson{{"state", ipc::to_string(ipc::State::connecting)}, {"reconnects", 0}},
                   std::string(ipc::to_string(ipc::State::connecting)) + " reconnects=0");
        ipc::CameraSpec spec;
        spec.endpoint.address = a;
        if (o.tcp_port) {
            spec.endpoint.transport = ipc::Endpoint::Transport::tcp;
            spec.endpoint.port = o.tcp_port;
        }
        spec.credentials = {o.user, o.password};
        spec.video = video;
        try {
            fleet.add(a, spec);
        } catch (const ipc::Error& e) {
            usage("watch: " + a + ": " + describe(e.result()));  // the same address twice
        }
    }

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto next_second = start + std::chrono::seconds(1);
    while (!g_interrupted) {
        if (seconds > 0 && Clock::now() - start >= std::chrono::seconds(seconds)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (video && Clock::now() >= next_second) {
            next_second += std::chrono::seconds(1);
            std::map<std::string, Counts> last;
            {
                std::lock_guard lk(mu);
                last.swap(counted);
            }
            for (const auto& a : addresses) {
                Counts c = last[a];
                print.line(a, "frames", ojson{{"frames", c.frames}, {"bytes", c.bytes}},
                           std::to_string(c.frames) + " frames, " + std::to_string(c.bytes) + " bytes");
            }
        }
    }
}

}  // namespace ipcctl
