#include "tolvane/util/text.h"

#include <cstdint>
#include <cstdio>

namespace {
// The length of the valid UTF-8 sequence at the start of `s` whose code point is no control
// character, or 0.
size_t printable_sequence(std::string_view s) {
    auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char c = b(0);
    if (c >= 0x20 && c < 0x7f) return 1;
    size_t n = c >= 0xf0 && c <= 0xf4 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 && c <= 0xdf ? 2 : 0;
    if (n == 0 || s.size() < n) return 0;
    uint32_t cp = c & (0x7f >> n);
    for (size_t i = 1; i < n; i++) {
        if ((b(i) & 0xc0) != 0x80) return 0;
        cp = cp << 6 | (b(i) & 0x3f);
    }
    // Overlong forms, surrogates, past the last code point, and the C1 controls.
    if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || (cp >= 0xd800 && cp <= 0xdfff) ||
        cp > 0x10ffff || cp < 0xa0)
        return 0;
    return n;
}
}  // namespace

std::string tolvane_printable(std::string_view text, size_t limit) {
    bool cut = text.size() > limit;
    if (cut) text = text.substr(0, limit);
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        if (size_t n = printable_sequence(text.substr(at))) {
            out.append(text.substr(at, n));
            at += n;
            continue;
        }
        unsigned char c = static_cast<unsigned char>(text[at++]);
        if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            char hex[5];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    if (cut) out += "...";
    return out;
}
