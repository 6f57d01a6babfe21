#include "tolvane/util/crypto.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(CrSha256, TextFormRoundTrips) {
    cr_sha256_t sha;
    memset(sha.value, 0xab, sizeof sha.value);
    cr_sha256_string_t text;
    memset(text, 'X', sizeof text);
    cr_sha256_to_string(text, &sha);
    std::string expected;
    for (int i = 0; i < 32; i++) expected += "ab";
    EXPECT_EQ(std::string(text), expected);

    for (int i = 0; i < 32; i++) sha.value[i] = static_cast<unsigned char>(i * 8 + 1);
    cr_sha256_to_string(text, &sha);
    EXPECT_EQ(std::string(text, 8), "01091119");
    cr_sha256_t back;
    ASSERT_TRUE(cr_sha256_from_string(&back, text));
    EXPECT_EQ(memcmp(back.value, sha.value, 32), 0);
}

TEST(CrSha256, FromStringReadsPairsLikeStrtoul) {
    std::string text(64, '0');
    cr_sha256_t out;
    memset(out.value, 0x77, sizeof out.value);
    text.replace(0, 4, "Ff0a");
    text.replace(18, 2, "zz");  // the 10th pair
    EXPECT_FALSE(cr_sha256_from_string(&out, text.c_str()));
    EXPECT_EQ(out.value[0], 0xff);
    EXPECT_EQ(out.value[1], 0x0a);
    EXPECT_EQ(out.value[8], 0x00);
    EXPECT_EQ(out.value[9], 0x77);  // nothing stored from the failing pair on

    // A blank or a plus sign in front of one digit passes, as strtoul reads it.
    text = std::string(64, '0');
    text.replace(0, 4, " a+b");
    ASSERT_TRUE(cr_sha256_from_string(&out, text.c_str()));
    EXPECT_EQ(out.value[0], 0x0a);
    EXPECT_EQ(out.value[1], 0x0b);

    for (const char *bad : {"-1", "0x", "g0", "0g", "a "}) {
        SCOPED_TRACE(bad);
        text = std::string(64, '0');
        text.replace(62, 2, bad);
        EXPECT_FALSE(cr_sha256_from_string(&out, text.c_str()));
    }
}
