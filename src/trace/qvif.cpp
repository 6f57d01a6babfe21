#include "tolvane/trace/qvif.h"

#include <cstring>

#include "tolvane/util/misc.h"

qvif_check_result qvif_check_size(const void *data, uint64_t size, uint64_t *expected) {
    if (size <= sizeof(qvif_header)) return QVIF_CHECK_TRUNCATED;
    qvif_header header;
    memcpy(&header, data, sizeof header);
    // A total past 64 bits is a mismatch (shown as UINT64_MAX) rather than a wrapped sum, so
    // lengths meant to overflow cannot pass a file shorter than one of its sections.
    uint64_t sum = sizeof(qvif_header);
    bool overflow = false;
    for (const qvif_section &s : header.section_table) {
        if (__builtin_add_overflow(sum, s.len, &sum)) overflow = true;
    }
    *expected = overflow ? UINT64_MAX : sum;
    return overflow || sum > size ? QVIF_CHECK_MISMATCH : QVIF_CHECK_OK;
}

void qvif_randomize_uuid(qvif_header *header, int n) {
    tolvane_random_write(header->uuid, static_cast<size_t>(n));
}

void qvif_randomize_sig(qvif_header *header, int n) {
    tolvane_random_write(header->sig, static_cast<size_t>(n));
}
