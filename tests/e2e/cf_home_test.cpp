// The configuration home: the current-server link, the JSON configuration, the expansion of the
// home and cache paths, the login token cache, and the order in which all of it is loaded.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

#include "harness.h"

using namespace e2e;

namespace {
const std::string kNotice = retired_notice("view");
const std::string kWordexp = "error: wordexp failed: Invalid argument\n";

std::string errx(const std::string &message) {
    return "tolvane: " + message + "\n";
}

std::string doc(const std::string &universes, const std::string &endpoints,
                const std::string &tokens) {
    return R"({"universes": )" + universes + R"(, "endpoints": )" + endpoints +
           R"(, "project_tokens": )" + tokens + "}";
}

struct Case {
    std::string text;
    int status;
    std::string err;  // for status 0, what comes before the notice
};

class CfHome : public ::testing::Test {
   protected:
    CfHome() { sb.mkdir("home"); }
    void link(const std::string &target, const std::string &at = "home/current_server") {
        unlink(sb.path(at).c_str());
        ASSERT_EQ(symlink(target.c_str(), sb.path(at).c_str()), 0) << at;
    }
    Result view() { return view({"-C", sb.path("home")}); }
    Result view(std::vector<std::string> args) {
        args.insert(args.begin(), {"-c", cf});
        args.push_back("view");
        return sb.tolvane(args);
    }
    static Result ends(int status, const std::string &err) {
        return exits(status, "", status == 0 ? err + kNotice : err);
    }
    // Runs view with each text written to the file rel of the current server h.
    void check(const std::string &rel, const std::vector<Case> &cases) {
        link("servers/h");
        for (const Case &c : cases) {
            SCOPED_TRACE(c.text);
            sb.write("home/servers/h/" + rel, c.text);
            EXPECT_EQ(view(), ends(c.status, c.err));
        }
    }
    Sandbox sb;
    std::string cf = sb.write("cf", "# nothing configured\n");
    std::string json = sb.path("home/servers/h/config.json");
};

class TokenCache : public CfHome {
   protected:
    std::string cache = sb.path("home/servers/h/login_tokens");
    std::string malformed(unsigned line) {
        return "error: token_cache file \"" + cache + "\" contains malformed line at " +
               std::to_string(line) + "\n";
    }
    std::string long_line(unsigned line) {
        return "error: token cache file \"" + cache + "\" contains long line at " +
               std::to_string(line) + ", skipping\n";
    }
};
}  // namespace

TEST_F(CfHome, CurrentServerIsTheLastComponentOfTheLinkTarget) {
    sb.write("home/servers/h/config.json", "{");
    sb.write("home/servers/h:443/config.json", "{");
    auto invalid = [&](const std::string &server) {
        return exits(1, "",
                     errx("Invalid JSON in " + sb.path("home/servers/" + server) +
                          "/config.json: continue.\n"));
    };
    EXPECT_EQ(view({"-C", sb.path("none")}), ends(0, ""));
    EXPECT_EQ(view(), ends(0, ""));
    link("servers/h");
    EXPECT_EQ(view(), invalid("h"));
    link("/elsewhere/servers/h");
    EXPECT_EQ(view(), invalid("h"));
    link("servers/h:443");
    EXPECT_EQ(view(), invalid("h:443"));
    link("h");  // no "/": no server at all
    EXPECT_EQ(view(), ends(0, ""));
    link("servers/g");  // a server without any files
    EXPECT_EQ(view(), ends(0, ""));
    unlink(sb.path("home/current_server").c_str());
    sb.write("home/current_server", "servers/h\n");  // not a link
    EXPECT_EQ(view(), ends(0, ""));
}

