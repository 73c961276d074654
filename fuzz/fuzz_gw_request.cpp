// The gateway's request check. Byte 0: bit 0 a response topic is present, bit 1 the topic is PREFIX/<part>/request,
// bits 2-7 the depth limit less 2; the rest, split at NULs: topic, response topic, correlation, payload. A reply
// goes only to the camera's response topic or a valid one outside the prefix; an accepted command is within the
// limits; a refusal is short valid UTF-8; the correlation comes back.
#include <mosquitto.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "request.hpp"

namespace {

constexpr std::string_view kPrefix = "site";

// The deepest nesting of a JSON value (the payload's size bounds the recursion).
int depth(const nlohmann::json& j) {
    if (!j.is_structured()) return 0;  // a primitive iterates as itself
    int most = 0;
    for (const auto& child : j) most = std::max(most, depth(child));
    return most + 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t flags = data[0];
    std::vector<std::string_view> parts;
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    for (size_t nul; parts.size() < 3 && (nul = rest.find('\0')) != std::string_view::npos; rest.remove_prefix(nul + 1))
        parts.push_back(rest.substr(0, nul));
    parts.push_back(rest);
    parts.resize(4);

    const std::string topic = (flags & 2) ? std::string(kPrefix) + "/" + std::string(parts[0]) + "/request" : std::string(parts[0]);
    ipcgw::Incoming in;
    in.topic = topic;
    if (flags & 1) in.response_topic = parts[1];
    in.correlation = std::span(reinterpret_cast<const uint8_t*>(parts[2].data()), parts[2].size());
    in.payload = parts[3];
    ipcgw::RequestLimits limits;
    limits.max_bytes = 16384;
    limits.max_depth = 2 + (flags >> 2);

    const ipcgw::Request r = ipcgw::parse_request(in, kPrefix, limits);

    if (r.correlation != std::vector<uint8_t>(in.correlation.begin(), in.correlation.end())) __builtin_trap();
    if (r.reply_topic.empty()) {
        if (!std::holds_alternative<std::string>(r.command)) __builtin_trap();
        return 0;
    }
    // PREFIX/CAMERA/request came in: PREFIX/CAMERA/response is the only reply topic within PREFIX.
    const std::string own = topic.substr(0, topic.size() - 8) + "/response";
    const std::string_view t = r.reply_topic;
    if (t != own) {
        if (t.size() > ipcgw::kMaxResponseTopic || t.front() == '$') __builtin_trap();
        if (t == kPrefix || t.substr(0, kPrefix.size() + 1) == std::string(kPrefix) + "/") __builtin_trap();
        if (!in.response_topic || t != *in.response_topic) __builtin_trap();
    }
    if (mosquitto_pub_topic_check2(t.data(), t.size()) != MOSQ_ERR_SUCCESS ||
        mosquitto_validate_utf8(t.data(), static_cast<int>(t.size())) != MOSQ_ERR_SUCCESS)
        __builtin_trap();
    if (!r.topic_refused.empty() && t != own) __builtin_trap();

    if (const auto* c = std::get_if<ipcgw::Command>(&r.command)) {
        if (in.payload.size() > limits.max_bytes) __builtin_trap();
        if (c->setting.size() > ipcgw::kMaxEchoedName) __builtin_trap();
        // The record sits one level below the request's own object.
        if (depth(c->record) + 1 > limits.max_depth) __builtin_trap();
    } else {
        const std::string& err = std::get<std::string>(r.command);
        if (err.empty() || err.size() > 3 * ipcgw::kMaxEchoedName + 200) __builtin_trap();
        (void)nlohmann::json(err).dump();  // invalid UTF-8 throws: the uncaught exception is the finding
    }
    return 0;
}
