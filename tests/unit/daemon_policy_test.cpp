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

    // Children of one attempt (started together, or at once after one of them stored): the
    // first one's outcome counts, a later stall of the same attempt changes nothing; anything
    // stored counts whenever it comes, also from an attempt judged earlier.
    const struct {
        int which;  // the attempt, 1, 2 ...: begun in this order
        attempt outcome;
        notice said;
        unsigned int stalls;
    } children[] = {
        {1, attempt::stalled, notice::none, 1},            // two children of attempt 1 fail
        {1, attempt::stalled, notice::none, 1},            //
        {2, attempt::stalled, notice::failing, 2},         // the next tick's fails too
        {3, attempt::stalled, notice::none, 3},            //
        {3, attempt::progress, notice::working_again, 0},  // its other child stored
        {4, attempt::progress, notice::none, 0},           // one stores, then its follow-up
        {4, attempt::stalled, notice::none, 0},            // fails: the attempt stored
        {5, attempt::stalled, notice::none, 1},            // while a long upload of attempt 6
        {7, attempt::stalled, notice::failing, 2},         // runs, two more attempts fail,
        {6, attempt::progress, notice::working_again, 0},  // and then the long one stores
    };
    backoff c;
    int begun = 0;
    int64_t at = 1000;
    for (const auto &k : children) {
        SCOPED_TRACE(&k - children);
        while (begun < k.which) EXPECT_EQ(c.attempt_begin(), static_cast<unsigned>(++begun));
        EXPECT_STREQ(
            name(c.child_ended(static_cast<unsigned>(k.which), k.outcome, at += 5000, least)),
            name(k.said));
        EXPECT_EQ(c.stalls(), k.stalls);
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

TEST(DaemonPolicy, SharesAndMarks) {
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

    // After a failed child: what it said of each file (s stored, k kept, f failed, - nothing)
    // and which files are gone. The failed file is the one put named, else the first it had not
    // finished; it is marked only when put named it and the store took others of the share. A
    // share that stored nothing is a stall.
    const struct {
        const char *said;
        std::vector<bool> gone;
        int failed;  // -1: none
        bool stored, mark;
    } ends[] = {
        {"-", {false}, 0, false, false},                       // ended before it sent anything
        {"---", {false, false, false}, 0, false, false},       //
        {"f--", {false, false, false}, 0, false, false},       // refused, nothing else stored
        {"ssf-", {true, true, false, false}, 2, true, true},   // refused after two stored
        {"ss--", {true, true, false, false}, 2, true, false},  // ended while sending the third
        {"--", {true, true}, -1, true, false},                 // lines lost: the files are gone
        {"s-", {false, false}, 1, true, false},  // stored, but the file was replaced meanwhile
        {"k-f", {false, false, false}, 2, true, true},    // kept counts as stored
        {"kkk", {false, false, false}, -1, true, false},  // a read-only directory
        {"s--", {true, false, false}, 1, true, false},    // the store held file 0 already (409)
        {"f", {true}, -1, true, false},                   // gone all the same
    };
    for (const auto &e : ends) {
        std::vector<file_said> said;
        for (const char *c = e.said; *c != '\0'; c++)
            said.push_back(*c == 's'   ? file_said::stored
                           : *c == 'k' ? file_said::kept
                           : *c == 'f' ? file_said::failed
                                       : file_said::nothing);
        share_verdict v = share_judge(said, e.gone);
        SCOPED_TRACE(e.said);
        EXPECT_EQ(v.failed ? static_cast<int>(*v.failed) : -1, e.failed);
        EXPECT_EQ(v.stored, e.stored);
        EXPECT_EQ(v.mark, e.mark);
    }
}

TEST(DaemonPolicy, ChildrenAreEndedForNoProgressNeverForAge) {
    // A child started at 1000 with a 60 s time-out. Each step: at `at`, progress is seen, or
    // the daemon is asked to stop, or the limit is looked at and says what to do. Without
    // progress for 60 s: SIGTERM, and SIGKILL 5 s later; a stop request: SIGTERM now (if not
    // sent yet) and SIGKILL 5 s later, with no time-out said.
    enum action { look, progress, stop };
    struct step {
        int64_t at;
        action a;
        child_limit::verdict v = child_limit::wait;  // for look; for stop: 1 if SIGTERM is due
    };
    const struct {
        const char *name;
        std::vector<step> steps;
        bool timed_out;
    } cases[] = {
        {"silent",
         {{61000, look},
          {61001, look, child_limit::time_out},
          {61002, look},
          {66001, look},
          {66002, look, child_limit::kill},
          {99000, look}},
         true},
        {"progress pushes the time-out",
         {{50000, progress}, {61001, look}, {110000, look}, {110001, look, child_limit::time_out}},
         true},
        // An hour of a slow upload that says something every 59 s is never ended.
        {"an hour of progress", {}, false},
        {"no progress after a time-out counts",
         {{61001, look, child_limit::time_out},
          {62000, progress},
          {66001, look},
          {66002, look, child_limit::kill}},
         true},
        {"stop while running",
         {{30000, stop, child_limit::verdict(1)},
          {35000, look},
          {35001, look, child_limit::kill},
          {40000, look}},
         false},
        {"stop after the time-out keeps the kill time",
         {{61001, look, child_limit::time_out},
          {63000, stop, child_limit::verdict(0)},
          {66001, look},
          {66002, look, child_limit::kill}},
         true},
        {"stop after the kill",
         {{61001, look, child_limit::time_out},
          {66002, look, child_limit::kill},
          {70000, stop, child_limit::verdict(0)},
          {80000, look}},
         true},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.name);
        std::vector<step> steps = k.steps;
        if (steps.empty()) {
            for (int64_t t = 1000 + 59000; t < 1000 + 3600 * 1000; t += 59000) {
                steps.push_back({t - 1, look});
                steps.push_back({t, progress});
            }
        }
        child_limit limit(1000, 60000);
        bool stopped = false;
        for (const step &s : steps) {
            SCOPED_TRACE(s.at);
            switch (s.a) {
                case look:
                    EXPECT_EQ(limit.check(s.at), s.v);
                    break;
                case progress:
                    limit.progress(s.at);
                    break;
                case stop:
                    EXPECT_EQ(limit.stop(s.at), s.v == 1);
                    stopped = true;
                    break;
            }
        }
        EXPECT_EQ(limit.timed_out(), k.timed_out);
        EXPECT_EQ(limit.stopping(), stopped);
    }
}

TEST(DaemonPolicy, KeptTraceIsReportedOnceThenHourly) {
    const int64_t hour = 3600 * 1000;
    const struct {
        int64_t at;
        bool due;
    } asks[] = {{5000, true},
                {10000, false},
                {5000 + hour - 1, false},
                {5000 + hour, true},
                {5000 + hour + 1, false},
                {9 * hour, true},
                {9 * hour + 5000, false}};
    kept_report r;
    for (const auto &a : asks) EXPECT_EQ(r.due(a.at), a.due) << a.at;
}
