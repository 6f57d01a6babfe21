// The daemon's upload policy over a fake clock: times are plain milliseconds, ticks 5 s apart,
// and the jitter source is pinned to its least or its greatest draw.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "commands/daemon/policy.h"

using namespace tolvane_daemon;

namespace {
const int64_t kTick = 5000;

uint32_t asked;  // the bound the policy last asked the jitter source for
uint32_t least(uint32_t bound) {
    asked = bound;
    return 0;
}
uint32_t greatest(uint32_t bound) {
    asked = bound;
    return bound - 1;
}

const char *name(notice n) {
    return n == notice::failing ? "failing" : n == notice::working_again ? "working again" : "-";
}
}  // namespace

TEST(DaemonPolicy, BackOffOverAFakeClock) {
    // The wait after n stalls in a row: none after the first, 10 s doubling to 5 minutes, and
    // within 20 % either way.
    const struct {
        unsigned int stalls;
        int64_t base;
    } waits[] = {{0, 0},       {1, 0},       {2, 10000},   {3, 20000},
                 {4, 40000},   {5, 80000},   {6, 160000},  {7, 300000},
                 {17, 300000}, {18, 300000}, {19, 300000}, {4000000000u, 300000}};
    for (const auto &w : waits) {
        asked = 0;
        EXPECT_EQ(backoff_ms(w.stalls, least), w.base * 8 / 10) << w.stalls;
        EXPECT_EQ(backoff_ms(w.stalls, greatest), w.base * 12 / 10) << w.stalls;
        if (w.stalls >= 2) {
            EXPECT_EQ(asked, 401u) << "0.8 to 1.2 in steps of 0.001";
        }
    }

    // One list over time, with the least jitter. At each tick (`at`) the list waits or makes an
    // attempt that ends at `ends` with `outcome`; what is said comes back. Waits run from the end
    // of an attempt and end at the tick nearest to them.
    const struct {
        int64_t at;
        bool waits;
        attempt outcome = attempt::not_started;
        int64_t ends = 0;
        notice said = notice::none;
        bool backing_off = false;
    } steps[] = {
        {5000, false, attempt::stalled, 6000, notice::none, false},      // the next tick
        {10000, false, attempt::stalled, 11000, notice::failing, true},  // 8 s: until 19000
        {15000, true},
        {20000, false, attempt::stalled, 21000, notice::none, true},  // 16 s: until 37000
        {30000, true},
        {35000, false, attempt::stalled, 36000, notice::none, true},  // 32 s: until 68000
        {65000, true},
        {70000, false, attempt::stalled, 100000, notice::none, true},  // 64 s: until 164000
        {160000, true},
        {165000, false, attempt::not_started, 165000, notice::none, true},   // nothing changes
        {170000, false, attempt::refused_only, 171000, notice::none, true},  // not a stall
        {175000, false, attempt::progress, 176000, notice::working_again, false},
        {180000, false, attempt::stalled, 181000, notice::none, false},  // reset: the next tick
        {185000, false, attempt::progress, 186000, notice::none, false},
        {190000, false, attempt::stalled, 191000, notice::none, false},
        {195000, false, attempt::stalled, 196000, notice::failing, true},  // a new outage
    };
    backoff b;
    EXPECT_FALSE(b.waits(0, kTick));
    for (const auto &s : steps) {
        SCOPED_TRACE("tick at " + std::to_string(s.at));
        ASSERT_EQ(b.waits(s.at, kTick), s.waits);
        if (s.waits) continue;
        notice said = b.attempt_ended(s.outcome, s.ends, least);
        EXPECT_STREQ(name(said), name(s.said));
        EXPECT_EQ(b.backing_off(), s.backing_off);
    }

    // Marked traces alone: offered at once the first time, then every 5 minutes from the end of
    // the attempt, at the nearest tick; that never holds the unmarked ones back.
    backoff m;
    EXPECT_FALSE(m.marked_waits(0, kTick));
    m.attempt_ended(attempt::refused_only, 12000, least);
    EXPECT_FALSE(m.waits(15000, kTick));
    EXPECT_FALSE(m.backing_off());
    const struct {
        int64_t at;
        bool waits;
    } marked[] = {{15000, true}, {305000, true}, {309499, true}, {309500, false}, {310000, false}};
    for (const auto &s : marked) EXPECT_EQ(m.marked_waits(s.at, kTick), s.waits) << s.at;
}

TEST(DaemonPolicy, SharesMarksAndTheChildTimeOut) {
    // Order: unmarked first, then marked, each newest first as listed.
    struct entry {
        int id;
        bool refused;
    } listed[] = {{0, true}, {1, false}, {2, true}, {3, false}, {4, false}};
    std::vector<entry *> ready;
    for (auto &e : listed) ready.push_back(&e);
    offer_order(ready);
    std::string order;
    for (const entry *e : ready) order += std::to_string(e->id);
    EXPECT_EQ(order, "13402");

    // A share: at most 1,024 files, and 512 KiB of argument bytes with the fixed words; a path
    // costs its bytes, its null and its vector slot. The first file goes whatever its size.
    const size_t slot = 1 + sizeof(char *);
    const struct {
        size_t fixed, length, offered, taken;
    } shares[] = {
        {300, 10, 3000, 1024},         // the file count binds
        {0, 1024 - slot, 600, 512},    // exactly 512 KiB fits
        {1, 1024 - slot, 600, 511},    // one byte more does not
        {300, 4096 - slot, 200, 127},  // (524288 - 300) / 4096
        {kChildArgBytes, 10, 5, 1},    // the fixed words alone fill it
        {300, 600 * 1024, 3, 1},       // one path over the limit
    };
    for (const auto &s : shares) {
        share_budget budget(s.fixed);
        size_t taken = 0;
        while (taken < s.offered && budget.take(s.length)) taken++;
        EXPECT_EQ(taken, s.taken) << s.fixed << " + " << s.offered << " x " << s.length;
    }

    // After a failed child: the first file of its share still there is the one put failed on; it
    // is marked when the store took others of the share, and a share that stored nothing is a
    // stall.
    const struct {
        std::vector<bool> gone;
        int failed;  // -1: none
        bool stored, mark;
    } ends[] = {
        {{false}, 0, false, false},
        {{false, false, false}, 0, false, false},
        {{true, true, false, false}, 2, true, true},
        {{true, true}, -1, true, false},
        {{false, true}, 0, true, true},
    };
    for (const auto &e : ends) {
        share_verdict v = share_judge(e.gone);
        EXPECT_EQ(v.failed ? static_cast<int>(*v.failed) : -1, e.failed);
        EXPECT_EQ(v.stored, e.stored);
        EXPECT_EQ(v.mark, e.mark);
    }

    // A child started at 1000 with a 60 s limit; a stop request gives it 5 s from then, even
    // past its own limit, and its end is then not a time-out.
    const struct {
        int64_t stop_at;  // 0: no stop request
        int64_t at;
        child_limit::verdict v;
    } checks[] = {
        {0, 1000, child_limit::wait},
        {0, 61000, child_limit::wait},
        {0, 61001, child_limit::timed_out},
        {30000, 35000, child_limit::wait},
        {30000, 35001, child_limit::grace_over},
        {60000, 64000, child_limit::wait},
        {60000, 65001, child_limit::grace_over},
    };
    for (const auto &c : checks) {
        child_limit limit(1000, 60000);
        if (c.stop_at != 0) limit.stop(c.stop_at);
        EXPECT_EQ(limit.stopping(), c.stop_at != 0);
        EXPECT_EQ(limit.check(c.at), c.v) << c.stop_at << " " << c.at;
    }
}
