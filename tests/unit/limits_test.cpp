// The token bucket that paces session uploads, over a clock passed in: it never lets bytes
// ahead of the cap by more than one burst, a long upload averages the cap, and what is owed or
// given back counts.
#include <gtest/gtest.h>

#include <algorithm>

#include "tolvane/net/limits.h"

namespace {
const uint64_t kMs = 1000000;  // nanoseconds
const uint64_t kSec = 1000 * kMs;
}  // namespace

TEST(Pace, NoCapGrantsEverything) {
    tolvane_pace p;
    tolvane_pace_init(&p, 0, 0);
    EXPECT_EQ(tolvane_pace_grant(&p, 1u << 30, false, 0), 1u << 30);
    tolvane_pace_spend(&p, 1 << 20);
    EXPECT_EQ(tolvane_pace_grant(&p, 5, true, 0), 5u);
}

TEST(Pace, BurstsAndWaits) {
    struct Case {
        uint64_t rate, burst;
    } cases[] = {
        {512 << 10, 32 << 10},  // a sixteenth of a second
        {100 << 10, 16 << 10},  // at least 16 KiB
        {1000, 1000},           // or a second's worth
        {1, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.rate);
        tolvane_pace p;
        tolvane_pace_init(&p, c.rate, 5 * kSec);
        EXPECT_EQ(p.burst, c.burst);
        // Full at the start; then nothing until a whole burst has come back.
        EXPECT_EQ(tolvane_pace_grant(&p, 1u << 30, false, 5 * kSec), c.burst);
        EXPECT_EQ(tolvane_pace_grant(&p, 1u << 30, false, 5 * kSec), 0u);
        uint64_t wait = tolvane_pace_wait_ms(&p, 1u << 30, 5 * kSec);
        uint64_t exact_ns = c.burst * kSec / c.rate;
        EXPECT_EQ(wait, (exact_ns + kMs - 1) / kMs);
        EXPECT_EQ(tolvane_pace_grant(&p, 1u << 30, false, 5 * kSec + exact_ns - kMs), 0u);
        EXPECT_EQ(tolvane_pace_grant(&p, 1u << 30, false, 5 * kSec + wait * kMs), c.burst);
        // A small want goes once that much is there.
        EXPECT_EQ(tolvane_pace_wait_ms(&p, 1, 5 * kSec + wait * kMs),
                  std::max<uint64_t>(1, (kSec / c.rate + kMs - 1) / kMs));
    }
}

TEST(Pace, WholePiecesAndWhatIsOwed) {
    tolvane_pace p;
    tolvane_pace_init(&p, 64 << 10, 0);  // burst 16 KiB
    // A piece that must go whole goes once a burst is there, even when larger, and is owed.
    EXPECT_EQ(tolvane_pace_grant(&p, 20 << 10, true, 0), 20u << 10);
    EXPECT_EQ(tolvane_pace_wait_ms(&p, 4096, 0), 125u);  // 4 KiB owed, 4 KiB wanted
    EXPECT_EQ(tolvane_pace_grant(&p, 4096, true, 62 * kMs), 0u);
    EXPECT_EQ(tolvane_pace_grant(&p, 4096, true, 125 * kMs), 4096u);
    // Frames sent without a grant are owed; bytes given back can be granted again.
    tolvane_pace_spend(&p, 8192);
    EXPECT_EQ(tolvane_pace_grant(&p, 1, false, 125 * kMs), 0u);
    tolvane_pace_spend(&p, -8192);
    tolvane_pace_spend(&p, -(1 << 30));  // never more than a burst
    EXPECT_EQ(tolvane_pace_grant(&p, 1u << 30, false, 125 * kMs), 16u << 10);
}

// An upload paced by the bucket, as the writer drives it: a grant, or a timer for the wait.
// It never runs ahead of the cap by more than a burst, and it averages the cap.
TEST(Pace, ALongUploadAveragesTheCap) {
    for (uint64_t rate : {uint64_t{512} << 10, uint64_t{3} << 20, uint64_t{70000}}) {
        SCOPED_TRACE(rate);
        tolvane_pace p;
        const uint64_t start = 42 * kSec, size = 6 * rate;
        tolvane_pace_init(&p, rate, start);
        uint64_t now = start, sent = 0;
        while (sent < size) {
            tolvane_pace_spend(&p, 49);  // a frame now and then
            uint64_t n = tolvane_pace_grant(&p, std::min<uint64_t>(size - sent, 60000), false, now);
            sent += n;
            double allowed = static_cast<double>(rate) * static_cast<double>(now - start) / 1e9 +
                             static_cast<double>(p.burst);
            ASSERT_LE(static_cast<double>(sent), allowed + 1);
            if (n == 0) now += tolvane_pace_wait_ms(&p, size - sent, now) * kMs;
        }
        double seconds = static_cast<double>(now - start) / 1e9;
        EXPECT_NEAR(seconds, 6.0, 0.3);
    }
}
