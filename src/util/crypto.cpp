#include "tolvane/util/crypto.h"

#include <cstdio>
#include <cstdlib>

#include "tolvane/util/misc.h"

void cr_sha256_to_string(char *out, const cr_sha256_t *sha) {
    tolvane_hex_encode(out, sha->value, sizeof sha->value);
}

bool cr_sha256_from_string(cr_sha256_t *out, const char *text) {
    for (size_t i = 0; i < sizeof out->value; i++) {
        char pair[3] = {text[2 * i], text[2 * i + 1], '\0'};
        char *end;
        unsigned long v = strtoul(pair, &end, 16);
        if (*end != '\0' || v > 255) return false;
        out->value[i] = static_cast<unsigned char>(v);
    }
    return true;
}