TEST_F(CfHome, JsonConfigurationShape) {
    const std::string missing = errx("Missing required data for zeroconf.\n");
    auto invalid = [&](const std::string &why) {
        return errx("Invalid JSON in " + json + ": " + why + ".\n");
    };
    check("config.json",
          {
              {doc(R"(["u", "v"])", "{}", R"({"u": {"p": ")" + kToken + R"("}})"), 0, ""},
              {"", 1, invalid("continue")},
              {R"({"universes": [)", 1, invalid("continue")},
              {R"({"universes": ])", 1, invalid("unexpected character")},
              {"[]", 1, missing},
              {R"({"endpoints": {}, "project_tokens": {}})", 1, missing},
              {R"({"universes": [], "project_tokens": {}})", 1, missing},
              {R"({"universes": ["u"], "endpoints": {}})", 1, missing},
              {doc("{}", "{}", "{}"), 1, missing},
              {doc("[]", "[]", "{}"), 1, missing},
              {doc("[]", "{}", "[]"), 1, missing},
              {doc("[]", "{}", R"({"u": "p"})"), 1, missing},
              {doc(R"(["u"])", R"({"writer": {}})", "{}"), 1, missing},
              {doc(R"(["u", 1])", "{}", "{}"), 1, errx("Invalid universe identifier.\n")},
              {doc(R"(["u", null, 1])", "{}", "{}"), 0, ""},
              {doc("[]", "{}", R"({"u": {"p": 5}})"), 1,
               errx("Universe \"u\", project p: bad token.\n")},
              {doc("[]", "{}", R"({"u": {"p": null}})"), 1,
               errx("Universe \"u\", project p: bad token.\n")},
              {doc("[]", "{}", R"({"u": {"p": ")" + kToken.substr(1) + R"("}})"), 1,
               errx("error: wrong length token for project \"p\" in the JSON configuration: 63 "
                    "characters, not 64\n")},
              {doc("[]", "{}", R"({"u": {"p": ")" + std::string(64, 'g') + R"("}})"), 1,
               errx("error: invalid token string for project \"p\" in the JSON configuration: "
                    "not 64 hexadecimal digits\n")},
          });
}

TEST_F(CfHome, JsonListeners) {
    auto listeners = [](const std::string &member, const std::string &list) {
        return doc(R"(["u"])", R"({")" + member + R"(": [)" + list + "]}", "{}");
    };
    const std::string port = errx("Unable to extract service port.\n");
    const std::string protocol = errx("Unable to extract service protocol.\n");
    check(
        "config.json",
        {
            {listeners("writer", R"({"port": 1, "protocol": "https"})"), 0, ""},
            {listeners("post", R"({"service": 65534, "protocol": "SSL"})"), 0, ""},
            {listeners("reader", R"(null, {"port": 0})"), 0, ""},
            {listeners("writer", R"({"protocol": "https"})"), 1, port},
            {listeners("post", R"({"port": "443", "protocol": "http"})"), 1, port},
            {listeners("reader", R"({"port": 443.0, "protocol": "ssl"})"), 1, port},
            {listeners("writer", R"({"port": "443", "service": 80, "protocol": "ssl"})"), 1, port},
            {listeners("writer", R"({"port": 0})"), 1, protocol},
            {listeners("post", R"({"port": 443, "protocol": 1})"), 1, protocol},
            {listeners("writer", R"({"port": 0, "protocol": "ssl"})"), 1,
             errx("error: Invalid port '0'\n")},
            {listeners("reader", R"({"port": 65535, "protocol": "https"})"), 1,
             errx("error: Invalid port '65535'\n")},
            {listeners("post", R"({"service": -1, "protocol": "x"})"), 1,
             errx("error: Invalid port '-1'\n")},
            {listeners("writer", R"({"port": 4294967739, "protocol": "ssl"})"), 1,
             errx("error: Invalid port '4294967739'\n")},
            // Listeners become servers of universes only: without one they are never read.
            {doc("[]", R"({"writer": [{}]})", "{}"), 0, ""},
        });
}

TEST_F(CfHome, ExpansionOfTheHomeAndCachePaths) {
    for (const char *home : {"--ch=", "--ch=  ", "--ch=$TOLVANE_UNDEFINED", "--ch=a|b"}) {
        SCOPED_TRACE(home);
        EXPECT_EQ(view({home}), exits(1, "", kWordexp));
    }
    for (const char *path : {"", "$TOLVANE_UNDEFINED/c", "a|b"}) {
        SCOPED_TRACE(path);
        sb.write("cf", std::string("[general]\ncache.path = ") + path + "\n");
        EXPECT_EQ(view(), exits(1, "", kWordexp));
    }
    sb.write("cf", "[general]\ncache.path = ~/c $HOME/c\n");
    EXPECT_EQ(view(), ends(0, ""));
    sb.unsetenv("HOME");
    EXPECT_EQ(view(), exits(1, "", kWordexp));
}

