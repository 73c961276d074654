// A simulated camera on this process's own loopback address, and a library logged in to it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bytes.hpp"
#include "ipcsdk.h"
#include "ipcsim.hpp"
#include "testenv.hpp"

namespace testenv {

// Fields of the exported table that library threads write, accessed atomically (race-free under ThreadSanitizer).
template <class T> T peek(T& field) { return std::atomic_ref<T>(field).load(); }
template <class T, class V> void poke(T& field, V value) { std::atomic_ref<T>(field).store(static_cast<T>(value)); }

inline LoginDeviceInfo device_info(const std::string& ip, uint32_t netType, uint16_t port = 5002) {
    LoginDeviceInfo d;
    std::memset(&d, 0, sizeof d);  // padding included
    d.netType = netType, d.port = port;
    std::strncpy(d.address, ip.c_str(), sizeof d.address - 1);
    return d;
}

inline LoginUserInfo user_info(const char* user = "admin", const char* password = "admin") {
    LoginUserInfo u{};
    std::strncpy(u.userName, user, sizeof u.userName - 1);
    std::strncpy(u.password, password, sizeof u.password - 1);
    return u;
}

inline std::unique_ptr<ipcsim::Camera> start_camera(int n = 0, ipcsim::Config config = {}) {  // on camera_ip(n)
    config.ip = camera_ip(n);
    auto cam = std::make_unique<ipcsim::Camera>(config);
    EXPECT_TRUE(cam->start()) << "simulator could not bind " << config.ip;
    return cam;
}

// Logs in; returns the handle (or the failure code).
inline uint32_t login(const std::string& ip, uint32_t netType = 1, const char* user = "admin",
                      const char* password = "admin") {
    LoginDeviceInfo d = device_info(ip, netType);
    LoginUserInfo u = user_info(user, password);
    return IPCSdkLogin(&d, &u, 5);
}

inline bool is_handle(uint32_t h) { return h >= IPCSDK_HANDLE_BASE && h < IPCSDK_HANDLE_BASE + 256; }
inline DeviceSlot& slot_of(uint32_t h) { return g_DevManage[h - IPCSDK_HANDLE_BASE]; }

// What callbacks record on the library's threads: add() changes it under the lock and wakes wait().
struct Recorder {
    std::mutex m;
    std::condition_variable cv;
    template <class F>
    void add(F f) {
        std::lock_guard lock(m);
        f();
        cv.notify_all();
    }
    template <class F>
    auto read(F f) { std::lock_guard lock(m); return f(); }
    template <class P>
    bool wait(P p, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, limit, p);
    }
};

// Polls p until it holds (true) or the limit has passed (false).
template <class Pred>
bool eventually(Pred p, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!p()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The entry count of a /proc/self directory once it is want, or after 5 s (ended threads leave it a moment later).
inline size_t settled(const char* dir, size_t want) {
    eventually([&] { return count_dir(dir) == want; }, std::chrono::seconds(5));
    return count_dir(dir);
}

// This process's descriptors and threads, to compare once everything was released.
struct Census {
    size_t fds = count_dir("/proc/self/fd");
    size_t threads = count_dir("/proc/self/task");
    bool back() const { return settled("/proc/self/fd", fds) == fds && settled("/proc/self/task", threads) == threads; }
};

// Fixture: SDK initialised, camera started, logged in over UDP (netType() can be overridden).
class CameraTest : public ::testing::Test {
protected:
    virtual uint32_t netType() const { return 1; }
    void SetUp() override {
        ASSERT_EQ(IPCSdkInit(), 0u);
        cam = start_camera();
        handle = login(camera_ip(), netType());
        ASSERT_TRUE(is_handle(handle)) << std::hex << handle;
        slot = &g_DevManage[handle - IPCSDK_HANDLE_BASE];
        cam->clear_requests();
    }
    void TearDown() override {
        DeviceLogout(handle);
        IPCSdkUnInit();
        if (cam) cam->stop();
    }
    // The payload of the last request with this class and code.
    std::vector<uint8_t> sent(uint8_t msgClass, uint8_t code) {
        auto r = cam->wait_request(msgClass, code, std::chrono::milliseconds(2000));
        return r ? r->payload() : std::vector<uint8_t>{};
    }

    std::unique_ptr<ipcsim::Camera> cam;
    uint32_t handle = 0;
    DeviceSlot* slot = nullptr;
};

}  // namespace testenv
