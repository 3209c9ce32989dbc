#include "klib/kfile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "klib/kdir.h"
#include "support/testutil.h"

namespace {

using Lines = std::vector<std::string>;

// The lines of a regular file as kfile reads them, at most max bytes each.
Lines read_lines(const std::string& path, uint32_t max = UINT32_MAX) {
  kfile f;
  kfile_init(&f);
  kfile_set_name_cstr(&f, path.c_str());
  Lines lines;
  if (kfile_open_regular(&f) != 0) lines.push_back("<refused>");
  kstring line;
  kstring_init(&line);
  while (f.stream && kfile_read_line_max(&f, &line, max) == 0)
    lines.emplace_back(kstring_text(&line), line.length);
  kstring_free(&line);
  kfile_close(&f);
  kfile_free(&f);
  return lines;
}

TEST(KFile, LinesDropEveryCrAndKeepALastLineWithoutLf) {
  testutil::TempDir dir;
  auto lines_of = [&](const std::string& content, uint32_t max = UINT32_MAX) {
    testutil::write_file(dir.file("a.txt"), content);
    return read_lines(dir.file("a.txt"), max);
  };
  EXPECT_EQ(lines_of("a\r\nb"), (Lines{"a", "b"}));
  EXPECT_EQ(lines_of("x\ry\n\r\n\n"), (Lines{"xy", "", ""}));
  EXPECT_EQ(lines_of(""), Lines{});
  EXPECT_EQ(lines_of(std::string(100000, 'L') + "\n"), Lines{std::string(100000, 'L')});
  // Bounded lines come out in pieces; dropped CRs do not count, and a line of
  // exactly the bound is one line.
  EXPECT_EQ(lines_of("abcdefg\nh\r\r\ri\nxyz\r\nuvw", 3),
            (Lines{"abc", "def", "g", "hi", "xyz", "uvw"}));
  EXPECT_EQ(read_lines(dir.path()), Lines{"<refused>"});
}

TEST(KFile, WriteStatRenameReplaceAndRemove) {
  testutil::TempDir dir;
  kfile f;
  kfile_init(&f);
  kfile_set_name_cstr(&f, dir.file("a.tmp").c_str());
  uint32_t mtime = 7, size = 7;
  EXPECT_EQ(kfile_stat(&f, &mtime, &size), 1u);
  EXPECT_EQ(mtime, 7u);  // untouched on failure
  ASSERT_EQ(kfile_open(&f, "wt"), 0u);
  EXPECT_EQ(kfile_write(&f, "hello\n", 6), 6u);
  EXPECT_EQ(kfile_printf(&f, "%d\n", 42), 3);
  EXPECT_EQ(kfile_close(&f), 0u);
  EXPECT_EQ(kfile_stat(&f, &mtime, &size), 0u);
  EXPECT_EQ(size, 9u);

  // Rename refuses an existing name and otherwise follows the file.
  testutil::write_file(dir.file("a.log"), "OLD");
  kstring target;
  kstring_init(&target);
  kstring_assign_cstr(&target, dir.file("a.log").c_str());
  EXPECT_EQ(kfile_rename(&f, &target), 1u);
  EXPECT_EQ(testutil::read_file(dir.file("a.log")), "OLD");
  EXPECT_STREQ(kstring_text(&f.name), dir.file("a.tmp").c_str());
  kstring_assign_cstr(&target, dir.file("b.log").c_str());
  EXPECT_EQ(kfile_rename(&f, &target), 0u);
  EXPECT_STREQ(kstring_text(&f.name), dir.file("b.log").c_str());
  EXPECT_EQ(testutil::read_file(dir.file("b.log")), "hello\n42\n");
  kstring_free(&target);
  // Removing an open file closes it first.
  ASSERT_EQ(kfile_open(&f, "rt"), 0u);
  EXPECT_EQ(kfile_remove(&f), 0u);
  EXPECT_FALSE(kfile_exists(&f));

  // Replace writes a new file whole and renames it over the old one, with
  // the permissions that fopen gives, not private ones.
  std::string p = dir.file("a.facility");
  kfile_set_name_cstr(&f, p.c_str());
  EXPECT_EQ(kfile_replace(&f, "new\n", 4), 0u);  // created when missing
  EXPECT_EQ(kfile_replace(&f, "newer\n", 6), 0u);
  EXPECT_EQ(testutil::read_file(p), "newer\n");
  EXPECT_EQ(std::filesystem::status(p).permissions(),
            std::filesystem::status(dir.file("a.log")).permissions());
  // Content written piece by piece; a fill that gives up changes nothing.
  auto two_pieces = [](kfile* out, void*) -> uint32_t {
    return kfile_write(out, "one\n", 4) == 4 && kfile_printf(out, "%s\n", "two") == 4 ? 0 : 1;
  };
  EXPECT_EQ(kfile_replace_with(&f, two_pieces, nullptr), 0u);
  EXPECT_EQ(testutil::read_file(p), "one\ntwo\n");
  auto give_up = [](kfile* out, void*) -> uint32_t { return kfile_write(out, "x", 1) == 1; };
  EXPECT_EQ(kfile_replace_with(&f, give_up, nullptr), 15u);
  EXPECT_EQ(testutil::read_file(p), "one\ntwo\n");
  kfile_set_name_cstr(&f, dir.file("missing/a.facility").c_str());
  EXPECT_EQ(kfile_replace(&f, "x", 1), 1u);
  // Nothing is left behind: a.log and a.facility only.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
  kfile_free(&f);
}

// Paths resolve through links and ".." as far as they exist; a symbolic link
// is refused by the no-follow open, and an open stream tells its file's real
// path and size whatever name led to it.
TEST(KFile, PathsResolveAndNoFollowOpensRefuseLinks) {
  testutil::TempDir dir;
  std::string root = std::filesystem::canonical(dir.path()).string();
  std::filesystem::create_directories(root + "/logs/app");
  testutil::write_file(root + "/logs/a.log", "abc\n");
  testutil::write_file(root + "/secret", "s\n");
  symlink((root + "/secret").c_str(), (root + "/logs/out.log").c_str());
  symlink("/etc", (root + "/logs/etc").c_str());
  auto resolve = [](const std::string& path) {
    kstring p, r;
    kstring_init(&p);
    kstring_init(&r);
    kstring_assign_cstr(&p, path.c_str());
    std::string got = kfile_resolve(&p, &r) == 0 ? kstring_text(&r) : "<error>";
    kstring_free(&r);
    kstring_free(&p);
    return got;
  };
  for (auto [path, want] : std::vector<std::pair<std::string, std::string>>{
           {root + "/logs/a.log", root + "/logs/a.log"},
           {root + "/logs/../secret", root + "/secret"},
           {root + "/logs/out.log", root + "/secret"},
           {root + "/logs/etc/passwd", "/etc/passwd"},
           {root + "/logs/app/new/../../x.log", root + "/logs/x.log"},
           {root + "/logs/none/../../..", std::filesystem::path(root).parent_path().string()},
           {root + "/logs/etc/none/../../x", "/x"},
           {"/../..", "/"}})
    EXPECT_EQ(resolve(path), want) << path;
  auto within = [](const char* path, const char* dir) {
    kstring p, d;
    kstring_init(&p);
    kstring_init(&d);
    kstring_assign_cstr(&p, path);
    kstring_assign_cstr(&d, dir);
    uint32_t in = kfile_path_within(&p, &d);
    kstring_free(&d);
    kstring_free(&p);
    return in;
  };
  EXPECT_EQ(within("/var/log", "/var/log") + within("/var/log/a", "/var/log") + within("/x", "/"),
            3u);
  EXPECT_EQ(within("/var/logs/a", "/var/log") + within("/var/lo", "/var/log"), 0u);

  kfile f;
  kfile_init(&f);
  kstring real;
  kstring_init(&real);
  uint64_t size = 0;
  kfile_set_name_cstr(&f, (root + "/logs/out.log").c_str());
  EXPECT_EQ(kfile_open_regular_nofollow(&f), 1u);
  ASSERT_EQ(kfile_open_regular(&f), 0u);
  EXPECT_EQ(kfile_real_path(&f, &real), 0u);
  EXPECT_STREQ(kstring_text(&real), (root + "/secret").c_str());
  EXPECT_EQ(kfile_size(&f, &size), 0u);
  EXPECT_EQ(size, 2u);
  kfile_close(&f);
  kfile_set_name_cstr(&f, (root + "/logs/a.log").c_str());
  ASSERT_EQ(kfile_open_regular_nofollow(&f), 0u);
  EXPECT_EQ(kfile_size(&f, &size) + kfile_real_path(&f, &real), 0u);
  EXPECT_EQ(size, 4u);
  EXPECT_STREQ(kstring_text(&real), (root + "/logs/a.log").c_str());
  kfile_close(&f);
  EXPECT_EQ(kfile_size(&f, &size) + kfile_real_path(&f, &real), 2u);  // closed
  kstring_free(&real);
  kfile_free(&f);
}

TEST(KDir, ListsByCaseInsensitiveWildcardAndKind) {
  testutil::TempDir dir;
  for (const char* n : {"A.FACILITY", "b.facility", "c.facility.bak"})
    testutil::write_file(dir.file(n), "");
  mkdir(dir.file("d.facility").c_str(), 0755);
  symlink("b.facility", dir.file("l.facility").c_str());
  auto list = [](const std::string& path, const char* pattern, int dirs) {
    kdir d;
    kdir_init_cstr(&d, path.c_str());
    kstring p;
    kstring_init(&p);
    kstring_assign_cstr(&p, pattern);
    kstrlist out;
    kstrlist_init(&out);
    Lines names(kdir_list(&d, &p, dirs, &out) ? 1 : 0, "<error>");
    for (uint32_t i = 0; i < kstrlist_count(&out); ++i) names.push_back(kstrlist_text(&out, i));
    kstrlist_free(&out);
    kstring_free(&p);
    kdir_free(&d);
    std::sort(names.begin(), names.end());
    return names;
  };
  EXPECT_EQ(list(dir.path() + "/", "*.facility", 0),
            (Lines{"A.FACILITY", "b.facility", "l.facility"}));
  EXPECT_EQ(list(dir.path(), "", 0).size(), 4u);
  EXPECT_EQ(list(dir.path() + "/", "", 1), (Lines{".", "..", "d.facility"}));
  EXPECT_EQ(list(dir.file("nope"), "", 0), Lines{"<error>"});
}

}  // namespace
