// Fuzzes how the session writer cuts response records from received bytes. The first byte n
// (modulo 16) and the n bytes after it choose piece sizes; the rest is the stream. Fed whole and
// fed in those pieces, the stream must give the same records and the same end, and every
// record must be the stream's own bytes: a counted body as long as its head says, a text body
// running to its first zero byte, none past the limit.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tolvane/net/session.h"

namespace {
struct Record {
    uint32_t status, sequence;
    uint64_t substatus;
    std::string body;
    bool operator==(const Record &) const = default;
};

struct Outcome {
    std::vector<Record> records;
    tolvane_writer_reply_result end = TOLVANE_WRITER_REPLY_MORE;
    bool operator==(const Outcome &) const = default;
};

// Feeds `stream` in pieces of 1 + s * s bytes for each size s in turn (the whole when none).
Outcome run(const uint8_t *stream, size_t size, const uint8_t *sizes, size_t n_sizes) {
    tolvane_writer_replies r;
    if (!tolvane_writer_replies_init(&r)) __builtin_trap();
    Outcome o;
    for (size_t at = 0, i = 0; at < size && o.end == TOLVANE_WRITER_REPLY_MORE; i++) {
        size_t piece = n_sizes == 0 ? size : 1 + size_t{sizes[i % n_sizes]} * sizes[i % n_sizes];
        if (piece > size - at) piece = size - at;
        if (!tolvane_writer_replies_feed(&r, stream + at, piece)) __builtin_trap();
        at += piece;
        tolvane_writer_response rec;
        while ((o.end = tolvane_writer_replies_next(&r, &rec)) == TOLVANE_WRITER_REPLY_RECORD) {
            if (rec.length > TOLVANE_WRITER_REPLY_MAX ||
                (rec.buffer == nullptr) != (rec.length == 0))
                __builtin_trap();
            o.records.push_back({rec.status, rec.sequence, rec.substatus,
                                 std::string(rec.buffer != nullptr ? rec.buffer : "", rec.length)});
        }
        if (r.scanned > TOLVANE_WRITER_REPLY_MAX) __builtin_trap();
    }
    tolvane_writer_replies_free(&r);
    return o;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    size_t n_sizes = data[0] % 16;
    if (size < 1 + n_sizes) return 0;
    const uint8_t *stream = data + 1 + n_sizes;
    size_t length = size - 1 - n_sizes;
    Outcome whole = run(stream, length, nullptr, 0);
    if (!(run(stream, length, data + 1, n_sizes) == whole)) __builtin_trap();
    // Each record is where the previous one ended, as its head describes it.
    size_t at = 0;
    for (const Record &rec : whole.records) {
        cr_session_response_pb head;
        memcpy(&head, stream + at, sizeof head);
        const uint8_t *body = stream + at + sizeof head;
        size_t n = rec.body.size();
        bool text = head.length == UINT64_MAX;
        if (head.status != rec.status || head.substatus != rec.substatus ||
            head.sequence != rec.sequence || memcmp(body, rec.body.data(), n) != 0 ||
            (text ? n == 0 || body[n - 1] != 0 || memchr(body, 0, n - 1) != nullptr
                  : head.length != n))
            __builtin_trap();
        at += sizeof head + n;
    }
    return 0;
}
