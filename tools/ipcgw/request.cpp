#include "request.hpp"

#include <mosquitto.h>

#include <algorithm>

#include <ipctools/ptz.hpp>

#include "config.hpp"

namespace ipcgw {
namespace {

using nlohmann::json;

std::string in_quotes(std::string_view name) {
    std::string quoted = "\"";
    quoted += clip_utf8(name, kMaxEchoedName);
    quoted += '"';
    return quoted;
}

// An unsigned integer field within [min, max]; empty text when it is fine.
std::string read_uint(const json& j, const char* key, bool required, uint32_t min, uint32_t max, uint32_t& out) {
    auto it = j.find(key);
    if (it == j.end()) return required ? std::string("\"") + key + "\" missing" : std::string();
    if (!it->is_number_integer() || it->get<int64_t>() < min || it->get<int64_t>() > max)
        return std::string("\"") + key + "\" must be an integer from " + std::to_string(min) + " to " + std::to_string(max);
    out = static_cast<uint32_t>(it->get<int64_t>());
    return {};
}

// The readers of each op's fields (named in the request already checked); empty text when
// the fields are fine.
std::string read_setting(const json& j, Command& c) {
    auto s = j.find("setting");
    if (s == j.end() || !s->is_string() || s->get<std::string>().empty())
        return "\"setting\" missing: a setting name such as \"video-param\"";
    c.setting = s->get<std::string>();
    // No setting has a longer name; the backend echoes the name it does not know.
    if (c.setting.size() > kMaxEchoedName) return "unknown setting " + in_quotes(c.setting);
    return {};
}

std::string read_get(json& j, Command& c) {
    uint32_t count = 1;
    std::string err = read_setting(j, c);
    if (err.empty()) err = read_uint(j, "count", false, 1, 1024, count);
    c.count = static_cast<int>(count);
    return err;
}

std::string read_set(json& j, Command& c) {
    if (auto err = read_setting(j, c); !err.empty()) return err;
    auto r = j.find("record");
    if (r == j.end() || !(r->is_object() || r->is_array()))
        return "\"record\" missing: the record as get prints it (an object, or an array)";
    c.record = std::move(*r);
    return {};
}

std::string read_ptz(json& j, Command& c) {
    auto a = j.find("action");
    if (a == j.end() || !a->is_string() ||
        (*a != "position" && std::none_of(std::begin(ipctools::kPtzMotions), std::end(ipctools::kPtzMotions),
                                          [&](const auto& m) { return *a == m.first; })))
        return "\"action\" must be one of up, down, left, right, zoom-in, zoom-out, stop, position";
    c.action = a->get<std::string>();
    if (c.action == "position" && j.contains("step")) return "\"step\" does not go with position";
    return read_uint(j, "step", false, 0, 0xFFFFFFFFu, c.value);
}

std::string read_preset(json& j, Command& c) {
    auto a = j.find("action");
    if (a == j.end() || !a->is_string() ||
        std::none_of(std::begin(ipctools::kPresetOperations), std::end(ipctools::kPresetOperations),
                     [&](const auto& o) { return *a == o.first; }))
        return "\"action\" must be one of store, goto, clear";
    c.action = a->get<std::string>();
    return read_uint(j, "number", true, 1, 255, c.value);
}

std::string read_snapshot(json&, Command&) { return {}; }
std::string read_info(json&, Command&) { return {}; }

struct TooDeep {};

// Why a response topic cannot take a reply; empty when it can. Within the gateway's own prefix
// only the camera's response topic is allowed: a reply must not overwrite a state, a report or
// the gateway's availability.
std::string check_response_topic(std::string_view t, std::string_view prefix, std::string_view fallback) {
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

std::string clip_utf8(std::string_view text, size_t max) {
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

std::variant<Command, std::string> parse_command(std::string_view payload, const RequestLimits& limits) {
    if (payload.size() > limits.max_bytes)
        return "request of " + std::to_string(payload.size()) + " bytes: at most " + std::to_string(limits.max_bytes) +
               " (max_request_bytes)";
    // The parser keeps its own stack (it does not recurse); this stops it at the first value
    // nested too deep, before anything copies or walks the tree.
    const int max_depth = limits.max_depth;
    auto depth_guard = [max_depth](int depth, json::parse_event_t event, json&) {
        if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) && depth >= max_depth)
            throw TooDeep{};
        return true;
    };
    json j;
    try {
        j = json::parse(payload, depth_guard);
    } catch (const json::parse_error& e) {
        return "not JSON: syntax error at byte " + std::to_string(e.byte);
    } catch (const json::out_of_range&) {
        return std::string("not JSON: a number out of range");
    } catch (const json::exception&) {
        return std::string("not JSON");
    } catch (const TooDeep&) {
        return "nested deeper than " + std::to_string(max_depth) + " levels (max_request_depth)";
    }
    if (!j.is_object()) return std::string("a request is a JSON object with \"op\"");
    auto op = j.find("op");
    if (op == j.end() || !op->is_string()) return "\"op\" missing: one of " + op_names();
    const std::string name = op->get<std::string>();
    const auto spec = std::find_if(std::begin(kOps), std::end(kOps), [&](const OpSpec& o) { return o.name == name; });
    if (spec == std::end(kOps)) return "unknown op " + in_quotes(name) + ": one of " + op_names();
    for (const auto& item : j.items()) {
        const std::string& k = item.key();
        if (k != "op" && std::find(spec->fields.begin(), spec->fields.end(), k) == spec->fields.end())
            return "unknown field " + in_quotes(k) + " for op " + name;
    }
    using Reader = std::string (*)(json&, Command&);
    static constexpr Reader kReaders[] = {
#define IPCGW_OP_READER(name, ...) &read_##name,
        IPCGW_OPS(IPCGW_OP_READER)
#undef IPCGW_OP_READER
    };
    Command c;
    c.op = spec->op;
    if (auto err = kReaders[static_cast<size_t>(c.op)](j, c); !err.empty()) return err;
    return c;
}

Request parse_request(const Incoming& in, std::string_view prefix, const RequestLimits& limits) {
    Request r;
    r.correlation.assign(in.correlation.begin(), in.correlation.end());
    constexpr std::string_view suffix = "/request";
    const std::string_view t = in.topic;
    // PREFIX/CAMERA/request, CAMERA a camera's name.
    if (t.size() <= prefix.size() + 1 + suffix.size() || t.substr(0, prefix.size()) != prefix ||
        t[prefix.size()] != '/' || t.substr(t.size() - suffix.size()) != suffix ||
        !valid_camera_name(t.substr(prefix.size() + 1, t.size() - prefix.size() - 1 - suffix.size()))) {
        r.command = std::string("not a request topic");
        return r;
    }
    r.reply_topic = std::string(t.substr(0, t.size() - suffix.size())) + "/response";
    if (in.response_topic) {
        r.topic_refused = check_response_topic(*in.response_topic, prefix, r.reply_topic);
        if (!r.topic_refused.empty()) {
            r.command = "response topic refused: " + r.topic_refused;
            return r;
        }
        r.reply_topic = std::string(*in.response_topic);
    }
    r.command = parse_command(in.payload, limits);
    return r;
}

}  // namespace ipcgw
