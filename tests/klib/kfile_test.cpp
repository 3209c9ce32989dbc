#include "klib/kfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "klib/kdir.h"
#include "support/testutil.h"

namespace {

std::vector<std::string> read_lines(const std::string& path) {
  kfile f;
  kfile_init(&f);
  kfile_set_name_cstr(&f, path.c_str());
  std::vector<std::string> lines;
  if (kfile_open(&f, "rt") == 0) {
    kstring line;
    kstring_init(&line);
    while (kfile_read_line(&f, &line) == 0) lines.emplace_back(kstring_text(&line), line.length);
    kstring_free(&line);
    kfile_close(&f);
  }
  kfile_free(&f);
  return lines;
}

TEST(KFile, LinesDropEveryCrAndKeepALastLineWithoutLf) {
  testutil::TempDir dir;
  std::string p = dir.file("a.txt");
  testutil::write_file(p, "a\r\nb");
  EXPECT_EQ(read_lines(p), (std::vector<std::string>{"a", "b"}));
  testutil::write_file(p, "x\ry\n\r\n\n");
  EXPECT_EQ(read_lines(p), (std::vector<std::string>{"xy", "", ""}));
  testutil::write_file(p, "");
  EXPECT_TRUE(read_lines(p).empty());
  std::string longline(100000, 'L');
  testutil::write_file(p, longline + "\n");
  auto lines = read_lines(p);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], longline);
}

TEST(KFile, BoundedLinesComeOutInPieces) {
  testutil::TempDir dir;
  testutil::write_file(dir.file("a.txt"), "abcdefg\nh\r\r\ri\nxyz\n");
  kfile f;
  kfile_init(&f);
  kfile_set_name_cstr(&f, dir.file("a.txt").c_str());
  ASSERT_EQ(kfile_open_regular(&f), 0u);
  kstring line;
  kstring_init(&line);
  std::vector<std::string> lines;
  while (kfile_read_line_max(&f, &line, 3) == 0)
    lines.emplace_back(kstring_text(&line), line.length);
  EXPECT_EQ(lines, (std::vector<std::string>{"abc", "def", "g", "hi", "xyz", ""}));
  kstring_free(&line);
  kfile_close(&f);
  kfile_free(&f);
}

TEST(KFile, SeekTellStatAndWrite) {
  testutil::TempDir dir;
  kfile f;
  kfile_init(&f);
  kfile_set_name_cstr(&f, dir.file("w.txt").c_str());
  uint32_t mtime = 7, size = 7;
  EXPECT_EQ(kfile_stat(&f, &mtime, &size), 1u);
  EXPECT_EQ(mtime, 7u);  // untouched on failure
  ASSERT_EQ(kfile_open(&f, "wt"), 0u);
  EXPECT_EQ(kfile_write(&f, "hello\n", 6), 6u);
  EXPECT_EQ(kfile_printf(&f, "%d\n", 42), 3);
  EXPECT_EQ(kfile_close(&f), 0u);
  EXPECT_EQ(kfile_stat(&f, &mtime, &size), 0u);
  EXPECT_EQ(size, 9u);
  EXPECT_GT(mtime, 1600000000u);
  ASSERT_EQ(kfile_open(&f, "rt"), 0u);
  EXPECT_EQ(kfile_seek(&f, 6), 0u);
  kstring line;
  kstring_init(&line);
  EXPECT_EQ(kfile_read_line(&f, &line), 0u);
  EXPECT_STREQ(kstring_text(&line), "42");
  EXPECT_EQ(kfile_read_line(&f, &line), 15u);
  EXPECT_EQ(kfile_seek_end(&f, 0), 0u);
  uint32_t pos = 0;
  EXPECT_EQ(kfile_tell(&f, &pos), 0u);
  EXPECT_EQ(pos, 9u);
  kfile_close(&f);
  kstring_free(&line);
  EXPECT_TRUE(kfile_exists(&f));
  // Removing an open file closes it first.
  kfile_open(&f, "at");
  EXPECT_EQ(kfile_remove(&f), 0u);
  EXPECT_EQ(f.stream, nullptr);
  EXPECT_FALSE(kfile_exists(&f));
  kfile_free(&f);
}