TEST_F(CfHome, HomeMovesOnlyTheTilde) {
    for (const char *dir : {".tolvane", "alt/.tolvane", "ch"}) {
        sb.write(std::string(dir) + "/servers/h/config.json", "{");
        link("servers/h", std::string(dir) + "/current_server");
    }
    auto invalid = [&](const std::string &home) {
        return exits(
            1, "",
            errx("Invalid JSON in " + sb.path(home) + "/servers/h/config.json: continue.\n"));
    };
    EXPECT_EQ(view({}), invalid(".tolvane"));
    EXPECT_EQ(view({"--ch=~/ch"}), invalid("ch"));
    sb.setenv("HOME", sb.path("alt"));
    EXPECT_EQ(view({}), invalid("alt/.tolvane"));
    EXPECT_EQ(view({"-C", sb.path("ch")}), invalid("ch"));
}

TEST_F(CfHome, JsonIsReadBeforeTheConfigurationFile) {
    link("servers/h");
    const std::string bad = kToken.substr(1);
    sb.write("home/servers/h/config.json", doc("[]", "{}", R"({"u": {"p": ")" + bad + R"("}})"));
    EXPECT_EQ(sb.tolvane({"-c", sb.path("missing"), "-C", sb.path("home"), "view"}),
              exits(1, "",
                    errx("error: wrong length token for project \"p\" in the JSON "
                         "configuration: 63 characters, not 64\n")));
}

// Whatever another user could have written into the configuration home is not used: it could
// send the uploads, with their tokens, to a server of theirs.
TEST_F(CfHome, WhatOthersCanWriteIsRefused) {
    link("servers/h");
    for (const char *f : {"config.json", "current_universe", "cert.pem", "login_tokens"})
        sb.write(std::string("home/servers/h/") + f,
                 f == std::string("config.json") ? doc("[]", "{}", "{}") : "# planted?\n");
    sb.write("home/servers/h/current_universe", "u\n");
    auto refused = [&](const std::string &rel) {
        std::string p = sb.path(rel);
        return exits(1, "",
                     "error: " + p +
                         " is writable by others, who could send your uploads elsewhere; tolvane "
                         "refuses to use it. Fix: chmod o-w " +
                         p + "\n");
    };
    EXPECT_EQ(view(), ends(0, ""));
    for (const char *rel : {"home", "home/servers", "home/servers/h", "home/servers/h/config.json",
                            "home/servers/h/cert.pem", "home/servers/h/current_universe",
                            "home/servers/h/login_tokens"}) {
        SCOPED_TRACE(rel);
        struct stat st;
        ASSERT_EQ(stat(sb.path(rel).c_str(), &st), 0);
        chmod(sb.path(rel).c_str(), st.st_mode | 0002);
        EXPECT_EQ(view(), refused(rel));
        chmod(sb.path(rel).c_str(), (st.st_mode & 07777) | 0020);
        std::string p = sb.path(rel);
        EXPECT_EQ(view(), ends(0, "warning: " + p +
                                      " is writable by its group, whose members could send your "
                                      "uploads elsewhere. Fix: chmod g-w " +
                                      p + "\n"));
        chmod(sb.path(rel).c_str(), st.st_mode & 07777);
    }
    // Nothing is sent: the refusal comes while loading, before any command runs.
    Receiver rx(sb);
    Trace t = trace(sb, "a.slt");
    std::string cf = write_config(sb, {.write = "http://127.0.0.1:" + rx.port("http")});
    chmod(sb.path("home/servers/h/login_tokens").c_str(), 0666);
    EXPECT_EQ(sb.tolvane({"-c", cf, "-C", sb.path("home"), "put", "p", "t", "a.slt"}),
              refused("home/servers/h/login_tokens"));
    EXPECT_FALSE(sb.exists("store/" + t.uuid + ".slt"));
}

TEST_F(CfHome, WhatAnotherUserOwnsIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "skipped: giving a file to another user needs root";
    link("servers/h");
    sb.write("home/servers/h/login_tokens", "u tok\n");
    const uid_t nobody = 65534;
    for (const char *rel : {"home/current_server", "home/servers/h/login_tokens", "home"}) {
        SCOPED_TRACE(rel);
        std::string p = sb.path(rel);
        ASSERT_EQ(lchown(p.c_str(), nobody, static_cast<gid_t>(-1)), 0);
        EXPECT_EQ(view(), exits(1, "",
                                "error: " + p +
                                    " belongs to another user (uid 65534); tolvane uses only what "
                                    "belongs to you or root. Fix: chown 0 " +
                                    p + "\n"));
        ASSERT_EQ(lchown(p.c_str(), 0, static_cast<gid_t>(-1)), 0);
    }
    EXPECT_EQ(view(), ends(0, ""));
}

