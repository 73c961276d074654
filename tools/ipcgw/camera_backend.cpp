#include "camera_backend.hpp"

#include <ipcsdk.hpp>

#include <atomic>
#include <mutex>
#include <thread>

#include "commands.hpp"

namespace ipcgw {
namespace {

// The cameras through the C++ layer: one login per camera at start.
class CameraBackend final : public Backend {
public:
    explicit CameraBackend(const Config& cfg) : cfg_(cfg), cams_(cfg.cameras.size()) {
        for (auto& c : cams_) c.status.since = Clock::now();
    }
    ~CameraBackend() override { stop(); }

    void start(Handlers h) override {
        handlers_ = std::move(h);
        sdk_.emplace();
        running_ = true;
        thread_ = std::thread([this] {
            for (size_t i = 0; i < cams_.size() && running_; ++i) login(i);
        });
    }

    void stop() override {
        if (!running_.exchange(false)) return;
        if (thread_.joinable()) thread_.join();
        for (auto& c : cams_) c.camera.close();
        sdk_.reset();
    }

    CameraStatus status(size_t i) const override {
        std::lock_guard lk(mu_);
        return cams_[i].status;
    }

    Outcome execute(size_t i, const Command& c) override {
        ipc::CameraRef ref;
        {
            std::lock_guard lk(mu_);
            if (cams_[i].status.state == CameraState::Online) ref = cams_[i].camera;
        }
        if (!ref) return fromCode(ipc::make_error_code(ipc::errc::fleet_not_online));
        return runCommand(ref, c);
    }

private:
    struct Cam {
        ipc::Camera camera;
        CameraStatus status;
    };

    void setState(size_t i, CameraState s, std::optional<std::string> err) {
        CameraStatus st;
        {
            std::lock_guard lk(mu_);
            cams_[i].status.state = s;
            cams_[i].status.since = Clock::now();
            cams_[i].status.error = std::move(err);
            st = cams_[i].status;
        }
        if (handlers_.state) handlers_.state(i, st);
    }

    void login(size_t i) {
        const auto& c = cfg_.cameras[i];
        ipc::Endpoint ep;
        ep.address = c.address;
        if (c.tcpPort) {
            ep.transport = ipc::Endpoint::Transport::tcp;
            ep.port = *c.tcpPort;
        }
        std::error_code ec;
        ipc::Camera cam = ipc::Camera::login(ep, {c.user, c.password}, std::chrono::seconds(5), ec);
        if (ec) {
            setState(i, ec == ipc::errc::auth ? CameraState::AuthFailed : CameraState::Offline, ec.message());
            return;
        }
        ipc::Handlers h;
        h.report = [this, i](const ipc::Report& r) {
            if (handlers_.report) handlers_.report(i, Report{r.type, Clock::now(), {r.body.begin(), r.body.end()}});
        };
        h.disconnect = [this, i] { setState(i, CameraState::Offline, "the camera closed the report channel"); };
        cam.set_handlers(std::move(h));
        cam.start_heartbeat(ec);
        {
            std::lock_guard lk(mu_);
            cams_[i].camera = std::move(cam);
        }
        setState(i, CameraState::Online, std::nullopt);
    }

    Config cfg_;
    Handlers handlers_;
    std::optional<ipc::Sdk> sdk_;
    mutable std::mutex mu_;
    std::vector<Cam> cams_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace

std::unique_ptr<Backend> makeCameraBackend(const Config& config) { return std::make_unique<CameraBackend>(config); }

}  // namespace ipcgw
