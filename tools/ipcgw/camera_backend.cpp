#include "camera_backend.hpp"

#include <arpa/inet.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include <ipcsdk.h>

namespace ipcgw {
namespace {

std::string codeName(uint32_t code) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", code);
    return buf;
}

void putLe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

class CameraBackend;
std::atomic<CameraBackend*> g_backend{nullptr};

class CameraBackend final : public Backend {
public:
    explicit CameraBackend(const Config& cfg) : cfg_(cfg), cams_(cfg.cameras.size()) {
        for (auto& c : cams_) c.status.since = Clock::now();
        for (auto& x : byHandle_) x = -1;
    }
    ~CameraBackend() override { stop(); }

    void start(Handlers h) override {
        handlers_ = std::move(h);
        IPCSdkInit();
        g_backend = this;
        SetReportCallbackFunc(&CameraBackend::onReport);
        SetExceptionCallBack(&CameraBackend::onDisconnect);
        running_ = true;
        thread_ = std::thread([this] {
            for (size_t i = 0; i < cams_.size() && running_; ++i) login(i);
        });
    }

    void stop() override {
        if (!running_.exchange(false)) return;
        if (thread_.joinable()) thread_.join();
        for (auto& c : cams_)
            if (c.handle) DeviceLogout(c.handle);
        g_backend = nullptr;
        IPCSdkUnInit();
    }

    CameraStatus status(size_t i) const override {
        std::lock_guard lk(mu_);
        return cams_[i].status;
    }

    Outcome execute(size_t i, const Command& c) override {
        uint32_t h = 0;
        {
            std::lock_guard lk(mu_);
            if (cams_[i].status.state == CameraState::Online) h = cams_[i].handle;
        }
        Outcome o;
        if (!h) {
            o.name = "offline";
            o.error = "the camera is not online";
            return o;
        }
        uint32_t rc = 0;
        switch (c.op) {
        case Command::Op::Ptz: {
            if (c.action == "position") {
                PTZValueRecord v{};
                rc = IPCPTZValueGet(h, &v);
                if (rc == 0) o.record = {{"pan", v.usPanVal}, {"tilt", v.usValue2}, {"zoom", v.usValue3}};
                break;
            }
            static constexpr std::pair<const char*, uint32_t> moves[] = {
                {"stop", 0}, {"up", 1}, {"down", 2}, {"left", 3}, {"right", 4}, {"zoom-in", 5}, {"zoom-out", 6}};
            PTZCtrlRecord r{};
            for (auto [n, v] : moves)
                if (c.action == n) putLe32(r.bytes, v);
            putLe32(r.bytes + 4, c.value);
            rc = IPCPTZCtrl(h, &r);
            break;
        }
        case Command::Op::Preset: {
            PresetRecord r{};
            putLe32(r.bytes, c.value);
            putLe32(r.bytes + 4, c.action == "store" ? 1 : c.action == "goto" ? 2 : 3);
            rc = IPCSetPresetPoint(h, &r);
            break;
        }
        case Command::Op::Snapshot: {
            std::vector<uint8_t> buf(sizeof(SnapPairResult) + 2 * 2097152);
            SimuSnapInfo info{};
            rc = IPCSIMUSNAP(h, &info, 1, buf.data(), static_cast<uint32_t>(buf.size()), 5);
            if (rc < 0x80000000u && rc >= sizeof(SnapPairResult)) {
                SnapPairResult r;
                std::memcpy(&r, buf.data(), sizeof r);
                const uint8_t* p = buf.data() + sizeof r;
                o.picture1.assign(p, p + r.snapLen1);
                o.picture2.assign(p + r.snapLen1, p + r.snapLen1 + r.snapLen2);
                o.record = {{"bytes1", r.snapLen1}, {"bytes2", r.snapLen2}};
                rc = 0;
            }
            break;
        }
        case Command::Op::Info: {
            SystemInfo s{};
            rc = IPCGetSysVersion(h, &s);
            if (rc == 0) o.record = {{"deviceType", uint32_t{s.deviceType}}, {"softwareVersion", uint32_t{s.softwareVersion}}};
            break;
        }
        case Command::Op::Get:
        case Command::Op::Set:
            o.name = "unknown-setting";
            o.error = "unknown setting \"" + c.setting + "\"";
            return o;
        }
        o.result = rc;
        o.name = rc == 0 ? "IPCSDK_OK" : codeName(rc);
        if (rc != 0) o.error = "the command failed";
        return o;
    }

private:
    struct Cam {
        uint32_t handle = 0;
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
        LoginDeviceInfo d{};
        d.netType = c.tcpPort ? 2 : 1;
        d.port = c.tcpPort.value_or(5002);
        std::strncpy(d.address, c.address.c_str(), sizeof d.address - 1);
        LoginUserInfo u{};
        std::strncpy(u.userName, c.user.c_str(), sizeof u.userName - 1);
        std::strncpy(u.password, c.password.c_str(), sizeof u.password - 1);
        uint32_t h = IPCSdkLogin(&d, &u, 5);
        if (h >= IPCSDK_HANDLE_BASE && h < IPCSDK_HANDLE_BASE + IPCSDK_MAX_DEVICES) {
            {
                std::lock_guard lk(mu_);
                cams_[i].handle = h;
            }
            byHandle_[h - IPCSDK_HANDLE_BASE] = static_cast<int>(i);
            CreatHandlHeartBeatThread(&g_DevManage[h - IPCSDK_HANDLE_BASE]);
            setState(i, CameraState::Online, std::nullopt);
        } else {
            setState(i, h == IPCSDK_ERR_AUTH ? CameraState::AuthFailed : CameraState::Offline, codeName(h));
        }
    }

    static int onReport(uint32_t type, intptr_t handle, intptr_t, uint8_t* body, uint32_t len, intptr_t) {
        CameraBackend* b = g_backend;
        uint32_t h = static_cast<uint32_t>(handle);
        if (!b || h < IPCSDK_HANDLE_BASE || h >= IPCSDK_HANDLE_BASE + IPCSDK_MAX_DEVICES) return 0;
        int i = b->byHandle_[h - IPCSDK_HANDLE_BASE];
        if (i < 0 || !b->handlers_.report) return 0;
        Report r;
        r.type = type;
        r.time = Clock::now();
        r.body.assign(body, body + len);
        b->handlers_.report(static_cast<size_t>(i), std::move(r));
        return 0;
    }

    static int onDisconnect(uint32_t, uint32_t handle, uintptr_t) {
        CameraBackend* b = g_backend;
        if (!b || handle < IPCSDK_HANDLE_BASE || handle >= IPCSDK_HANDLE_BASE + IPCSDK_MAX_DEVICES) return 0;
        int i = b->byHandle_[handle - IPCSDK_HANDLE_BASE];
        if (i >= 0) b->setState(static_cast<size_t>(i), CameraState::Offline, "report channel closed");
        return 0;
    }

    Config cfg_;
    Handlers handlers_;
    mutable std::mutex mu_;
    std::vector<Cam> cams_;
    std::array<std::atomic<int>, IPCSDK_MAX_DEVICES> byHandle_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace

std::unique_ptr<Backend> makeCameraBackend(const Config& config) { return std::make_unique<CameraBackend>(config); }

}  // namespace ipcgw
