// Facility files: loading of the keys and filters, and the static and
// wildcard file entries kept in step by lwfacility_update.
#include "lwatch/lwfacility.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <vector>

#include "lwtest.h"

namespace {

using lwtest::Facility;
using lwtest::Log;
using lwtest::Str;

TEST(LwFacility, LoadsKeysFiltersAndListsAsWrittenAndAMissingFileAsNothing) {
  testutil::TempDir dir;
  Log log(dir.file("test.log"), 2);
  Facility f(dir.file("web.facility"),
             "# web servers\nscan = 10\nscan = 3\nFile = ignored.log\n"
             "file = a.log   # the access log\nfile =\nfile = b.log\n"
             "filter = ;warn\nfilter = sev;ERROR;FATAL\nfilter = error\nfilter = error;\n"
             "filter = x;a#b\nfilter = bad;(unclosed\nfilter = last;end$\n",
             log.get());
  lwfacility* fac = f.get();
  EXPECT_EQ(fac->scan, 10u);
  ASSERT_EQ(kstrlist_count(&fac->files), 1u);
  EXPECT_STREQ(kstrlist_text(&fac->files, 0), "a.log");
  // Only the four valid filters are kept, in file order; patterns are
  // case-insensitive, keep a later ';' and end at '#'.
  std::string names;
  for (uint32_t i = 0; i < fac->filters.count; ++i)
    names +=
        std::string(kstring_text(&static_cast<lwfilter*>(karray_get(&fac->filters, i))->name)) +
        "|";
  EXPECT_EQ(names, "|sev|x|last|");
  for (auto [text, want] : {std::pair{"a Warning here", ""},
                            {"got error;fatal", "sev"},
                            {"a cat", "x"},
                            {"the END", "last"},
                            {"none of them", "-"}}) {
    const lwfilter* hit = lwfacility_match(fac, Str(text).get());
    EXPECT_STREQ(hit ? kstring_text(&hit->name) : "-", want) << text;
  }
  EXPECT_TRUE(log.has("#   filter     = 'sev'/'ERROR;FATAL'\n")) << log.text();
  EXPECT_TRUE(log.has("[WARNING] error in filter '(unclosed'\n")) << log.text();

  // Its directory does not exist, so the file is never written.
  Facility missing(dir.file("sub/missing.facility"), "file = x.log\n", log.get());
  EXPECT_EQ(missing.get()->scan, 5u);
  EXPECT_EQ(missing.get()->mtime + kstrlist_count(&missing.get()->files), 0u);
}

std::set<std::string> tracked_paths(Facility& f, uint32_t from_beginning) {
  std::set<std::string> paths;
  for (uint32_t i = 0; i < f.get()->tracked.count; ++i)
    if (f.tracked(i)->from_beginning == from_beginning) paths.insert(f.tracked_path(i));
  return paths;
}

TEST(LwFacility, UpdateFollowsStaticAndWildcardEntriesFromTheBaseDirectory) {
  testutil::TempDir dir;
  std::string logs = dir.file("logs");
  std::filesystem::create_directory(logs);
  for (const char* n : {"logs/a.log", "logs/b.log", "logs/c.log", "logs/notes.txt", "top.txt"})
    testutil::write_file(dir.file(n), "x\n");
  Log log(dir.file("test.log"), 2);
  Facility f(dir.file("f.facility"),
             "scan = -4\nscanfrombeg = 1\nfile = static.log\nfile = " + dir.file("abs.log") +
                 "\nfile = logs\\*.LOG\nfile = *.txt\n",
             log.get());
  f.update(dir.path() + "/");
  EXPECT_EQ(f.get()->scan, 1u);  // a period below one counts as one
  // Static entries are monitored although their files do not exist yet,
  // relative entries are taken from the base directory, and wildcards match
  // case-insensitively. "scanfrombeg" applies to static entries only: the
  // wildcard matches present at the first update start from their ends.
  EXPECT_EQ(tracked_paths(f, 1),
            (std::set<std::string>{dir.file("static.log"), dir.file("abs.log")}));
  EXPECT_EQ(tracked_paths(f, 0), (std::set<std::string>{logs + "/a.log", logs + "/b.log",
                                                        logs + "/c.log", dir.file("top.txt")}));
  EXPECT_TRUE(log.has("#   start dynamic monitoring '" + logs + "/a.log'\n"));

  // A file that starts to match later is read from its first line; an update
  // that finds nothing new changes nothing.
  testutil::write_file(logs + "/d.log", "x\n");
  f.update(dir.path() + "/");
  f.update(dir.path() + "/");
  ASSERT_EQ(f.get()->tracked.count, 7u);
  EXPECT_EQ(f.tracked_path(6), logs + "/d.log");
  EXPECT_EQ(f.tracked(6)->from_beginning, 1u);

  // Two neighbouring records whose files vanished go in the same update.
  std::string gone1 = f.tracked_path(2), gone2 = f.tracked_path(3);
  std::filesystem::remove(gone1);
  std::filesystem::remove(gone2);
  f.update(dir.path() + "/");
  EXPECT_EQ(f.get()->tracked.count, 5u);
  EXPECT_EQ(tracked_paths(f, 0).count(gone1) + tracked_paths(f, 0).count(gone2), 0u);
  EXPECT_TRUE(log.has("#   stop dynamic monitoring '" + gone1 + "'\n"));
}

// Thousands of entries, some naming the same file twice, are each tracked
// once, in entry order; dropping most of them keeps the others in order.
TEST(LwFacility, ManyEntriesAreTrackedOnceInOrderAndDroppedTogether) {
  testutil::TempDir dir;
  std::string logs = dir.file("logs");
  std::filesystem::create_directory(logs);
  std::string entries;
  for (int i = 0; i < 3000; ++i) entries += "file = s" + std::to_string(i) + ".log\n";
  for (int i = 0; i < 3000; i += 3) entries += "file = s" + std::to_string(i) + ".log\n";
  for (int i = 0; i < 2000; ++i) testutil::write_file(logs + "/w" + std::to_string(i) + ".log", "");
  entries += "file = logs/*.log\nfile = logs/w1*.log\n";
  Log log(dir.file("test.log"), 1);
  Facility f(dir.file("f.facility"), entries, log.get());
  f.update(dir.path() + "/");
  ASSERT_EQ(f.get()->tracked.count, 5000u);
  for (int i = 0; i < 3000; ++i)
    ASSERT_EQ(f.tracked_path(i), dir.file("s" + std::to_string(i) + ".log"));
  std::set<std::string> dynamic;
  for (uint32_t i = 3000; i < 5000; ++i) dynamic.insert(f.tracked_path(i));
  EXPECT_EQ(dynamic.size(), 2000u);
  for (int i = 0; i < 2000; ++i)
    if (i % 5) std::filesystem::remove(logs + "/w" + std::to_string(i) + ".log");
  std::vector<std::string> kept;
  for (uint32_t i = 3000; i < 5000; ++i)
    if (std::filesystem::exists(f.tracked_path(i))) kept.push_back(f.tracked_path(i));
  f.update(dir.path() + "/");
  ASSERT_EQ(f.get()->tracked.count, 3400u);
  for (uint32_t i = 0; i < 400; ++i) EXPECT_EQ(f.tracked_path(3000 + i), kept[i]);
}

}  // namespace
