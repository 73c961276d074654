#include "mqtt_client.hpp"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

namespace ipcgw {
namespace {

std::string describe(int rc, int err) {
    return rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(err)) : std::string(mosquitto_strerror(rc));
}

std::string seconds(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f s", s);
    return buf;
}

}  // namespace

MqttClient::MqttClient(const MqttOptions& options, std::string will_topic, Events events)
    : opt_(options), will_topic_(std::move(will_topic)), events_(std::move(events)) {}

bool MqttClient::start(std::vector<std::string> subscriptions, std::string& error) {
    subscriptions_ = std::move(subscriptions);
    mosquitto_lib_init();
    const auto& m = opt_;
    mosq_ = mosquitto_new(m.client_id.c_str(), true, this);
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
    if (rc == MOSQ_ERR_SUCCESS && !m.tls_ca.empty()) rc = mosquitto_tls_set(mosq_, m.tls_ca.c_str(), nullptr, nullptr, nullptr, nullptr);
    // The broker publishes this for us when the connection dies without a clean disconnect.
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_will_set_v5(mosq_, will_topic_.c_str(), 7, "offline", 1, true, nullptr);
    // The loop runs on a thread of ours (network()), publishers are other threads.
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_threaded_set(mosq_, true);
    if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("MQTT client setup: ") + mosquitto_strerror(rc);
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
        mosquitto_lib_cleanup();
        return false;
    }
    mosquitto_connect_v5_callback_set(mosq_, &MqttClient::on_connect);
    mosquitto_disconnect_v5_callback_set(mosq_, &MqttClient::on_disconnect);
    mosquitto_message_v5_callback_set(mosq_, &MqttClient::on_message);
    mosquitto_publish_v5_callback_set(mosq_, &MqttClient::on_publish);
    {
        std::lock_guard lk(stop_mu_);
        stop_ = false;
    }
    set_up_ = false;
    net_ = std::thread([this] { network(); });
    return true;
}

void MqttClient::stop() {
    if (!mosq_) return;
    // The network thread sends the DISCONNECT (so the broker drops the last will) and ends.
    {
        std::lock_guard lk(stop_mu_);
        stop_ = true;
        stop_at_ = Steady::now();
    }
    mosquitto_disconnect_v5(mosq_, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    stop_cv_.notify_all();
    if (net_.joinable()) net_.join();
    {
        std::lock_guard lk(mu_);
        connected_ = false;
    }
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    mosquitto_lib_cleanup();
}

bool MqttClient::publish(const std::string& topic, std::string_view payload, int qos, bool retain,
                         std::span<const uint8_t> correlation, std::string* why) {
    mosquitto_property* props = nullptr;
    if (!correlation.empty())
        mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                      static_cast<uint16_t>(correlation.size()));
    const int rc = mosquitto_publish_v5(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                        payload.data(), qos, retain, props);
    mosquitto_property_free_all(&props);
    if (rc != MOSQ_ERR_SUCCESS && why) *why = mosquitto_strerror(rc);
    return rc == MOSQ_ERR_SUCCESS;
}

void MqttClient::publish_and_wait(const std::string& topic, std::string_view payload, bool retain,
                                  std::chrono::milliseconds within) {
    std::unique_lock lk(mu_);
    int mid = -1;
    await_done_ = false;
    if (mosquitto_publish_v5(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, retain,
                             nullptr) != MOSQ_ERR_SUCCESS)
        return;
    await_mid_ = mid;
    published_cv_.wait_for(lk, within, [&] { return await_done_ || !connected_; });
}

void MqttClient::on_publish(mosquitto*, void* self, int mid, int, const mosquitto_property*) {
    auto* c = static_cast<MqttClient*>(self);
    std::lock_guard lk(c->mu_);
    if (mid == c->await_mid_) {
        c->await_done_ = true;
        c->published_cv_.notify_all();
    }
}

void MqttClient::on_message(mosquitto*, void* self, const mosquitto_message* msg, const mosquitto_property* props) {
    Incoming in;
    in.topic = msg->topic;
    in.payload = std::string_view(static_cast<const char*>(msg->payload), static_cast<size_t>(std::max(msg->payloadlen, 0)));
    char* rt = nullptr;
    if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &rt, false)) in.response_topic = rt;
    void* corr = nullptr;
    uint16_t corr_len = 0;
    if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &corr, &corr_len, false))
        in.correlation = std::span(static_cast<const uint8_t*>(corr), corr_len);
    static_cast<MqttClient*>(self)->events_.message(in);
    free(rt);
    free(corr);
}

