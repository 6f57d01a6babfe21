// The general, daemon and default blocks: every message they print, and the default options
// that the configuration puts in front of a command's own arguments.
#include <gtest/gtest.h>

#include "cf_cases.h"
#include "harness.h"

using namespace e2e;

namespace {

class CfBlocks : public CfCases {
   protected:
    // put refusing the first option it does not know.
    static Result put_refuses(const std::string &quoted) {
        return exits(1, "", "put: unrecognized option " + quoted + "\n" + kPutUsage);
    }
};
}  // namespace

TEST_F(CfBlocks, GeneralViewerMustHoldOnlyPercentS) {
    const std::string must = "error: format string must be %s at line 3.\n";
    const std::string malformed = "error: malformed format string in viewer option at line 3.\n";
    check({
        {"[general]\n# viewer\nviewer = vistrel %s %s\n", 0, ""},
        {"[general]\n# viewer\nviewer = %s\n", 0, ""},
        {"[general]\n# viewer\nviewer = vistrel %s%%\n", 1, must},
        {"[general]\n# viewer\nviewer = vistrel %d\n", 1, must},
        {"[general]\n# viewer\nviewer = vistrel %S\n", 1, must},
        {"[general]\n# viewer\nviewer = vistrel %s %\n", 1, malformed},
        {"[general]\n# viewer\nviewer = 100%\n", 1, malformed},
        {"[general]\n# viewer\nviewer = vistrel\n", 1,
         "error: missing required format string for viewer at line 3.\n"},
        {"[general]\n# viewer\nviewer =\n", 1,
         "error: missing required format string for viewer at line 3.\n"},
    });
}

TEST_F(CfBlocks, GeneralTimeoutIsRejectedOnlyWhenNegativeAsInt) {
    auto timeout = [](const std::string &v) {
        return "[general]\nstacklore.timeout = " + v + "\n";
    };
    check({
        {timeout("abc"), 0, ""},
        {timeout("0"), 0, ""},
        {timeout("12s"), 0, ""},
        {timeout("2147483647"), 0, ""},
        {timeout("-5"), 1, "error: invalid timeout (-5)  at line 2.\n"},
        {timeout("-5 "), 1, "error: invalid timeout (-5)  at line 2.\n"},
        {timeout("4294967295"), 1, "error: invalid timeout (-1)  at line 2.\n"},
        {timeout("2147483648"), 1, "error: invalid timeout (-2147483648)  at line 2.\n"},
    });
}

TEST_F(CfBlocks, GeneralTimeLimitsAndUploadCap) {
    auto seconds = [](const std::string &key, const std::string &v) {
        return "error: invalid " + key + " value \"" + v +
               "\" at line 2; it takes a whole number of seconds from 1 to 86400.\n";
    };
    std::vector<CfCase> cases;
    for (std::string key : {"daemon.timeout", "upload.connect_timeout"}) {
        for (std::string good : {"1", "30", "86400", "600 "})
            cases.push_back({"[general]\n" + key + " = " + good + "\n", 0, ""});
        for (std::string bad : {"0", "-1", "86401", "1.5", "30s", "x", ""})
            cases.push_back({"[general]\n" + key + " = " + bad + "\n", 1, seconds(key, bad)});
    }
    for (std::string good : {"1", "512K", "8M", "1g"})
        cases.push_back({"[general]\nupload.max_rate = " + good + "\n", 0, ""});
    for (std::string bad : {"0", "fast", "1.5M", "10MB", ""})
        cases.push_back({"[general]\nupload.max_rate = " + bad + "\n", 1,
                         "error: invalid upload.max_rate value \"" + bad +
                             "\" at line 2; it takes bytes per second, a whole number optionally "
                             "followed by K, M or G (powers of 1024).\n"});
    check(cases);
}

TEST_F(CfBlocks, GeneralOtherKeysAndUnknownKeysWarn) {
    check({
        {"[general]\nstacklore.path = /x/quorvex \nstacklore.put_args = -u -x\ncache.path = /c\n",
         0, ""},
        {"[general]\ncolour = red\nViewer = v\nview er = v\n", 0,
         "warning: ignoring unknown option 'colour' at line 2.\n"
         "warning: ignoring unknown option 'Viewer' at line 3.\n"
         "warning: ignoring unknown option 'view' at line 4.\n"},
        {"[general]\ncolour = red\nviewer = v\n", 1,
         "warning: ignoring unknown option 'colour' at line 2.\n"
         "error: missing required format string for viewer at line 3.\n"},
    });
    // The warning does not stop the command either.
    EXPECT_EQ(run("[general]\ncolour = red\n", {"put", "f"}),
              exits(1, "",
                    "warning: ignoring unknown option 'colour' at line 2.\n"
                    "error: no token specified.\n" +
                        kPutUsage));
}

