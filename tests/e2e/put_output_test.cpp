// What put prints is the truth: result lines that cannot be written are a failure, never a
// status of 0.
#include <gtest/gtest.h>

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
