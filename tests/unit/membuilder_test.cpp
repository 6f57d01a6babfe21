#include "tolvane/util/membuilder.h"

#include <gtest/gtest.h>

#include <cstring>

TEST(CrMemBuilder, AppendsKeepANulAfterTheContent) {
    cr_mem_builder b;
    cr_mem_builder_init(&b);
    char *data = reinterpret_cast<char *>(1);
    size_t len = 99;
    _cr_mem_builder_data_get(&b, &data, &len);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(len, 0u);

    ASSERT_TRUE(cr_mem_builder_append(&b, "ab", 2));
    ASSERT_TRUE(cr_mem_builder_append(&b, "cdXX", 2));
    EXPECT_EQ(b.allocated, 4u);
    EXPECT_STREQ(b.mem, "abcd");
    _cr_mem_builder_data_get(&b, &data, &len);
    EXPECT_EQ(data, b.mem);
    EXPECT_EQ(len, 4u);

    // Binary content with zero bytes inside is kept whole.
    ASSERT_TRUE(cr_mem_builder_append(&b, "\0z", 2));
    EXPECT_EQ(b.allocated, 6u);
    EXPECT_EQ(memcmp(b.mem, "abcd\0z\0", 7), 0);

    cr_mem_builder_reset(&b);
    EXPECT_EQ(b.mem, nullptr);
    EXPECT_EQ(b.allocated, 0u);
    // An empty append still gives a readable (empty) string.
    ASSERT_TRUE(cr_mem_builder_append(&b, "", 0));
    ASSERT_NE(b.mem, nullptr);
    EXPECT_EQ(b.mem[0], '\0');
    EXPECT_EQ(b.allocated, 0u);
    cr_mem_builder_deinit(&b);
}

TEST(CrMemBuilder, RefusesASizeThatWouldOverflow) {
    cr_mem_builder b;
    cr_mem_builder_init(&b);
    ASSERT_TRUE(cr_mem_builder_append(&b, "ab", 2));
    EXPECT_FALSE(cr_mem_builder_append(&b, "x", SIZE_MAX - 2));
    EXPECT_EQ(b.allocated, 2u);
    EXPECT_STREQ(b.mem, "ab");
    cr_mem_builder_deinit(&b);
}
