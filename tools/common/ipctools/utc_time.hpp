// Times as text, read strictly and written in UTC: ISO 8601 and the form the camera keeps
// beside its clock. Header-only, like input.hpp.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace ipctools {

// "2026-12-05T12:00:00Z", "2026-12-05 12:00:00" (UTC), "2026-12-05T13:00:00+01:00", with or
// without fractional seconds ("12:00:00.123Z", as ipcctl watch prints): seconds since the
// epoch, fractions dropped. The date must exist (no 31 February), the offset be at most 23:59.
inline std::optional<int64_t> parse_utc_time(std::string_view s) {
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

// `seconds` since the epoch in UTC by strftime's `format`.
inline std::string utc_text(int64_t seconds, const char* format) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    return std::string(buf, std::strftime(buf, sizeof buf, format, &tm));
}

// ISO 8601 UTC: "2026-12-05T12:00:00Z".
inline std::string iso_time(int64_t seconds) { return utc_text(seconds, "%Y-%m-%dT%H:%M:%SZ"); }

// ISO 8601 UTC with milliseconds: "2026-12-05T12:00:00.250Z".
inline std::string iso_time(std::chrono::system_clock::time_point t) {
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(t);
    const auto s = floor<seconds>(ms);
    char millis[8];
    std::snprintf(millis, sizeof millis, ".%03dZ", static_cast<int>((ms - s).count()));
    return utc_text(s.time_since_epoch().count(), "%Y-%m-%dT%H:%M:%S") + millis;
}

}  // namespace ipctools
