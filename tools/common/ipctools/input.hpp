// Input from outside the program, read strictly: files, IPv4 addresses and decimal numbers.
// Header-only and free of other dependencies, so that the simulator uses the same rules as
// ipcctl and the gateway.
//
// Addresses are dotted quads of four decimal octets 0 to 255 without leading zeros: the C
// library's inet_addr would read "127.000.077.002" as octal, "1.2.3" as 1.2.0.3 and "foo" as
// nothing at all, each a different camera than the one meant. Numbers are decimal digits only,
// without sign or leading zeros ("010" is refused rather than read as 8 or as 10).
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace ipctools {

// A problem with input from outside; what() is a complete message naming the input.
class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// ---- numbers and addresses ---------------------------------------------------------------

// Decimal digits, no sign, no leading zero (except "0" itself), value min..max.
inline std::optional<uint64_t> parse_decimal(std::string_view s, uint64_t min = 0, uint64_t max = UINT64_MAX) {
    if (s.empty() || s.size() > 20 || (s.size() > 1 && s[0] == '0')) return std::nullopt;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        const uint64_t d = static_cast<uint64_t>(c - '0');
        if (v > (UINT64_MAX - d) / 10) return std::nullopt;
        v = v * 10 + d;
    }
    if (v < min || v > max) return std::nullopt;
    return v;
}

// Why `s` is not a decimal number from min to max, as a message; empty when it is one.
inline std::string decimal_problem(std::string_view s, uint64_t min, uint64_t max) {
    if (parse_decimal(s, min, max)) return {};
    std::string range = std::to_string(min) + " to " + std::to_string(max);
    if (s.size() > 1 && s[0] == '0' && s.find_first_not_of("0123456789") == std::string_view::npos)
        return "\"" + std::string(s) + "\" has a leading zero; numbers are decimal (" + range + ")";
    return "\"" + std::string(s) + "\" is not a decimal number from " + range;
}

// The address in host byte order.
inline std::optional<uint32_t> parse_ipv4(std::string_view s) {
    uint32_t addr = 0;
    for (int i = 0; i < 4; ++i) {
        size_t end = i < 3 ? s.find('.') : s.size();
        if (end == std::string_view::npos) return std::nullopt;
        auto octet = parse_decimal(s.substr(0, end), 0, 255);
        if (!octet) return std::nullopt;
        addr = addr << 8 | static_cast<uint32_t>(*octet);
        s.remove_prefix(i < 3 ? end + 1 : end);
    }
    return addr;
}

inline std::string ipv4_problem(std::string_view s) {
    if (parse_ipv4(s)) return {};
    return "\"" + std::string(s) +
           "\" is not an IPv4 address (four decimal numbers 0 to 255 without leading zeros, e.g. 192.168.1.64)";
}

// ---- words ---------------------------------------------------------------------------------

// Edit distance (insertions, deletions, substitutions, adjacent transpositions).
inline size_t edit_distance(std::string_view a, std::string_view b) {
    if (a.size() > 64 || b.size() > 64) return SIZE_MAX;
    size_t d[65][65];
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i)
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t best = std::min(d[i - 1][j] + 1, d[i][j - 1] + 1);
            best = std::min(best, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1));
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) best = std::min(best, d[i - 2][j - 2] + 1);
            d[i][j] = best;
        }
    return d[a.size()][b.size()];
}

// The candidate closest to `word` when it is close enough to be a likely typo (at most a
// third of its letters wrong), else empty. `names` is any range of things convertible to
// std::string_view.
template <class Names>
std::string closest(std::string_view word, const Names& names) {
    std::string best;
    size_t best_distance = std::max<size_t>(1, word.size() / 3) + 1;
    for (const auto& n : names) {
        std::string_view name(n);
        size_t d = edit_distance(word, name);
        if (d < best_distance) {
            best_distance = d;
            best = name;
        }
    }
    return best;
}

// ---- files -----------------------------------------------------------------------------------

// Standard input (or another open descriptor) up to max_bytes; `name` names it in messages.
inline std::string read_descriptor(int fd, const std::string& name, size_t max_bytes) {
    std::string data;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw InputError("cannot read " + name + ": " + std::strerror(errno));
        if (n == 0) break;
        if (data.size() + static_cast<size_t>(n) > max_bytes)
            throw InputError(name + " is larger than the limit of " + std::to_string(max_bytes) + " bytes");
        data.append(buf, static_cast<size_t>(n));
    }
    return data;
}

// The contents of a regular file of at most max_bytes (a directory, a device, a FIFO or a
// file that fails to read, such as /proc/self/mem, is refused). Throws InputError.
inline std::string read_file(const std::string& path, size_t max_bytes) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) throw InputError("cannot open " + path + ": " + std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) throw InputError("cannot read " + path + ": " + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) throw InputError(path + " is a directory, not a file");
    if (!S_ISREG(st.st_mode)) throw InputError(path + " is not a regular file");
    if (static_cast<uint64_t>(st.st_size) > max_bytes)
        throw InputError(path + " is larger than the limit of " + std::to_string(max_bytes) + " bytes");
    return read_descriptor(fd, path, max_bytes);  // bounded again: the file may grow while read
}

}  // namespace ipctools
