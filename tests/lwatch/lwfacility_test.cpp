// Facility files: loading of the keys and filters, and the static and
// wildcard file entries kept in step by lwfacility_update.
#include "lwatch/lwfacility.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "lwtest.h"

namespace {

using lwtest::Facility;
using lwtest::Log;
using lwtest::Str;

std::string matching_filter(Facility& f, const std::string& text) {
  Str t(text);
  const lwfilter* filter = lwfacility_match(f.get(), t.get());
  return filter ? "[" + std::string(kstring_text(&filter->name)) + "]" : "none";
}

TEST(LwFacility, LoadsKeysFiltersAndListsAsWritten) {
  testutil::TempDir dir;
  Log log(dir.file("test.log"), 2);
  Facility f(dir.file("web.facility"),
             "# web servers\n"
             "scan = 10\n"
             "scan = 3\n"
             "File = ignored.log\n"
             "file = a.log   # the access log\n"
             "file =\n"
             "file = b.log\n"
             "eventlog = System\n"
             "filter = ;warn\n"
             "filter = sev;ERROR;FATAL\n"
             "filter = error\n"
             "filter = error;\n"
             "filter = x;a#b\n"
             "filter = bad;(unclosed\n"
             "filter = last;end$\n",
             log.get());
  lwfacility* fac = f.get();
  EXPECT_EQ(fac->scan, 10u);
  EXPECT_EQ(fac->scanfrombeg, 0u);
  EXPECT_EQ(fac->first_update, 1u);
  EXPECT_GT(fac->mtime, 0u);
  ASSERT_EQ(kstrlist_count(&fac->files), 1u);
  EXPECT_STREQ(kstrlist_text(&fac->files, 0), "a.log");
  ASSERT_EQ(fac->eventlogs.count, 1u);
  EXPECT_STREQ(kstring_text(&static_cast<lweventlog*>(karray_get(&fac->eventlogs, 0))->name),
               "System");

  ASSERT_EQ(fac->filters.count, 4u);
  std::vector<std::string> names;
  for (uint32_t i = 0; i < fac->filters.count; ++i)
    names.push_back(kstring_text(&f.filter(i)->name));
  EXPECT_EQ(names, (std::vector<std::string>{"", "sev", "x", "last"}));
  // Patterns: case-insensitive, ';' kept inside, '#' starts a comment.
  EXPECT_EQ(matching_filter(f, "a Warning here"), "[]");
  EXPECT_EQ(matching_filter(f, "got error;fatal"), "[sev]");
  EXPECT_EQ(matching_filter(f, "a cat"), "[x]");  // "a" of "x;a#b"
  EXPECT_EQ(matching_filter(f, "the END"), "[last]");
  EXPECT_EQ(matching_filter(f, "none of them"), "none");

  std::string text = log.text();
  EXPECT_NE(text.find("loading lwfacility file '" + dir.file("web.facility") + "'\n"),
            std::string::npos);
  for (const char* line :
       {"#   scan freq. = 10 sec\n", "#   scan fbeg  = 0\n", "#   scan file  = 'a.log'\n",
        "#   eventlog   = 'System'\n", "#   filter     = ''/'warn'\n",
        "#   filter     = 'sev'/'ERROR;FATAL'\n", "#   filter     = 'x'/'a'\n",
        "#   filter     = 'bad'/'(unclosed'\n", "[WARNING] error in filter '(unclosed'\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
}

TEST(LwFacility, ScanPeriodBelowOneCountsAsOneAndMissingFileWatchesNothing) {
  testutil::TempDir dir;
  Log log(dir.file("test.log"), 1);
  for (const char* value : {"0", "-4", "x"}) {
    Facility f(dir.file("a.facility"), std::string("scan = ") + value + "\nscanfrombeg = 7\n",
               log.get());
    EXPECT_EQ(f.get()->scan, 1u) << value;
    EXPECT_NE(f.get()->scanfrombeg, 0u);
  }
  lwfacility fac;
  Str name("gone"), path(dir.file("missing.facility"));
  lwfacility_init(&fac, name.get(), log.get());
  lwfacility_load(&fac, path.get());
  EXPECT_EQ(fac.scan, 5u);
  EXPECT_EQ(fac.mtime, 0u);
  EXPECT_EQ(kstrlist_count(&fac.files) + fac.filters.count + fac.eventlogs.count, 0u);
  lwfacility_free(&fac);
}

std::set<std::string> tracked_paths(Facility& f) {
  std::set<std::string> paths;
  for (uint32_t i = 0; i < f.get()->tracked.count; ++i) paths.insert(f.tracked_path(i));
  return paths;
}

TEST(LwFacility, UpdateFollowsStaticAndWildcardEntries) {
  testutil::TempDir dir;
  std::string logs = dir.file("logs");
  std::filesystem::create_directory(logs);
  for (const char* n : {"a.log", "b.log", "c.log", "notes.txt"})
    testutil::write_file(logs + "/" + n, "x\n");
  Log log(dir.file("test.log"), 2);
  Facility f(dir.file("f.facility"),
             "file = " + dir.file("static.log") + "\nfile = " + logs + "/*.LOG\n", log.get());
  f.update();
  // The static entry is monitored although its file does not exist yet; the
  // wildcard is matched case-insensitively; all start from their ends.
  EXPECT_EQ(tracked_paths(f), (std::set<std::string>{dir.file("static.log"), logs + "/a.log",
                                                     logs + "/b.log", logs + "/c.log"}));
  EXPECT_EQ(f.tracked_path(0), dir.file("static.log"));
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(f.tracked(i)->from_beginning, 0u) << i;
  EXPECT_EQ(f.get()->first_update, 0u);
  EXPECT_TRUE(log.has("#   start static monitoring '" + dir.file("static.log") + "'\n"));
  EXPECT_TRUE(log.has("#   start dynamic monitoring '" + logs + "/a.log'\n"));

  // A file that starts to match later is read from its first line; an update
  // that finds nothing new changes nothing.
  testutil::write_file(logs + "/d.log", "x\n");
  f.update();
  f.update();
  ASSERT_EQ(f.get()->tracked.count, 5u);
  EXPECT_EQ(f.tracked_path(4), logs + "/d.log");
  EXPECT_EQ(f.tracked(4)->from_beginning, 1u);

  // Two neighbouring records whose files vanished go in the same update.
  std::string gone1 = f.tracked_path(1), gone2 = f.tracked_path(2), kept = f.tracked_path(3);
  std::filesystem::remove(gone1);
  std::filesystem::remove(gone2);
  f.update();
  EXPECT_EQ(tracked_paths(f),
            (std::set<std::string>{dir.file("static.log"), kept, logs + "/d.log"}));
  EXPECT_TRUE(log.has("#   stop dynamic monitoring '" + gone1 + "'\n"));
  EXPECT_TRUE(log.has("#   stop dynamic monitoring '" + gone2 + "'\n"));
  for (uint32_t i = 0; i < f.get()->tracked.count; ++i) EXPECT_EQ(f.tracked(i)->seen, 0u);
}

TEST(LwFacility, RelativeEntriesAreTakenFromTheBaseDirectory) {
  testutil::TempDir dir;
  std::filesystem::create_directory(dir.file("sub"));
  testutil::write_file(dir.file("top.log"), "");
  testutil::write_file(dir.file("sub/in.log"), "");
  Log log(dir.file("test.log"), 1);
  Facility f(dir.file("f.facility"),
             "scanfrombeg = 1\nfile = rel.log\nfile = *.log\nfile = sub\\*.log\n"
             "file = " +
                 dir.file("abs.log") + "\n",
             log.get());
  f.update(dir.path() + "/");
  EXPECT_EQ(tracked_paths(f), (std::set<std::string>{dir.file("rel.log"), dir.file("top.log"),
                                                     dir.file("sub/in.log"), dir.file("abs.log")}));
  // "scanfrombeg" applies to static entries; wildcard matches present at the
  // first update still start from their ends.
  for (uint32_t i = 0; i < f.get()->tracked.count; ++i) {
    bool is_static =
        f.tracked_path(i) == dir.file("rel.log") || f.tracked_path(i) == dir.file("abs.log");
    EXPECT_EQ(f.tracked(i)->from_beginning, is_static ? 1u : 0u) << f.tracked_path(i);
  }
}

}  // namespace
