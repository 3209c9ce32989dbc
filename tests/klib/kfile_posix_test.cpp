// kfile on POSIX paths: symbolic links, "/" roots.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "klib/kfile.h"
#include "support/testutil.h"

namespace {

// Paths resolve through links and ".." as far as they exist; only a leading
// '/' is a root (a doubled one names no share); a symbolic link is refused by
// the no-follow open, and an open stream tells its file's real path and size
// whatever name led to it.
TEST(KFile, PathsResolveAndNoFollowOpensRefuseLinks) {
  testutil::TempDir dir;
  std::string root = std::filesystem::canonical(dir.path()).string();
  std::filesystem::create_directories(root + "/logs/app");
  testutil::write_file(root + "/logs/a.log", "abc\n");
  testutil::write_file(root + "/secret", "s\n");
  symlink((root + "/secret").c_str(), (root + "/logs/out.log").c_str());
  symlink("/etc", (root + "/logs/etc").c_str());
  kstring p, r;
  kstring_init(&p);
  kstring_init(&r);
  for (auto [path, want] : std::vector<std::pair<std::string, std::string>>{
           {root + "/logs/a.log", root + "/logs/a.log"},
           {root + "/logs/../secret", root + "/secret"},
           {root + "/logs/out.log", root + "/secret"},
           {root + "/logs/etc/passwd", "/etc/passwd"},
           {root + "/logs/app/new/../../x.log", root + "/logs/x.log"},
           {root + "/logs/none/../../..", std::filesystem::path(root).parent_path().string()},
           {root + "/logs/etc/none/../../x", "/x"},
           {"/../..", "/"}}) {
    kstring_assign_cstr(&p, path.c_str());
    EXPECT_EQ(kfile_resolve(&p, &r) == 0 ? kstring_text(&r) : "<error>", want) << path;
  }
  // Whether the path lies within the directory (nullptr: not asked), its root, its directory.
  const struct {
    const char *path, *in;
    uint32_t within, root;
    const char* dir;
  } cases[] = {{"/var/log", "/var/log", 1, 1, "/var/"},
               {"/var/log/a", "/var/log", 1, 1, "/var/log/"},
               {"/x", "/", 1, 1, "/"},
               {"/var/logs/a", "/var/log", 0, 1, "/var/logs/"},
               {"/var/lo", "/var/log", 0, 1, "/var/"},
               {"//a//b", nullptr, 0, 1, "/a/"},
               {"\\\\h\\s\\a", nullptr, 0, 0, "h/s/"}};
  for (const auto& c : cases) {
    kstring_assign_cstr(&p, c.path);
    kstring_assign_cstr(&r, c.in ? c.in : "");
    if (c.in) EXPECT_EQ(kfile_path_within(&p, &r), c.within) << c.path << " in " << c.in;
    EXPECT_EQ(kstring_path_root(c.path), c.root) << c.path;
    kstring_path_dir(&p, &r);
    EXPECT_STREQ(kstring_text(&r), c.dir) << c.path;
  }
  kfile f;
  kfile_init(&f);
  uint64_t size = 0;
  kfile_set_name_cstr(&f, (root + "/logs/a.log").c_str());
  EXPECT_EQ(kfile_open_regular_nofollow(&f), 0u);
  kfile_close(&f);
  kfile_set_name_cstr(&f, (root + "/logs/out.log").c_str());
  EXPECT_EQ(kfile_open_regular_nofollow(&f), 1u);
  ASSERT_EQ(kfile_open_regular(&f), 0u);
  EXPECT_EQ(kfile_real_path(&f, &r) + kfile_size(&f, &size), 0u);
  EXPECT_STREQ(kstring_text(&r), (root + "/secret").c_str());
  EXPECT_EQ(size, 2u);
  kfile_close(&f);
  EXPECT_EQ(kfile_size(&f, &size) + kfile_real_path(&f, &r), 2u);  // closed
  kstring_free(&r);
  kstring_free(&p);
  kfile_free(&f);
}

}  // namespace
