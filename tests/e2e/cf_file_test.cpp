// The configuration file as the loader reads it: line kinds, block headers, line limits, the
// key = value split, and where the file is looked for.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>

#include "cf_cases.h"
#include "harness.h"

using namespace e2e;
using namespace std::string_literals;

namespace {

std::string parseError(int line) {
    return "error: configuration parse error at line " + std::to_string(line) + "\n";
}

class CfFile : public CfCases {};
}  // namespace

TEST_F(CfFile, LinesMustEndInALineFeedWithinTheLimit) {
    const std::string longAt3 = "error: configuration file contains long line at 3\n";
    check({
        {"", 0, ""},
        {"# a\n\n#" + std::string(1021, 'x') + "\n", 0, ""},
        {"# a\n\n#" + std::string(1022, 'x') + "\n", 1, longAt3},
        {"# a\n\n#" + std::string(5000, 'x') + "\n# b\n", 1, longAt3},
        {"[x]\nk = " + std::string(1018, 'v') + "\n", 0, unknown("x", 1)},
        {"[x]\nk = " + std::string(1019, 'v') + "\n", 1,
         unknown("x", 1) + "error: configuration file contains long line at 2\n"},
        // A short last line without its line feed is refused the same way.
        {"# a\n\n#", 1, longAt3},
        {"[universe]\nname = a", 1, "error: configuration file contains long line at 2\n"},
        // A NUL byte cuts the line short, even in a comment.
        {"# a\n\n#\0\n"s, 1, longAt3},
        {"[x]\n\nk = a\0b\n"s, 1, unknown("x", 1) + longAt3},
    });
}

TEST_F(CfFile, CommentsAndBlankLinesAreDecidedByTheFirstCharacter) {
    check({
        {"#\n\n\r\n\r \n#[universe]\n", 0, ""},
        // An indented comment is a content line: checked in a known block, ignored elsewhere.
        {"[universe]\nname = a\n  # a comment\n", 1, parseError(3)},
        {"[other]\n  # a comment\n\tno equals sign\n", 0, unknown("other", 1)},
        {"[universe]\n \n", 1, parseError(2)},
        // Carriage-return line ends: blank lines and headers still work.
        {"[universe]\r\n\r\nname = a\r\n#\r\n", 0, ""},
        {"# a\r\n[universe]\r\n\r\n", 1,
         "error: universe configuration block at line 2 is empty.\n"},
        {"[universe]\r\nname = a\r\nno equals sign\r\n", 1, parseError(3)},
    });
}

TEST_F(CfFile, ContentBeforeTheFirstHeader) {
    const std::string lacks = "error: configuration file lacks block at line ";
    check({
        {"name = a\n[universe]\n", 1, lacks + "1\n"},
        {"# a\n\n \n", 1, lacks + "3\n"},
        {"\r\n\tname = a\n", 1, lacks + "2\n"},
        {"]\n", 1, lacks + "1\n"},
    });
}

TEST_F(CfFile, HeaderNamesAreTakenExactlyUpToTheFirstBracket) {
    const std::string lines = "no equals sign\n";
    check({
        {"[universe] # writers\n" + lines, 1, parseError(2)},
        {"[universe]]\n" + lines, 1, parseError(2)},
        // Other spellings open a block of another name, whose lines are not looked at; its name
        // is shown so that a misspelling stands out (a tab as an escape).
        {"[ universe ]\n" + lines, 0, unknown(" universe ", 1)},
        {"[Universe]\n" + lines, 0, unknown("Universe", 1)},
        {"[universe\t]\n" + lines, 0, unknown("universe\\t", 1)},
        {"[]\n" + lines, 0, unknown("", 1)},
        {"[][universe]\n" + lines, 0, unknown("", 1)},
        {"[other]\n" + lines + "[universe]\n" + lines, 1, unknown("other", 1) + parseError(4)},
    });
}

