// The general, daemon and default blocks: every message they print, and the default options
// that the configuration puts in front of a command's own arguments.
#include <gtest/gtest.h>

#include "harness.h"

using namespace e2e;

namespace {
const std::string kNotice =
    "tolvane view sub-command is no longer supported. Please use the stacklore-grimvale\n"
    "client in order to explore event data, stacklore-grimvale. Details are available at:\n"
    "https://tolvane.example.org/docs/retired-commands\n";

struct Case {
    std::string cf;
    int status;
    std::string err;  // for status 0, what comes before the notice
};

class CfBlocks : public ::testing::Test {
   protected:
    Result run(const std::string &cf, const std::vector<std::string> &command) {
        std::vector<std::string> args = {"-c", sb.write("cf", cf), "-C", sb.path("home")};
        args.insert(args.end(), command.begin(), command.end());
        return sb.tolvane(args);
    }
    void check(const std::vector<Case> &cases) {
        for (const Case &c : cases) {
            SCOPED_TRACE(c.cf);
            EXPECT_EQ(run(c.cf, {"view"}),
                      exits(c.status, "", c.status == 0 ? c.err + kNotice : c.err));
        }
    }
    // What the placeholder put command shows of the argument vector it received.
    static Result put_saw(const std::string &words) {
        return exits(1, "", "error: put is not implemented yet: " + words + "\n");
    }
    Sandbox sb;
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
                    "error: put is not implemented yet: put f\n"));
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
    EXPECT_EQ(run("[default]\nput.a = 1\nput.b = 2\n", {"put", "-u", "p", "t", "f"}),
              put_saw("put --a=1 --b=2 -u p t f"));
    EXPECT_EQ(run("[default]\nput.a = 1\n", {"put"}), put_saw("put --a=1"));
    EXPECT_EQ(run("[default]\nput. = x\nput.x.y = a=b\nput.t = a\tb\n", {"put", "f"}),
              put_saw("put --=x --x.y=a=b --t=a\tb f"));
    // Defaults gather over blocks; the user's own occurrence comes after the configured one.
    EXPECT_EQ(run("[default]\nput.universe = main\nstacklore.x = 1\n[general]\n[default]\n"
                  "put.b = 2\n",
                  {"put", "--universe=other", "f"}),
              put_saw("put --universe=main --b=2 --universe=other f"));
}

TEST_F(CfBlocks, CommandWithoutDefaultsIsUnchanged) {
    for (const char *cf : {"# none\n", "[default]\n", "[default]\nstacklore.a = 1\n",
                           "[default]\nPut.a = 1\nputs.a = 1\n"}) {
        SCOPED_TRACE(cf);
        EXPECT_EQ(run(cf, {"put", "-u", "p", "--", "f"}), put_saw("put -u p -- f"));
    }
}
