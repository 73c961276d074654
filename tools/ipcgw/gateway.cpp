#include "gateway.hpp"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <chrono>

#include "payload.hpp"

namespace ipcgw {

Gateway::Gateway(Config config, Backend& backend, Log log)
    : cfg_(std::move(config)), backend_(backend), log_(std::move(log)) {
    limits_.maxBytes = cfg_.gateway.maxRequestBytes;
    limits_.maxDepth = cfg_.gateway.maxRequestDepth;
    gatewayTopic_ = cfg_.mqtt.prefix + "/gateway/" + cfg_.mqtt.clientId;
    for (size_t i = 0; i < cfg_.cameras.size(); ++i) byRequestTopic_.emplace(topic(i, "request"), i);
    states_.resize(cfg_.cameras.size());
    queues_.resize(cfg_.cameras.size());
}

Gateway::~Gateway() { stop(); }

std::string Gateway::topic(size_t camera, std::string_view facet) const {
    std::string t = cfg_.mqtt.prefix;
    t += '/';
    t += cfg_.cameras[camera].name;
    t += '/';
    t += facet;
    return t;
}

bool Gateway::start(std::string& error) {
    mosquitto_lib_init();
    const auto& m = cfg_.mqtt;
    mosq_ = mosquitto_new(m.clientId.c_str(), true, this);
    if (!mosq_) {
        error = "cannot create the MQTT client";
        mosquitto_lib_cleanup();
        return false;
    }
    int rc = mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // Replies and reports are small: without this each waits for the peer's delayed ack.
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    if (rc == MOSQ_ERR_SUCCESS && !m.username.empty())
        rc = mosquitto_username_pw_set(mosq_, m.username.c_str(), m.password.empty() ? nullptr : m.password.c_str());
    if (rc == MOSQ_ERR_SUCCESS && !m.tlsCa.empty()) rc = mosquitto_tls_set(mosq_, m.tlsCa.c_str(), nullptr, nullptr, nullptr, nullptr);
    // The broker publishes this for us when the connection dies without a clean disconnect.
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_will_set_v5(mosq_, gatewayTopic_.c_str(), 7, "offline", 1, true, nullptr);
    // The loop runs on a thread of ours (network()), publishers are other threads.
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_threaded_set(mosq_, true);
    if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("MQTT client setup: ") + mosquitto_strerror(rc);
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
        mosquitto_lib_cleanup();
        return false;
    }
    mosquitto_connect_v5_callback_set(mosq_, &Gateway::onConnect);
    mosquitto_disconnect_v5_callback_set(mosq_, &Gateway::onDisconnect);
    mosquitto_message_v5_callback_set(mosq_, &Gateway::onMessage);
    mosquitto_publish_v5_callback_set(mosq_, &Gateway::onPublish);

    {
        std::lock_guard lk(qmu_);
        stopping_ = false;
    }
    for (int i = 0; i < cfg_.gateway.workers; ++i) workers_.emplace_back([this] { worker(); });

    Backend::Handlers h;
    h.state = [this](size_t camera, const CameraStatus& s) { cameraState(camera, s); };
    h.report = [this](size_t camera, Report r) { cameraReport(camera, std::move(r)); };
    {
        std::lock_guard lk(mu_);
        closing_ = false;
        for (size_t i = 0; i < states_.size(); ++i) states_[i] = backend_.status(i);
    }
    backend_.start(std::move(h));

    log_("gateway " + m.clientId + ": " + std::to_string(cfg_.cameras.size()) + " camera(s), broker " + m.host + ":" +
         std::to_string(m.port) + ", prefix " + m.prefix);
    {
        std::lock_guard lk(netMu_);
        netStop_ = false;
    }
    netSetUp_ = false;
    started_ = true;
    net_ = std::thread([this] { network(); });
    return true;
}

