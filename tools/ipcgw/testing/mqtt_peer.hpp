// A mosquitto broker run as a process with a configuration of its own, an MQTT 5 client that
// keeps what it receives, and process helpers: shared by the gateway's tests and benchmark.
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

// fork + exec with standard output and error appended to `log_path`.
pid_t spawn(const std::vector<std::string>& args, const std::string& log_path);
// Waits for the process: its exit status, or 128 + the signal that ended it.
int wait_exit(pid_t pid);

class Broker {
public:
    // Listens on ip:port; configuration and log in `dir`.
    Broker(std::string ip, uint16_t port, std::string dir);
    ~Broker();
    // Returns once the broker accepts connections; without `anonymous` it refuses every client
    // (none has a password).
    bool start(bool anonymous = true);
    void stop();           // SIGTERM and wait
    const std::string& ip() const { return ip_; }
    uint16_t port() const { return port_; }

private:
    std::string ip_;
    uint16_t port_;
    std::string dir_;
    pid_t pid_ = -1;
};

struct Message {
    std::string topic;
    std::string payload;
    bool retain = false;
    std::string correlation;
    std::chrono::steady_clock::time_point arrived;
    nlohmann::json json() const { return nlohmann::json::parse(payload, nullptr, false); }
};

class Client {
public:
    Client(const std::string& id, std::string broker_ip, uint16_t port);
    ~Client();
    bool connect();
    bool subscribe(const std::string& pattern);
    // A message with response topic and correlation data (either may be empty: not sent).
    void publish(const std::string& topic, const std::string& payload, const std::string& response_topic = {},
                 const std::string& correlation = {});
    // The first message received so far (or within the timeout) that matches.
    std::optional<Message> wait(const std::function<bool(const Message&)>& match,
                                std::chrono::milliseconds timeout = 10s);
    std::optional<Message> wait_topic(const std::string& topic, std::chrono::milliseconds timeout = 10s);
    // Waits for a JSON message on `topic` whose member `key` equals `value`.
    std::optional<Message> wait_json(const std::string& topic, const std::string& key, const nlohmann::json& value,
                                    std::chrono::milliseconds timeout = 10s);
    std::vector<Message> messages();
    size_t count();
    void clear();

private:
    mosquitto* mosq_ = nullptr;
    std::string ip_;
    uint16_t port_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Message> got_;
    int acked_ = 0;
    bool connected_ = false;
};

}  // namespace gwtest
