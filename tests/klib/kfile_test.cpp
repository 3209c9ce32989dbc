#include "klib/kfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "klib/kdir.h"
#include "support/testutil.h"

namespace {

using Lines = std::vector<std::string>;

// The lines of a regular file as kfile reads them, at most max bytes each.
Lines read_lines(const std::string& path, uint32_t max = UINT32_MAX) {
  kfile f;
  kfile_init(&f), kfile_set_name_cstr(&f, path.c_str());
  Lines lines(kfile_open_regular(&f) ? 1 : 0, "<refused>");
  kstring line;
  kstring_init(&line);
  while (f.stream && kfile_read_line_max(&f, &line, max) == 0)
    lines.emplace_back(kstring_text(&line), line.length);
  kstring_free(&line), kfile_close(&f), kfile_free(&f);
  return lines;
}

TEST(KFile, LinesDropEveryCrAndKeepALastLineWithoutLf) {
  testutil::TempDir dir;
  auto lines_of = [&](const std::string& content, uint32_t max = UINT32_MAX) {
    testutil::write_file(dir.file("a.txt"), content);
    return read_lines(dir.file("a.txt"), max);
  };
  EXPECT_EQ(lines_of("x\ry\n\r\n\n"), (Lines{"xy", "", ""}));
  EXPECT_EQ(lines_of(std::string(100000, 'L') + "\n"), Lines{std::string(100000, 'L')});
  // Bounded lines come in pieces; dropped CRs do not count; the bound is one line.
  EXPECT_EQ(lines_of("abcdefg\nh\r\r\ri\nxyz\r\nuvw", 3),
            (Lines{"abc", "def", "g", "hi", "xyz", "uvw"}));
  EXPECT_EQ(read_lines(dir.path()), Lines{"<refused>"});
}

// Rename refuses an existing name and otherwise follows the file; removing
// an open file closes it first.
TEST(KFile, WriteStatRenameAndRemove) {
  testutil::TempDir dir;
  kfile f;
  kfile_init(&f), kfile_set_name_cstr(&f, dir.file("a.tmp").c_str());
  uint32_t mtime = 7, size = 7;
  EXPECT_EQ(kfile_stat(&f, &mtime, &size), 1u);
  ASSERT_EQ(kfile_open(&f, "wt"), 0u);
  EXPECT_EQ(kfile_write(&f, "hello\n", 6), 6u);
  EXPECT_EQ(kfile_printf(&f, "%d\n", 42), 3);
  EXPECT_EQ(kfile_close(&f), 0u);
  EXPECT_EQ(kfile_stat(&f, &mtime, &size), 0u);
  EXPECT_EQ(size, 7u + 2 * testutil::kTextEol.size());
  testutil::write_file(dir.file("a.log"), "OLD");
  kstring to;
  kstring_init(&to);
  for (auto [name, rc, after] : {std::tuple{"a.log", 1u, "a.tmp"}, {"b.log", 0u, "b.log"}}) {
    kstring_assign_cstr(&to, dir.file(name).c_str());
    EXPECT_EQ(kfile_rename(&f, &to), rc) << name;
    EXPECT_EQ(kstring_text(&f.name), dir.file(after));
  }
  kstring_free(&to);
  EXPECT_EQ(testutil::read_file(dir.file("a.log")), "OLD");
  EXPECT_EQ(testutil::read_text(dir.file("b.log")), "hello\n42\n");
  ASSERT_EQ(kfile_open(&f, "rt"), 0u);
  EXPECT_EQ(kfile_remove(&f), 0u);
  EXPECT_FALSE(kfile_exists(&f));
  kfile_free(&f);
}

// Replace renames a whole new file over the old one, with fopen's permissions,
// not private ones; a fill that gives up or a missing directory changes nothing.
TEST(KFile, ReplaceIsWholeOrNothing) {
  testutil::TempDir dir;
  testutil::write_file(dir.file("a.log"), "");
  std::string p = dir.file("a.facility");
  kfile f;
  kfile_init(&f), kfile_set_name_cstr(&f, p.c_str());
  EXPECT_EQ(kfile_replace(&f, "new\n", 4) + kfile_replace(&f, "newer\n", 6), 0u);  // missing first
  EXPECT_EQ(testutil::read_file(p), "newer\n");
  EXPECT_EQ(std::filesystem::status(p).permissions(),
            std::filesystem::status(dir.file("a.log")).permissions());
  auto give_up = [](kfile* out, void*) -> uint32_t { return kfile_write(out, "x", 1) == 1; };
  EXPECT_EQ(kfile_replace_with(&f, give_up, nullptr), 15u);
  EXPECT_EQ(testutil::read_file(p), "newer\n");
  kfile_set_name_cstr(&f, dir.file("missing/a.facility").c_str());
  EXPECT_EQ(kfile_replace(&f, "x", 1), 1u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
  kfile_free(&f);
}

// Listings match case-blind and take files or directories; native separators work.
TEST(KDir, ListsByCaseInsensitiveWildcardAndKind) {
  testutil::TempDir dir;
  for (const char* n : {"A.FACILITY", "b.facility", "c.facility.bak"})
    testutil::write_file(dir.file(n), "");
  std::filesystem::create_directory(dir.file("d.facility"));
  auto list = [](const std::string& path, const char* pattern, int dirs) {
    kstring p;
    kstring_init(&p), kstring_assign_cstr(&p, path.c_str());
    kdir d;
    kdir_init(&d, &p), kstring_assign_cstr(&p, pattern);
    kstrlist out;
    kstrlist_init(&out);
    Lines names(kdir_list(&d, &p, dirs, &out) ? 1 : 0, "<error>");
    for (uint32_t i = 0; i < kstrlist_count(&out); ++i) names.push_back(kstrlist_text(&out, i));
    kstrlist_free(&out), kstring_free(&p), kdir_free(&d);
    std::sort(names.begin(), names.end());
    return names;
  };
  EXPECT_EQ(list(dir.path() + "/", "*.facility", 0), (Lines{"A.FACILITY", "b.facility"}));
  EXPECT_EQ(list(std::filesystem::path(dir.path()).make_preferred().string(), "", 0).size(), 3u);
  EXPECT_EQ(list(dir.path() + "/", "", 1), (Lines{".", "..", "d.facility"}));
  EXPECT_EQ(list(dir.file("nope"), "", 0), Lines{"<error>"});
}

}  // namespace
