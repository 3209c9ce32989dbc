// kfile and the path rules on Windows: drive and share roots, text mode,
// sharing with a writer that renames or deletes.
#include <gtest/gtest.h>
#include <windows.h>

#include "klib/kfile.h"
#include "support/testutil.h"

namespace {

TEST(KPathWin32, DrivesAndSharesAreRoots) {
  for (auto [path, root, dir] : std::vector<std::tuple<const char*, uint32_t, const char*>>{
           {"C:\\vardo\\vardo.exe", 3, "C:/vardo/"},
           {"C:x.log", 2, "C:"},
           {"\\\\host\\share\\logs\\a.log", 13, "//host/share/logs/"},
           {"\\logs\\a.log", 1, "/logs/"}}) {
    kstring p, out;
    kstring_init(&p);
    kstring_init(&out);
    kstring_assign_cstr(&p, path);
    kstring_path_dir(&p, &out);
    EXPECT_EQ(kstring_path_root(path), root) << path;
    EXPECT_STREQ(kstring_text(&out), dir) << path;
    kstring_free(&out);
    kstring_free(&p);
  }
}

std::string read_line_of(kfile* f) {
  kstring line;
  kstring_init(&line);
  std::string got = kfile_read_line(f, &line) == 0 ? kstring_text(&line) : "<eof>";
  kstring_free(&line);
  return got;
}

// Text mode writes CR LF; another program may rename and delete a file the
// agent holds open; the scanner's open reads bytes as they are.
TEST(KFileWin32, TextModeSharingAndRawReads) {
  testutil::TempDir dir;
  kfile f;
  kfile_init(&f);
  kfile_set_name_cstr(&f, dir.file("t.log").c_str());
  ASSERT_EQ(kfile_open(&f, "wt"), 0u);
  kfile_printf(&f, "one\ntwo\n");
  kfile_close(&f);
  EXPECT_EQ(testutil::read_file(dir.file("t.log")), "one\r\ntwo\r\n");
  ASSERT_EQ(kfile_open(&f, "rt"), 0u);
  EXPECT_EQ(read_line_of(&f), "one");
  std::string moved = dir.file("t.old");
  EXPECT_TRUE(MoveFileA(dir.file("t.log").c_str(), moved.c_str()));
  EXPECT_EQ(read_line_of(&f), "two");
  EXPECT_TRUE(DeleteFileA(moved.c_str()));
  kfile_close(&f);
  EXPECT_FALSE(testutil::file_exists(moved));

  kfile_set_name_cstr(&f, dir.file("t.log").c_str());
  testutil::write_file(dir.file("t.log"), "a\r\nb\r\n");
  ASSERT_EQ(kfile_open_regular(&f), 0u);
  char buf[16];
  uint64_t size = 0;
  EXPECT_EQ(kfile_read(&f, buf, sizeof buf), 6u);
  EXPECT_EQ(kfile_size(&f, &size), 0u);
  EXPECT_EQ(size, 6u);
  kstring real;
  kstring_init(&real);
  EXPECT_EQ(kfile_real_path(&f, &real), 0u);
  EXPECT_NE(std::string(kstring_text(&real)).find("/t.log"), std::string::npos);
  kfile_close(&f);
  kstring_free(&real);
  kfile_free(&f);
}

}  // namespace
