// Owning handles for what the system gives out and wants back: a descriptor, a FILE stream, a
// directory stream and a memory mapping. Each closes or unmaps what it holds when it goes away,
// and hands it over when moved or released, so no path through a function can leak one.
#pragma once

#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <utility>

namespace tolvane {

// A file descriptor; -1 holds none.
class unique_fd {
   public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
    unique_fd &operator=(unique_fd &&other) noexcept {
        reset(other.release());
        return *this;
    }
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    // Closes what it held (keeping errno, which a caller may be about to report) and takes fd.
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            int saved = errno;
            close(fd_);  // Linux frees the descriptor even when close reports EINTR
            errno = saved;
        }
        fd_ = fd;
    }

   private:
    int fd_ = -1;
};

struct file_closer {
    void operator()(FILE *f) const { fclose(f); }
};
using unique_file = std::unique_ptr<FILE, file_closer>;

struct dir_closer {
    void operator()(DIR *d) const { closedir(d); }
};
using unique_dir = std::unique_ptr<DIR, dir_closer>;

// A memory mapping; null holds none.
class unique_map {
   public:
    unique_map() = default;
    unique_map(void *data, size_t length) : data_(data), length_(length) {}
    unique_map(unique_map &&other) noexcept
        : data_(std::exchange(other.data_, nullptr)), length_(std::exchange(other.length_, 0)) {}
    unique_map &operator=(unique_map &&other) noexcept {
        if (this != &other) {
            reset();
            data_ = std::exchange(other.data_, nullptr);
            length_ = std::exchange(other.length_, 0);
        }
        return *this;
    }
    ~unique_map() { reset(); }

    void *get() const { return data_; }
    size_t size() const { return length_; }
    explicit operator bool() const { return data_ != nullptr; }
    // Gives the mapping up without unmapping it.
    void *release() {
        length_ = 0;
        return std::exchange(data_, nullptr);
    }
    void reset() {
        if (data_ != nullptr) munmap(data_, length_);
        data_ = nullptr;
        length_ = 0;
    }

   private:
    void *data_ = nullptr;
    size_t length_ = 0;
};

}  // namespace tolvane
