#include "tolvane/qvif.h"

#include <cstring>

#include "tolvane/misc.h"

qvif_check_result qvif_check_size(const void *data, uint64_t size, uint64_t *expected) {
    if (size <= sizeof(qvif_header)) return QVIF_CHECK_TRUNCATED;
    qvif_header header;
    memcpy(&header, data, sizeof header);
    uint64_t sum = sizeof(qvif_header);
    for (const qvif_section &s : header.section_table) sum += s.len;  // wraps, as the format says
    *expected = sum;
    return sum > size ? QVIF_CHECK_MISMATCH : QVIF_CHECK_OK;
}

void qvif_randomize_uuid(qvif_header *header, int n) {
    tolvane_random_write(header->uuid, static_cast<size_t>(n));
}

void qvif_randomize_sig(qvif_header *header, int n) {
    tolvane_random_write(header->sig, static_cast<size_t>(n));
}
