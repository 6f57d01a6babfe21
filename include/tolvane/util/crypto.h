// SHA-256 values (project tokens) and their 64-digit lowercase hexadecimal text form.
#pragma once

struct cr_sha256 {
    unsigned char value[32];
};
typedef struct cr_sha256 cr_sha256_t;
typedef char cr_sha256_string_t[65];

// Writes 64 lowercase digits and a NUL; out holds at least 65 bytes.
void cr_sha256_to_string(char *out, const cr_sha256_t *sha);
// Reads 32 pairs of hexadecimal digits from text that the caller made sure is 64 characters long.
// Returns false at the first malformed pair, with the earlier bytes already stored.
bool cr_sha256_from_string(cr_sha256_t *out, const char *text);
