// The watched directories' locks. See locks.h.
#include "locks.h"

#include <sys/file.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <map>
#include <string_view>
#include <utility>

#include "tolvane/util/unique.h"

namespace tolvane_daemon {
namespace {
struct held {
    int fd;  // -1 on a file system without locks
    int users;
};
std::map<std::pair<dev_t, ino_t>, held> locks;

// The process that holds a lock on the file, from /proc/locks, where the kernel shows each
// lock's holder and the file's device (major and minor in hex) and inode; 0 when not found.
pid_t lock_holder(const struct stat &st) {
    tolvane::unique_file f(fopen("/proc/locks", "re"));
    if (!f) return 0;
    char line[256];
    while (fgets(line, sizeof line, f.get()) != nullptr) {
        char kind[16], mode[16];
        int pid;
        unsigned int dev_major, dev_minor;
        unsigned long ino;
        // "1: FLOCK  ADVISORY  WRITE 1234 fe:00:10954268 0 EOF"; a waiter's line has "->"
        // where the kind stands, and does not match.
        if (sscanf(line, "%*d: %15s %*15s %15s %d %x:%x:%lu", kind, mode, &pid, &dev_major,
                   &dev_minor, &ino) == 6 &&
            std::string_view(kind) == "FLOCK" && std::string_view(mode) == "WRITE" &&
            dev_major == major(st.st_dev) && dev_minor == minor(st.st_dev) && ino == st.st_ino &&
            pid > 0)
            return pid;
    }
    return 0;
}
}  // namespace

bool lock_take(int fd, const struct stat &st, pid_t *holder) {
    *holder = 0;
    auto key = std::make_pair(st.st_dev, st.st_ino);
    if (auto it = locks.find(key); it != locks.end()) {
        it->second.users++;
        close(fd);
        return true;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            *holder = lock_holder(st);
            close(fd);
            return false;
        }
        // No locks on this file system (ENOLCK, EINVAL): it is watched all the same.
        close(fd);
        fd = -1;
    }
    locks.emplace(key, held{fd, 1});
    return true;
}

void lock_release(dev_t dev, ino_t ino) {
    auto it = locks.find(std::make_pair(dev, ino));
    if (it == locks.end() || --it->second.users > 0) return;
    if (it->second.fd >= 0) close(it->second.fd);
    locks.erase(it);
}

}  // namespace tolvane_daemon
