// What put prints is the truth: result lines that cannot be written are a failure, never a
// status of 0; text from a server and the names of files are shown escaped, so that neither
// can forge a line or reach a terminal as an escape sequence.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "harness.h"

using namespace e2e;

namespace {
// The receiver with an HTTP and a plain session listener, and a configuration for either.
class PutOutput : public ::testing::Test {
   protected:
    PutOutput() : rx(sb, {"--http", "0", "--session", "0"}) {}
    std::string config(const std::string &kind) {
        return write_config(
            sb, {.write = (kind == "http" ? "http://127.0.0.1:" : "127.0.0.1:") + rx.port(kind)});
    }
    Sandbox sb;
    Receiver rx;
};
}  // namespace

// Standard output on a full device, or a pipe whose reader has gone: the first result line
// cannot be written, so put says so and ends with status 1. The file whose line was lost is
// stored but kept (with -u too), and no later file is sent.
TEST_F(PutOutput, LinesThatCannotBeWrittenAreAFailure) {
    const std::string full =
        "error: failed to write to standard output: No space left on device.\n";
    const std::string gone = "error: failed to write to standard output: Broken pipe.\n";
    struct Case {
        const char *kind;
        Options options;
        std::string err;
    } cases[] = {
        {"http", {.stdout_file = "/dev/full"}, full},
        {"session", {.stdout_file = "/dev/full"}, full},
        {"http", {.stdout_reader_gone = true}, gone},
        {"session", {.stdout_reader_gone = true}, gone},
    };
    int n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.kind + std::string(c.options.stdout_file ? " full" : " gone"));
        Trace a = trace(sb, "a" + std::to_string(n) + ".slt");
        Trace b = trace(sb, "b" + std::to_string(n++) + ".slt");
        EXPECT_EQ(
            sb.tolvane({"-c", config(c.kind), "put", "-u", "p", "t", a.path, b.path}, c.options),
            exits(1, "", c.err));
        EXPECT_TRUE(sb.exists("store/" + a.uuid + ".slt"));
        EXPECT_TRUE(sb.exists(a.path) && sb.exists(b.path));
        EXPECT_FALSE(sb.exists("store/" + b.uuid + ".slt"));
    }
    // The usage asked for is output too.
    std::string cf = config("http");
    EXPECT_EQ(sb.tolvane({"-c", cf, "put", "-h"}, {.stdout_file = "/dev/full"}),
              exits(1, "", full));
    EXPECT_EQ(sb.tolvane({"-c", cf, "put", "--help"}, {.stdout_reader_gone = true}),
              exits(1, "", gone));
}

// A server's text (an HTTP error, a session body as the left of a result line) and a file name
// holding a line feed and escape sequences: each shown escaped, on one line, server text cut.
TEST_F(PutOutput, ServerTextAndFileNamesAreShownEscaped) {
    const std::string shown =
        "a\": aborted connection.\\nFORGED warning: \\x1b[31mred\\xc2\\x9b.slt";
    const std::string evil = "a\": aborted connection.\nFORGED warning: \x1b[31mred\xc2\x9b.slt";
    const std::string long_text(600, 'x');
    struct Case {
        const char *name;
        std::vector<std::string> receiver;
        std::string kind;
        bool exists;  // the file is there to send
        Result expected;
    } cases[] = {
        {"HTTP error text",
         {"--reply-body", R"({"errstr":"no\nFORGED: \u001b]0;title\u0007 \u0000done"})"},
         "http",
         true,
         exits(1, "",
               "error: failed to post file \"" + shown +
                   "\": no\\nFORGED: \\x1b]0;title\\x07 \\x00done\n")},
        {"HTTP error text, cut",
         {"--reply-body", R"({"error":{"message":")" + long_text + R"("}})"},
         "http",
         true,
         exits(1, "",
               "error: failed to post file \"" + shown + "\": " + long_text.substr(0, 512) +
                   "...\n")},
        {"session: trace exists",
         {"--session-status", "2", "--session-substatus", "1"},
         "session",
         true,
         exits(1, "", "error: failed to upload " + shown + ": trace already exists with UUID\n")},
        {"no such file",
         {},
         "http",
         false,
         exits(1, "", "error: failed to open file (" + shown + "): No such file or directory\n")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> switches = c.receiver;
        switches.insert(switches.begin(), {"--http", "0", "--session", "0"});
        Receiver server(sb, switches);
        std::string cf =
            write_config(sb, {.write = (c.kind == "http" ? "http://127.0.0.1:" : "127.0.0.1:") +
                                       server.port(c.kind)});
        if (c.exists) {
            trace(sb, evil);
        } else {
            std::filesystem::remove(sb.path(evil));
        }
        EXPECT_EQ(sb.tolvane({"-c", cf, "put", "p", "t", evil}), c.expected);
    }
    // A session body as the left of the result line.
    Receiver text(sb, {"--session", "0", "--session-body-text", "ok\nFORGED\x1b[2J\x7f"});
    Trace f = trace(sb, "f.slt");
    EXPECT_EQ(sb.tolvane({"-c", write_config(sb, {.write = "127.0.0.1:" + text.port("session")}),
                          "put", "p", "t", "f.slt"}),
              exits(0, "ok\\nFORGED\\x1b[2J\\x7f => " + f.uuid + "\n"));
    // The progress line on a terminal names the file escaped too: the only escape sequences that
    // reach the terminal are the line's own.
    trace(sb, evil, {"--size", std::to_string(9 << 20)});
    Result r = sb.tolvane({"-c", config("session"), "put", "--limit-rate", "12M", "p", "t", evil},
                          {.terminal = true});
    EXPECT_EQ(r.status, 0);
    std::string bare = r.out;
    for (size_t at; (at = bare.find("\033[K")) != std::string::npos;) bare.erase(at, 3);
    EXPECT_EQ(bare.find('\x1b'), std::string::npos) << testing::PrintToString(r);
    EXPECT_NE(bare.find("\\nFORGED warning: \\x1b[31mred\\xc2\\x9b.slt  "), std::string::npos)
        << testing::PrintToString(r);
    // Then the result line alone (the name in it would not parse as mktrace's words).
    ASSERT_TRUE(bare.ends_with("\r\n")) << testing::PrintToString(r);
    std::string line = bare.substr(0, bare.size() - 2);
    line.erase(0, line.rfind('\r') + 1);
    EXPECT_TRUE(std::regex_match(line, std::regex("[0-9a-f]{64} => [0-9a-f]{32}"))) << line;
    EXPECT_TRUE(sb.exists("store/" + line.substr(68) + ".slt")) << line;
}
