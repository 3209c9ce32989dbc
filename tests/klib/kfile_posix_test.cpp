// kfile on POSIX paths: symbolic links, "/" roots.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "klib/kfile.h"
#include "support/testutil.h"

namespace {

// Only a leading '/' is a root here: a doubled one names no share.
TEST(KPathPosix, OnlyASlashIsARoot) {
  for (auto [path, root, dir] : std::vector<std::tuple<const char*, uint32_t, const char*>>{
           {"//a//b", 1, "/a/"}, {"\\\\h\\s\\a", 0, "h/s/"}, {"/", 1, "/"}, {"x", 0, ""}}) {
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

}  // namespace
