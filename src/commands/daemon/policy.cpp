// The daemon's upload policy (see policy.h): pure decisions over times and a random source.
#include "policy.h"

namespace tolvane_daemon {

bool share_budget::take(size_t path_length) {
    if (files_ >= kChildFiles) return false;
    size_t cost = path_length + 1 + sizeof(char *);  // the path, its null and its vector slot
    if (files_ > 0 && bytes_ + cost > kChildArgBytes) return false;
    bytes_ += cost;
    files_++;
    return true;
}

share_verdict share_judge(const std::vector<file_said> &said, const std::vector<bool> &gone) {
    share_verdict v;
    std::optional<size_t> named, unfinished;
    for (size_t i = 0; i < said.size(); i++) {
        if (said[i] == file_said::stored || said[i] == file_said::kept || gone[i]) {
            v.stored = true;
        } else if (said[i] == file_said::failed) {
            if (!named) named = i;
        } else if (!unfinished) {
            unfinished = i;
        }
    }
    v.failed = named ? named : unfinished;
    v.mark = named && v.stored;
    return v;
}

int64_t backoff_ms(unsigned int stalls, jitter_source jitter) {
    if (stalls < 2) return 0;
    int64_t wait = stalls - 2 < 16 ? kBackoffFirstMs << (stalls - 2) : kBackoffMaxMs;
    wait = std::min(wait, kBackoffMaxMs);
    return wait * (800 + static_cast<int64_t>(jitter(401))) / 1000;
}

notice backoff::attempt_ended(attempt outcome, int64_t ended, jitter_source jitter) {
    switch (outcome) {
        case attempt::progress: {
            bool recovered = backing_off();
            stalls_ = 0;
            retry_at_ = 0;
            return recovered ? notice::working_again : notice::none;
        }
        case attempt::stalled:
            wait_ = backoff_ms(++stalls_, jitter);
            retry_at_ = ended + wait_;
            return stalls_ == 2 ? notice::failing : notice::none;
        case attempt::refused_only:
            refused_at_ = ended;
            return notice::none;
        case attempt::not_started:
            break;
    }
    return notice::none;
}

}  // namespace tolvane_daemon
