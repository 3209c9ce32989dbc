// kfile and the path rules on Windows: drive and share roots, text mode,
// sharing with a writer that renames or deletes.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>

#include "klib/kfile.h"
#include "support/testutil.h"

namespace {

std::string dir_of(const char* path) {
  kstring p, out;
  kstring_init(&p);
  kstring_init(&out);
  kstring_assign_cstr(&p, path);
  kstring_path_dir(&p, &out);
  std::string got = kstring_text(&out);
  kstring_path_base(&p, &out);
  got += "|" + std::string(kstring_text(&out));
  kstring_free(&out);
  kstring_free(&p);
  return got;
}

TEST(KPathWin32, DrivesAndSharesAreRoots) {
  for (auto [path, root, dir] : std::vector<std::tuple<const char*, uint32_t, const char*>>{
           {"C:\\vardo\\vardo.exe", 3, "C:/vardo/|vardo.exe"},
           {"c:/a/b.log", 3, "c:/a/|b.log"},
           {"C:x.log", 2, "C:|x.log"},
           {"\\\\host\\share\\logs\\a.log", 13, "//host/share/logs/|a.log"},
           {"\\logs\\a.log", 1, "/logs/|a.log"},
           {"logs\\a.log", 0, "logs/|a.log"},
           {"a.log", 0, "|a.log"}}) {
    EXPECT_EQ(kstring_path_root(path), root) << path;
    EXPECT_EQ(dir_of(path), dir) << path;
  }
}

std::string read_line_of(kfile* f) {
  kstring line;
  kstring_init(&line);
  std::string got = kfile_read_line(f, &line) == 0 ? kstring_text(&line) : "<eof>";
  kstring_free(&line);
  return got;
}

TEST(KFileWin32, TextModeWritesCrLfAndAWriterMayRenameOrDeleteAnOpenFile) {
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
  // Held open by the agent: another program still renames and deletes it.
  std::string moved = dir.file("t.old");
  EXPECT_TRUE(MoveFileA(dir.file("t.log").c_str(), moved.c_str()));
  EXPECT_EQ(read_line_of(&f), "two");
  EXPECT_TRUE(DeleteFileA(moved.c_str()));
  kfile_close(&f);
  EXPECT_FALSE(testutil::file_exists(moved));

  // The scanner's open reads bytes as they are.
  testutil::write_file(dir.file("s.log"), "a\r\nb\r\n");
  kfile_set_name_cstr(&f, dir.file("s.log").c_str());
  ASSERT_EQ(kfile_open_regular(&f), 0u);
  char buf[16];
  EXPECT_EQ(kfile_read(&f, buf, sizeof buf), 6u);
  uint64_t size = 0;
  EXPECT_EQ(kfile_size(&f, &size), 0u);
  EXPECT_EQ(size, 6u);
  kstring real;
  kstring_init(&real);
  EXPECT_EQ(kfile_real_path(&f, &real), 0u);
  EXPECT_NE(std::string(kstring_text(&real)).find("/s.log"), std::string::npos);
  kfile_close(&f);
  // Appended records are written as given: the caller ends them with kfile_eol.
  kfile_set_name_cstr(&f, dir.file("r.tmp").c_str());
  ASSERT_EQ(kfile_open(&f, "ax"), 0u) << "a new file";
  std::string rec = std::string("hit") + kfile_eol;
  EXPECT_EQ(kfile_append(&f, rec.data(), static_cast<uint32_t>(rec.size())), rec.size());
  EXPECT_EQ(kfile_try_lock(&f), 0u);
  kfile other;
  kfile_init(&other);
  kfile_set_name_cstr(&other, dir.file("r.tmp").c_str());
  EXPECT_EQ(kfile_open(&other, "ax"), 1u) << "exists now";
  ASSERT_EQ(kfile_open(&other, "r"), 0u);
  EXPECT_EQ(kfile_try_lock(&other), 1u) << "held by the first opening";
  EXPECT_EQ(read_line_of(&other), "hit") << "the lock keeps nobody from reading";
  kfile_close(&other);
  kfile_free(&other);
  kfile_close(&f);
  kstring_free(&real);
  kfile_free(&f);
}

}  // namespace
