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

// Heap-backed strings survive the byte-wise moves of growth and removal;
// split keeps empty tokens, and an empty text gives one.
TEST(KStrList, OwnsItsStringsAcrossGrowthRemovalAndSplit) {
  kstrlist l;
  kstrlist_init_step(&l, 4);
  for (int i = 0; i < 9; ++i) kstring_format(kstrlist_add(&l), "%0200d", i);
  karray_remove_each(&l.items, 0, [](void* e) { kstring_free(static_cast<kstring*>(e)); });
  EXPECT_EQ(kstrlist_count(&l), 8u);
  EXPECT_EQ(kstrlist_text(&l, 0)[199], '1');
  kstring_assign_cstr(kstrlist_add(&l), "Echo");
  EXPECT_TRUE(kstrlist_contains_text(&l, "Echo") && !kstrlist_contains_text(&l, "echo"));
  kstring src;
  kstring_init(&src);
  for (auto [text, count] : {std::pair{"a,,b,", 4u}, {"", 1u}}) {
    kstring_assign_cstr(&src, text);
    kstrlist_split(&l, &src, ",");
    EXPECT_EQ(kstrlist_count(&l), count) << text;
  }
  kstring_free(&src);
  kstrlist_free(&l);
}

}  // namespace