TEST_F(CfFile, HeaderWithoutClosingBracket) {
    const std::string incomplete = "error: incomplete configuration block ";
    check({
        {"# a\n[universe\n", 1, incomplete + "[universe] at line 2\n"},
        {"[\n", 1, incomplete + "[] at line 1\n"},
        {"[a [b\n", 1, incomplete + "[a [b] at line 1\n"},
        {"[universe\r\n", 1, incomplete + "[universe\r] at line 1\n"},
        // The header is checked before the open block is closed.
        {"[universe]\n[general\n", 1, incomplete + "[general] at line 2\n"},
    });
}

TEST_F(CfFile, EveryKnownBlockNeedsAnEqualsSign) {
    for (const char *block : {"universe", "general", "default", "token", "daemon"}) {
        SCOPED_TRACE(block);
        std::string cf = sb.write("cf", "# a\n["s + block + "]\n\nno equals sign\n");
        EXPECT_EQ(sb.tolvane({"-c", cf, "view"}), exits(1, "", parseError(4)));
    }
}

TEST_F(CfFile, KeyIsTheFirstWordAndValueKeepsItsTail) {
    const std::string head = "[universe]\nname = a\n";
    // The line, the value and what the key takes come first.
    auto badSsl = [&](const std::string &value) {
        return "error: ssl = \"" + value + "\" at line 3 of " + sb.path("cf") +
               "; it takes true or false.\nerror: invalid SSL value.\n";
    };
    check({
        {head + "  \tssl=TrUe\n", 0, ""},
        {head + "ssl extra words = false\n", 0, ""},
        {head + "name\t=a\n", 0, ""},
        {head + "ssl =\n", 0, badSsl("")},
        {head + "ssl = true \n", 0, badSsl("true ")},
        {head + "ssl = true=\n", 0, badSsl("true=")},
        {"[universe]\r\nname = a\r\nssl = true\r\n", 0, badSsl("true\r")},
        {head + "x.y z = true\n", 0, "error: universe block unknown key 'x.y' at line 3.\n"},
        {head + "= true\n", 0, "error: universe block unknown key '' at line 3.\n"},
    });
}

TEST_F(CfFile, GivenPathMustOpen) {
    const std::string cannot = "error: configuration file could not be opened: ";
    // A file in the home directory is no fallback for a missing given one.
    sb.write(".tolvane.cf", "# would be fine\n");
    EXPECT_EQ(sb.tolvane({"-c", sb.path("missing.cf"), "view"}),
              exits(1, "", cannot + "No such file or directory\n"));
    std::string plain = sb.write("plain", "# a\n");
    EXPECT_EQ(sb.tolvane({"-c", plain + "/cf", "view"}),
              exits(1, "", cannot + "Not a directory\n"));
    // A directory opens, but holds no configuration.
    EXPECT_EQ(sb.tolvane({"-c", sb.dir(), "view"}), exits(1, "", cannot + "Is a directory\n"));
}

TEST_F(CfFile, DefaultPlacesIgnoreHome) {
    const struct passwd *pw = getpwuid(getuid());
    std::vector<std::string> places = {"/etc/tolvane.cf", "/usr/local/etc/tolvane.cf",
                                       "/opt/stacklore/etc/tolvaned/tolvane.cf"};
    std::string home = pw != nullptr ? std::string(pw->pw_dir) + "/.tolvane.cf, " : "";
    if (pw != nullptr) places.push_back(std::string(pw->pw_dir) + "/.tolvane.cf");
    for (const std::string &place : places) {
        std::error_code ec;
        if (std::filesystem::exists(place, ec) || ec) GTEST_SKIP() << place << " exists";
    }
    // HOME is the sandbox, and its .tolvane.cf is not where the file is looked for.
    sb.write(".tolvane.cf", "# would be fine\n");
    EXPECT_EQ(sb.tolvane({"view"}),
              exits(1, "",
                    "error: no tolvane configuration file specified nor detected.\n"
                    "error: looked for " +
                        home +
                        "/etc/tolvane.cf, /usr/local/etc/tolvane.cf and "
                        "/opt/stacklore/etc/tolvaned/tolvane.cf; -c names another.\n"
                        "error: configuration file could not be opened: No such file or "
                        "directory\n"));
}
