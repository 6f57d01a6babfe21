#include "store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "tolvane/trace/qvif.h"

namespace rx {

static std::string hex(const unsigned char *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::unique_ptr<Upload> Store::begin() {
    std::lock_guard lock(mu_);
    if (closing_) {
        errno = ESHUTDOWN;
        return nullptr;
    }
    if (discard_) return std::unique_ptr<Upload>(new Upload(*this, -1, ""));
    // Registered under the lock, so that shutdown sees every file it has to remove.
    std::string tmp =
        dir_ + "/.incoming-" + std::to_string(getpid()) + "-" + std::to_string(++serial_);
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    temps_.insert(tmp);
    return std::unique_ptr<Upload>(new Upload(*this, fd, tmp));
}

void Store::shutdown() {
    std::lock_guard lock(mu_);
    closing_ = true;
    for (const std::string &t : temps_) unlink(t.c_str());
    temps_.clear();
}

void Upload::append(const char *data, size_t n) {
    if (size_ < kHeaderSize) {
        size_t k = std::min<uint64_t>(n, kHeaderSize - size_);
        memcpy(header_ + size_, data, k);
    }
    size_ += n;
    if (fd_ < 0 || errno_ != 0) return;
    while (n > 0) {
        ssize_t w = write(fd_, data, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            errno_ = errno;
            return;
        }
        data += w;
        n -= static_cast<size_t>(w);
    }
}

void Upload::drop_temp() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    if (tmp_.empty()) return;
    std::lock_guard lock(store_.mu_);
    // After shutdown the file is gone already, and its name may not be ours to remove.
    if (store_.temps_.erase(tmp_) > 0) unlink(tmp_.c_str());
    tmp_.clear();
}

Upload::~Upload() {
    drop_temp();
}

Outcome Upload::finish() {
    Outcome o;
    if (fd_ >= 0 && close(fd_) != 0 && errno_ == 0) errno_ = errno;
    fd_ = -1;
    uint64_t expected = 0;
    if (errno_ != 0) {
        o.error = "cannot write trace: " + std::generic_category().message(errno_);
    } else if (size_ <= kHeaderSize ||
               qvif_check_size(header_, size_, &expected) != QVIF_CHECK_OK) {
        o.kind = Outcome::kTruncated;
    } else {
        o.uuid = hex(header_ + 26, 16);
        o.sig = hex(header_ + 42, 32);
        std::lock_guard lock(store_.mu_);
        std::string path = store_.dir_ + "/" + o.uuid + ".slt";
        struct stat st;
        if (store_.closing_) {
            o.error = "shutting down";
        } else if (store_.uuids_.count(o.uuid) > 0 ||
                   (!store_.discard_ && lstat(path.c_str(), &st) == 0)) {
            o.kind = Outcome::kDuplicate;
        } else if (!store_.discard_ && rename(tmp_.c_str(), path.c_str()) != 0) {
            o.error = "cannot keep trace: " + std::generic_category().message(errno);
        } else {
            if (!store_.discard_) {
                store_.temps_.erase(tmp_);
                tmp_.clear();
                o.path = path;
            }
            store_.uuids_.insert(o.uuid);
            o.kind = Outcome::kStored;
        }
    }
    drop_temp();
    return o;
}

}  // namespace rx
