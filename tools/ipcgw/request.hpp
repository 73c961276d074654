// A request as it arrives from the broker, checked without the broker: its size and nesting
// before and while it is parsed, its body, and the topic its reply may go to.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "backend.hpp"

namespace ipcgw {

struct RequestLimits {
    size_t max_bytes = 64 * 1024;   // larger requests are refused unparsed
    int max_depth = 32;             // nesting of objects and arrays, the request's own object included
};

// The longest response topic a reply goes to, and the longest name a reply echoes.
inline constexpr size_t kMaxResponseTopic = 256;
inline constexpr size_t kMaxEchoedName = 64;
// The longest error text a reply carries.
inline constexpr size_t kMaxErrorText = 512;

struct Incoming {
    std::string_view topic;                          // PREFIX/CAMERA/request
    std::string_view payload;
    std::optional<std::string_view> response_topic;  // the MQTT 5 property, when present
    std::span<const uint8_t> correlation;
};

struct Request {
    std::variant<Command, std::string> command;      // the command, or why it is refused
    std::string reply_topic;                         // empty: the topic is not a request topic
    std::vector<uint8_t> correlation;
    std::string topic_refused;                       // why the response topic was not used
};

// Checks one request for the gateway with this topic prefix. A refused response topic refuses
// the request too, and its reply goes to PREFIX/CAMERA/response instead.
Request parse_request(const Incoming& in, std::string_view prefix, const RequestLimits& limits);

// Checks a request body: the command, or the text of what is wrong with it.
std::variant<Command, std::string> parse_command(std::string_view payload, const RequestLimits& limits = {});

// At most `max` bytes of UTF-8 text, cut at a character boundary, "..." marking a cut.
std::string clip_utf8(std::string_view text, size_t max);
// Text for a log line: printable ASCII, anything else as \xNN, at most `max` bytes of input.
std::string printable(std::string_view text, size_t max = kMaxEchoedName);

}  // namespace ipcgw
