// Test support for the gateway: a mosquitto broker of the test's own (configuration in the
// test's temporary directory, listening on the test's own loopback address), an MQTT 5 client,
// and the ipcgw program run as a process.
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

#include <nlohmann/json.hpp>

struct mosquitto;

namespace gwtest {

using namespace std::chrono_literals;

// The address the broker of this test process listens on.
std::string broker_ip();

class Broker {
public:
    explicit Broker(uint16_t port = 1883);
    ~Broker();
    bool start();          // returns once the broker accepts connections
    void stop();           // SIGTERM and wait
    uint16_t port() const { return port_; }

private:
    uint16_t port_;
    pid_t pid_ = -1;
};

struct Message {
    std::string topic;
    std::string payload;
    bool retain = false;
    std::string correlation;
    nlohmann::json json() const { return nlohmann::json::parse(payload, nullptr, false); }
};

class Client {
public:
    explicit Client(const std::string& id, uint16_t port = 1883);
    ~Client();
    bool connect();
    bool subscribe(const std::string& pattern);
    // A request with response topic and correlation data (either may be empty: not sent).
    void publish(const std::string& topic, const std::string& payload, const std::string& responseTopic = {},
                 const std::string& correlation = {});
    // The first message received so far (or within the timeout) that matches.
    std::optional<Message> wait(const std::function<bool(const Message&)>& match,
                                std::chrono::milliseconds timeout = 10s);
    std::optional<Message> waitTopic(const std::string& topic, std::chrono::milliseconds timeout = 10s);
    // Waits for a JSON message on `topic` whose member `key` equals `value`.
    std::optional<Message> waitJson(const std::string& topic, const std::string& key, const nlohmann::json& value,
                                    std::chrono::milliseconds timeout = 10s);
    std::vector<Message> messages();
    void clear();

private:
    mosquitto* mosq_ = nullptr;
    uint16_t port_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Message> got_;
    int acked_ = 0;
    bool connected_ = false;
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
