// JSON from outside the program (files, standard input, messages), read with limits: the
// size is checked before parsing and the nesting depth while parsing, so that neither the
// parser nor anything that walks the value afterwards (dump(), the destructor) can run out of
// memory or stack on hostile input.
#pragma once

#include <cstddef>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "input.hpp"

namespace ipctools {

struct JsonLimits {
    size_t max_bytes = 1 << 20;  // the largest record set as JSON is far below this
    int max_depth = 32;          // records nest five levels deep at most
};

// Parses `text`; `source` names it in messages ("settings.json", "standard input").
// Throws InputError: "SOURCE is larger than the limit of N bytes", "SOURCE nests deeper than
// N levels", "SOURCE is not JSON: ...".
nlohmann::json parse_json(std::string_view text, const std::string& source, const JsonLimits& limits = {});

// A regular file (read_file) or, for "-" or "", standard input, parsed with parse_json.
nlohmann::json read_json(const std::string& path, const JsonLimits& limits = {});

// At most `max` characters of v.dump(), for error messages ("..." when cut).
std::string brief(const nlohmann::json& v, size_t max = 40);

}  // namespace ipctools
