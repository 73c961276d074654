// The MQTT side of ipcgw: one libmosquitto client (MQTT 5) that publishes the cameras' states,
// reports and pictures and runs the requests sent to them.
//
//   PREFIX/gateway/CLIENT_ID   retained "online"; the last will sets "offline", a clean stop "stopped"
//   PREFIX/CAMERA/state        retained state JSON
//   PREFIX/CAMERA/report       one message per report
//   PREFIX/CAMERA/snapshot/1   the picture pair, when a snapshot request took one
//   PREFIX/CAMERA/snapshot/2
//   PREFIX/CAMERA/request      requests; replies go to the response topic with the correlation
//                              data, or to PREFIX/CAMERA/response (the only reply topic allowed
//                              within PREFIX)
//
// The gateway runs libmosquitto's network loop on a thread of its own and reconnects from
// there, with backoff and jitter, whatever ended the connection.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "backend.hpp"
#include "config.hpp"
#include "log_limiter.hpp"
#include "request.hpp"

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

namespace ipcgw {

struct GatewayStats {
    uint64_t reportsPublished = 0;
    uint64_t reportsQueued = 0;     // kept while the broker was away (QoS 1)
    uint64_t reportsDropped = 0;    // lost while the broker was away (QoS 0, or beyond the bound)
    uint64_t requests = 0;
    uint64_t busy = 0;              // refused: the camera's queue was full
    uint64_t malformed = 0;
    uint64_t brokerConnects = 0;
};

class Gateway {
public:
    using Log = std::function<void(const std::string&)>;
    Gateway(Config config, Backend& backend, Log log);
    ~Gateway();
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // Starts the cameras and the broker connection (retried in the background when the
    // broker is not there yet). False with a message when the client cannot be set up.
    bool start(std::string& error);
    // Marks every camera offline, publishes "stopped", disconnects, stops the cameras.
    void stop();
    GatewayStats stats() const;

private:
    struct Job {
        std::variant<Command, std::string> command;
        std::string replyTopic;
        std::vector<uint8_t> correlation;
        size_t bytes = 0;         // what it holds, roughly
    };
    struct Queue {
        std::deque<Job> jobs;
        size_t bytes = 0;
        bool scheduled = false;   // in ready_ or being run
    };
    struct Pending {
        std::string topic;
        std::string payload;
    };

    static void onConnect(mosquitto*, void*, int, int, const mosquitto_property*);
    static void onDisconnect(mosquitto*, void*, int, const mosquitto_property*);
    static void onMessage(mosquitto*, void*, const mosquitto_message*, const mosquitto_property*);
    static void onPublish(mosquitto*, void*, int, int, const mosquitto_property*);
    void network();
    bool connectionAttempt(std::string& why);
    void connected();
    void message(const mosquitto_message* msg, const mosquitto_property* props);
    void cameraState(size_t camera, const CameraStatus& status);
    void cameraReport(size_t camera, Report report);
    void worker();
    void reply(const Job& job, const Outcome& outcome);
    void answerQueued();
    // One line for the log, bounded per kind (see LogLimiter).
    void log(std::string_view kind, std::string line);
    int publish(const std::string& topic, const std::string& payload, int qos, bool retain,
                const mosquitto_property* props = nullptr, int* mid = nullptr);
    std::string topic(size_t camera, std::string_view facet) const;

    Config cfg_;
    Backend& backend_;
    Log log_;
    LogLimiter limiter_{10, std::chrono::seconds(60)};
    RequestLimits limits_;
    std::string gatewayTopic_;
    std::map<std::string, size_t, std::less<>> byRequestTopic_;
    mosquitto* mosq_ = nullptr;
    bool started_ = false;
    std::thread net_;                    // libmosquitto's loop, connecting and reconnecting
    bool netSetUp_ = false;              // the client has its host (network thread)
    std::mutex netMu_;
    std::condition_variable netCv_;
    bool netStop_ = false;
    std::chrono::steady_clock::time_point netStopAt_;
    std::string lastReason_;             // why the broker refused or ended it (network thread)

    // Broker side: connection flag, the last state of every camera, reports waiting for the broker.
    mutable std::mutex mu_;
    bool connected_ = false;
    std::chrono::steady_clock::time_point connectedAt_;
    bool closing_ = false;
    std::vector<CameraStatus> states_;
    std::deque<Pending> offline_;
    std::condition_variable publishedCv_;
    int awaitMid_ = -1;
    bool awaitDone_ = false;

    // Requests: one queue per camera, workers take cameras from ready_.
    std::mutex qmu_;
    std::condition_variable qcv_;
    std::vector<Queue> queues_;
    std::deque<size_t> ready_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;

    std::atomic<uint64_t> published_{0}, queued_{0}, dropped_{0}, requests_{0}, busy_{0}, malformed_{0}, connects_{0};
};

}  // namespace ipcgw
