// One libmosquitto client (MQTT 5) with a last will. Its network loop runs on a thread of its
// own, which connects and, after whatever ended a connection (refused, lost, taken over, never
// answered), reconnects with a doubling delay less a random part for as long as it runs.
// Publishing is for any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "config.hpp"
#include "request.hpp"

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

namespace ipcgw {

class MqttClient {
public:
    // Each runs on the network thread.
    struct Events {
        std::function<void()> connected;                         // subscribed to the topics
        std::function<void()> disconnected;
        std::function<void(const Incoming&)> message;
        std::function<void(std::string_view kind, std::string line)> log;
        std::function<void()> idle;                              // each turn of the loop
    };

    MqttClient(const MqttOptions& options, std::string will_topic, Events events);
    ~MqttClient() { stop(); }
    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;

    // Sets the client up (the will "offline", retained) and starts connecting in the background;
    // false with a message when the client cannot be set up.
    bool start(std::vector<std::string> subscriptions, std::string& error);
    // Sends a DISCONNECT (the broker drops the will) and ends the network thread.
    void stop();

    // False with `why` (when given) when the message could not be queued.
    bool publish(const std::string& topic, std::string_view payload, int qos, bool retain,
                 std::span<const uint8_t> correlation = {}, std::string* why = nullptr);
    // Publishes (QoS 1) and waits until the broker has it, the connection ends, or `within` passes.
    void publish_and_wait(const std::string& topic, std::string_view payload, bool retain,
                          std::chrono::milliseconds within);

private:
    using Steady = std::chrono::steady_clock;
    static void on_connect(mosquitto*, void*, int, int, const mosquitto_property*);
    static void on_disconnect(mosquitto*, void*, int, const mosquitto_property*);
    static void on_message(mosquitto*, void*, const mosquitto_message*, const mosquitto_property*);
    static void on_publish(mosquitto*, void*, int, int, const mosquitto_property*);
    void network();
    bool connection(std::string& why);
    void ended();

    const MqttOptions& opt_;
    const std::string will_topic_;
    Events events_;
    std::vector<std::string> subscriptions_;
    mosquitto* mosq_ = nullptr;
    std::thread net_;
    bool set_up_ = false;                // the client has its host (network thread)
    std::string last_reason_;            // why the broker refused or ended it (network thread)

    std::mutex stop_mu_;
    std::condition_variable stop_cv_;
    bool stop_ = false;
    Steady::time_point stop_at_;

    mutable std::mutex mu_;
    std::condition_variable published_cv_;
    bool connected_ = false;
    Steady::time_point connected_at_;    // of the connection now or last up, zero when none was
    int await_mid_ = -1;
    bool await_done_ = false;
};

}  // namespace ipcgw