TEST(KFile, RenameRefusesAnExistingNameAndFollowsTheFile) {
  testutil::TempDir dir;
  testutil::write_file(dir.file("a.tmp"), "A");
  testutil::write_file(dir.file("a.log"), "OLD");
  kfile f;
  kfile_init(&f);
  kfile_set_name_cstr(&f, dir.file("a.tmp").c_str());
  kstring target;
  kstring_init(&target);
  kstring_assign_cstr(&target, dir.file("a.log").c_str());
  EXPECT_EQ(kfile_rename(&f, &target), 1u);
  EXPECT_EQ(testutil::read_file(dir.file("a.log")), "OLD");
  EXPECT_STREQ(kstring_text(&f.name), dir.file("a.tmp").c_str());
  kstring_assign_cstr(&target, dir.file("b.log").c_str());
  EXPECT_EQ(kfile_rename(&f, &target), 0u);
  EXPECT_STREQ(kstring_text(&f.name), dir.file("b.log").c_str());
  EXPECT_EQ(kfile_remove(&f), 0u);
  EXPECT_FALSE(testutil::file_exists(dir.file("b.log")));
  EXPECT_TRUE(testutil::file_exists(dir.file("a.log")));
  kstring_free(&target);
  kfile_free(&f);
}

TEST(KFile, ReplaceWritesANewFileWholeAndRenamesItOver) {
  testutil::TempDir dir;
  std::string p = dir.file("a.facility");
  kfile f;
  kfile_init(&f);
  kfile_set_name_cstr(&f, p.c_str());
  EXPECT_EQ(kfile_replace(&f, "new\n", 4), 0u);  // created when missing
  EXPECT_EQ(testutil::read_file(p), "new\n");
  // The mode is that of a file that fopen creates, not a private one.
  testutil::write_file(dir.file("plain"), "");
  struct stat replaced {
  }, plain{};
  stat(p.c_str(), &replaced);
  stat(dir.file("plain").c_str(), &plain);
  EXPECT_EQ(replaced.st_mode, plain.st_mode);
  EXPECT_EQ(kfile_replace(&f, "", 0), 0u);
  EXPECT_EQ(testutil::read_file(p), "");
  ASSERT_EQ(kfile_open(&f, "rt"), 0u);
  EXPECT_EQ(kfile_replace(&f, "x", 1), 1u);  // only a closed file
  kfile_close(&f);
  kfile_set_name_cstr(&f, dir.file("missing/a.facility").c_str());
  EXPECT_EQ(kfile_replace(&f, "x", 1), 1u);
  size_t entries = 0;
  for (auto& e : std::filesystem::directory_iterator(dir.path())) entries += e.exists();
  EXPECT_EQ(entries, 2u);
  kfile_free(&f);
}

std::vector<std::string> list(kdir* d, const char* pattern, int dirs) {
  kstring p;
  kstring_init(&p);
  kstring_assign_cstr(&p, pattern);
  kstrlist out;
  kstrlist_init(&out);
  std::vector<std::string> names;
  if (kdir_list(d, &p, dirs, &out) == 0)
    for (uint32_t i = 0; i < kstrlist_count(&out); ++i) names.push_back(kstrlist_text(&out, i));
  else
    names.push_back("<error>");
  kstrlist_free(&out);
  kstring_free(&p);
  std::sort(names.begin(), names.end());
  return names;
}

TEST(KDir, ListsByCaseInsensitiveWildcardAndKind) {
  testutil::TempDir dir;
  testutil::write_file(dir.file("A.FACILITY"), "");
  testutil::write_file(dir.file("b.facility"), "");
  testutil::write_file(dir.file("c.facility.bak"), "");
  mkdir(dir.file("d.facility").c_str(), 0755);
  symlink("b.facility", dir.file("l.facility").c_str());
  kdir d;
  kdir_init_cstr(&d, (dir.path() + "/").c_str());
  EXPECT_EQ(list(&d, "*.facility", 0),
            (std::vector<std::string>{"A.FACILITY", "b.facility", "l.facility"}));
  EXPECT_EQ(list(&d, "", 0).size(), 4u);
  EXPECT_EQ(list(&d, "", 1), (std::vector<std::string>{".", "..", "d.facility"}));
  kdir_free(&d);

  kdir missing;
  kdir_init_cstr(&missing, dir.file("nope").c_str());
  EXPECT_EQ(list(&missing, "", 0), (std::vector<std::string>{"<error>"}));
  kdir_free(&missing);
}

}  // namespace
