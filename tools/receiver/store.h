// The crash store behind every protocol: a body arrives in a temporary file inside the store
// directory through an Upload, and is kept as <uuid hex>.slt once it is complete, its header's
// section table is satisfied and no trace with its UUID was kept before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace rx {

constexpr size_t kHeaderSize = 330;

struct Outcome {
    enum Kind { kStored, kTruncated, kDuplicate, kFailed } kind = kFailed;
    std::string uuid;   // 32 lowercase hexadecimal digits, once the header is complete
    std::string sig;    // 64 lowercase hexadecimal digits, likewise
    std::string path;   // where the trace was kept; empty when bodies are discarded
    std::string error;  // what went wrong, for kFailed
};

class Store;

class Upload {
   public:
    ~Upload();  // an upload that never finished takes its temporary file with it
    Upload(const Upload &) = delete;
    Upload &operator=(const Upload &) = delete;

    // Takes the next bytes of the body. A write failure is remembered and reported by finish.
    void append(const char *data, size_t n);
    Outcome finish();

   private:
    friend class Store;
    Upload(Store &store, int fd, std::string tmp) : store_(store), fd_(fd), tmp_(std::move(tmp)) {}
    void drop_temp();

    Store &store_;
    int fd_;           // -1 when bodies are discarded
    std::string tmp_;  // empty once kept or removed
    unsigned char header_[kHeaderSize] = {};
    uint64_t size_ = 0;
    int errno_ = 0;
};

class Store {
   public:
    // dir must be an existing directory, given as an absolute path.
    Store(std::string dir, bool discard) : dir_(std::move(dir)), discard_(discard) {}

    // A new upload, or null with errno set when no temporary file can be made.
    std::unique_ptr<Upload> begin();
    // Removes every temporary file; uploads still running fail from now on.
    void shutdown();

   private:
    friend class Upload;
    const std::string dir_;
    const bool discard_;
    std::mutex mu_;
    std::set<std::string> uuids_;  // kept (or, with discard_, accepted) during this run
    std::set<std::string> temps_;
    unsigned long serial_ = 0;
    bool closing_ = false;
};

}  // namespace rx
