#include "gateway.hpp"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <initializer_list>

#include <ipctools/ptz.hpp>

#include "payload.hpp"

namespace ipcgw {
namespace {

using nlohmann::json;

constexpr const char* kOps = "get, set, ptz, preset, snapshot, info";

std::string checkFields(const json& j, std::initializer_list<const char*> allowed, const std::string& op) {
    for (const auto& item : j.items()) {
        const std::string& k = item.key();
        if (k == "op") continue;
        if (std::none_of(allowed.begin(), allowed.end(), [&](const char* a) { return k == a; }))
            return "unknown field \"" + k + "\" for op " + op;
    }
    return {};
}

// An unsigned integer field within [min, max]; empty text when it is fine.
std::string readUint(const json& j, const char* key, bool required, uint32_t min, uint32_t max, uint32_t& out) {
    auto it = j.find(key);
    if (it == j.end()) return required ? std::string("\"") + key + "\" missing" : std::string();
    if (!it->is_number_integer() || it->get<int64_t>() < min || it->get<int64_t>() > max)
        return std::string("\"") + key + "\" must be an integer from " + std::to_string(min) + " to " + std::to_string(max);
    out = static_cast<uint32_t>(it->get<int64_t>());
    return {};
}

}  // namespace

std::variant<Command, std::string> parseCommand(std::string_view payload) {
    json j;
    try {
        j = json::parse(payload);
    } catch (const json::parse_error& e) {
        return "not JSON: syntax error at byte " + std::to_string(e.byte);
    }
    if (!j.is_object()) return std::string("a request is a JSON object with \"op\"");
    auto op = j.find("op");
    if (op == j.end() || !op->is_string()) return std::string("\"op\" missing: one of ") + kOps;
    const std::string name = op->get<std::string>();
    Command c;
    std::string err;
    if (name == "get" || name == "set") {
        c.op = name == "get" ? Command::Op::Get : Command::Op::Set;
        err = name == "get" ? checkFields(j, {"setting", "count"}, name) : checkFields(j, {"setting", "record"}, name);
        if (!err.empty()) return err;
        auto s = j.find("setting");
        if (s == j.end() || !s->is_string() || s->get<std::string>().empty())
            return std::string("\"setting\" missing: a setting name such as \"video-param\"");
        c.setting = s->get<std::string>();
        if (c.op == Command::Op::Get) {
            uint32_t count = 1;
            if (err = readUint(j, "count", false, 1, 1024, count); !err.empty()) return err;
            c.count = static_cast<int>(count);
        } else {
            auto r = j.find("record");
            if (r == j.end() || !(r->is_object() || r->is_array()))
                return std::string("\"record\" missing: the record as get prints it (an object, or an array)");
            c.record = *r;
        }
    } else if (name == "ptz") {
        c.op = Command::Op::Ptz;
        if (err = checkFields(j, {"action", "step"}, name); !err.empty()) return err;
        auto a = j.find("action");
        if (a == j.end() || !a->is_string() ||
            (*a != "position" && std::none_of(std::begin(ipctools::kPtzMotions), std::end(ipctools::kPtzMotions),
                                              [&](const auto& m) { return *a == m.first; })))
            return std::string("\"action\" must be one of up, down, left, right, zoom-in, zoom-out, stop, position");
        c.action = a->get<std::string>();
        if (c.action == "position" && j.contains("step")) return std::string("\"step\" does not go with position");
        if (err = readUint(j, "step", false, 0, 0xFFFFFFFFu, c.value); !err.empty()) return err;
    } else if (name == "preset") {
        c.op = Command::Op::Preset;
        if (err = checkFields(j, {"action", "number"}, name); !err.empty()) return err;
        auto a = j.find("action");
        if (a == j.end() || !a->is_string() ||
            std::none_of(std::begin(ipctools::kPresetOperations), std::end(ipctools::kPresetOperations),
                         [&](const auto& o) { return *a == o.first; }))
            return std::string("\"action\" must be one of store, goto, clear");
        c.action = a->get<std::string>();
        if (err = readUint(j, "number", true, 1, 255, c.value); !err.empty()) return err;
    } else if (name == "snapshot" || name == "info") {
        c.op = name == "info" ? Command::Op::Info : Command::Op::Snapshot;
        if (err = checkFields(j, {}, name); !err.empty()) return err;
    } else {
        return "unknown op \"" + name + "\": one of " + kOps;
    }
    return c;
}

Gateway::Gateway(Config config, Backend& backend, Log log)
    : cfg_(std::move(config)), backend_(backend), log_(std::move(log)) {
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
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_reconnect_delay_set(mosq_, static_cast<unsigned>(m.reconnectMin.count()),
                                           static_cast<unsigned>(m.reconnectMax.count()), true);
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
    // libmosquitto's network thread reconnects after a lost connection but not after a first
    // connection that failed, so a broker that is not there yet is retried here, with the same
    // delays, until the network thread can take over.
    {
        std::lock_guard lk(connectMu_);
        stopConnecting_ = false;
    }
    started_ = true;
    connector_ = std::thread([this] { firstConnect(); });
    return true;
}

void Gateway::firstConnect() {
    const auto& m = cfg_.mqtt;
    auto delay = m.reconnectMin;
    for (;;) {
        int rc = mosquitto_connect_async(mosq_, m.host.c_str(), m.port, m.keepalive);
        if (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_loop_start(mosq_);
            if (rc == MOSQ_ERR_SUCCESS)
                loopStarted_ = true;
            else
                log_(std::string("MQTT network thread: ") + mosquitto_strerror(rc));
            return;
        }
        log_("broker " + m.host + ":" + std::to_string(m.port) + " not reachable (" +
             (rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : std::string(mosquitto_strerror(rc))) +
             "), retrying in " + std::to_string(delay.count()) + " s");
        std::unique_lock lk(connectMu_);
        if (connectCv_.wait_for(lk, delay, [&] { return stopConnecting_; })) return;
        delay = std::min(delay * 2, m.reconnectMax);
    }
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
    {
        std::lock_guard lk(connectMu_);
        stopConnecting_ = true;
    }
    connectCv_.notify_all();
    if (connector_.joinable()) connector_.join();

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
    connected_ = false;
    lk.unlock();
    if (loopStarted_) {
        mosquitto_disconnect_v5(mosq_, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
        mosquitto_loop_stop(mosq_, false);
        loopStarted_ = false;
    }
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    mosquitto_lib_cleanup();
    auto st = stats();
    log_("stopped: " + std::to_string(st.reportsPublished) + " reports published, " +
         std::to_string(st.reportsDropped) + " dropped, " + std::to_string(st.requests) + " requests");
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

void Gateway::onConnect(mosquitto*, void* self, int rc, int, const mosquitto_property*) {
    auto* g = static_cast<Gateway*>(self);
    if (rc != 0) {
        g->log_(std::string("broker refused the connection: ") + mosquitto_reason_string(rc));
        return;
    }
    g->connected();
}

void Gateway::connected() {
    std::vector<std::string> subs;
    for (const auto& [t, i] : byRequestTopic_) subs.push_back(t);
    std::vector<char*> ptrs;
    for (auto& s : subs) ptrs.push_back(s.data());
    int rc = mosquitto_subscribe_multiple(mosq_, nullptr, static_cast<int>(ptrs.size()), ptrs.data(), 1, 0, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) log_(std::string("subscribing to the request topics failed: ") + mosquitto_strerror(rc));

    // Every state first, then what waited, and "online" last: a client that sees "online"
    // sees current states.
    std::lock_guard lk(mu_);
    if (closing_) return;
    for (size_t i = 0; i < states_.size(); ++i)
        publish(topic(i, "state"), stateJson(states_[i], cfg_.mqtt.clientId).dump(), 1, true);
    size_t flushed = offline_.size();
    for (const auto& p : offline_) publish(p.topic, p.payload, 1, false);
    published_ += flushed;
    offline_.clear();
    publish(gatewayTopic_, "online", 1, true);
    connected_ = true;
    ++connects_;
    log_("broker connected" + (flushed ? ", " + std::to_string(flushed) + " queued report(s) sent" : std::string()) +
         (dropped_ ? ", " + std::to_string(dropped_.load()) + " report(s) dropped so far" : std::string()));
}

void Gateway::onDisconnect(mosquitto*, void* self, int rc, const mosquitto_property*) {
    auto* g = static_cast<Gateway*>(self);
    {
        std::lock_guard lk(g->mu_);
        g->connected_ = false;
    }
    g->publishedCv_.notify_all();
    if (rc != 0) g->log_(std::string("broker connection lost (") + mosquitto_strerror(rc) + "), reconnecting");
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
    log_(cfg_.cameras[camera].name + ": " + stateName(status.state) +
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
    Job job;
    char* responseTopic = nullptr;
    if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &responseTopic, false)) {
        job.replyTopic = responseTopic;
        free(responseTopic);
    } else {
        job.replyTopic = topic(camera, "response");
    }
    void* corr = nullptr;
    uint16_t corrLen = 0;
    if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &corr, &corrLen, false)) {
        auto* b = static_cast<const uint8_t*>(corr);
        job.correlation.assign(b, b + corrLen);
        free(corr);
    }
    ++requests_;
    job.command = parseCommand(std::string_view(static_cast<const char*>(msg->payload),
                                                static_cast<size_t>(std::max(msg->payloadlen, 0))));
    if (std::holds_alternative<std::string>(job.command)) ++malformed_;

    // Malformed requests queue too, so that one camera's replies keep the order of its requests.
    std::unique_lock lk(qmu_);
    Queue& q = queues_[camera];
    if (stopping_ || q.jobs.size() >= cfg_.gateway.requestQueue) {
        size_t waiting = q.jobs.size();
        bool stopping = stopping_;
        lk.unlock();
        ++busy_;
        Outcome o;
        o.name = stopping ? "stopping" : "busy";
        o.error = stopping ? "the gateway is stopping"
                           : std::to_string(waiting) + " requests are waiting for " + cfg_.cameras[camera].name +
                                 "; try again later";
        reply(job, o);
        return;
    }
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
    mosquitto_property* props = nullptr;
    if (!job.correlation.empty())
        mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, job.correlation.data(),
                                      static_cast<uint16_t>(job.correlation.size()));
    int rc = publish(job.replyTopic, replyJson(outcome).dump(), cfg_.mqtt.qos, false, props);
    mosquitto_property_free_all(&props);
    if (rc != MOSQ_ERR_SUCCESS) log_("reply to " + job.replyTopic + " lost: " + mosquitto_strerror(rc));
}

}  // namespace ipcgw
