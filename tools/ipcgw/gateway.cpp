#include "gateway.hpp"

#include "payload.hpp"

namespace ipcgw {

Gateway::Gateway(Config config, Backend& backend, Log log)
    : cfg_(std::move(config)),
      backend_(backend),
      log_(std::move(log)),
      requests_(cfg_, backend_, [this](size_t camera, const RequestQueue::Job& job, const Outcome& o) { answer(camera, job, o); }),
      mqtt_(cfg_.mqtt, cfg_.mqtt.prefix + "/gateway/" + cfg_.mqtt.client_id,
            {.connected = [this] { connected(); },
             .disconnected = [this] { disconnected(); },
             .message = [this](const Incoming& in) { message(in); },
             .log = [this](std::string_view kind, std::string line) { this->log(kind, std::move(line)); },
             .idle = [this] { for (auto& line : limiter_.flush(LogLimiter::Clock::now())) log_(line); }}) {
    limits_.max_bytes = cfg_.gateway.max_request_bytes;
    limits_.max_depth = cfg_.gateway.max_request_depth;
    gateway_topic_ = cfg_.mqtt.prefix + "/gateway/" + cfg_.mqtt.client_id;
    for (size_t i = 0; i < cfg_.cameras.size(); ++i) by_request_topic_.emplace(topic(i, "request"), i);
    states_.resize(cfg_.cameras.size());
}

std::string Gateway::topic(size_t camera, std::string_view facet) const {
    std::string t = cfg_.mqtt.prefix;
    t += '/';
    t += cfg_.cameras[camera].name;
    t += '/';
    t += facet;
    return t;
}

bool Gateway::start(std::string& error) {
    std::vector<std::string> subscriptions;
    for (const auto& [t, i] : by_request_topic_) subscriptions.push_back(t);
    {
        std::lock_guard lk(mu_);
        closing_ = false;
        for (size_t i = 0; i < states_.size(); ++i) states_[i] = backend_.status(i);
    }
    // The client first: the cameras' handlers and the requests' answers publish through it.
    if (!mqtt_.start(std::move(subscriptions), error)) return false;
    requests_.start();
    backend_.start({.state = [this](size_t camera, const ipc::CameraStatus& s) { camera_state(camera, s); },
                    .report = [this](size_t camera, const ipc::Report& r) { camera_report(camera, r); },
                    .log = [this](std::string_view kind, std::string line) { log(kind, std::move(line)); }});
    const auto& m = cfg_.mqtt;
    log_("gateway " + m.client_id + ": " + std::to_string(cfg_.cameras.size()) + " camera(s), broker " + m.host + ":" +
         std::to_string(m.port) + ", prefix " + m.prefix);
    started_ = true;
    return true;
}

void Gateway::stop() {
    if (!started_) return;
    started_ = false;
    requests_.stop();
    backend_.stop();

    // Every camera offline, then "stopped", each retained; wait (bounded) for the broker to have
    // the last one before disconnecting.
    bool up;
    {
        std::lock_guard lk(mu_);
        closing_ = true;  // a reconnection from now on publishes nothing
        for (auto& s : states_) {
            s.state = ipc::State::offline;
            s.since = std::chrono::steady_clock::now();
        }
        up = connected_;
        if (up)
            for (size_t i = 0; i < states_.size(); ++i) publish_state(i, "gateway stopped");
    }
    if (up) mqtt_.publish_and_wait(gateway_topic_, "stopped", true, std::chrono::seconds(3));
    mqtt_.stop();
    for (auto& line : limiter_.flush(LogLimiter::Clock::now(), true)) log_(line);
    log_("stopped: " + std::to_string(published_) + " reports published, " + std::to_string(dropped_) + " dropped, " +
         std::to_string(requests_.requests()) + " requests");
}

// Under mu_. `error` in place of the state's own.
void Gateway::publish_state(size_t camera, const char* error) {
    auto body = state_json(states_[camera], cfg_.mqtt.client_id, backend_.rtsp_url(camera));
    if (error) body["error"] = error;
    mqtt_.publish(topic(camera, "state"), body.dump(), 1, true);
}

// Every state first, then what waited, and "online" last: a client that sees "online" sees
// current states.
void Gateway::connected() {
    std::lock_guard lk(mu_);
    if (closing_) return;
    for (size_t i = 0; i < states_.size(); ++i) publish_state(i);
    const size_t flushed = offline_.size();
    for (const auto& p : offline_) mqtt_.publish(p.topic, p.payload, 1, false);
    published_ += flushed;
    offline_.clear();
    mqtt_.publish(gateway_topic_, "online", 1, true);
    connected_ = true;
    log("broker", "broker connected" + (flushed ? ", " + std::to_string(flushed) + " queued report(s) sent" : std::string()) +
                      (dropped_ ? ", " + std::to_string(dropped_.load()) + " report(s) dropped so far" : std::string()));
}

void Gateway::disconnected() {
    std::lock_guard lk(mu_);
    connected_ = false;
}

void Gateway::camera_state(size_t camera, const ipc::CameraStatus& status) {
    if (camera >= states_.size()) return;
    std::lock_guard lk(mu_);
    if (closing_) return;
    states_[camera] = status;
    // While the broker is away the latest state waits in states_ and goes out on reconnect.
    if (connected_) publish_state(camera);
    const auto& name = cfg_.cameras[camera].name;
    log("camera " + name, name + ": " + ipc::to_string(status.state) +
                              (status.last_error ? " (" + status.last_error.message() + ")" : std::string()));
}

void Gateway::camera_report(size_t camera, const ipc::Report& report) {
    if (camera >= states_.size()) return;
    std::string t = topic(camera, "report");
    std::string payload = report_json(report, Clock::now()).dump();
    const int qos = cfg_.mqtt.qos;
    std::lock_guard lk(mu_);
    if (connected_ && mqtt_.publish(t, payload, qos, false)) {
        ++published_;
        return;
    }
    if (qos == 0 || cfg_.mqtt.offline_queue == 0) {
        ++dropped_;
        return;
    }
    // QoS 1: keep the newest reports up to the bound.
    if (offline_.size() >= cfg_.mqtt.offline_queue) {
        offline_.pop_front();
        ++dropped_;
    }
    offline_.push_back({std::move(t), std::move(payload)});
}

void Gateway::message(const Incoming& in) {
    auto it = by_request_topic_.find(in.topic);
    if (it == by_request_topic_.end()) return;
    const size_t camera = it->second;
    Request req = parse_request(in, cfg_.mqtt.prefix, limits_);
    if (!req.topic_refused.empty())
        log("response topic refused", cfg_.cameras[camera].name + ": response topic \"" +
                                          printable(in.response_topic.value_or("")) + "\" refused (" +
                                          req.topic_refused + "), reply to " + req.reply_topic);
    requests_.submit(camera, std::move(req), in.payload.size());
}

void Gateway::answer(size_t camera, const RequestQueue::Job& job, const Outcome& outcome) {
    if (!outcome.picture1.empty() || !outcome.picture2.empty()) {
        const auto as_text = [](const std::vector<uint8_t>& p) { return std::string_view(reinterpret_cast<const char*>(p.data()), p.size()); };
        mqtt_.publish(topic(camera, "snapshot/1"), as_text(outcome.picture1), cfg_.mqtt.qos, false);
        mqtt_.publish(topic(camera, "snapshot/2"), as_text(outcome.picture2), cfg_.mqtt.qos, false);
    }
    if (job.reply_topic.empty()) return;
    auto body = reply_json(outcome);
    // Errors may quote what the request held: bounded, and never invalid UTF-8 in the reply.
    if (outcome.error && outcome.error->size() > kMaxErrorText) body["error"] = clip_utf8(*outcome.error, kMaxErrorText);
    std::string why;
    if (!mqtt_.publish(job.reply_topic, body.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace),
                       cfg_.mqtt.qos, false, job.correlation, &why))
        log("reply lost", "reply to " + printable(job.reply_topic) + " lost: " + why);
}

void Gateway::log(std::string_view kind, std::string line) {
    for (auto& l : limiter_.admit(kind, std::move(line), LogLimiter::Clock::now())) log_(l);
}

}  // namespace ipcgw
