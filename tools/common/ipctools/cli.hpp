// CLI11 validators for the input rules of input.hpp. CLI11's own number conversion reads a
// leading 0 as octal ("05002" as 2562) and 0x as hexadecimal; options that take numbers check
// them here first, so that what reaches the conversion is plain decimal.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>

#include "input.hpp"

namespace ipctools::cli {

inline CLI::Validator decimal(uint64_t min, uint64_t max) {
    return CLI::Validator([=](std::string& s) { return decimal_problem(s, min, max); },
                          "decimal " + std::to_string(min) + ".." + std::to_string(max), "decimal");
}

inline const CLI::Validator ipv4{[](std::string& s) { return ipv4_problem(s); }, "IPv4", "ipv4"};

// At most `max` bytes (the fixed-size text fields of the login record).
inline CLI::Validator max_length(size_t max) {
    return CLI::Validator(
        [=](std::string& s) {
            return s.size() <= max ? std::string() : "at most " + std::to_string(max) + " characters, got " + std::to_string(s.size());
        },
        "", "length");
}

}  // namespace ipctools::cli
