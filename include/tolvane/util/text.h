// Text that came from outside (a server's reply, a file name in a directory anyone can write) and
// is printed on standard error, a terminal or the journal: shown so that one message stays one
// line and no byte of it can act on a terminal.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The longest server text shown; longer text is cut there and ends in "...".
inline constexpr size_t TOLVANE_SERVER_TEXT_MAX = 512;

// `text` with every control character (C0, DEL and the C1 range) and every byte that is not
// part of valid UTF-8 written as an escape: \t, \n, \r, or \xHH. Everything else, a backslash
// included, is kept as it is. Cut at `limit` bytes of the input, marked by "...".
std::string tolvane_printable(std::string_view text, size_t limit = std::string_view::npos);