void Gateway::stop() {
    if (!started_) return;
    started_ = false;
    {
        std::lock_guard lk(qmu_);
        stopping_ = true;
    }
    qcv_.notify_all();
    for (auto& t : workers_) t.join();
    workers_.clear();
    backend_.stop();
    answerQueued();

    // Every camera offline, then "stopped", each retained; wait (bounded) for the broker to have
    // the last one before disconnecting.
    std::unique_lock lk(mu_);
    closing_ = true;  // a reconnection from now on publishes nothing
    for (auto& s : states_) {
        s.state = CameraState::Offline;
        s.since = Clock::now();
        s.error = "gateway stopped";
    }
    if (connected_) {
        for (size_t i = 0; i < states_.size(); ++i)
            publish(topic(i, "state"), stateJson(states_[i], cfg_.mqtt.clientId).dump(), 1, true);
        int mid = -1;
        awaitDone_ = false;
        if (publish(gatewayTopic_, "stopped", 1, true, nullptr, &mid) == MOSQ_ERR_SUCCESS) {
            awaitMid_ = mid;
            publishedCv_.wait_for(lk, std::chrono::seconds(3), [&] { return awaitDone_ || !connected_; });
        }
    }
    lk.unlock();
    // The network thread sends the DISCONNECT (so the broker drops the last will) and ends.
    {
        std::lock_guard nl(netMu_);
        netStop_ = true;
        netStopAt_ = std::chrono::steady_clock::now();
    }
    mosquitto_disconnect_v5(mosq_, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    netCv_.notify_all();
    if (net_.joinable()) net_.join();
    {
        std::lock_guard l2(mu_);
        connected_ = false;
    }
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    mosquitto_lib_cleanup();
    for (auto& line : limiter_.flush(LogLimiter::Clock::now(), true)) log_(line);
    auto st = stats();
    log_("stopped: " + std::to_string(st.reportsPublished) + " reports published, " +
         std::to_string(st.reportsDropped) + " dropped, " + std::to_string(st.requests) + " requests");
}

// The requests still waiting when the gateway stops: each gets its reply.
void Gateway::answerQueued() {
    std::deque<Job> left;
    {
        std::lock_guard lk(qmu_);
        for (auto& q : queues_) {
            for (auto& j : q.jobs) left.push_back(std::move(j));
            q = Queue{};
        }
        ready_.clear();
    }
    Outcome o;
    o.name = "stopping";
    o.error = "the gateway is stopping";
    for (const auto& j : left) reply(j, o);
}

GatewayStats Gateway::stats() const {
    GatewayStats s;
    s.reportsPublished = published_;
    s.reportsQueued = queued_;
    s.reportsDropped = dropped_;
    s.requests = requests_;
    s.busy = busy_;
    s.malformed = malformed_;
    s.brokerConnects = connects_;
    return s;
}

int Gateway::publish(const std::string& t, const std::string& payload, int qos, bool retain,
                     const mosquitto_property* props, int* mid) {
    return mosquitto_publish_v5(mosq_, mid, t.c_str(), static_cast<int>(payload.size()), payload.data(), qos, retain,
                                props);
}

void Gateway::onPublish(mosquitto*, void* self, int mid, int, const mosquitto_property*) {
    auto* g = static_cast<Gateway*>(self);
    std::lock_guard lk(g->mu_);
    if (mid == g->awaitMid_) {
        g->awaitDone_ = true;
        g->publishedCv_.notify_all();
    }
}

void Gateway::cameraState(size_t camera, const CameraStatus& status) {
    if (camera >= states_.size()) return;
    std::lock_guard lk(mu_);
    if (closing_) return;
    states_[camera] = status;
    // While the broker is away the latest state waits in states_ and goes out on reconnect.
    if (connected_) publish(topic(camera, "state"), stateJson(status, cfg_.mqtt.clientId).dump(), 1, true);
    log("camera " + cfg_.cameras[camera].name, cfg_.cameras[camera].name + ": " + stateName(status.state) +
         (status.error ? " (" + *status.error + ")" : std::string()));
}

void Gateway::cameraReport(size_t camera, Report report) {
    if (camera >= states_.size()) return;
    std::string t = topic(camera, "report");
    std::string payload = reportJson(report).dump();
    const int qos = cfg_.mqtt.qos;
    std::lock_guard lk(mu_);
    if (connected_ && publish(t, payload, qos, false) == MOSQ_ERR_SUCCESS) {
        ++published_;
        return;
    }
    if (qos == 0 || cfg_.mqtt.offlineQueue == 0) {
        ++dropped_;
        return;
    }
    // QoS 1: keep the newest reports up to the bound.
    if (offline_.size() >= cfg_.mqtt.offlineQueue) {
        offline_.pop_front();
        ++dropped_;
    }
    offline_.push_back({std::move(t), std::move(payload)});
    ++queued_;
}

void Gateway::onMessage(mosquitto*, void* self, const mosquitto_message* msg, const mosquitto_property* props) {
    static_cast<Gateway*>(self)->message(msg, props);
}

void Gateway::message(const mosquitto_message* msg, const mosquitto_property* props) {
    auto it = byRequestTopic_.find(std::string_view(msg->topic));
    if (it == byRequestTopic_.end()) return;
    const size_t camera = it->second;
    Incoming in;
    in.topic = msg->topic;
    in.payload = std::string_view(static_cast<const char*>(msg->payload), static_cast<size_t>(std::max(msg->payloadlen, 0)));
    std::string responseTopic;
    char* rt = nullptr;
    if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &rt, false)) {
        responseTopic = rt;
        free(rt);
        in.responseTopic = responseTopic;
    }
    void* corr = nullptr;
    uint16_t corrLen = 0;
    if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &corr, &corrLen, false))
        in.correlation = std::span(static_cast<const uint8_t*>(corr), corrLen);
    ++requests_;
    Request req = parseRequest(in, cfg_.mqtt.prefix, limits_);
    free(corr);
    if (!req.topicRefused.empty())
        log("response topic refused", cfg_.cameras[camera].name + ": response topic \"" + printable(responseTopic) +
                                          "\" refused (" + req.topicRefused + "), reply to " + req.replyTopic);
    Job job{std::move(req.command), std::move(req.replyTopic), std::move(req.correlation)};
    if (auto* err = std::get_if<std::string>(&job.command)) {
        ++malformed_;
        job.bytes = err->size();
    } else {
        job.bytes = in.payload.size();  // the parsed record is of its order
    }
    job.bytes += job.replyTopic.size() + job.correlation.size();

    // Malformed requests queue too, so that one camera's replies keep the order of its requests.
    // The bounds count requests and bytes; one request always fits an empty queue.
    std::unique_lock lk(qmu_);
    Queue& q = queues_[camera];
    const bool full = q.jobs.size() >= cfg_.gateway.requestQueue ||
                      (!q.jobs.empty() && q.bytes + job.bytes > cfg_.gateway.requestQueueBytes);
    if (stopping_ || full) {
        const size_t waiting = q.jobs.size(), bytes = q.bytes;
        const bool stopping = stopping_;
        lk.unlock();
        ++busy_;
        Outcome o;
        o.name = stopping ? "stopping" : "busy";
        if (stopping)
            o.error = "the gateway is stopping";
        else
            o.error = std::to_string(waiting) + " requests" +
                      (waiting < cfg_.gateway.requestQueue ? " of " + std::to_string(bytes) + " bytes" : std::string()) +
                      " are waiting for " + cfg_.cameras[camera].name + "; try again later";
        reply(job, o);
        return;
    }
    q.bytes += job.bytes;
    q.jobs.push_back(std::move(job));
    if (!q.scheduled) {
        q.scheduled = true;
        ready_.push_back(camera);
        qcv_.notify_one();
    }
}

