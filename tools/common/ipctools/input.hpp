// Input from outside the program, read strictly: files, IPv4 addresses, decimal numbers and
// UTC times. Header-only and free of other dependencies, so that the simulator uses the same
// rules as ipcctl and the gateway.
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
#include <chrono>
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
inline std::optional<uint64_t> parseDecimal(std::string_view s, uint64_t min = 0, uint64_t max = UINT64_MAX) {
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
inline std::string decimalProblem(std::string_view s, uint64_t min, uint64_t max) {
    if (parseDecimal(s, min, max)) return {};
    std::string range = std::to_string(min) + " to " + std::to_string(max);
    if (s.size() > 1 && s[0] == '0' && s.find_first_not_of("0123456789") == std::string_view::npos)
        return "\"" + std::string(s) + "\" has a leading zero; numbers are decimal (" + range + ")";
    return "\"" + std::string(s) + "\" is not a decimal number from " + range;
}

// The address in host byte order.
inline std::optional<uint32_t> parseIpv4(std::string_view s) {
    uint32_t addr = 0;
    for (int i = 0; i < 4; ++i) {
        size_t end = i < 3 ? s.find('.') : s.size();
        if (end == std::string_view::npos) return std::nullopt;
        auto octet = parseDecimal(s.substr(0, end), 0, 255);
        if (!octet) return std::nullopt;
        addr = addr << 8 | static_cast<uint32_t>(*octet);
        s.remove_prefix(i < 3 ? end + 1 : end);
    }
    return addr;
}

inline std::string ipv4Problem(std::string_view s) {
    if (parseIpv4(s)) return {};
    return "\"" + std::string(s) +
           "\" is not an IPv4 address (four decimal numbers 0 to 255 without leading zeros, e.g. 192.168.1.64)";
}

// ---- words ---------------------------------------------------------------------------------

// Edit distance (insertions, deletions, substitutions, adjacent transpositions).
inline size_t editDistance(std::string_view a, std::string_view b) {
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
    size_t bestDistance = std::max<size_t>(1, word.size() / 3) + 1;
    for (const auto& n : names) {
        std::string_view name(n);
        size_t d = editDistance(word, name);
        if (d < bestDistance) {
            bestDistance = d;
            best = name;
        }
    }
    return best;
}

// ---- times -----------------------------------------------------------------------------------

// "2026-12-05T12:00:00Z", "2026-12-05 12:00:00" (UTC), "2026-12-05T13:00:00+01:00", with or
// without fractional seconds ("12:00:00.123Z", as ipcctl watch prints): seconds since the
// epoch, fractions dropped. The date must exist (no 31 February), the offset be at most 23:59.
inline std::optional<int64_t> parseUtcTime(std::string_view s) {
    auto digits = [&](size_t at, size_t n) -> std::optional<unsigned> {
        if (at + n > s.size()) return std::nullopt;
        unsigned v = 0;
        for (size_t i = at; i < at + n; ++i) {
            if (s[i] < '0' || s[i] > '9') return std::nullopt;
            v = v * 10 + static_cast<unsigned>(s[i] - '0');
        }
        return v;
    };
    auto y = digits(0, 4), mo = digits(5, 2), d = digits(8, 2), h = digits(11, 2), mi = digits(14, 2), sec = digits(17, 2);
    if (!y || !mo || !d || !h || !mi || !sec || s[4] != '-' || s[7] != '-' || (s[10] != 'T' && s[10] != ' ') ||
        s[13] != ':' || s[16] != ':')
        return std::nullopt;
    using namespace std::chrono;
    const year_month_day date{year(static_cast<int>(*y)), month(*mo), day(*d)};
    if (!date.ok() || *h > 23 || *mi > 59 || *sec > 59) return std::nullopt;
    size_t at = 19;
    if (at < s.size() && s[at] == '.') {
        size_t end = at + 1;
        while (end < s.size() && s[end] >= '0' && s[end] <= '9') ++end;
        if (end == at + 1) return std::nullopt;
        at = end;
    }
    int64_t offset = 0;
    std::string_view zone = s.substr(at);
    if (zone == "Z" || zone.empty()) {
    } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':') {
        auto oh = digits(at + 1, 2), om = digits(at + 4, 2);
        if (!oh || !om || *oh > 23 || *om > 59) return std::nullopt;
        offset = (zone[0] == '+' ? 1 : -1) * int64_t(*oh * 3600 + *om * 60);
    } else {
        return std::nullopt;
    }
    const auto t = sys_days(date) + hours(*h) + minutes(*mi) + seconds(*sec);
    return duration_cast<seconds>(t.time_since_epoch()).count() - offset;
}

// ---- files -----------------------------------------------------------------------------------

// Standard input (or another open descriptor) up to maxBytes; `name` names it in messages.
inline std::string readDescriptor(int fd, const std::string& name, size_t maxBytes) {
    std::string data;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw InputError("cannot read " + name + ": " + std::strerror(errno));
        if (n == 0) break;
        if (data.size() + static_cast<size_t>(n) > maxBytes)
            throw InputError(name + " is larger than the limit of " + std::to_string(maxBytes) + " bytes");
        data.append(buf, static_cast<size_t>(n));
    }
    return data;
}

// The contents of a regular file of at most maxBytes (a directory, a device, a FIFO or a
// file that fails to read, such as /proc/self/mem, is refused). Throws InputError.
inline std::string readFile(const std::string& path, size_t maxBytes) {
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
    if (static_cast<uint64_t>(st.st_size) > maxBytes)
        throw InputError(path + " is larger than the limit of " + std::to_string(maxBytes) + " bytes");
    return readDescriptor(fd, path, maxBytes);  // bounded again: the file may grow while read
}

}  // namespace ipctools
