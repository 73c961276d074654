// Test support for the gateway: the broker and clients on the test's own loopback address
// (configuration in the test's temporary directory), and the ipcgw program run as a process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "mqtt_peer.hpp"

namespace gwtest {

// The address the broker of this test process listens on.
std::string broker_ip();

// The broker of this test on broker_ip(), configuration and log in the test's directory.
class TestBroker : public Broker {
public:
    explicit TestBroker(uint16_t port = 1883);
};

// A client of the test's broker.
class TestClient : public Client {
public:
    explicit TestClient(const std::string& id, uint16_t port = 1883) : Client(id, broker_ip(), port) {}
};

struct CameraEntry {
    std::string name;
    std::string address;
    std::string password = "admin";
    int tcpPort = 0;
};

// Writes a configuration for these cameras into the working directory; returns its path.
std::string write_config(const std::string& clientId, const std::vector<CameraEntry>& cameras,
                         const std::string& extraMqtt = {}, const std::string& extra = {}, uint16_t port = 1883);

class Gateway {
public:
    explicit Gateway(std::string configPath);
    ~Gateway();
    bool start();                   // the process runs (standard error to a file beside the config)
    int terminate();                // SIGTERM: its exit status
    void kill9();
    std::string log() const;

private:
    std::string config_;
    std::string logPath_;
    pid_t pid_ = -1;
};

// Runs ipcgw with these arguments to the end: exit status and standard error.
std::pair<int, std::string> run_ipcgw(const std::vector<std::string>& args);

}  // namespace gwtest
