// The token bucket the session writer paces its bytes by.
#include "tolvane/net/limits.h"

#include <algorithm>
#include <cmath>

namespace {
// A sixteenth of a second's worth at once (so about 16 wake-ups a second), but never less than
// 16 KiB or a second's worth, whichever is smaller, so that slow caps still go in useful pieces.
uint64_t burst_for(uint64_t rate) {
    return std::max(rate / 16, std::min<uint64_t>(rate, 16 << 10));
}

double tokens_at(const tolvane_pace *p, uint64_t now) {
    double gained = now > p->stamp
                        ? static_cast<double>(now - p->stamp) * 1e-9 * static_cast<double>(p->rate)
                        : 0;
    return std::min(static_cast<double>(p->burst), p->tokens + gained);
}
}  // namespace

void tolvane_pace_init(tolvane_pace *p, uint64_t rate, uint64_t now) {
    p->rate = rate;
    p->burst = burst_for(rate);
    p->tokens = static_cast<double>(p->burst);
    p->stamp = now;
}

uint64_t tolvane_pace_grant(tolvane_pace *p, uint64_t want, bool whole, uint64_t now) {
    if (p->rate == 0 || want == 0) return want;
    p->tokens = tokens_at(p, now);
    p->stamp = std::max(p->stamp, now);
    if (p->tokens < static_cast<double>(std::min(want, p->burst))) return 0;
    uint64_t n = whole ? want : std::min(want, static_cast<uint64_t>(p->tokens));
    p->tokens -= static_cast<double>(n);
    return n;
}

void tolvane_pace_spend(tolvane_pace *p, int64_t bytes) {
    if (p->rate == 0) return;
    p->tokens = std::min(static_cast<double>(p->burst), p->tokens - static_cast<double>(bytes));
}

uint64_t tolvane_pace_wait_ms(const tolvane_pace *p, uint64_t want, uint64_t now) {
    if (p->rate == 0) return 1;
    double missing = static_cast<double>(std::min(want, p->burst)) - tokens_at(p, now);
    if (missing <= 0) return 1;
    auto ms = static_cast<uint64_t>(std::ceil(missing * 1000 / static_cast<double>(p->rate)));
    return std::max<uint64_t>(ms, 1);
}