// One connection from its attempt to its end; false when the client is stopping. `why` says
// how it ended.
bool MqttClient::connection(std::string& why) {
    const auto& m = opt_;
    const std::string broker = "broker " + m.host + ":" + std::to_string(m.port);
    last_reason_.clear();
    // connect_async sets the client up (once: it also replaces the socket pair that other
    // threads' publishes wake the loop with); reconnect_async after that.
    int rc = set_up_ ? mosquitto_reconnect_async(mosq_) : mosquitto_connect_async(mosq_, m.host.c_str(), m.port, m.keepalive);
    int err = errno;
    if (rc != MOSQ_ERR_INVAL && rc != MOSQ_ERR_NOMEM) set_up_ = true;
    if (rc != MOSQ_ERR_SUCCESS) {
        why = broker + " not reachable (" + describe(rc, err) + ")";
        return true;
    }
    const auto attempt = Steady::now();
    bool was_up = false;
    for (;;) {
        rc = mosquitto_loop(mosq_, 200, 1);
        err = errno;
        events_.idle();
        bool up;
        {
            std::lock_guard lk(mu_);
            up = connected_;
            was_up = connected_at_ != Steady::time_point{};
        }
        {
            std::lock_guard lk(stop_mu_);
            // Stopping: the loop sends the DISCONNECT, then the socket closes; bounded in case
            // the broker does not take it.
            if (stop_ && (rc != MOSQ_ERR_SUCCESS || !up || Steady::now() - stop_at_ > std::chrono::seconds(3)))
                return false;
        }
        if (rc != MOSQ_ERR_SUCCESS) break;
        if (!was_up && Steady::now() - attempt > std::chrono::seconds(m.keepalive)) {
            why = broker + " did not answer the connection within " + std::to_string(m.keepalive) + " s";
            return true;
        }
    }
    if (!last_reason_.empty())
        why = last_reason_;
    else if (was_up)
        why = "broker connection lost (" + describe(rc, err) + ")";
    else
        why = broker + " not reachable (" + describe(rc, err) + ")";
    ended();
    return true;
}

void MqttClient::network() {
    const auto& m = opt_;
    std::mt19937 rng(std::random_device{}());
    std::uniform_real_distribution<double> shorten(0.75, 1.0);
    double delay = static_cast<double>(m.reconnect_min.count());
    const double most = static_cast<double>(m.reconnect_max.count());
    int brief = 0;  // connections in a row that the broker ended soon after accepting them
    for (;;) {
        std::string why;
        if (!connection(why)) return;
        // A connection that held for a while starts the delays again from the shortest; one
        // that ends as soon as it is made (refused, taken over) keeps doubling them.
        Steady::duration held{};
        {
            std::lock_guard lk(mu_);
            if (connected_at_ != Steady::time_point{}) held = Steady::now() - connected_at_;
            connected_at_ = {};
        }
        if (held >= m.reconnect_max) delay = static_cast<double>(m.reconnect_min.count());
        // A broker that drops the older of two clients with one client id may not say so (no
        // DISCONNECT with a reason): two clients with one id show as connections that keep
        // ending soon after they are made.
        brief = held > Steady::duration{} && held < std::chrono::seconds(30) ? brief + 1 : 0;
        if (brief == 3)
            events_.log("client id", "the broker ended 3 connections in a row within 30 s of accepting them: is another "
                                     "client connected with client_id \"" + m.client_id +
                                         "\" (a second gateway with this client_id)?");
        // Clients that lost the same broker do not all come back in the same second.
        const double wait = delay * shorten(rng);
        events_.log("broker", why + ", retrying in " + seconds(wait));
        std::unique_lock lk(stop_mu_);
        if (stop_cv_.wait_for(lk, std::chrono::duration<double>(wait), [&] { return stop_; })) return;
        delay = std::min(delay * 2, most);
    }
}

void MqttClient::on_connect(mosquitto*, void* self, int rc, int, const mosquitto_property*) {
    auto* c = static_cast<MqttClient*>(self);
    if (rc != 0) {
        c->last_reason_ = "broker " + c->opt_.host + ":" + std::to_string(c->opt_.port) +
                          " refused the connection: " + mosquitto_reason_string(rc);
        return;
    }
    std::vector<char*> topics;
    for (auto& s : c->subscriptions_) topics.push_back(s.data());
    rc = mosquitto_subscribe_multiple(c->mosq_, nullptr, static_cast<int>(topics.size()), topics.data(), 1, 0, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) c->events_.log("broker", std::string("subscribing to the request topics failed: ") + mosquitto_strerror(rc));
    {
        std::lock_guard lk(c->mu_);
        c->connected_at_ = Steady::now();
        c->connected_ = true;
    }
    c->events_.connected();
}

void MqttClient::ended() {
    {
        std::lock_guard lk(mu_);
        connected_ = false;
    }
    published_cv_.notify_all();
    events_.disconnected();
}

void MqttClient::on_disconnect(mosquitto*, void* self, int rc, const mosquitto_property*) {
    auto* c = static_cast<MqttClient*>(self);
    c->ended();
    // A DISCONNECT from the broker carries an MQTT reason code (0x80 and up); below that the
    // code is libmosquitto's own.
    if (rc == MQTT_RC_SESSION_TAKEN_OVER)
        c->last_reason_ = "the broker ended the connection: another client connected with client_id \"" +
                          c->opt_.client_id + "\" (" + mosquitto_reason_string(rc) +
                          "); is a second gateway running with this client_id?";
    else if (rc >= 0x80)
        c->last_reason_ = std::string("the broker ended the connection: ") + mosquitto_reason_string(rc);
}

}  // namespace ipcgw
