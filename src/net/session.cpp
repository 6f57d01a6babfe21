// The session codec: response records cut from received bytes, and the texts of error codes.
#include "tolvane/net/session.h"

#include <algorithm>
#include <cstring>

namespace {
const uint32_t kBufferSize = 65536;
const uint64_t kAllOnes = UINT64_MAX;
}  // namespace

const char *cr_session_strerror(cr_session_error_code code) {
    static const char *const texts[] = {
        "server parsing error",  "trace already exists with UUID",
        "internal server error", "invalid token",
        "protocol error",
    };
    return code < CR_SESSION_ERROR_MAX ? texts[code] : "";
}

cr_session_response_status tolvane_writer_response_status(const tolvane_writer_response *r) {
    return static_cast<cr_session_response_status>(r->status);
}

cr_session_error_code tolvane_writer_response_error_code(const tolvane_writer_response *r) {
    return static_cast<cr_session_error_code>(r->substatus);
}

const char *tolvane_writer_response_string(const tolvane_writer_response *r, size_t *length) {
    *length = r->length;
    return r->buffer;
}

bool tolvane_writer_replies_init(tolvane_writer_replies *r) {
    r->buffer = cr_cbuf_create(kBufferSize);
    r->taken = r->scanned = 0;
    return r->buffer != nullptr;
}

void tolvane_writer_replies_free(tolvane_writer_replies *r) {
    cr_cbuf_destroy(r->buffer);
    r->buffer = nullptr;
}

bool tolvane_writer_replies_feed(tolvane_writer_replies *r, const void *bytes, size_t count) {
    return count <= UINT32_MAX && cr_cbuf_append(&r->buffer, bytes, static_cast<uint32_t>(count));
}

uint32_t tolvane_writer_replies_held(const tolvane_writer_replies *r) {
    return cr_cbuf_length(r->buffer) - r->taken;
}

tolvane_writer_reply_result tolvane_writer_replies_next(tolvane_writer_replies *r,
                                                        tolvane_writer_response *record) {
    if (r->taken > 0) {
        cr_cbuf_drain(r->buffer, r->taken);
        r->taken = r->scanned = 0;
    }
    const unsigned char *data;
    uint32_t available;
    cr_cbuf_memory(r->buffer, &data, &available);
    cr_session_response_pb head;
    if (available < sizeof head) return TOLVANE_WRITER_REPLY_MORE;
    memcpy(&head, data, sizeof head);
    const unsigned char *body = data + sizeof head;
    uint32_t have = available - static_cast<uint32_t>(sizeof head);
    uint32_t length;
    if (head.length == kAllOnes) {
        // Only bytes not searched before, and never past the limit: a text that does not end
        // costs each byte once and at most TOLVANE_WRITER_REPLY_MAX of them.
        uint32_t end = std::min<uint32_t>(have, TOLVANE_WRITER_REPLY_MAX);
        const void *zero =
            end > r->scanned ? memchr(body + r->scanned, 0, end - r->scanned) : nullptr;
        if (zero == nullptr) {
            r->scanned = std::max(r->scanned, end);
            return r->scanned == TOLVANE_WRITER_REPLY_MAX ? TOLVANE_WRITER_REPLY_TOO_LARGE
                                                          : TOLVANE_WRITER_REPLY_MORE;
        }
        length = static_cast<uint32_t>(static_cast<const unsigned char *>(zero) - body + 1);
    } else {
        if (head.length > TOLVANE_WRITER_REPLY_MAX) return TOLVANE_WRITER_REPLY_TOO_LARGE;
        length = static_cast<uint32_t>(head.length);
        if (have < length) return TOLVANE_WRITER_REPLY_MORE;
    }
    *record = {};
    record->status = head.status;
    record->substatus = head.substatus;
    record->sequence = head.sequence;
    record->length = length;
    record->buffer = length > 0 ? reinterpret_cast<const char *>(body) : nullptr;
    r->taken = static_cast<uint32_t>(sizeof head) + length;
    return TOLVANE_WRITER_REPLY_RECORD;
}
