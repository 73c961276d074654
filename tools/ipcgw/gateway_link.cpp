// The gateway's broker connection: libmosquitto's loop on a thread of the gateway's own, which
// connects, and after whatever ended a connection (refused, lost, taken over, never answered)
// reconnects with a doubling delay less a random part, for as long as the gateway runs.
#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

#include "gateway.hpp"
#include "payload.hpp"

namespace ipcgw {
namespace {

using Steady = std::chrono::steady_clock;

std::string describe(int rc, int err) {
    return rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(err)) : std::string(mosquitto_strerror(rc));
}

std::string seconds(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f s", s);
    return buf;
}

}  // namespace

// One connection from its attempt to its end; false when the gateway is stopping. `why` says
// how it ended.
bool Gateway::connectionAttempt(std::string& why) {
    const auto& m = cfg_.mqtt;
    const std::string broker = "broker " + m.host + ":" + std::to_string(m.port);
    lastReason_.clear();
    // connect_async sets the client up (once: it also replaces the socket pair that other
    // threads' publishes wake the loop with); reconnect_async after that.
    int rc = netSetUp_ ? mosquitto_reconnect_async(mosq_)
                       : mosquitto_connect_async(mosq_, m.host.c_str(), m.port, m.keepalive);
    int err = errno;
    if (rc != MOSQ_ERR_INVAL && rc != MOSQ_ERR_NOMEM) netSetUp_ = true;
    if (rc != MOSQ_ERR_SUCCESS) {
        why = broker + " not reachable (" + describe(rc, err) + ")";
        return true;
    }
    const auto attempt = Steady::now();
    for (;;) {
        rc = mosquitto_loop(mosq_, 200, 1);
        err = errno;
        for (auto& line : limiter_.flush(LogLimiter::Clock::now())) log_(line);
        bool up, wasUp;
        {
            std::lock_guard lk(mu_);
            up = connected_;
            wasUp = connectedAt_ != Steady::time_point{};
        }
        {
            std::lock_guard lk(netMu_);
            // Stopping: the loop sends the DISCONNECT, then the socket closes; bounded in case
            // the broker does not take it.
            if (netStop_ && (rc != MOSQ_ERR_SUCCESS || !up || Steady::now() - netStopAt_ > std::chrono::seconds(3)))
                return false;
        }
        if (rc != MOSQ_ERR_SUCCESS) break;
        if (!wasUp && Steady::now() - attempt > std::chrono::seconds(m.keepalive)) {
            why = broker + " did not answer the connection within " + std::to_string(m.keepalive) + " s";
            return true;
        }
    }
    bool wasUp;
    {
        std::lock_guard lk(mu_);
        wasUp = connectedAt_ != Steady::time_point{};
    }
    if (!lastReason_.empty())
        why = lastReason_;
    else if (wasUp)
        why = "broker connection lost (" + describe(rc, err) + ")";
    else
        why = broker + " not reachable (" + describe(rc, err) + ")";
    {
        std::lock_guard lk(mu_);
        connected_ = false;
    }
    publishedCv_.notify_all();
    return true;
}

void Gateway::network() {
    const auto& m = cfg_.mqtt;
    std::mt19937 rng(std::random_device{}());
    std::uniform_real_distribution<double> shorten(0.75, 1.0);
    double delay = static_cast<double>(m.reconnectMin.count());
    const double most = static_cast<double>(m.reconnectMax.count());
    int brief = 0;  // connections in a row that the broker ended soon after accepting them
    for (;;) {
        std::string why;
        if (!connectionAttempt(why)) return;
        // A connection that held for a while starts the delays again from the shortest; one
        // that ends as soon as it is made (refused, taken over) keeps doubling them.
        Steady::duration held{};
        {
            std::lock_guard lk(mu_);
            if (connectedAt_ != Steady::time_point{}) held = Steady::now() - connectedAt_;
            connectedAt_ = {};
        }
        if (held >= m.reconnectMax) delay = static_cast<double>(m.reconnectMin.count());
        // A broker that drops the older of two clients with one client id may not say so (no
        // DISCONNECT with a reason): two gateways with one id show as connections that keep
        // ending soon after they are made.
        brief = held > Steady::duration{} && held < std::chrono::seconds(30) ? brief + 1 : 0;
        if (brief == 3)
            log("client id", "the broker ended 3 connections in a row within 30 s of accepting them: is another client "
                             "connected with client_id \"" + m.clientId + "\" (a second gateway with this client_id)?");
        // Gateways that lost the same broker do not all come back in the same second.
        const double wait = delay * shorten(rng);
        log("broker", why + ", retrying in " + seconds(wait));
        std::unique_lock lk(netMu_);
        if (netCv_.wait_for(lk, std::chrono::duration<double>(wait), [&] { return netStop_; })) return;
        delay = std::min(delay * 2, most);
    }
}

void Gateway::onConnect(mosquitto*, void* self, int rc, int, const mosquitto_property*) {
    auto* g = static_cast<Gateway*>(self);
    if (rc != 0) {
        g->lastReason_ = "broker " + g->cfg_.mqtt.host + ":" + std::to_string(g->cfg_.mqtt.port) +
                         " refused the connection: " + mosquitto_reason_string(rc);
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
    if (rc != MOSQ_ERR_SUCCESS) log("broker", std::string("subscribing to the request topics failed: ") + mosquitto_strerror(rc));

    // Every state first, then what waited, and "online" last: a client that sees "online"
    // sees current states.
    std::lock_guard lk(mu_);
    connectedAt_ = Steady::now();
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
    log("broker", "broker connected" + (flushed ? ", " + std::to_string(flushed) + " queued report(s) sent" : std::string()) +
                      (dropped_ ? ", " + std::to_string(dropped_.load()) + " report(s) dropped so far" : std::string()));
}

void Gateway::onDisconnect(mosquitto*, void* self, int rc, const mosquitto_property*) {
    auto* g = static_cast<Gateway*>(self);
    {
        std::lock_guard lk(g->mu_);
        g->connected_ = false;
    }
    g->publishedCv_.notify_all();
    // A DISCONNECT from the broker carries an MQTT reason code (0x80 and up); below that the
    // code is libmosquitto's own.
    if (rc == MQTT_RC_SESSION_TAKEN_OVER)
        g->lastReason_ = "the broker ended the connection: another client connected with client_id \"" +
                         g->cfg_.mqtt.clientId + "\" (" + mosquitto_reason_string(rc) +
                         "); is a second gateway running with this client_id?";
    else if (rc >= 0x80)
        g->lastReason_ = std::string("the broker ended the connection: ") + mosquitto_reason_string(rc);
}

}  // namespace ipcgw
