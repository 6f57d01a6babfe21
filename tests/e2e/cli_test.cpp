// The global command line: every way the front end ends before or at the command word.
#include <gtest/gtest.h>

#include "harness.h"

using namespace e2e;

namespace {
const std::string kVersion = "tolvane version " TOLVANE_VERSION "\n";

const std::string kNoFile =
    "error: configuration file could not be opened: No such file or directory\n";

class Cli : public ::testing::Test {
   protected:
    Result tolvane(const std::vector<std::string> &args) { return sb.tolvane(args); }
    Sandbox sb;
    std::string cf = sb.write("tolvane.cf", "# nothing configured\n");
};
}  // namespace

TEST_F(Cli, NoArgumentsAtAllIsMisuse) {
    EXPECT_EQ(tolvane({}), exits(1, "", kUsage));
}

TEST_F(Cli, OptionWithoutItsValueIsMisuse) {
    for (const char *opt : {"-c", "--cf", "-C", "--ch"}) {
        SCOPED_TRACE(opt);
        EXPECT_EQ(tolvane({opt}), exits(1, "", kUsage));
        EXPECT_EQ(tolvane({opt, ""}), exits(1, "", kUsage));
        EXPECT_EQ(tolvane({opt, "", "view"}), exits(1, "", kUsage));
    }
}

TEST_F(Cli, HelpAndMissingCommandWordPrintUsageOnStandardOutput) {
    EXPECT_EQ(tolvane({"-h"}), exits(0, kUsage));
    EXPECT_EQ(tolvane({"--help", "view"}), exits(0, kUsage));
    EXPECT_EQ(tolvane({"-c", cf, "view", "--help"}), exits(0, "", retired_notice("view")));
    EXPECT_EQ(tolvane({""}), exits(0, kUsage));
    EXPECT_EQ(tolvane({"-c", "cf"}), exits(0, kUsage));
    EXPECT_EQ(tolvane({"-C", "home", "--", "-x"}), exits(0, kUsage));
    EXPECT_EQ(tolvane({"-c", "cf", "", "view"}), exits(0, kUsage));
}

TEST_F(Cli, VersionOnlyInFrontOfTheCommandWord) {
    EXPECT_EQ(tolvane({"-v"}), exits(0, kVersion));
    EXPECT_EQ(tolvane({"--version", "bogus"}), exits(0, kVersion));
    EXPECT_EQ(tolvane({"-x", "-v", "-h"}), exits(0, kVersion));
    EXPECT_EQ(tolvane({"-c", cf, "view", "-v"}), exits(0, "", retired_notice("view")));
}

TEST_F(Cli, UnknownOptionsAndDoubleDashAreSkipped) {
    for (const char *word :
         {"-x", "--", "-", "-vx", "-cfile", "--cfx", "-version", "-help", "--verbose", "-Cdir"}) {
        SCOPED_TRACE(word);
        EXPECT_EQ(tolvane({"-c", cf, word, "view"}), exits(0, "", retired_notice("view")));
    }
}

TEST_F(Cli, OptionValuesAreTakenUnchangedAndTheLastWins) {
    // A value that looks like an option is still the value.
    EXPECT_EQ(tolvane({"-c", "-v", "view"}), exits(1, "", kNoFile));
    EXPECT_EQ(tolvane({"--cf", cf, "--ch", "--help", "view"}),
              exits(0, "", retired_notice("view")));
    EXPECT_EQ(tolvane({"--cf=", "view"}), exits(1, "", kNoFile));
    EXPECT_EQ(tolvane({"--cf=" + cf, "view"}), exits(0, "", retired_notice("view")));
    EXPECT_EQ(tolvane({"-c", "missing", "-c", cf, "view"}), exits(0, "", retired_notice("view")));
    EXPECT_EQ(tolvane({"-c", cf, "--cf=missing", "view"}), exits(1, "", kNoFile));
    EXPECT_EQ(tolvane({"--cf=-h", "-c", "a", "-c", cf, "view"}),
              exits(0, "", retired_notice("view")));
}

TEST_F(Cli, UnknownCommandWord) {
    EXPECT_EQ(tolvane({"-c", cf, "upload", "file"}),
              exits(1, "", "error: 'upload' is not a valid command. See 'tolvane --help'.\n"));
    EXPECT_EQ(tolvane({"-c", cf, "PUT"}),
              exits(1, "", "error: 'PUT' is not a valid command. See 'tolvane --help'.\n"));
    // The configuration is loaded first, so its error comes before the word is looked up.
    EXPECT_EQ(tolvane({"-c", "missing", "upload"}), exits(1, "", kNoFile));
}

TEST_F(Cli, RetiredCommandsNameThemselves) {
    for (const char *name : {"login", "list", "alias", "get", "summary", "view"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(tolvane({"-c", cf, name, "--whatever", "x"}), exits(0, "", retired_notice(name)));
    }
}

// Under a service manager whose JOURNAL_STREAM names standard error, each line there carries the
// journal's priority; with the variable naming anything else, not one byte changes.
TEST_F(Cli, JournalPrioritiesOnlyWhenStandardErrorIsTheJournal) {
    std::string bad = sb.write("bad.cf", "[general]\ncolour = red\n[token]\np = x\n");
    std::string warned = sb.write("warned.cf", "[general]\ncolour = red\n");
    auto run = [&](const std::string &stream, const std::vector<std::string> &args) {
        // The shell gives the variable the device and inode of its own standard error, which
        // the program inherits.
        std::vector<std::string> sh = {"-c", "JOURNAL_STREAM=" + stream + " exec \"$@\"", "sh",
                                       TOLVANE_BINARY};
        sh.insert(sh.end(), args.begin(), args.end());
        return sb.run("/bin/sh", sh);
    };
    auto info = [](const std::string &text) {  // every line of it at the default priority
        std::string out;
        for (size_t at = 0, lf; at < text.size(); at = lf + 1) {
            lf = text.find('\n', at);
            out += "<6>" + text.substr(at, lf - at + 1);
        }
        return out;
    };
    const std::string self = "$(stat -L -c %d:%i /proc/self/fd/2)";
    const std::string warning = "warning: ignoring unknown option 'colour' at line 2.\n";
    // The errx form: the program's name first, and an empty line after.
    const std::string token =
        "tolvane: error: wrong length token for project \"p\" at line 4: 1 characters, not 64\n\n";
    EXPECT_EQ(run(self, {"-c", warned, "view"}),
              exits(0, "", "<4>" + warning + info(retired_notice("view"))));
    EXPECT_EQ(run(self, {"-c", bad, "view"}), exits(1, "", "<4>" + warning + "<3>" + token));
    EXPECT_EQ(run(self, {"-c", sb.path("missing"), "view"}), exits(1, "", "<3>" + kNoFile));
    for (const std::string &other :
         {std::string("1:1"), std::string(""), std::string("junk"), self + "0"})
        EXPECT_EQ(run(other, {"-c", bad, "view"}), exits(1, "", warning + token)) << other;
}
