// ipcctl watch: cameras supervised by ipc::Fleet, one line per state change, per report and
// (with --video) per camera and second of video.
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "ipcctl.hpp"

namespace ipcctl {
namespace {

using ojson = nlohmann::ordered_json;

// Wall-clock time as ISO 8601 UTC with milliseconds.
std::string now() {
    auto t = std::chrono::system_clock::now();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char buf[40];
    size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(ms % 1000));
    return buf;
}

class Printer {
public:
    explicit Printer(bool json) : json_(json) {}
    // `fields` after time, camera and event; `text` is the human form of the same.
    void line(const std::string& camera, const char* event, const ojson& fields, const std::string& text) {
        std::string t = now();
        std::string out;
        if (json_) {
            ojson j{{"time", t}, {"camera", camera}, {"event", event}};
            for (auto it = fields.begin(); it != fields.end(); ++it) j[it.key()] = it.value();
            out = j.dump() + "\n";
        } else {
            out = t + " " + camera + " " + event + " " + text + "\n";
        }
        std::lock_guard lk(mu_);
        writeData(out);
    }

private:
    bool json_;
    std::mutex mu_;
};

}  // namespace

int cmdWatch(const Options& o, const WatchOptions& w) {
    if (o.address.empty()) usage("watch needs at least one camera ADDRESS");
    std::vector<std::string> addresses{o.address};
    addresses.insert(addresses.end(), w.more.begin(), w.more.end());
    for (size_t i = 0; i < addresses.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (addresses[i] == addresses[j]) usage("watch: " + addresses[i] + " is named twice");
    catchInterrupt();

    Printer print(o.json);
    std::mutex mu;
    struct Counts {
        uint64_t frames = 0, bytes = 0;
    };
    std::map<std::string, Counts> video;

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
    if (w.video)
        fleet.on_frame([&](const std::string& id, const ipc::Frame& f) {
            std::lock_guard lk(mu);
            auto& c = video[id];
            ++c.frames;
            c.bytes += f.payload().size();
        });
    for (const auto& a : addresses) {
        // The fleet reports changes only; the state every camera starts in is printed here.
        print.line(a, "state", ojson{{"state", ipc::to_string(ipc::State::connecting)}, {"reconnects", 0}},
                   std::string(ipc::to_string(ipc::State::connecting)) + " reconnects=0");
        ipc::CameraSpec spec;
        spec.endpoint.address = a;
        if (o.tcpPort) {
            spec.endpoint.transport = ipc::Endpoint::Transport::tcp;
            spec.endpoint.port = o.tcpPort;
        }
        spec.credentials = {o.user, o.password};
        spec.video = w.video;
        try {
            fleet.add(a, spec);
        } catch (const ipc::Error& e) {
            usage("watch: " + a + ": " + describe(e.result()));  // the same address twice
        }
    }

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    auto nextSecond = start + std::chrono::seconds(1);
    while (!g_interrupted) {
        if (w.seconds > 0 && Clock::now() - start >= std::chrono::seconds(w.seconds)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (w.video && Clock::now() >= nextSecond) {
            nextSecond += std::chrono::seconds(1);
            std::map<std::string, Counts> last;
            {
                std::lock_guard lk(mu);
                last.swap(video);
            }
            for (const auto& a : addresses) {
                Counts c = last[a];
                print.line(a, "frames", ojson{{"frames", c.frames}, {"bytes", c.bytes}},
                           std::to_string(c.frames) + " frames, " + std::to_string(c.bytes) + " bytes");
            }
        }
    }
    return kDone;
}

}  // namespace ipcctl
