#include "tolvane/util/array.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {
struct Array {
    cr_array *a = nullptr;
    explicit Array(unsigned int capacity) { EXPECT_TRUE(cr_array_init(&a, capacity)); }
    ~Array() { free(a); }
};
int slot[8];
}  // namespace

TEST(CrArray, GrowsByDoublingOnlyWhenFull) {
    Array arr(4);
    EXPECT_EQ(arr.a->capacity, 4u);
    EXPECT_EQ(arr.a->length, 0u);
    for (int i = 0; i < 4; i++) EXPECT_EQ(cr_array_append_offset(&arr.a, &slot[i]), i);
    EXPECT_EQ(arr.a->capacity, 4u);
    EXPECT_EQ(cr_array_append_offset(&arr.a, &slot[4]), 4);
    EXPECT_EQ(arr.a->capacity, 8u);
    for (int i = 0; i < 5; i++) EXPECT_EQ(arr.a->value[i], &slot[i]);
    for (int i = 5; i < 8; i++) cr_array_append_offset(&arr.a, &slot[i]);
    EXPECT_EQ(arr.a->capacity, 8u);
    EXPECT_EQ(cr_array_append_offset(&arr.a, &slot[0]), 8);
    EXPECT_EQ(arr.a->capacity, 16u);

    Array one(1);
    for (int i = 0; i < 3; i++) cr_array_append_offset(&one.a, &slot[i]);
    EXPECT_EQ(one.a->capacity, 4u);
}

TEST(CrArray, RemovalMovesTheLastIntoTheHoleAndNeverShrinks) {
    Array arr(4);
    for (int i = 0; i < 3; i++) cr_array_append_offset(&arr.a, &slot[i]);
    EXPECT_TRUE(cr_array_remove_at(arr.a, 1));
    ASSERT_EQ(arr.a->length, 2u);
    EXPECT_EQ(arr.a->value[0], &slot[0]);
    EXPECT_EQ(arr.a->value[1], &slot[2]);
    EXPECT_FALSE(cr_array_remove_at(arr.a, 2));
    EXPECT_EQ(arr.a->length, 2u);

    EXPECT_TRUE(cr_array_remove_at(arr.a, 1));
    EXPECT_EQ(arr.a->length, 1u);
    EXPECT_EQ(arr.a->value[0], &slot[0]);
    EXPECT_EQ(arr.a->value[1], nullptr);
    EXPECT_TRUE(cr_array_remove_at(arr.a, 0));
    EXPECT_EQ(arr.a->value[0], nullptr);
    EXPECT_FALSE(cr_array_remove_at(arr.a, 0));
    EXPECT_EQ(arr.a->capacity, 4u);
}
