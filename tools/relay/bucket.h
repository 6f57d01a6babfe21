// A token bucket: bytes may go at `rate` per second on average, with at most `burst` at once
// after a pause. Time is passed in (nanoseconds on any monotonic clock), so it is exact and the
// caller decides when to look again.
#pragma once

#include <algorithm>
#include <cstdint>

namespace relay {

class Bucket {
   public:
    // rate 0: unlimited.
    Bucket(uint64_t rate, uint64_t burst, uint64_t now)
        : rate_(rate), burst_(static_cast<double>(burst)), tokens_(burst_), last_(now) {}

    bool unlimited() const { return rate_ == 0; }
    // Bytes that may go now.
    uint64_t available(uint64_t now) {
        refill(now);
        return static_cast<uint64_t>(tokens_);
    }
    void take(uint64_t n) { tokens_ -= static_cast<double>(n); }
    // Nanoseconds from now until n bytes (at most the burst) may go.
    uint64_t wait(uint64_t n, uint64_t now) {
        refill(now);
        double missing = std::min(static_cast<double>(n), burst_) - tokens_;
        if (missing <= 0) return 0;
        return static_cast<uint64_t>(missing * 1e9 / static_cast<double>(rate_)) + 1;
    }

   private:
    void refill(uint64_t now) {
        if (now <= last_) return;
        tokens_ = std::min(
            burst_, tokens_ + static_cast<double>(now - last_) * static_cast<double>(rate_) / 1e9);
        last_ = now;
    }
    uint64_t rate_;
    double burst_;
    double tokens_;
    uint64_t last_;
};

}  // namespace relay
