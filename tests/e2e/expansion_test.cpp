// Configured values are expanded like shell words but never by running a command: command
// substitution in the configuration home, cache.path or stacklore.put_args is refused like any
// other expansion error, and the command does not run.
#include <gtest/gtest.h>

#include <filesystem>

#include "harness.h"

using namespace e2e;

TEST(Expansion, CommandSubstitutionIsRefusedAndNeverRuns) {
    Sandbox sb;
    std::string tracer = sb.write("tracer", "#!/bin/sh\necho f.slt\n", 0755);
    trace(sb, "f.slt");
    for (std::string command :
         {"$(touch ran)", "`touch ran`", "a$(touch ran)b", "\"`touch ran`\"", "~/$(touch ran)"}) {
        struct Case {
            std::vector<std::string> args;
            std::string general;
        } cases[] = {
            {{"-C", command, "view"}, ""},
            {{"--ch=" + command, "view"}, ""},
            {{"view"}, "cache.path = " + command + "\n"},
            {{"stacklore", "p", "t", "x"}, "stacklore.put_args = -u " + command + "\n"},
        };
        for (Case &c : cases) {
            SCOPED_TRACE(command + " " + c.args[0] + " " + c.general);
            std::string cf = write_config(
                sb, {.head = "[general]\nstacklore.path = " + tracer + "\n" + c.general,
                     .write = "127.0.0.1:1"});
            c.args.insert(c.args.begin(), {"-c", cf});
            EXPECT_EQ(sb.tolvane(c.args),
                      exits(1, "", "error: wordexp failed: Invalid argument\n"));
            EXPECT_FALSE(sb.exists("ran"));
            std::filesystem::remove(sb.path("ran"));
        }
    }
}
