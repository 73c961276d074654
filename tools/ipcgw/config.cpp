#include "config.hpp"

#include <set>
#include <toml++/toml.h>

#include "ipctools/input.hpp"

namespace ipcgw {
namespace {

constexpr size_t kMaxConfigBytes = 1 << 20;  // a configuration file is read whole, up to this

// Reads one table, refusing keys it does not know (a misspelt key must not be ignored).
class Reader {
public:
    Reader(const toml::table& table, std::string source, std::string path)
        : table_(table), source_(std::move(source)), path_(std::move(path)) {}

    [[noreturn]] void fail(const toml::source_region& where, const std::string& key, const std::string& what) const {
        std::ostringstream os;
        os << source_ << ':' << where.begin.line << ": " << key << ": " << what;
        throw ConfigError(os.str());
    }
    [[noreturn]] void fail(const std::string& key, const std::string& what) const { fail(table_.source(), key, what); }

    std::string full(std::string_view key) const { return path_.empty() ? std::string(key) : path_ + "." + std::string(key); }

    const toml::node* find(std::string_view key) {
        known_.insert(std::string(key));
        return table_.get(key);
    }

    void string(std::string_view key, std::string& out, bool required = false) {
        const toml::node* n = find(key);
        if (!n) {
            if (required) fail(full(key), "missing");
            return;
        }
        auto v = n->value<std::string>();
        if (!n->is_string() || !v) fail(n->source(), full(key), "must be a string");
        out = *v;
    }

    int64_t integer(std::string_view key, int64_t current, int64_t min, int64_t max) {
        const toml::node* n = find(key);
        if (!n) return current;
        if (!n->is_integer()) fail(n->source(), full(key), "must be an integer");
        int64_t v = *n->value<int64_t>();
        if (v < min || v > max)
            fail(n->source(), full(key), "must be between " + std::to_string(min) + " and " + std::to_string(max));
        return v;
    }

    bool boolean(std::string_view key, bool current) {
        const toml::node* n = find(key);
        if (!n) return current;
        if (!n->is_boolean()) fail(n->source(), full(key), "must be true or false");
        return *n->value<bool>();
    }

    void reject_unknown() const {
        for (const auto& [k, v] : table_)
            if (!known_.count(std::string(k.str()))) fail(k.source(), full(k.str()), "unknown key");
    }

