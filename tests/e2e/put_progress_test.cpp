// put's progress line: on a terminal while a large trace goes out, erased before the result
// line; with standard error on a file, not a byte of it.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstring>

#include "harness.h"

using namespace e2e;

namespace {
// What a terminal shows after these bytes: "\r" goes back to the line's start, "\033[K" erases
// to its end, "\n" starts the next line. Each line of the result ends with a line feed.
std::string screen(const std::string &bytes) {
    std::vector<std::string> lines(1);
    size_t column = 0;
    for (size_t i = 0; i < bytes.size(); i++) {
        std::string &line = lines.back();
        if (bytes[i] == '\r') {
            column = 0;
        } else if (bytes[i] == '\n') {
            lines.emplace_back();
            column = 0;
        } else if (bytes.compare(i, 3, "\033[K") == 0) {
            line.resize(std::min(line.size(), column));
            i += 2;
        } else {
            if (line.size() <= column) line.resize(column + 1, ' ');
            line[column++] = bytes[i];
        }
    }
    if (lines.back().empty()) lines.pop_back();
    std::string text;
    for (const std::string &line : lines) text += line + "\n";
    return text;
}

// Whether `line` reads "big.slt  <n>%  <n>.<n> MiB  <n>.<n> MiB/s".
bool progress_shape(const std::string &line) {
    size_t at = 0;
    auto literal = [&](const char *text) {
        size_t n = strlen(text);
        if (line.compare(at, n, text) != 0) return false;
        at += n;
        return true;
    };
    auto digits = [&] {
        size_t from = at;
        while (at < line.size() && isdigit(static_cast<unsigned char>(line[at]))) at++;
        return at > from;
    };
    auto decimal = [&] { return digits() && literal(".") && digits(); };
    return literal("big.slt  ") && digits() && literal("%  ") && decimal() && literal(" MiB  ") &&
           decimal() && literal(" MiB/s") && at == line.size();
}

// The progress lines drawn: "\r", the line, "\033[K".
long draws(const std::string &out) {
    long n = 0;
    for (size_t at = out.find('\r'); at != std::string::npos; at = out.find('\r', at + 1)) {
        size_t end = out.find("\033[K", at + 1);
        if (end == std::string::npos) break;
        std::string line = out.substr(at + 1, end - at - 1);
        if (line.find_first_of("\r\n") == std::string::npos && progress_shape(line)) n++;
    }
    return n;
}
}  // namespace

TEST(PutProgress, OnATerminalOnlyAndGoneBeforeTheResultLine) {
    Sandbox sb;
    // Each body stops for 0.4 s once its first MiB has arrived, long enough for a line drawn
    // after 0.25 s; then `reset` drops it.
    std::vector<std::string> pause{"--http",        "0", "--session",       "0",
                                   "--session-tls", "0", "--body-pause-ms", "400"};
    Receiver rx(sb, pause);
    pause.push_back("--body-reset");
    Receiver reset(sb, pause);
    for (std::string kind : {"http", "session", "session-tls"}) {
        for (const Receiver *server : {&rx, &reset}) {
            SCOPED_TRACE(kind + (server == &reset ? ", reset" : ""));
            std::string cf =
                write_config(sb, {.write = (kind == "http" ? "http://127.0.0.1:" : "127.0.0.1:") +
                                           server->port(kind),
                                  .universe = kind == "session-tls" ? "ssl = true\n" : ""});
            Trace t = trace(sb, "big.slt", {"--size", std::to_string(64 << 20)});
            auto start = std::chrono::steady_clock::now();
            Result r = sb.tolvane({"-c", cf, "put", "p", "t", "big.slt"}, {.terminal = true});
            std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            // Drawn while the body waited, at most four times a second, and then erased: the
            // screen holds the result line or the error alone.
            EXPECT_GE(draws(r.out), 1) << testing::PrintToString(r);
            EXPECT_LE(draws(r.out), 4 * took.count() + 1);
            if (server == &rx) {
                EXPECT_EQ(r.status, 0);
                EXPECT_EQ(screen(r.out), t.line) << testing::PrintToString(r);
                // The same upload with standard error on a file: the usual bytes only.
                Trace u = trace(sb, "big.slt", {"--size", std::to_string(64 << 20)});
                EXPECT_EQ(sb.tolvane({"-c", cf, "put", "p", "t", "big.slt"}), exits(0, u.line));
            } else {
                EXPECT_EQ(r.status, 1);
                // The cause and the error, each a line of its own.
                std::string shown = screen(r.out);
                size_t second = shown.find("\nerror: ");
                EXPECT_TRUE(shown.starts_with("error: ") && second != std::string::npos &&
                            shown.find('\n', second + 1) == shown.size() - 1)
                    << testing::PrintToString(r);
            }
        }
    }
}
