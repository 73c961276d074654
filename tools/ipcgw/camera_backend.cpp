#include "camera_backend.hpp"

#include <ipcsdk_fleet.hpp>

#include <atomic>
#include <map>
#include <memory>

#include "commands.hpp"

namespace ipcgw {
namespace {

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
        if (cfg_.rtsp) rtsp_ = start_rtsp(cfg_, handlers_.log);
#endif
        sdk_.emplace();
        fleet_.emplace();
        fleet_->on_state([this](const ipc::StateChange& c) {
            auto it = index_.find(c.id);
            if (it == index_.end() || !handlers_.state) return;
            ipc::CameraStatus s;
            s.id = c.id;
            s.state = c.to;
            s.since = c.at;
            s.reconnects = c.reconnects;
            s.last_error = c.error;
            handlers_.state(it->second, s);
        });
        fleet_->on_report([this](const std::string& id, const ipc::Report& r) {
            auto it = index_.find(id);
            if (it != index_.end() && handlers_.report) handlers_.report(it->second, r);
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
            if (c.tcp_port) {
                spec.endpoint.transport = ipc::Endpoint::Transport::tcp;
                spec.endpoint.port = *c.tcp_port;
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

    ipc::CameraStatus status(size_t i) const override {
        std::optional<ipc::CameraStatus> s;
        if (fleet_) s = fleet_->status(cfg_.cameras[i].name);
        if (s) return *s;
        ipc::CameraStatus fresh;
        fresh.id = cfg_.cameras[i].name;
        fresh.since = std::chrono::steady_clock::now();
        return fresh;
    }

    Outcome execute(size_t i, const Command& c) override {
        std::error_code ec;
        auto o = fleet_->with(cfg_.cameras[i].name, [&](ipc::CameraRef& cam) { return run_command(cam, c); }, ec);
        if (ec) return from_code(ec);
        if (c.op == Op::info && cfg_.cameras[i].video) o->extra["frames"] = frames_[i].load();
        return std::move(*o);
    }

#ifdef IPCGW_RTSP
    // Cameras without video have no media: their mount points answer 404 like unknown names.
    std::optional<std::string> rtsp_url(size_t i) const override {
        if (!cfg_.rtsp || !cfg_.cameras[i].video) return std::nullopt;
        return RtspServer::url(*cfg_.rtsp, cfg_.cameras[i].name);
    }
#endif

private:
#ifdef IPCGW_RTSP
    static std::unique_ptr<RtspServer> start_rtsp(const Config& cfg, RtspServer::Log log) {
        std::vector<std::string> names;
        for (const auto& c : cfg.cameras) names.push_back(c.video ? c.name : std::string());
        return std::make_unique<RtspServer>(*cfg.rtsp, names, std::move(log));
    }
    std::unique_ptr<RtspServer> rtsp_;
#endif
    Config cfg_;
    Handlers handlers_;
    std::map<std::string, size_t, std::less<>> index_;
    std::vector<std::atomic<uint64_t>> frames_;
    std::optional<ipc::Sdk> sdk_;
    std::optional<ipc::Fleet> fleet_;
};

}  // namespace

std::unique_ptr<Backend> make_camera_backend(const Config& config) { return std::make_unique<CameraBackend>(config); }

}  // namespace ipcgw
