#include "mqtt_peer.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

namespace gwtest {
namespace {

bool accepts(const std::string& ip, uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip.c_str(), &a.sin_addr);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

}  // namespace

pid_t spawn(const std::vector<std::string>& args, const std::string& log_path) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int fd = open(log_path.c_str(), O_CREAT | O_WRONLY | O_APPEND, 0600);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fd, 1);
        dup2(fd, 2);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fd);
    return pid;
}

int wait_exit(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Broker::Broker(std::string ip, uint16_t port, std::string dir) : ip_(std::move(ip)), port_(port), dir_(std::move(dir)) {}
Broker::~Broker() { stop(); }

bool Broker::start(bool anonymous) {
    const std::string conf = dir_ + "/mosquitto-" + std::to_string(port_) + ".conf";
    {
        std::ofstream out(conf);
        out << "listener " << port_ << ' ' << ip_ << "\n"
            << "allow_anonymous " << (anonymous ? "true" : "false") << "\npersistence false\nlog_dest stderr\nset_tcp_nodelay true\n";
        if (getuid() == 0) out << "user root\n";
    }
    pid_ = spawn({"/usr/sbin/mosquitto", "-c", conf}, dir_ + "/mosquitto.log");
    for (int i = 0; i < 500; ++i) {
        if (accepts(ip_, port_)) return true;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

void Broker::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    wait_exit(pid_);
    pid_ = -1;
}

Client::Client(const std::string& id, std::string broker_ip, uint16_t port) : ip_(std::move(broker_ip)), port_(port) {
    mosquitto_lib_init();
    mosq_ = mosquitto_new(id.c_str(), true, this);
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_v5_callback_set(mosq_, [](mosquitto*, void* self, int rc, int, const mosquitto_property*) {
        auto* c = static_cast<Client*>(self);
        std::lock_guard lk(c->mu_);
        c->connected_ = rc == 0;
        c->cv_.notify_all();
    });
    mosquitto_subscribe_v5_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*, const mosquitto_property*) {
        auto* c = static_cast<Client*>(self);
        std::lock_guard lk(c->mu_);
        ++c->acked_;
        c->cv_.notify_all();
    });
    mosquitto_message_v5_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m,
                                                 const mosquitto_property* props) {
        auto* c = static_cast<Client*>(self);
        Message msg;
        msg.topic = m->topic;
        msg.payload.assign(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen));
        msg.retain = m->retain;
        msg.arrived = std::chrono::steady_clock::now();
        void* corr = nullptr;
        uint16_t len = 0;
        if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &corr, &len, false)) {
            msg.correlation.assign(static_cast<const char*>(corr), len);
            free(corr);
        }
        std::lock_guard lk(c->mu_);
        c->got_.push_back(std::move(msg));
        c->cv_.notify_all();
    });
}

Client::~Client() {
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
    mosquitto_lib_cleanup();
}

bool Client::connect() {
    if (mosquitto_connect(mosq_, ip_.c_str(), port_, 30) != MOSQ_ERR_SUCCESS) return false;
    mosquitto_loop_start(mosq_);
    std::unique_lock lk(mu_);
    return cv_.wait_for(lk, 10s, [&] { return connected_; });
}

bool Client::subscribe(const std::string& pattern) {
    int before;
    {
        std::lock_guard lk(mu_);
        before = acked_;
    }
    if (mosquitto_subscribe_v5(mosq_, nullptr, pattern.c_str(), 1, MQTT_SUB_OPT_RETAIN_AS_PUBLISHED, nullptr) != MOSQ_ERR_SUCCESS) return false;
    std::unique_lock lk(mu_);
    return cv_.wait_for(lk, 10s, [&] { return acked_ > before; });
}

void Client::publish(const std::string& topic, const std::string& payload, const std::string& response_topic,
                     const std::string& correlation) {
    mosquitto_property* props = nullptr;
    if (!response_topic.empty()) mosquitto_property_add_string(&props, MQTT_PROP_RESPONSE_TOPIC, response_topic.c_str());
    if (!correlation.empty())
        mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                      static_cast<uint16_t>(correlation.size()));
    mosquitto_publish_v5(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1, false,
                         props);
    mosquitto_property_free_all(&props);
}

std::optional<Message> Client::wait(const std::function<bool(const Message&)>& match,
                                    std::chrono::milliseconds timeout) {
    std::unique_lock lk(mu_);
    std::optional<Message> found;
    cv_.wait_for(lk, timeout, [&] {
        for (const auto& m : got_)
            if (match(m)) {
                found = m;
                return true;
            }
        return false;
    });
    return found;
}

std::optional<Message> Client::wait_topic(const std::string& topic, std::chrono::milliseconds timeout) {
    return wait([&](const Message& m) { return m.topic == topic; }, timeout);
}

std::optional<Message> Client::wait_json(const std::string& topic, const std::string& key,
                                        const nlohmann::json& value, std::chrono::milliseconds timeout) {
    return wait(
        [&](const Message& m) {
            if (m.topic != topic) return false;
            auto j = m.json();
            return j.is_object() && j.contains(key) && j[key] == value;
        },
        timeout);
}

std::vector<Message> Client::messages() {
    std::lock_guard lk(mu_);
    return got_;
}

size_t Client::count() {
    std::lock_guard lk(mu_);
    return got_.size();
}

void Client::clear() {
    std::lock_guard lk(mu_);
    got_.clear();
}

}  // namespace gwtest
