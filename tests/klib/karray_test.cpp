#include "klib/karray.h"

#include <gtest/gtest.h>

namespace {

TEST(KArray, GrowsByItsStepAndRemovesInPlace) {
  karray a;
  karray_init(&a, sizeof(int), 10);
  for (int i = 0; i < 11; ++i) *static_cast<int*>(karray_append(&a)) = i;
  EXPECT_EQ(a.capacity, 20u);
  karray_remove(&a, 0);
  karray_remove(&a, a.count - 1);
  ASSERT_EQ(a.count, 9u);
  for (uint32_t i = 0; i < a.count; ++i)
    EXPECT_EQ(*static_cast<int*>(karray_get(&a, i)), int(i + 1));
  karray_free(&a);
}

TEST(KStrList, OwnsItsStringsAcrossGrowthRemovalAndClear) {
  kstrlist l;
  kstrlist_init_step(&l, 4);
  // Heap-backed strings survive the byte-wise moves of growth and removal.
  for (int i = 0; i < 9; ++i) kstring_format(kstrlist_add(&l), "%0200d", i);
  karray_remove_each(&l.items, 0, [](void* e) { kstring_free(static_cast<kstring*>(e)); });
  EXPECT_EQ(kstrlist_count(&l), 8u);
  EXPECT_EQ(kstrlist_text(&l, 0)[199], '1');
  kstrlist_clear(&l);
  kstrlist_add(&l);
  EXPECT_EQ(l.items.capacity, 4u);
  kstring_assign_cstr(kstrlist_add(&l), "Echo");
  EXPECT_FALSE(kstrlist_contains_text(&l, "echo"));
  EXPECT_TRUE(kstrlist_contains_text(&l, "Echo"));
  // Split keeps empty tokens; an empty text gives one.
  kstring src;
  kstring_init(&src);
  kstring_assign_cstr(&src, "a,,b,");
  kstrlist_split(&l, &src, ",");
  ASSERT_EQ(kstrlist_count(&l), 4u);
  EXPECT_STREQ(kstrlist_text(&l, 1), "");
  EXPECT_STREQ(kstrlist_text(&l, 3), "");
  kstring_clear(&src);
  kstrlist_split(&l, &src, ",");
  EXPECT_EQ(kstrlist_count(&l), 1u);
  kstring_free(&src);
  kstrlist_free(&l);
}

}  // namespace
