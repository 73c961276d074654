#include "request.hpp"

#include <mosquitto.h>

#include <algorithm>
#include <initializer_list>

#include <ipctools/ptz.hpp>

#include "config.hpp"

namespace ipcgw {
namespace {

using nlohmann::json;

constexpr const char* kOps = "get, set, ptz, preset, snapshot, info";

std::string inQuotes(std::string_view name) { return "\"" + clipUtf8(name, kMaxEchoedName) + "\""; }

std::string checkFields(const json& j, std::initializer_list<const char*> allowed, const std::string& op) {
    for (const auto& item : j.items()) {
        const std::string& k = item.key();
        if (k == "op") continue;
        if (std::none_of(allowed.begin(), allowed.end(), [&](const char* a) { return k == a; }))
            return "unknown field " + inQuotes(k) + " for op " + op;
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

struct TooDeep {};

// Why a response topic cannot take a reply; empty when it can. Within the gateway's own prefix
// only the camera's response topic is allowed: a reply must not overwrite a state, a report or
// the gateway's availability.
std::string checkResponseTopic(std::string_view t, std::string_view prefix, std::string_view fallback) {
    if (t.empty()) return "empty";
    if (t.size() > kMaxResponseTopic) return "longer than " + std::to_string(kMaxResponseTopic) + " bytes";
    // libmosquitto (2.0.11) reads past `len` to finish a multi-byte sequence cut at the end;
    // the terminating NUL of a copy stops it there.
    const std::string terminated(t);
    if (mosquitto_validate_utf8(terminated.c_str(), static_cast<int>(t.size())) != MOSQ_ERR_SUCCESS)
        return "not valid UTF-8 or holds control characters";
    if (mosquitto_pub_topic_check2(t.data(), t.size()) != MOSQ_ERR_SUCCESS) return "holds a wildcard (+ or #)";
    if (t.front() == '$') return "starts with $ (the broker's topics)";
    if (t == fallback) return {};
    if (t == prefix || (t.size() > prefix.size() && t.substr(0, prefix.size()) == prefix && t[prefix.size()] == '/'))
        return "within the gateway's prefix " + std::string(prefix) + "/ (only " + std::string(fallback) + " is)";
    return {};
}

}  // namespace

std::string clipUtf8(std::string_view text, size_t max) {
    if (text.size() <= max) return std::string(text);
    size_t cut = max;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return std::string(text.substr(0, cut)) + "...";
}

std::string printable(std::string_view text, size_t max) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < text.size() && i < max; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    if (text.size() > max) out += "...";
    return out;
}

std::variant<Command, std::string> parseCommand(std::string_view payload, const RequestLimits& limits) {
    if (payload.size() > limits.maxBytes)
        return "request of " + std::to_string(payload.size()) + " bytes: at most " + std::to_string(limits.maxBytes) +
               " (max_request_bytes)";
    // The parser keeps its own stack (it does not recurse); this stops it at the first value
    // nested too deep, before anything copies or walks the tree.
    const int maxDepth = limits.maxDepth;
    auto depthGuard = [maxDepth](int depth, json::parse_event_t event, json&) {
        if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) && depth >= maxDepth)
            throw TooDeep{};
        return true;
    };
    json j;
    try {
        j = json::parse(payload, depthGuard);
    } catch (const json::parse_error& e) {
        return "not JSON: syntax error at byte " + std::to_string(e.byte);
    } catch (const json::out_of_range&) {
        return std::string("not JSON: a number out of range");
    } catch (const json::exception&) {
        return std::string("not JSON");
    } catch (const TooDeep&) {
        return "nested deeper than " + std::to_string(maxDepth) + " levels (max_request_depth)";
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
        // No setting has a longer name; the backend echoes the name it does not know.
        if (c.setting.size() > kMaxEchoedName) return "unknown setting " + inQuotes(c.setting);
        if (c.op == Command::Op::Get) {
            uint32_t count = 1;
            if (err = readUint(j, "count", false, 1, 1024, count); !err.empty()) return err;
            c.count = static_cast<int>(count);
        } else {
            auto r = j.find("record");
            if (r == j.end() || !(r->is_object() || r->is_array()))
                return std::string("\"record\" missing: the record as get prints it (an object, or an array)");
            c.record = std::move(*r);
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
        return "unknown op " + inQuotes(name) + ": one of " + kOps;
    }
    return c;
}

Request parseRequest(const Incoming& in, std::string_view prefix, const RequestLimits& limits) {
    Request r;
    r.correlation.assign(in.correlation.begin(), in.correlation.end());
    constexpr std::string_view kSuffix = "/request";
    const std::string_view t = in.topic;
    // PREFIX/CAMERA/request, CAMERA a camera's name.
    if (t.size() <= prefix.size() + 1 + kSuffix.size() || t.substr(0, prefix.size()) != prefix ||
        t[prefix.size()] != '/' || t.substr(t.size() - kSuffix.size()) != kSuffix ||
        !validCameraName(t.substr(prefix.size() + 1, t.size() - prefix.size() - 1 - kSuffix.size()))) {
        r.command = std::string("not a request topic");
        return r;
    }
    r.replyTopic = std::string(t.substr(0, t.size() - kSuffix.size())) + "/response";
    if (in.responseTopic) {
        r.topicRefused = checkResponseTopic(*in.responseTopic, prefix, r.replyTopic);
        if (!r.topicRefused.empty()) {
            r.command = "response topic refused: " + r.topicRefused;
            return r;
        }
        r.replyTopic = std::string(*in.responseTopic);
    }
    r.command = parseCommand(in.payload, limits);
    return r;
}

}  // namespace ipcgw
