// Requests to a side that takes at most so many a second: each start waits
// until the interval since the one before has passed.
#pragma once

#include <chrono>
#include <optional>
#include <thread>

namespace scb {

class Pacer {
public:
    // At most `per_second` starts in any one second, spaced evenly; 0 (or
    // less) never waits.
    explicit Pacer(int per_second = 0) noexcept : interval_(interval_of(per_second)) {}

    // Returns when this start's turn has come, and counts it as started.
    void wait_turn() {
        if (last_start_) {
            std::this_thread::sleep_until(*last_start_ + interval_);
        }
        last_start_ = Clock::now();
    }

private:
    using Clock = std::chrono::steady_clock;

    // Rounded up, so that N intervals never add up to less than a second.
    static std::chrono::nanoseconds interval_of(int per_second) noexcept {
        if (per_second <= 0) {
            return std::chrono::nanoseconds::zero();
        }
        const std::chrono::nanoseconds second = std::chrono::seconds(1);
        return (second + std::chrono::nanoseconds(per_second - 1)) / per_second;
    }

    std::chrono::nanoseconds interval_;
    std::optional<Clock::time_point> last_start_;
};

}  // namespace scb
