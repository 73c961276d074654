// recorder: keeps a list of cameras online with ipc::Fleet, writes each camera's video payloads
// to a file of its own and prints alarms and state changes.
//
// Usage: recorder [-t SECONDS] [-o DIR] ADDRESS[:TCP-PORT]...
//   ADDRESS alone logs in over UDP, ADDRESS:PORT over TCP on that command port. The user and
//   password come from IPCSDK_USER and IPCSDK_PASSWORD (default admin/admin). Runs until SIGINT
//   or SIGTERM, or for SECONDS; the video of camera A goes to DIR/A.video (default DIR: .).
//   SIGHUP logs every camera that is not online in again at once (once a camera's password was
//   put right, say) instead of after its pause.
#include <ipcsdk_fleet.hpp>

#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>

namespace {

const char* env_or(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
}

void stamp() {
    std::time_t now = std::time(nullptr);
    char buf[16];
    std::strftime(buf, sizeof buf, "%H:%M:%S", std::localtime(&now));
    std::printf("%s ", buf);
}

}  // namespace

int main(int argc, char** argv) {
    long seconds = 0;
    std::string dir = ".";
    std::vector<std::string> cameras;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "-t" || a == "-o") && i + 1 < argc) {
            (a == "-t" ? (void)(seconds = std::strtol(argv[++i], nullptr, 10)) : (void)(dir = argv[++i]));
        } else if (!a.empty() && a[0] != '-') {
            cameras.push_back(a);
        } else {
            std::fprintf(stderr, "usage: recorder [-t SECONDS] [-o DIR] ADDRESS[:TCP-PORT]...\n");
            return 2;
        }
    }
    if (cameras.empty()) {
        std::fprintf(stderr, "usage: recorder [-t SECONDS] [-o DIR] ADDRESS[:TCP-PORT]...\n");
        return 2;
    }

    // The fleet's threads inherit this mask, so the stop signals reach sigtimedwait below only.
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    ipc::Sdk sdk;
    // One file per camera. The handlers hold the table: a handler still running when the fleet
    // is destroyed (the destructor does not wait for it) keeps the files open until it returns.
    struct Output {
        std::FILE* file = nullptr;
        std::atomic<long> bytes{0};
        ~Output() {
            if (file) std::fclose(file);
        }
    };
    auto files = std::make_shared<std::map<std::string, Output>>();
    for (const auto& c : cameras) {
        std::string path = dir + "/" + c.substr(0, c.find(':')) + ".video";
        Output& out = (*files)[c];
        out.file = std::fopen(path.c_str(), "wb");
        if (!out.file) {
            std::fprintf(stderr, "recorder: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
            return 1;
        }
    }
    {
        ipc::Fleet fleet;
        // Handlers run one at a time, in order, on the fleet's dispatching thread.
        fleet.on_state([](const ipc::StateChange& c) {
            stamp();
            std::printf("%s: %s -> %s%s%s\n", c.id.c_str(), ipc::to_string(c.from), ipc::to_string(c.to),
                        c.error ? ", " : "", c.error ? c.error.message().c_str() : "");
            std::fflush(stdout);
        });
        fleet.on_frame([files](const std::string& id, const ipc::Frame& f) {
            Output& out = files->at(id);
            auto payload = f.payload();
            out.bytes += static_cast<long>(std::fwrite(payload.data(), 1, payload.size(), out.file));
        });
        fleet.on_report([](const std::string& id, const ipc::Report& r) {
            if (r.type != 0x1003) return;  // alarms only
            std::string text(reinterpret_cast<const char*>(r.body.data()), std::min<size_t>(r.body.size(), 32));
            stamp();
            std::printf("%s: alarm \"%s\"\n", id.c_str(), text.c_str());
            std::fflush(stdout);
        });
        const ipc::Credentials who{env_or("IPCSDK_USER", "admin"), env_or("IPCSDK_PASSWORD", "admin")};
        for (const auto& c : cameras) {
            ipc::CameraSpec spec;
            spec.endpoint.address = c.substr(0, c.find(':'));
            if (auto colon = c.find(':'); colon != std::string::npos) {
                spec.endpoint.transport = ipc::Endpoint::Transport::tcp;
                spec.endpoint.port = static_cast<std::uint16_t>(std::strtoul(c.c_str() + colon + 1, nullptr, 10));
            }
            spec.credentials = who;
            spec.video = true;
            fleet.add(c, spec);
        }
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds > 0 ? seconds : 365L * 24 * 3600);
        for (;;) {
            const auto left = std::chrono::ceil<std::chrono::seconds>(end - std::chrono::steady_clock::now()).count();
            if (left <= 0) break;
            timespec wait{static_cast<std::time_t>(left), 0};
            const int sig = sigtimedwait(&stop, nullptr, &wait);
            if (sig == -1 && errno == EINTR) continue;
            if (sig != SIGHUP) break;  // a stop signal, or the time is up
            std::error_code ec;
            for (const auto& s : fleet.statuses())
                if (s.state != ipc::State::online) fleet.retry_now(s.id, ec);
        }
        for (const auto& s : fleet.statuses())
            std::printf("%s: %s, %u reconnect(s), %llu frame(s) and %llu report(s) dropped\n", s.id.c_str(),
                        ipc::to_string(s.state), s.reconnects, static_cast<unsigned long long>(s.frames_dropped),
                        static_cast<unsigned long long>(s.reports_dropped));
    }  // the fleet releases every camera
    for (const auto& [id, out] : *files) std::printf("%s: %ld bytes of video\n", id.c_str(), out.bytes.load());
    return 0;
}
