#include "klib/karray.h"

#include <gtest/gtest.h>

#include "klib/kconfig.h"
#include "support/testutil.h"

namespace {

TEST(KArray, GrowsByItsStepAndRemovesInPlace) {
  karray a;
  karray_init(&a, sizeof(int), 10);
  for (int i = 0; i < 10; ++i) *static_cast<int*>(karray_append(&a)) = i;
  EXPECT_EQ(a.capacity, 10u);
  *static_cast<int*>(karray_append(&a)) = 10;
  EXPECT_EQ(a.capacity, 20u);
  karray_remove(&a, 0);
  karray_remove(&a, a.count - 1);
  ASSERT_EQ(a.count, 9u);
  for (uint32_t i = 0; i < a.count; ++i)
    EXPECT_EQ(*static_cast<int*>(karray_get(&a, i)), int(i + 1));
  int key = 5;
  uint32_t at = 0;
  auto cmp = [](const void* e, const void* k) {
    return *static_cast<const int*>(e) - *static_cast<const int*>(k);
  };
  ASSERT_TRUE(karray_search(&a, &key, &at, cmp));
  EXPECT_EQ(at, 4u);
  key = 42;
  EXPECT_EQ(karray_find(&a, &key, cmp), nullptr);
  EXPECT_TRUE(karray_reserve(&a, 55));
  EXPECT_EQ(a.capacity, 55u);
  karray_free(&a);

  karray z;
  karray_init(&z, sizeof(int), 0);
  karray_append(&z);
  karray_append(&z);
  EXPECT_EQ(z.capacity, 2u);
  karray_free(&z);
}

TEST(KStrList, OwnsItsStringsAcrossGrowthAndClear) {
  kstrlist l;
  kstrlist_init_step(&l, 4);
  // Heap-backed strings survive the byte-wise moves of growth and removal.
  for (int i = 0; i < 9; ++i) {
    kstring* s = kstrlist_add(&l);
    kstring_format(s, "%0200d", i);
  }
  karray_remove_each(&l.items, 0, [](void* e) { kstring_free(static_cast<kstring*>(e)); });
  EXPECT_EQ(kstrlist_count(&l), 8u);
  EXPECT_EQ(kstrlist_text(&l, 0)[199], '1');
  kstrlist_clear(&l);
  EXPECT_EQ(kstrlist_count(&l), 0u);
  kstrlist_add(&l);
  EXPECT_EQ(l.items.capacity, 4u);

  kstrlist_clear(&l);
  kstring_assign_cstr(kstrlist_add(&l), "Echo");
  EXPECT_FALSE(kstrlist_contains_text(&l, "echo"));
  EXPECT_TRUE(kstrlist_contains_text(&l, "Echo"));
  kstrlist_free(&l);
}

TEST(KStrList, SplitKeepsEmptyTokens) {
  kstrlist l;
  kstrlist_init(&l);
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

TEST(KStrList, ConfigListEndsAtTheFirstEmptyValue) {
  testutil::TempDir dir;
  std::string path = dir.file("x.conf");
  testutil::write_file(path,
                       "smtsvr.addressmask = 10.0.0.1\n"
                       "other = 1\n"
                       "smtsvr.addressmask=10.0.0.2\n"
                       "l = one\nl =\nl = three\n");
  kconfig c;
  kconfig_load(&c, path.c_str());
  kstrlist l;
  kstrlist_init(&l);
  kconfig_get_list(&c, "smtsvr.addressmask", &l);
  ASSERT_EQ(kstrlist_count(&l), 2u);
  EXPECT_STREQ(kstrlist_text(&l, 0), "10.0.0.1");
  EXPECT_STREQ(kstrlist_text(&l, 1), "10.0.0.2");
  kconfig_get_list(&c, "l", &l);
  ASSERT_EQ(kstrlist_count(&l), 1u);
  kconfig_get_list(&c, "absent", &l);
  EXPECT_EQ(kstrlist_count(&l), 0u);
  kconfig_free(&c);

  kconfig missing;
  kconfig_load(&missing, dir.file("none.conf").c_str());
  kconfig_get_list(&missing, "l", &l);
  EXPECT_EQ(kstrlist_count(&l), 0u);
  kconfig_free(&missing);
  kstrlist_free(&l);
}

}  // namespace
