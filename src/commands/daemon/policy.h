// The daemon's upload policy: which listed traces a child gets and in what order, when a list
// whose attempt stored nothing is offered again, which trace is marked, and when a child is
// ended. It does no I/O and reads no clock: times (monotonic milliseconds) and the random
// source for the jitter are arguments, so every rule can be tried over a fake clock.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tolvane_daemon {

// One child's share of a list: few enough files that put never runs out of mappings, and few
// enough argument bytes to stay well inside the system's limit for a command line.
inline constexpr size_t kChildFiles = 1024;
inline constexpr size_t kChildArgBytes = 512 * 1024;
// Back-off: the first wait after two attempts in a row stored nothing, and the longest. Marked
// traces alone are offered again after the longest wait.
inline constexpr int64_t kBackoffFirstMs = 10 * 1000;
inline constexpr int64_t kBackoffMaxMs = 5 * 60 * 1000;
// How long a child asked to end at SIGTERM gets before it is killed.
inline constexpr int64_t kStopGraceMs = 5000;

// The ready traces in the order they are offered: the unmarked ones first, then the marked ones,
// each in list order (newest first). A child then fails on a marked trace only once all the
// others are stored. Trace is any record with a `refused` flag.
template <class Trace>
void offer_order(std::vector<Trace *> &ready) {
    std::stable_partition(ready.begin(), ready.end(), [](const Trace *t) { return !t->refused; });
}

// Takes the paths of one child's share in order, while they fit: at most kChildFiles, and
// kChildArgBytes of argument bytes together with the words every child gets. The first path is
// taken whatever its length.
class share_budget {
   public:
    explicit share_budget(size_t fixed_bytes) : bytes_(fixed_bytes) {}
    // Whether a path of this length (without its terminating null) goes in this share; counted
    // if so.
    bool take(size_t path_length);

   private:
    size_t files_ = 0;
    size_t bytes_;
};

// What a failed child left of its share. put offers the files in order, removes each one it
// stored and stops at its first failure, so the first file still there is the one that failed.
// It is marked when others of the share were stored: the store answered, and refused this one.
struct share_verdict {
    std::optional<size_t> failed;  // its index in the share; none when every file went
    bool stored = false;           // some file of the share went
    bool mark = false;             // the failed file is to be marked
};
share_verdict share_judge(const std::vector<bool> &gone);

// What came of one list's attempt: something stored; nothing stored although unmarked traces
// were offered (the store is taken to be down); nothing stored of marked traces alone (which
// tells nothing about the store); or no child could be started.
enum class attempt { progress, stalled, refused_only, not_started };

// Draws a number in [0, bound), as arc4random_uniform does.
using jitter_source = uint32_t (*)(uint32_t bound);

// The wait after `stalls` attempts in a row stored nothing: none after the first, then 10 s
// doubling up to 5 minutes, each within 20 % either way.
int64_t backoff_ms(unsigned int stalls, jitter_source jitter);

// What the operator is told after an attempt: the first wait of an outage, and its end. Each is
// said once.
enum class notice { none, failing, working_again };

// One list's uploads over time. Waits run from the end of an attempt, so that a slow one (a
// store that never answers) does not use them up, and an attempt is due at the tick nearest to
// its time, so that a wait is not stretched by a whole tick.
class backoff {
   public:
    // Whether the list waits at a tick at `now`, ticks being tick_ms apart.
    bool waits(int64_t now, int64_t tick_ms) const { return due(now, tick_ms) < retry_at_; }
    // Whether marked traces alone wait at that tick: they go at once the first time, then
    // every kBackoffMaxMs.
    bool marked_waits(int64_t now, int64_t tick_ms) const {
        return refused_at_ != 0 && due(now, tick_ms) < refused_at_ + kBackoffMaxMs;
    }
    // Takes the outcome of an attempt that ended at `ended`; says what to tell.
    notice attempt_ended(attempt outcome, int64_t ended, jitter_source jitter);

    bool backing_off() const { return stalls_ >= 2; }
    unsigned int stalls() const { return stalls_; }
    // The wait that the latest stall started.
    int64_t wait_ms() const { return wait_; }

   private:
    static int64_t due(int64_t now, int64_t tick_ms) { return now + tick_ms / 2; }

    unsigned int stalls_ = 0;  // attempts in a row that stored nothing
    int64_t wait_ = 0;
    int64_t retry_at_ = 0;    // no attempt before
    int64_t refused_at_ = 0;  // when marked traces alone were last offered; 0 for never
};

// What a running child is allowed: timeout_ms from its start; once the daemon is asked to
// stop, kStopGraceMs from the request.
class child_limit {
   public:
    enum verdict { wait, timed_out, grace_over };

    child_limit(int64_t started, int64_t timeout_ms) : deadline_(started + timeout_ms) {}
    void stop(int64_t now) {
        stopping_ = true;
        deadline_ = now + kStopGraceMs;
    }
    bool stopping() const { return stopping_; }
    int64_t deadline() const { return deadline_; }
    // Whether the child is ended at `now`: timed_out is said, grace_over ends the daemon too.
    verdict check(int64_t now) const {
        if (now <= deadline_) return wait;
        return stopping_ ? grace_over : timed_out;
    }

   private:
    int64_t deadline_;
    bool stopping_ = false;
};

}  // namespace tolvane_daemon
