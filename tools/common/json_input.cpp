#include "ipctools/json_input.hpp"

#include <unistd.h>

namespace ipctools {
namespace {
struct TooDeep {};
}  // namespace

nlohmann::json parse_json(std::string_view text, const std::string& source, const JsonLimits& limits) {
    if (text.size() > limits.max_bytes)
        throw InputError(source + " is larger than the limit of " + std::to_string(limits.max_bytes) + " bytes");
    // The callback sees every object and array start with the depth of its container; the
    // parser itself keeps its state on the heap, so stopping here bounds every later recursion.
    auto depth_check = [&](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
        if ((event == nlohmann::json::parse_event_t::object_start || event == nlohmann::json::parse_event_t::array_start) &&
            depth >= limits.max_depth)
            throw TooDeep{};
        return true;
    };
    try {
        return nlohmann::json::parse(text, depth_check);
    } catch (const TooDeep&) {
        throw InputError(source + " nests deeper than " + std::to_string(limits.max_depth) + " levels");
    } catch (const nlohmann::json::exception& e) {
        // parse_error, and out_of_range for a number beyond a double (1e999).
        throw InputError(source + " is not JSON: " + e.what());
    }
}

nlohmann::json read_json(const std::string& path, const JsonLimits& limits) {
    if (path.empty() || path == "-")
        return parse_json(read_descriptor(STDIN_FILENO, "standard input", limits.max_bytes), "standard input", limits);
    return parse_json(read_file(path, limits.max_bytes), path, limits);
}

std::string brief(const nlohmann::json& v, size_t max) {
    // Containers are named, not dumped: they may be large.
    if (v.is_array()) return "an array";
    if (v.is_object()) return "an object";
    std::string s = v.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (s.size() > max) s = s.substr(0, max) + "...";
    return s;
}

}  // namespace ipctools