    const toml::table& table() const { return table_; }

private:
    const toml::table& table_;
    std::string source_;
    std::string path_;
    std::set<std::string> known_;
};

bool valid_topic_prefix(const std::string& p) {
    if (p.empty() || p.front() == '/' || p.back() == '/') return false;
    return p.find_first_of("+#") == std::string::npos && p.find('\0') == std::string::npos;
}

}  // namespace

bool valid_camera_name(std::string_view name) {
    if (name.empty() || name.size() > 64) return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
            return false;
    return true;
}

Config parse_config(std::string_view text, const std::string& source) {
    toml::table root;
    try {
        root = toml::parse(text, source);
    } catch (const toml::parse_error& e) {
        std::ostringstream os;
        os << source << ':' << e.source().begin.line << ": " << e.description();
        throw ConfigError(os.str());
    }
    Config cfg;
    Reader top(root, source, "");

    const toml::node* mqtt_node = top.find("mqtt");
    if (!mqtt_node || !mqtt_node->is_table()) top.fail(mqtt_node ? mqtt_node->source() : root.source(), "mqtt", "missing table [mqtt]");
    Reader mqtt(*mqtt_node->as_table(), source, "mqtt");
    auto& m = cfg.mqtt;
    mqtt.string("host", m.host);
    m.port = static_cast<uint16_t>(mqtt.integer("port", m.port, 1, 65535));
    mqtt.string("client_id", m.client_id, true);
    if (m.client_id.empty() || m.client_id.size() > 64 || m.client_id.find_first_of("/+#") != std::string::npos)
        mqtt.fail(mqtt.find("client_id")->source(), "mqtt.client_id", "1 to 64 characters without '/', '+' or '#'");
    mqtt.string("prefix", m.prefix);
    if (!valid_topic_prefix(m.prefix))
        mqtt.fail(mqtt.find("prefix")->source(), "mqtt.prefix", "a topic without '+', '#' or a leading or trailing '/'");
    mqtt.string("username", m.username);
    mqtt.string("password", m.password);
    mqtt.string("tls_ca", m.tls_ca);
    m.keepalive = static_cast<int>(mqtt.integer("keepalive", m.keepalive, 5, 65535));
    m.qos = static_cast<int>(mqtt.integer("qos", m.qos, 0, 1));
    m.offline_queue = static_cast<size_t>(mqtt.integer("offline_queue", static_cast<int64_t>(m.offline_queue), 0, 1000000));
    m.reconnect_min = std::chrono::seconds(mqtt.integer("reconnect_min", m.reconnect_min.count(), 1, 3600));
    m.reconnect_max = std::chrono::seconds(mqtt.integer("reconnect_max", m.reconnect_max.count(), 1, 3600));
    if (m.reconnect_max < m.reconnect_min)
        mqtt.fail(mqtt.find("reconnect_max")->source(), "mqtt.reconnect_max", "must not be below reconnect_min");
    mqtt.reject_unknown();

    if (const toml::node* g = top.find("gateway")) {
        if (!g->is_table()) top.fail(g->source(), "gateway", "must be a table");
        Reader gw(*g->as_table(), source, "gateway");
        cfg.gateway.request_queue =
            static_cast<size_t>(gw.integer("request_queue", static_cast<int64_t>(cfg.gateway.request_queue), 1, 100000));
        cfg.gateway.request_queue_bytes = static_cast<size_t>(
            gw.integer("request_queue_bytes", static_cast<int64_t>(cfg.gateway.request_queue_bytes), 1024, 1LL << 30));
        cfg.gateway.workers = static_cast<int>(gw.integer("workers", cfg.gateway.workers, 1, 256));
        cfg.gateway.max_request_bytes = static_cast<size_t>(
            gw.integer("max_request_bytes", static_cast<int64_t>(cfg.gateway.max_request_bytes), 256, 16LL << 20));
        cfg.gateway.max_request_depth = static_cast<int>(gw.integer("max_request_depth", cfg.gateway.max_request_depth, 2, 1000));
        gw.reject_unknown();
    }

    const toml::node* cams = top.find("camera");
    if (!cams) top.fail("camera", "no [[camera]] configured");
    if (!cams->is_array_of_tables()) top.fail(cams->source(), "camera", "must be an array of tables ([[camera]])");
    std::set<std::string> names, addresses;
    const auto& arr = *cams->as_array();
    if (arr.size() > 256) top.fail(cams->source(), "camera", "at most 256 cameras per gateway");
    for (size_t i = 0; i < arr.size(); ++i) {
        Reader c(*arr[i].as_table(), source, "camera[" + std::to_string(i) + "]");
        CameraOptions cam;
        c.string("name", cam.name, true);
        if (!valid_camera_name(cam.name))
            c.fail(c.find("name")->source(), c.full("name"), "letters, digits, '-' and '_' only (1 to 64)");
        if (!names.insert(cam.name).second) c.fail(c.find("name")->source(), c.full("name"), "duplicate name " + cam.name);
        c.string("address", cam.address, true);
        if (!ipctools::parse_ipv4(cam.address))
            c.fail(c.find("address")->source(), c.full("address"), "not an IPv4 address");
        if (!addresses.insert(cam.address).second)
            c.fail(c.find("address")->source(), c.full("address"), "duplicate address " + cam.address);
        c.string("user", cam.user);
        c.string("password", cam.password, true);
        if (c.table().contains("tcp_port")) cam.tcp_port = static_cast<uint16_t>(c.integer("tcp_port", 0, 1, 65535));
        cam.video = c.boolean("video", cam.video);
        // The login record holds 31 characters of each; a longer one would be cut and refused.
        for (const char* key : {"user", "password"})
            if (const std::string& v = key[0] == 'u' ? cam.user : cam.password; v.size() > 31)
                c.fail(c.find(key)->source(), c.full(key), "at most 31 characters");
        c.reject_unknown();
        cfg.cameras.push_back(std::move(cam));
    }
    if (const toml::node* n = top.find("rtsp")) {
        if (!n->is_table()) top.fail(n->source(), "rtsp", "must be a table");
#ifndef IPCGW_RTSP
        top.fail(n->source(), "rtsp", "this ipcgw was built without RTSP (gst-rtsp-server)");
#endif
        Reader r(*n->as_table(), source, "rtsp");
        RtspOptions o;
        r.string("address", o.address);
        if (!ipctools::parse_ipv4(o.address)) r.fail(r.find("address")->source(), "rtsp.address", "not an IPv4 address");
        o.port = static_cast<uint16_t>(r.integer("port", o.port, 1, 65535));
        r.string("host", o.host);
        r.string("user", o.user);
        r.string("password", o.password);
        if (o.user.empty() != o.password.empty()) r.fail("rtsp", "user and password go together");
        r.reject_unknown();
        cfg.rtsp = o;
    }
    top.reject_unknown();
    return cfg;
}

Config load_config(const std::string& path) {
    std::string text;
    try {
        text = ipctools::read_file(path, kMaxConfigBytes);
    } catch (const ipctools::InputError& e) {
        throw ConfigError(e.what());
    }
    return parse_config(text, path);
}

}  // namespace ipcgw
