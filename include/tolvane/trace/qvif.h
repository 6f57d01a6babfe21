// The fixed 330-byte header at the start of every trace file: identity (UUID and signature)
// and the section table whose lengths say how long the file must at least be.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

enum qvif_section_id {
    QVIF_SECTION_SIGNATURE_JSON = 0,
    QVIF_SECTION_SYMBOLS = 1,
    QVIF_SECTION_CLASSIFIERS = 2,
    QVIF_SECTION_LABELS = 3,
    QVIF_SECTION_TAGS = 4,
    QVIF_SECTION_KV_STRINGS = 5,
    QVIF_SECTION_KV_INTS = 6,
    QVIF_SECTION_METADATA = 7,
    QVIF_SECTION_MEMMAP = 8,
    QVIF_SECTION_SL_SUMMARY = 9,
    QVIF_SECTION_SL_VERBOSE = 10,
    QVIF_SECTION_ANNOTATIONS = 11,
    QVIF_SECTION_MAX = 12,
};

struct __attribute__((packed)) qvif_section {
    uint16_t id;
    uint8_t compression;
    uint8_t format;
    uint64_t start_byte;
    uint64_t len;
};

struct __attribute__((packed)) qvif_header {
    char magic[4];
    uint16_t version;
    uint32_t priority;
    uint64_t time;
    uint64_t quality;
    unsigned char uuid[16];
    unsigned char sig[32];
    struct qvif_section section_table[QVIF_SECTION_MAX];
    uint64_t chain_start;
    char padding[8];
};

static_assert(sizeof(qvif_section) == 20);
static_assert(sizeof(qvif_header) == 330);
static_assert(offsetof(qvif_header, uuid) == 26);
static_assert(offsetof(qvif_header, sig) == 42);
static_assert(offsetof(qvif_header, section_table) == 74);
static_assert(offsetof(qvif_header, chain_start) == 314);
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "trace headers are little-endian");

// What the size check found.
enum qvif_check_result { QVIF_CHECK_OK, QVIF_CHECK_TRUNCATED, QVIF_CHECK_MISMATCH };

// Checks a file of `size` bytes whose first bytes are `data` against its section table.
// On a mismatch, *expected holds 330 plus the sum of the section lengths, or UINT64_MAX when
// that does not fit in 64 bits.
qvif_check_result qvif_check_size(const void *data, uint64_t size, uint64_t *expected);

// Replaces the first n bytes (1 to 16) of the UUID with fresh random bytes.
void qvif_randomize_uuid(qvif_header *header, int n);
// Replaces the first n bytes (1 to 32) of the signature with fresh random bytes.
void qvif_randomize_sig(qvif_header *header, int n);
