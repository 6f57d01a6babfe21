// Fuzzes the session protocol's response-record parser over a stream of records.
#include <cstddef>
#include <cstdint>

#include "tolvane/writer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t offset = 0;
    while (offset < size) {
        cr_session_response_pb head;
        uint32_t body_length;
        const char *error;
        if (!tolvane_writer_parse_response(data + offset, size - offset, &head, &body_length,
                                           &error))
            break;
        // A complete record never claims more bytes than were there.
        if (sizeof head + body_length > size - offset) __builtin_trap();
        offset += sizeof head + body_length;
    }
    return 0;
}