TEST_F(TokenCache, WellFormedFiles) {
    check("login_tokens", {
                              {"", 0, ""},
                              {"# only a comment\n#\n", 0, ""},
                              {"u tok\nv tok more text\nu other\n", 0, ""},
                              {"u " + std::string(1020, 'x') + "\n", 0, ""},
                          });
}

TEST_F(TokenCache, MalformedLineEndsTheProcess) {
    std::vector<Case> cases;
    for (const char *line : {"u\ttok", "", "u", "u ", " u tok", "u  tok", "\r", "\t#c"})
        cases.push_back({std::string("# c\nu tok\n") + line + "\nv tok\n", 1, malformed(3)});
    check("login_tokens", cases);
}

TEST_F(TokenCache, LongLinesAreReportedAndSkipped) {
    check("login_tokens",
          {
              {"u " + std::string(1021, 'x') + "\nv tok\n", 0, long_line(1)},
              {"#" + std::string(3000, 'x') + "\nv tok\nw\n", 1, long_line(1) + malformed(3)},
              {"u tok\nv tok", 0, long_line(2)},
              {"u tok\nv", 0, long_line(2)},
          });
}

TEST_F(TokenCache, OnlyAnOpenFailureOtherThanMissingIsFatal) {
    link("servers/h");
    sb.mkdir("home/servers/h");
    EXPECT_EQ(view(), ends(0, ""));
    link("login_tokens", "home/servers/h/login_tokens");
    EXPECT_EQ(view(), exits(1, "",
                            "error: could not open \"" + cache +
                                "\": Too many levels of symbolic links\n"));
    link("h");  // without a current server there is no cache to read
    EXPECT_EQ(view(), ends(0, ""));
    // A server "directory" that is not a directory holds no cache either.
    link("servers/f");
    sb.write("home/servers/f", "not a directory");
    EXPECT_EQ(view(), ends(0, ""));
}

// Every command reads the cache at start: what is no regular file, or is far too large, is
// refused at once instead of holding every command (and every daemon child) up.
TEST_F(TokenCache, NoRegularFileOrTooLargeIsRefusedAtOnce) {
    link("servers/h");
    sb.mkdir("home/servers/h");
    ASSERT_EQ(mkfifo(cache.c_str(), 0600), 0);
    const std::string no_file = "error: could not open \"" + cache + "\": not a regular file\n";
    EXPECT_EQ(view(), exits(1, "", no_file));
    unlink(cache.c_str());
    // /dev/zero is writable by all, which is reason enough.
    link("/dev/zero", "home/servers/h/login_tokens");
    EXPECT_EQ(view(), exits(1, "",
                            "error: " + cache +
                                " is writable by others, who could send your uploads elsewhere; "
                                "tolvane refuses to use it. Fix: chmod o-w " +
                                cache + "\n"));
    unlink(cache.c_str());
    sb.write("home/servers/h/login_tokens", "u tok\n");
    ASSERT_EQ(truncate(cache.c_str(), (16 << 20) + 1), 0);
    EXPECT_EQ(view(),
              exits(1, "", "error: token cache file \"" + cache + "\" is larger than 16 MiB\n"));
}

// Loading takes the same time per line however many came before (it took 23 s for 80,000 lines
// when each line searched the ones before); the last line for a universe still wins.
TEST_F(TokenCache, ManyLinesLoadQuickly) {
    link("servers/h");
    std::string text;
    for (int i = 0; i < 100000; i++)
        text += "u" + std::to_string(i % 60000) + " t" + std::to_string(i) + "\n";
    sb.write("home/servers/h/login_tokens", text);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(view(), ends(0, ""));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(TokenCache, IsLoadedLastButBeforeTheCommandRuns) {
    link("servers/h");
    sb.write("home/servers/h/login_tokens", "bad\n");
    auto run = [&](const std::string &text, const std::string &command) {
        return sb.tolvane({"-c", sb.write("cf", text), "-C", sb.path("home"), command});
    };
    EXPECT_EQ(run("x = 1\n", "view"),
              exits(1, "", "error: configuration file lacks block at line 1\n"));
    EXPECT_EQ(run("[general]\ncache.path =\n", "view"), exits(1, "", kWordexp));
    EXPECT_EQ(
        run("[general]\ncolour = red\n", "upload"),
        exits(1, "", "warning: ignoring unknown option 'colour' at line 2.\n" + malformed(1)));
}
