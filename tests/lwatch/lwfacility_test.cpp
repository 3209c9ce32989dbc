// Facility files: keys, filters, and the file entries kept in step by update.
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
using namespace std::string_literals;

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
  EXPECT_EQ(fac->filters.count, 4u);
  for (auto [text, want] : {std::pair{"a Warning here", ""},
                            {"got error;fatal", "sev"},
                            {"a cat", "x"},
                            {"the END", "last"},
                            {"none of them", "-"}}) {
    const lwfilter* hit = lwfacility_match(fac, Str(text).get());
    EXPECT_STREQ(hit ? kstring_text(&hit->name) : "-", want) << text;
  }
  EXPECT_TRUE(log.has("[WARNING] error in filter '(unclosed'\n")) << log.text();

  Facility missing(dir.file("sub/missing.facility"), "file = x.log\n", log.get());
  EXPECT_EQ(missing.get()->scan, 5u);
  EXPECT_EQ(missing.get()->mtime + kstrlist_count(&missing.get()->files), 0u);  // no such dir

  // The filters share one automaton of bounded size: the twelfth is refused.
  std::string wide;
  for (int i = 0; i < 12; ++i) wide += "filter = f" + std::to_string(i) + ";.{1,9000}x\n";
  Facility big(dir.file("big.facility"), wide, log.get());
  EXPECT_EQ(big.get()->filters.count, 11u);
  EXPECT_TRUE(log.has("[WARNING] error in filter '.{1,9000}x'\n")) << log.text();
  EXPECT_STREQ(kstring_text(&lwfacility_match(big.get(), Str("ax").get())->name), "f0");
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
                 "\nfile = logs\\*.LOG\nfile = *.txt\nfile = static.log\nfile = logs/a*\n",
             log.get());
  f.update(dir.path() + "/");
  EXPECT_EQ(f.get()->scan, 1u);  // a period below one counts as one
  // Static entries are monitored before their files exist, relative ones
  // from the base directory; wildcards match case-insensitively; a file named
  // twice is tracked once. "scanfrombeg" applies to static entries only.
  EXPECT_EQ(tracked_paths(f, 1),
            (std::set<std::string>{dir.file("static.log"), dir.file("abs.log")}));
  EXPECT_EQ(tracked_paths(f, 0), (std::set<std::string>{logs + "/a.log", logs + "/b.log",
                                                        logs + "/c.log", dir.file("top.txt")}));
  EXPECT_TRUE(log.has("#   start dynamic monitoring '" + logs + "/a.log'\n"));

  // A file that starts to match later is read from its first line.
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

// With an allow-list, entries, wildcard matches and opens must resolve inside it.
TEST(LwFacility, AllowListKeepsEveryFileInsideTheAllowedDirectories) {
  if (!testutil::symlinks_work()) GTEST_SKIP() << "the file system makes no symbolic links";
  testutil::TempDir dir;
  std::string root = std::filesystem::canonical(dir.path()).string();
  std::string logs = root + "/logs";
  std::filesystem::create_directories(logs + "/app");
  std::filesystem::create_directories(root + "/outside");
  for (const char* n : {"logs/a.log", "logs/b.log", "logs/app/c.log", "outside/x.log", "secret"})
    testutil::write_file(root + "/" + n, "old\n");
  std::filesystem::create_symlink(root + "/secret", logs + "/out.log");
  std::filesystem::create_symlink(root + "/outside", logs + "/linked");
  Log log(root + "/test.log", 1);
  lwpolicy policy;
  lwpolicy_init(&policy);
  Str base(logs + "/");
  policy.base_dir = base.get();
  lwpolicy_allow_dir(&policy, Str(root + "/logs/app/../").get());
  Facility f(root + "/f.facility",
             "scanfrombeg = 1\nfilter = all;.\nfile = " + logs + "/a.log\nfile = " + logs +
                 "/../secret\nfile = " + logs + "/out.log\nfile = " + root +
                 "/outside/*.log\nfile = " + logs + "/linked/*.log\nfile = " + logs +
                 "/*.log\nfile = app/c.log\nfile = app/later.log\n",
             log.get(), "f", &policy);
  std::string kept;
  for (uint32_t i = 0; i < kstrlist_count(&f.get()->files); ++i)
    kept += kstrlist_text(&f.get()->files, i) + "|"s;
  EXPECT_EQ(kept, logs + "/a.log|" + logs + "/*.log|app/c.log|app/later.log|");
  EXPECT_TRUE(log.has("[WARNING] lwfacility 'f': file '" + logs +
                      "/out.log' outside lwatch.allowpath: not monitored\n"));
  f.update(logs + "/");
  // out.log matches the wildcard, but leads out.
  EXPECT_EQ(tracked_paths(f, 1),
            (std::set<std::string>{logs + "/a.log", logs + "/app/c.log", logs + "/app/later.log"}));
  EXPECT_EQ(tracked_paths(f, 0), (std::set<std::string>{logs + "/b.log"}));
  EXPECT_EQ(policy.files, 4u);

  // a.log read; then swapped for a link to the secret, which is not read.
  lwtest::Result result(root);
  lwfacility_scan_files(f.get(), result.get(), true);
  EXPECT_EQ(result.take(), "[f,all] old\n[f,all] old\n");
  std::filesystem::remove(logs + "/app/c.log");
  std::filesystem::create_symlink(root + "/secret", logs + "/app/c.log");
  testutil::set_mtime(logs + "/app/c.log", time(nullptr) + 100);
  lwfacility_scan_files(f.get(), result.get(), true);
  EXPECT_EQ(result.take(), "");
  lwfacility_free(f.get());
  lwfacility_init(f.get(), Str("f").get(), log.get());
  EXPECT_EQ(policy.files + policy.entries + policy.filters, 0u);
  lwpolicy_free(&policy);
}

}  // namespace
