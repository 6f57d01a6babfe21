// The daemon's upload policy: which listed traces a child gets and in what order, how many
// children run at once, when a list whose attempt stored nothing is offered again, which trace
// is marked, when a child is ended, and when a trace that cannot be deleted is reported. It
// does no I/O and reads no clock: times (monotonic milliseconds) and the random source for the
// jitter are arguments, so every rule can be tried over a fake clock.
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
// Children at once: two per directory, so that traces arriving during a long upload get a
// child of their own, and four in all, so that a host's uplink and process table stay bounded
// however many directories are watched.
inline constexpr int kChildrenPerDirectory = 2;
inline constexpr int kChildrenInAll = 4;
// Back-off: the first wait after two attempts in a row stored nothing, and the longest. Marked
// traces alone are offered again after the longest wait.
inline constexpr int64_t kBackoffFirstMs = 10 * 1000;
inline constexpr int64_t kBackoffMaxMs = 5 * 60 * 1000;
// How long a child sent SIGTERM gets before it is killed.
inline constexpr int64_t kStopGraceMs = 5000;
// A trace that is stored but cannot be deleted is reported at once, then at most this often.
inline constexpr int64_t kKeptReportMs = 60 * 60 * 1000;

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

// What a child said of a file of its share on its progress channel (put_channel.h).
enum class file_said : uint8_t { nothing, stored, kept, failed };

// What a failed child left of its share. put sends the files in order and stops at the first
// one it cannot store ("failed <i>"); a file the store holds never stops it ("stored", "kept"),
// except one it already held, after which put ends. A file whose line went missing counts as
// stored when it is gone from the directory. A child that ended without naming its failed file
// (killed, ended before it sent anything) failed on the first file it had not finished.
// The failed file is marked when put named it and others of the share were stored: the store
// answered, and refused this one.
struct share_verdict {
    std::optional<size_t> failed;  // its index in the share; none when every file went
    bool stored = false;           // some file of the share is in the store
    bool mark = false;             // the failed file is to be marked
};
share_verdict share_judge(const std::vector<file_said> &said, const std::vector<bool> &gone);

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

    // Children share an attempt: those started together at a tick, and one started at once
    // after a child of the attempt stored something. This numbers a new one.
    unsigned int attempt_begin() { return ++attempts_; }
    // Takes the outcome of one child of attempt `which`. An attempt stored nothing only if none
    // of its children did: once one of them has counted, stored something or not, a later one
    // that stores nothing changes nothing. Anything stored counts whenever it comes.
    notice child_ended(unsigned int which, attempt outcome, int64_t ended, jitter_source jitter) {
        if (outcome == attempt::stalled && which == judged_) return notice::none;
        if (outcome == attempt::stalled || outcome == attempt::progress) judged_ = which;
        return attempt_ended(outcome, ended, jitter);
    }

    bool backing_off() const { return stalls_ >= 2; }
    unsigned int stalls() const { return stalls_; }
    // The wait that the latest stall started.
    int64_t wait_ms() const { return wait_; }

   private:
    static int64_t due(int64_t now, int64_t tick_ms) { return now + tick_ms / 2; }

    unsigned int stalls_ = 0;  // attempts in a row that stored nothing
    int64_t wait_ = 0;
    int64_t retry_at_ = 0;       // no attempt before
    int64_t refused_at_ = 0;     // when marked traces alone were last offered; 0 for never
    unsigned int attempts_ = 0;  // the latest attempt's number
    unsigned int judged_ = 0;    // the latest attempt a child's outcome counted for
};

// When a running child is ended: after timeout_ms without progress (a line on its channel),
// however long it has run, it is sent SIGTERM, and SIGKILL kStopGraceMs later; so too, without
// the time-out, when the daemon is asked to stop.
class child_limit {
   public:
    enum verdict {
        wait,      // nothing to do now
        time_out,  // no progress for the time-out: send SIGTERM (said once)
        kill,      // the grace after SIGTERM is over: send SIGKILL (said once)
    };

    child_limit(int64_t started, int64_t timeout_ms)
        : timeout_(timeout_ms), deadline_(started + timeout_ms) {}
    // The child made progress at `now`: the time-out counts from then. Nothing changes once it
    // is being ended.
    void progress(int64_t now) {
        if (phase_ == running) deadline_ = now + timeout_;
    }
    // The daemon stops: true when the caller is to send SIGTERM now (a child already sent it
    // keeps its earlier deadline).
    bool stop(int64_t now) {
        stopping_ = true;
        if (phase_ != running) return false;
        phase_ = ending;
        deadline_ = now + kStopGraceMs;
        return true;
    }
    verdict check(int64_t now) {
        if (now <= deadline_ || phase_ == killed) return wait;
        if (phase_ == ending) {
            phase_ = killed;
            return kill;
        }
        phase_ = ending;
        timed_out_ = true;
        deadline_ = now + kStopGraceMs;
        return time_out;
    }
    bool stopping() const { return stopping_; }
    bool timed_out() const { return timed_out_; }

   private:
    enum phase { running, ending, killed };
    int64_t timeout_;
    int64_t deadline_;
    phase phase_ = running;
    bool stopping_ = false;
    bool timed_out_ = false;
};

// When a trace that is stored but cannot be deleted is reported: the first time asked, then
// again only once kKeptReportMs have passed since the last report.
class kept_report {
   public:
    // Whether to report at `now`; if so, it counts as reported.
    bool due(int64_t now) {
        if (said_ && now - last_ < kKeptReportMs) return false;
        said_ = true;
        last_ = now;
        return true;
    }

   private:
    bool said_ = false;
    int64_t last_ = 0;
};

}  // namespace tolvane_daemon
