// Fuzzes the trace header check: the first 8 bytes are the file's size, the rest its start (a
// header, zero-padded when shorter). The result must follow from exact arithmetic: accepted only
// when every section, and all of them together, fit after the header.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "tolvane/trace/qvif.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    uint64_t file_size;
    if (size < sizeof file_size) return 0;
    memcpy(&file_size, data, sizeof file_size);
    qvif_header header{};
    memcpy(&header, data + sizeof file_size, std::min(size - sizeof file_size, sizeof header));

    uint64_t expected = 12345;
    qvif_check_result r = qvif_check_size(&header, file_size, &expected);
    if (file_size <= sizeof header) {
        if (r != QVIF_CHECK_TRUNCATED) abort();
        return 0;
    }
    unsigned __int128 total = sizeof header;
    for (const qvif_section &s : header.section_table) {
        total += s.len;
        if (r == QVIF_CHECK_OK && s.len > file_size - sizeof header) abort();
    }
    if (r == QVIF_CHECK_OK) {
        if (total > file_size) abort();
    } else {
        uint64_t saturated = total > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(total);
        if (r != QVIF_CHECK_MISMATCH || total <= file_size || expected != saturated) abort();
    }
    return 0;
}
