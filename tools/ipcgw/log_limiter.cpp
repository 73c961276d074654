#include "log_limiter.hpp"

namespace ipcgw {

std::string LogLimiter::summary(const std::string& kind, Budget& b) const {
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(interval_).count();
    std::string s = kind + ": " + std::to_string(b.suppressed) + " more line(s) like it suppressed (at most " +
                    std::to_string(per_interval_) + " in " + std::to_string(secs) + " s)";
    b.suppressed = 0;
    return s;
}

std::vector<std::string> LogLimiter::admit(std::string_view kind, std::string line, Clock::time_point now) {
    std::vector<std::string> out;
    std::lock_guard lk(mu_);
    auto it = kinds_.find(kind);
    if (it == kinds_.end()) it = kinds_.emplace(std::string(kind), Budget{now}).first;
    Budget& b = it->second;
    if (now - b.start >= interval_) {
        if (b.suppressed) out.push_back(summary(it->first, b));
        b = Budget{now};
    }
    if (b.used < per_interval_) {
        ++b.used;
        out.push_back(std::move(line));
    } else {
        ++b.suppressed;
    }
    return out;
}

std::vector<std::string> LogLimiter::flush(Clock::time_point now, bool all) {
    std::vector<std::string> out;
    std::lock_guard lk(mu_);
    for (auto& [kind, b] : kinds_)
        if (b.suppressed && (all || now - b.start >= interval_)) out.push_back(summary(kind, b));
    return out;
}

}  // namespace ipcgw