TEST_F(CfBlocks, DaemonKeysAndRoots) {
    const std::string lacks =
        "error: daemon configuration at line 3 lacks project and option "
        "specifiers.\n";
    const std::string relative =
        "error: daemon configuration requires absolute paths for root "
        "specification at line 3.\n";
    check({
        {"[daemon]\np.root = /srv/p\np.token = t\n", 0, ""},
        {"[daemon]\np.token = t\np.root = /\n", 0, ""},
        {"[daemon]\n\n", 0, ""},
        {"[daemon]\np.token = t\np.root = relative/dir\n", 1, relative},
        {"[daemon]\np.token = t\np.root =\n", 1, relative},
        {"[daemon]\np.token = t\np.extra = 1\n", 1, lacks},
        {"[daemon]\np.token = t\np = 1\n", 1, lacks},
        {"[daemon]\np.token = t\np. = 1\n", 1, lacks},
        {"[daemon]\np.token = t\np.root.x = /\n", 1, lacks},
        {"[daemon]\np.token = t\np.Root = /\n", 1, lacks},
    });
}

TEST_F(CfBlocks, DaemonWatcherMustBeCompleteAtTheEndOfItsBlock) {
    const std::string lacks_p = "error: daemon entry for [p] lacks required fields.\n";
    check({
        {"[daemon]\np.root = /x\n", 1, lacks_p},
        {"[daemon]\np.token = t\n", 1, lacks_p},
        // Checked at the first block's closing call, before the second block is read.
        {"[daemon]\np.root = /x\n[daemon]\np.token = t\n", 1, lacks_p},
        {"[daemon]\np.root = /x\n[general]\nviewer = v\n", 1, lacks_p},
        // The newest incomplete watcher is named.
        {"[daemon]\na.root = /x\nb.root = /y\n", 1,
         "error: daemon entry for [b] lacks required fields.\n"},
        {"[daemon]\na.root = /x\na.token = t\n[daemon]\nb.token = t\n", 1,
         "error: daemon entry for [b] lacks required fields.\n"},
        // A complete watcher may be changed by a later block.
        {"[daemon]\np.root = /x\np.token = t\n[daemon]\np.root = /y\n", 0, ""},
        // A line error comes before the closing call.
        {"[daemon]\np.root = /x\np.extra = 1\n", 1,
         "error: daemon configuration at line 3 lacks project and option specifiers.\n"},
    });
}

TEST_F(CfBlocks, DefaultValuesMustBeOneNonEmptyWord) {
    const std::string malformed = "error: malformed default at line 2.\n";
    const std::string invalid = "error: invalid default at line 2.\n";
    check({
        {"[default]\nput.k = a b\n", 1, malformed},
        {"[default]\nput.k = a \n", 1, malformed},
        {"[default]\nput = a\n", 1, malformed},
        {"[default]\nput.k =\n", 1, invalid},
        {"[default]\nput.k =   \n", 1, invalid},
        {"[default]\nput. = x\n", 0, ""},
        {"[default]\n.k = x\n", 0, ""},
        {"[default]\nput.k = a=b\n", 0, ""},
    });
}

TEST_F(CfBlocks, DefaultOptionsGoInFrontOfTheCommandArguments) {
    // put's option scanner stops at the first option it refuses, so each case shows which
    // word put met first.
    EXPECT_EQ(run("[default]\nput.a = 1\nput.b = 2\n", {"put", "-x", "p", "t", "f"}),
              put_refuses("'--a=1'"));
    EXPECT_EQ(run("[default]\nput.b = 2\n", {"put"}), put_refuses("'--b=2'"));
    // An empty option name prefixes every long option.
    EXPECT_EQ(run("[default]\nput. = x\n", {"put", "f"}),
              exits(1, "",
                    "put: option '--=x' is ambiguous; possibilities: '--randomize-uuid' "
                    "'--randomize-sha256' '--disconnect' '--unlink' '--insecure' '--limit-rate' "
                    "'--help' '--progress-fd'\n" +
                        kPutUsage));
    EXPECT_EQ(run("[default]\nput.x.y = a=b\n", {"put", "f"}), put_refuses("'--x.y=a=b'"));
    // Defaults gather over blocks, in file order, and the user's own words come after them.
    const std::string uuid = "error: uuid bytes must be <= 16 bytes.\n";
    const std::string sig = "error: sha256 bytes must be <= 32 bytes.\n";
    EXPECT_EQ(run("[default]\nput.randomize-uuid = 99\n", {"put", "-h"}), exits(1, "", uuid));
    EXPECT_EQ(run("[default]\nput.randomize-sha256 = 99\n[general]\n[default]\n"
                  "put.randomize-uuid = 99\n",
                  {"put", "-h"}),
              exits(1, "", sig));
    EXPECT_EQ(run("[default]\nput.randomize-uuid = 4\nstacklore.x = 1\n", {"put", "-S99", "-h"}),
              exits(1, "", sig));
    EXPECT_EQ(run("[default]\nput.unlink = x\n", {"put"}),
              exits(1, "", "put: option '--unlink' doesn't allow an argument\n" + kPutUsage));
}

TEST_F(CfBlocks, CommandWithoutDefaultsIsUnchanged) {
    for (const char *cf : {"# none\n", "[default]\n", "[default]\nstacklore.a = 1\n",
                           "[default]\nPut.a = 1\nputs.a = 1\n"}) {
        SCOPED_TRACE(cf);
        EXPECT_EQ(run(cf, {"put", "-u", "p", "--", "f"}),
                  exits(1, "", "error: no such token found.\n"));
    }
}
