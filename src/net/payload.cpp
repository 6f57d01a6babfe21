// A trace on its way out: the check that it is still the file's, the file read again, and the
// guard against pages that vanish from under a mapping.
#include "tolvane/net/payload.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "tolvane/util/text.h"

namespace {
tolvane_payload *guarded;  // every guarded payload, linked through next_guarded
size_t page_size;

void on_bus_error(int, siginfo_t *info, void *) {
    auto *at = static_cast<char *>(info->si_addr);
    for (tolvane_payload *p = guarded; p != nullptr; p = p->next_guarded) {
        auto *start = const_cast<char *>(reinterpret_cast<const char *>(p->data));
        size_t size = (p->length + page_size - 1) / page_size * page_size;
        if (start == nullptr || at < start || at >= start + size) continue;
        char *page = start + static_cast<size_t>(at - start) / page_size * page_size;
        if (mmap(page, static_cast<size_t>(start + size - page), PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED)
            break;
        p->changed = 1;
        return;
    }
    signal(SIGBUS, SIG_DFL);
}
}  // namespace

void tolvane_payload_guard(tolvane_payload *payload) {
    if (page_size == 0) {
        page_size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        struct sigaction sa {};
        sa.sa_sigaction = on_bus_error;
        sa.sa_flags = SA_SIGINFO;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGBUS, &sa, nullptr);
    }
    payload->next_guarded = guarded;
    guarded = payload;
}

// Asked before the last bytes of the file leave. While the path names the same file, its size
// and modification time must be as loaded, so a shrink or a rewrite in place shows. A path that
// names another file now (or none) leaves the mapping as the only copy of ours: a trace moved
// over it must not cost this one. It is whole unless a page of it has vanished, which reading
// its last byte makes show now, even after the last page was sent.
bool tolvane_payload::intact() {
    if (path == nullptr) return true;
    struct stat st;
    if (stat(path, &st) == 0 && st.st_dev == device && st.st_ino == inode) {
        if (static_cast<uintmax_t>(st.st_size) != length || st.st_mtim.tv_sec != modified.tv_sec ||
            st.st_mtim.tv_nsec != modified.tv_nsec)
            changed = 1;
    } else {
        (void)*reinterpret_cast<volatile const char *>(data + length - 1);
    }
    return !changed;
}

bool tolvane_payload::fail_changed(tolvane_net_result *result) const {
    return tolvane_net_fail(result, TOLVANE_NET_CHANGED,
                            "error: file \"%s\" changed during its upload.\n",
                            tolvane_printable(path).c_str());
}

bool tolvane_payload::check(tolvane_net_result *result) {
    return intact() || fail_changed(result);
}

bool tolvane_payload::reopen() {
    struct stat st;
    tolvane::unique_fd fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd && (fstat(fd.get(), &st) != 0 || st.st_dev != device || st.st_ino != inode)) fd.reset();
    file = std::move(fd);
    return static_cast<bool>(file);
}

size_t tolvane_payload::read(void *dest, uint64_t at, size_t count) const {
    size_t got = 0;
    while (got < count) {
        ssize_t n = pread(file.get(), static_cast<char *>(dest) + got, count - got,
                          static_cast<off_t>(at + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return got;
}

bool tolvane_payload::file_ended(tolvane_net_result *result) {
    file.reset();
    return check(result);
}
