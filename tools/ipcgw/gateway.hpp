// The gateway: the cameras of a backend on an MQTT broker. It publishes their states, reports
// and pictures and hands the requests sent to them to a RequestQueue.
//
//   PREFIX/gateway/CLIENT_ID   retained "online"; the last will sets "offline", a clean stop "stopped"
//   PREFIX/CAMERA/state        retained state JSON
//   PREFIX/CAMERA/report       one message per report
//   PREFIX/CAMERA/snapshot/1   the picture pair, when a snapshot request took one
//   PREFIX/CAMERA/snapshot/2
//   PREFIX/CAMERA/request      requests; replies go to the response topic with the correlation
//                              data, or to PREFIX/CAMERA/response (the only reply topic allowed
//                              within PREFIX)
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "backend.hpp"
#include "config.hpp"
#include "log_limiter.hpp"
#include "mqtt_client.hpp"
#include "request_queue.hpp"

namespace ipcgw {

class Gateway {
public:
    using Log = std::function<void(const std::string&)>;
    Gateway(Config config, Backend& backend, Log log);
    ~Gateway() { stop(); }
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // Starts the cameras and the broker connection (retried in the background when the
    // broker is not there yet). False with a message when the client cannot be set up.
    bool start(std::string& error);
    // Answers the requests, marks every camera offline, publishes "stopped", disconnects, stops
    // the cameras.
    void stop();

private:
    struct Pending {
        std::string topic;
        std::string payload;
    };

    void connected();
    void disconnected();
    void message(const Incoming& in);
    void camera_state(size_t camera, const ipc::CameraStatus& status);
    void camera_report(size_t camera, const ipc::Report& report);
    void answer(size_t camera, const RequestQueue::Job& job, const Outcome& outcome);
    void publish_state(size_t camera, const char* error = nullptr);
    // One line for the log, bounded per kind (see LogLimiter).
    void log(std::string_view kind, std::string line);
    std::string topic(size_t camera, std::string_view facet) const;

    Config cfg_;
    Backend& backend_;
    Log log_;
    LogLimiter limiter_{10, std::chrono::seconds(60)};
    RequestLimits limits_;
    std::string gateway_topic_;
    std::map<std::string, size_t, std::less<>> by_request_topic_;
    bool started_ = false;
    RequestQueue requests_;
    MqttClient mqtt_;

    // The broker connection as the gateway sees it, the last state of every camera, reports
    // waiting for the broker.
    std::mutex mu_;
    bool connected_ = false;
    bool closing_ = false;
    std::vector<ipc::CameraStatus> states_;
    std::deque<Pending> offline_;
    std::atomic<uint64_t> published_{0}, dropped_{0};
};

}  // namespace ipcgw
