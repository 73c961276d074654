// Shared pieces of the benchmark programs: camera addresses, login, percentiles.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ipcsdk.h"
#include "ipcsdk_fleet.hpp"
#include "ipcsim.hpp"

namespace bench {

using Clock = std::chrono::steady_clock;

// Camera n of the benchmark: 127.<block>.x.y, away from the addresses the tests use; programs
// that may run at the same time as the others use a block of their own.
inline std::string camera_ip(int n, int block = 10) {
    return "127." + std::to_string(block) + "." + std::to_string(n / 250) + "." + std::to_string(n % 250 + 1);
}

inline uint32_t login(const std::string& ip, uint32_t netType) {
    LoginDeviceInfo d;
    std::memset(&d, 0, sizeof d);
    d.netType = netType;
    d.port = 5002;
    std::strncpy(d.address, ip.c_str(), sizeof d.address - 1);
    LoginUserInfo u;
    std::memset(&u, 0, sizeof u);
    std::strcpy(u.userName, "admin");
    std::strcpy(u.password, "admin");
    return IPCSdkLogin(&d, &u, 5);
}

// Adds camera i to a fleet under the name ip(i), with video when i is even.
template <class Ip>
void add_camera(ipc::Fleet& fleet, int i, ipc::Endpoint::Transport transport, Ip ip) {
    ipc::CameraSpec s;
    s.endpoint = {ip(i), transport, 5002};
    s.credentials = {"admin", "admin"};
    s.video = i % 2 == 0;
    fleet.add(ip(i), s);
}
// Adds n cameras to a fleet under the names given by ip(i), every second one with video.
template <class Ip>
void add_cameras(ipc::Fleet& fleet, int n, ipc::Endpoint::Transport transport, Ip ip) {
    for (int i = 0; i < n; ++i) add_camera(fleet, i, transport, ip);
}

inline bool is_handle(uint32_t h) { return h >= IPCSDK_HANDLE_BASE && h < IPCSDK_HANDLE_BASE + 256; }

inline double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * (v.size() - 1) + 0.5))];
}

inline double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

}  // namespace bench
