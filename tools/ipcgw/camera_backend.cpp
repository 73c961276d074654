#include "camera_backend.hpp"

#include <ipcsdk.hpp>

#include <atomic>
#include <map>
#include <memory>

#include "commands.hpp"

namespace ipcgw {
namespace {

CameraState fromFleet(ipc::State s) {
    switch (s) {
    case ipc::State::connecting: return CameraState::Connecting;
    case ipc::State::online: return CameraState::Online;
    case ipc::State::offline: return CameraState::Offline;
    case ipc::State::auth_failed: return CameraState::AuthFailed;
    }
    return CameraState::Offline;
}

// The fleet keeps steady-clock times; the topics carry wall-clock times.
Clock::time_point wallTime(std::chrono::steady_clock::time_point t) {
    return Clock::now() - std::chrono::duration_cast<Clock::duration>(std::chrono::steady_clock::now() - t);
}

std::optional<std::string> errorText(const std::error_code& ec) {
    if (!ec) return std::nullopt;
    return ec.message();
}

// The configured cameras in an ipc::Fleet, under their names.
class CameraBackend final : public Backend {
public:
    explicit CameraBackend(const Config& cfg) : cfg_(cfg), frames_(cfg.cameras.size()) {
        for (size_t i = 0; i < cfg.cameras.size(); ++i) index_.emplace(cfg.cameras[i].name, i);
    }
    ~CameraBackend() override { stop(); }

    void start(Handlers h) override {
        handlers_ = std::move(h);
#ifdef IPCGW_RTSP
        if (cfg_.rtsp) rtsp_ = startRtsp(cfg_);
#endif
        sdk_.emplace();
        fleet_.emplace();
        fleet_->on_state([this](const ipc::StateChange& c) {
            auto it = index_.find(c.id);
            if (it == index_.end() || !handlers_.state) return;
            CameraStatus s;
            s.state = fromFleet(c.to);
            s.since = wallTime(c.at);
            s.reconnects = c.reconnects;
            s.error = errorText(c.error);
            s.rtsp = rtspUrl(it->second);
            handlers_.state(it->second, s);
        });
        fleet_->on_report([this](const std::string& id, const ipc::Report& r) {
            auto it = index_.find(id);
            if (it == index_.end() || !handlers_.report) return;
            handlers_.report(it->second, Report{r.type, Clock::now(), {r.body.begin(), r.body.end()}});
        });
        fleet_->on_frame([this](const std::string& id, const ipc::Frame& f) {
            auto it = index_.find(id);
            if (it != index_.end()) frames_[it->second].fetch_add(1, std::memory_order_relaxed);
#ifdef IPCGW_RTSP
            if (it != index_.end() && rtsp_) rtsp_->frame(it->second, f.payload());
#else
            (void)f;
#endif
        });
        for (const auto& c : cfg_.cameras) {
            ipc::CameraSpec spec;
            spec.endpoint.address = c.address;
            if (c.tcpPort) {
                spec.endpoint.transport = ipc::Endpoint::Transport::tcp;
                spec.endpoint.port = *c.tcpPort;
            }
            spec.credentials = {c.user, c.password};
            spec.video = c.video;
            fleet_->add(c.name, std::move(spec));
        }
    }

    void stop() override {
        if (fleet_) {
            // remove() returns once no handler of that camera runs or can start; the fleet's
            // destructor does not wait for a running one, and the handlers use this object.
            std::error_code ec;
            for (const auto& c : cfg_.cameras) fleet_->remove(c.name, ec);
        }
        fleet_.reset();
        sdk_.reset();
#ifdef IPCGW_RTSP
        rtsp_.reset();
#endif
    }

    CameraStatus status(size_t i) const override {
        CameraStatus s;
        s.since = Clock::now();
        s.rtsp = rtspUrl(i);
        if (!fleet_) return s;
        auto st = fleet_->status(cfg_.cameras[i].name);
        if (!st) return s;
        s.state = fromFleet(st->state);
        s.since = wallTime(st->since);
        s.reconnects = st->reconnects;
        s.error = errorText(st->last_error);
        return s;
    }

    Outcome execute(size_t i, const Command& c) override {
        std::error_code ec;
        auto o = fleet_->with(cfg_.cameras[i].name, [&](ipc::CameraRef& cam) { return runCommand(cam, c); }, ec);
        if (ec) return fromCode(ec);
        if (c.op == Command::Op::Info && cfg_.cameras[i].video) o->extra["frames"] = frames_[i].load();
        return std::move(*o);
    }

private:
    // Cameras without video have no media: their mount points answer 404 like unknown names.
#ifdef IPCGW_RTSP
    std::optional<std::string> rtspUrl(size_t i) const {
        if (!cfg_.rtsp || !cfg_.cameras[i].video) return std::nullopt;
        return RtspServer::url(*cfg_.rtsp, cfg_.cameras[i].name);
    }
    static std::unique_ptr<RtspServer> startRtsp(const Config& cfg) {
        std::vector<std::string> names;
        for (const auto& c : cfg.cameras) names.push_back(c.video ? c.name : std::string());
        return std::make_unique<RtspServer>(*cfg.rtsp, names);
    }
    std::unique_ptr<RtspServer> rtsp_;
#else
    std::optional<std::string> rtspUrl(size_t) const { return std::nullopt; }  // [rtsp] is refused
#endif
    Config cfg_;
    Handlers handlers_;
    std::map<std::string, size_t, std::less<>> index_;
    std::vector<std::atomic<uint64_t>> frames_;
    std::optional<ipc::Sdk> sdk_;
    std::optional<ipc::Fleet> fleet_;
};

}  // namespace

std::unique_ptr<Backend> makeCameraBackend(const Config& config) { return std::make_unique<CameraBackend>(config); }

}  // namespace ipcgw
