// Bounds the log lines of one kind: the first few of each interval go out, the rest are counted
// and summed up in one line once the interval is over.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace ipcgw {

class LogLimiter {
public:
    using Clock = std::chrono::steady_clock;
    LogLimiter(size_t per_interval, Clock::duration interval) : per_interval_(per_interval), interval_(interval) {}

    // The lines to write for one line of this kind now: a summary of the previous interval's
    // suppressed lines when there is one, then the line unless the kind is over its budget.
    std::vector<std::string> admit(std::string_view kind, std::string line, Clock::time_point now);
    // Summaries of the intervals over by now (all of them with `all`), for the kinds that
    // suppressed lines in them.
    std::vector<std::string> flush(Clock::time_point now, bool all = false);

private:
    struct Budget {
        Clock::time_point start;
        size_t used = 0;
        size_t suppressed = 0;
    };
    std::string summary(const std::string& kind, Budget& b) const;

    const size_t per_interval_;
    const Clock::duration interval_;
    std::mutex mu_;
    std::map<std::string, Budget, std::less<>> kinds_;
};

}  // namespace ipcgw