void Gateway::worker() {
    std::unique_lock lk(qmu_);
    for (;;) {
        qcv_.wait(lk, [&] { return stopping_ || !ready_.empty(); });
        if (stopping_) return;
        size_t camera = ready_.front();
        ready_.pop_front();
        Job job = std::move(queues_[camera].jobs.front());
        queues_[camera].jobs.pop_front();
        queues_[camera].bytes -= job.bytes;
        lk.unlock();

        Outcome o;
        if (auto* err = std::get_if<std::string>(&job.command)) {
            o.name = "bad-request";
            o.error = *err;
        } else {
            try {
                o = backend_.execute(camera, std::get<Command>(job.command));
            } catch (const std::exception& e) {
                o = Outcome{};
                o.name = "failed";
                o.error = e.what();
            }
            if (!o.picture1.empty() || !o.picture2.empty()) {
                publish(topic(camera, "snapshot/1"), std::string(o.picture1.begin(), o.picture1.end()), cfg_.mqtt.qos, false);
                publish(topic(camera, "snapshot/2"), std::string(o.picture2.begin(), o.picture2.end()), cfg_.mqtt.qos, false);
            }
        }
        reply(job, o);

        lk.lock();
        Queue& q = queues_[camera];
        if (q.jobs.empty()) {
            q.scheduled = false;
        } else {
            ready_.push_back(camera);
            qcv_.notify_one();
        }
    }
}

void Gateway::reply(const Job& job, const Outcome& outcome) {
    if (job.replyTopic.empty()) return;
    mosquitto_property* props = nullptr;
    if (!job.correlation.empty())
        mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, job.correlation.data(),
                                      static_cast<uint16_t>(job.correlation.size()));
    auto body = replyJson(outcome);
    // Errors may quote what the request held: bounded, and never invalid UTF-8 in the reply.
    if (outcome.error && outcome.error->size() > kMaxErrorText) body["error"] = clipUtf8(*outcome.error, kMaxErrorText);
    int rc = publish(job.replyTopic, body.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace),
                     cfg_.mqtt.qos, false, props);
    mosquitto_property_free_all(&props);
    if (rc != MOSQ_ERR_SUCCESS) log("reply lost", "reply to " + printable(job.replyTopic) + " lost: " + mosquitto_strerror(rc));
}

void Gateway::log(std::string_view kind, std::string line) {
    for (auto& l : limiter_.admit(kind, std::move(line), LogLimiter::Clock::now())) log_(l);
}

}  // namespace ipcgw
