// The text helpers every block parser relies on, and the line reader's limits.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tempdir.h"
#include "tolvane/config/cf.h"
#include "tolvane/config/cf_home.h"

namespace {
std::string first_word(std::string s) {
    return tolvane_cf_trim(s.data());
}
}  // namespace

TEST(CfText, TrimGivesTheFirstWordAndLtrimOnlyTheStart) {
    EXPECT_EQ(first_word("  prod  second\n"), "prod");
    EXPECT_EQ(first_word("\t\v\f\rx"), "x");
    EXPECT_EQ(first_word("   "), "");
    std::string s = " \t a b ";
    EXPECT_STREQ(tolvane_cf_ltrim(s.data()), "a b ");
}

TEST(CfText, KeyIsTheFirstWordAndValueKeepsItsEnd) {
    struct Case {
        std::string line, key, value;
    } cases[] = {
        {"  name = main", "name", "main"},
        {"two words = v", "two", "v"},
        {"k=", "k", ""},
        {"k = a=b \r", "k", "a=b \r"},
        {"=v", "", "v"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.line);
        std::string line = c.line;
        char *key, *value;
        tolvane_cf_kv(&key, &value, line.data(), line.size() + 1, 1);
        EXPECT_EQ(std::string(key), c.key);
        EXPECT_EQ(std::string(value), c.value);
    }
}

TEST(CfText, BooleansAndIntegers) {
    bool b = false;
    EXPECT_TRUE(tolvane_cf_bool(&b, "TrUe"));
    EXPECT_TRUE(b);
    EXPECT_TRUE(tolvane_cf_bool(&b, "FALSE"));
    EXPECT_FALSE(b);
    b = true;
    for (const char *bad : {"1", "yes", "true ", " true", ""}) {
        EXPECT_FALSE(tolvane_cf_bool(&b, bad)) << bad;
        EXPECT_TRUE(b);
    }
    long v = 7;
    EXPECT_TRUE(tolvane_cf_long(&v, "  -42abc"));
    EXPECT_EQ(v, -42);
    EXPECT_TRUE(tolvane_cf_long(&v, "+8080"));
    EXPECT_EQ(v, 8080);
    EXPECT_FALSE(tolvane_cf_long(&v, "abc"));
    EXPECT_FALSE(tolvane_cf_long(&v, ""));
    EXPECT_EQ(v, 8080);
}

TEST(CfText, RatesAreBytesPerSecondWithBinarySuffixes) {
    const struct {
        const char *text;
        uint64_t value;  // 0: refused
    } cases[] = {
        {"1", 1},
        {"4096", 4096},
        {" 512K ", 512 << 10},
        {"8m", 8 << 20},
        {"2G", UINT64_C(2) << 30},
        {"8589934592G", UINT64_C(1) << 63},
        {"0", 0},
        {"0K", 0},
        {"", 0},
        {"K", 0},
        {"-1", 0},
        {"1.5M", 0},
        {"10 M", 0},
        {"10MB", 0},
        {"10T", 0},
        {"8589934593G", 0},
        {"99999999999999999999", 0},
    };
    for (const auto &c : cases) {
        uint64_t v = 7;
        EXPECT_EQ(tolvane_cf_rate(c.text, &v), c.value != 0) << c.text;
        EXPECT_EQ(v, c.value != 0 ? c.value : 7) << c.text;
    }
}

TEST(CfText, LineReaderLimitsAndSkipping) {
    TempDir dir;
    std::string text = std::string(1022, 'a') + "\n" + std::string(1023, 'b') + "\nok\n" +
                       std::string("x\0y\n", 4) + "next\nlast";
    for (bool skip : {false, true}) {
        SCOPED_TRACE(skip);
        FILE *f = fopen(dir.write("lines", text).c_str(), "r");
        char buf[1024];
        size_t len;
        EXPECT_EQ(tolvane_cf_read_line(f, buf, &len, skip), TOLVANE_CF_LINE_OK);
        EXPECT_EQ(len, 1023u);
        EXPECT_EQ(std::string(buf), std::string(1022, 'a'));
        EXPECT_EQ(tolvane_cf_read_line(f, buf, &len, skip), TOLVANE_CF_LINE_LONG);
        if (skip) {
            EXPECT_EQ(tolvane_cf_read_line(f, buf, &len, skip), TOLVANE_CF_LINE_OK);
            EXPECT_STREQ(buf, "ok");
            EXPECT_EQ(len, 3u);
            EXPECT_EQ(tolvane_cf_read_line(f, buf, &len, skip), TOLVANE_CF_LINE_LONG);  // NUL
            EXPECT_EQ(tolvane_cf_read_line(f, buf, &len, skip), TOLVANE_CF_LINE_OK);
            EXPECT_STREQ(buf, "next");
            EXPECT_EQ(tolvane_cf_read_line(f, buf, &len, skip), TOLVANE_CF_LINE_LONG);  // no LF
            EXPECT_EQ(tolvane_cf_read_line(f, buf, &len, skip), TOLVANE_CF_LINE_EOF);
        }
        fclose(f);
    }
}

TEST(CfText, ResolveExpandsLikeTheShell) {
    setenv("TOLVANE_TEST_DIR", "/srv/x", 1);
    char *r = tolvane_cf_resolve("$TOLVANE_TEST_DIR/a   'b  c'  \"d\"");
    EXPECT_STREQ(r, "/srv/x/a b  c d");
    setenv("HOME", "/home/someone", 1);
    EXPECT_STREQ(tolvane_cf_resolve("~/.tolvane"), "/home/someone/.tolvane");
    EXPECT_EQ(tolvane_cf_resolve(nullptr), nullptr);
    EXPECT_EXIT(tolvane_cf_resolve("  "), ::testing::ExitedWithCode(1),
                "^error: wordexp failed: Invalid argument\n$");
    EXPECT_EXIT(tolvane_cf_resolve("$TOLVANE_TEST_UNDEFINED"), ::testing::ExitedWithCode(1),
                "^error: wordexp failed: Invalid argument\n$");
    tolvane_cf_reset();
}

TEST(CfText, FileAsStringReadsWholeFilesOnly) {
    TempDir dir;
    char *out = nullptr;
    EXPECT_TRUE(tolvane_cf_file_as_string(&out, dir.write("f", std::string("a\0b", 3)).c_str()));
    EXPECT_EQ(std::string(out, 4), std::string("a\0b\0", 4));
    char *kept = out;
    EXPECT_FALSE(tolvane_cf_file_as_string(&out, (dir.path + "/missing").c_str()));
    EXPECT_EQ(out, kept);
    tolvane_cf_reset();
}
