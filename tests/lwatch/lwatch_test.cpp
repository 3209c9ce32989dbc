// The watch engine: settings, facility reload, scan periods, cleaning and
// result files. Its worker thread is tested through the real executable.
#include "lwatch/lwatch.h"

#include <gtest/gtest.h>

#include "lwatch/lwfacility.h"
#include "lwtest.h"

namespace {

using lwtest::Str;

class Engine : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(fac_dir_);
    std::filesystem::create_directory(res_dir_);
  }
  void TearDown() override {
    if (configured_) lwatch_free(&e_);
    kconfig_free(&config_);
  }
  // The engine's settings from a configuration file, without its thread.
  void configure(const std::string& conf) {
    testutil::write_file(
        dir_.file("vardo.conf"),
        "lwatch.facilitydir = " + fac_dir_ + "\nlwatch.resultdir = " + res_dir_ + "\n" + conf);
    kconfig_load(&config_, dir_.file("vardo.conf").c_str());
    lwatch_settings(&e_, Str(dir_.path() + "/").get(), &config_, log_.get());
    configured_ = true;
  }
  std::vector<std::string> names() {
    std::vector<std::string> n;
    for (uint32_t i = 0; i < e_.facilities.count; ++i)
      n.push_back(kstring_text(&static_cast<lwfacility*>(karray_get(&e_.facilities, i))->name));
    return n;
  }
  lwfacility* find(const char* name) {
    return static_cast<lwfacility*>(
        karray_find(&e_.facilities, Str(name).get(), lwfacility_compare));
  }

  testutil::TempDir dir_;
  std::string fac_dir_ = dir_.file("fac");
  std::string res_dir_ = dir_.file("res");
  kconfig config_{};
  lwtest::Log log_{dir_.file("vardo.log"), 2};
  lwatch e_;
  bool configured_ = false;
};

TEST_F(Engine, ReloadAddsReloadsOnANewerTimeAndRemovesWhatIsGone) {
  configure("");
  auto file_of = [&](const std::string& name) {
    return fac_dir_ + "/" + (name == "d" ? "d.x" : name) + ".facility";
  };
  for (const char* n : {"a", "b", "c", "d"}) {
    testutil::write_file(file_of(n), "scan = 2\n");
    lwtest::set_mtime(file_of(n), 1700000000);
  }
  testutil::write_file(fac_dir_ + "/notes.txt", "");
  lwatch_reload(&e_);
  EXPECT_EQ(names().size(), 4u);
  EXPECT_TRUE(find("a") && find("b") && find("c") && find("d"));
  EXPECT_TRUE(log_.has(" facility 'd' added\n"));

  // Same time: kept as it is. A newer time: loaded afresh.
  testutil::write_file(file_of("b"), "scan = 4\n");
  lwtest::set_mtime(file_of("b"), 1700000000);
  lwatch_reload(&e_);
  EXPECT_EQ(find("b")->scan, 2u);
  lwtest::set_mtime(file_of("b"), 1700000005);
  lwatch_reload(&e_);
  EXPECT_EQ(find("b")->scan, 4u);
  EXPECT_TRUE(log_.has(" reloading facility 'b'\n"));

  // Two neighbours gone at once: both removed in the same reload.
  std::string gone1 = names()[1], gone2 = names()[2];
  std::filesystem::remove(file_of(gone1));
  std::filesystem::remove(file_of(gone2));
  lwatch_reload(&e_);
  EXPECT_EQ(names().size(), 2u);
  EXPECT_TRUE(!find(gone1.c_str()) && !find(gone2.c_str()));
  EXPECT_TRUE(log_.has(" facility '" + gone1 + "' removed\n"));

  // An unreadable directory leaves the table as it is.
  std::filesystem::rename(fac_dir_, dir_.file("elsewhere"));
  lwatch_reload(&e_);
  EXPECT_EQ(names().size(), 2u);
}

TEST_F(Engine, ScanRunsTheFacilitiesWhosePeriodDividesTheTick) {
  configure("");
  std::string watched = dir_.file("w.log");
  testutil::write_file(watched, "");
  lwtest::set_mtime(watched, 1700000000);
  testutil::write_file(fac_dir_ + "/every3.facility",
                       "scan = 3\nfile = " + watched + "\nfilter = f;hit\n");
  lwatch_reload(&e_);
  lwtest::Result result(dir_.file("r.tmp"));
  EXPECT_FALSE(lwatch_scan(&e_, 0, result.get()));  // finds the file
  testutil::append_file(watched, "hit 1\n");
  lwtest::set_mtime(watched, 1700000001);
  EXPECT_FALSE(lwatch_scan(&e_, 1, result.get()));
  EXPECT_FALSE(lwatch_scan(&e_, 2, result.get()));
  EXPECT_TRUE(lwatch_scan(&e_, 3, result.get()));
  EXPECT_EQ(result.take(), "[every3,f] hit 1\n");
}

TEST_F(Engine, SettingsAreEchoedAndCleaningDeletesFacilityAndUnfinishedResultFilesOnly) {
  testutil::write_file(fac_dir_ + "/a.facility", "");
  testutil::write_file(fac_dir_ + "/keep.conf", "");
  testutil::write_file(res_dir_ + "/lw250101000000.tmp", "x");
  testutil::write_file(res_dir_ + "/lw250101000001.log", "x");
  configure("lwatch.cleandir = 1\nlwatch.rfilettl = 0\nlwatch.facilityupdt = -3\n");
  // Periods below one count as one.
  EXPECT_TRUE(log_.has("# lwatch.facilitydir = '" + fac_dir_ + "'\n# lwatch.resultdir = '" +
                       res_dir_ + "'\n# lwatch.facilityupdt = 1 sec\n# lwatch.rfilettl = 1 sec\n" +
                       "# lwatch.cleandir = 1\n# lwatch.journaldir = ''\n"))
      << log_.text();
  EXPECT_FALSE(testutil::file_exists(fac_dir_ + "/a.facility"));
  EXPECT_TRUE(testutil::file_exists(fac_dir_ + "/keep.conf"));
  EXPECT_FALSE(testutil::file_exists(res_dir_ + "/lw250101000000.tmp"));
  EXPECT_TRUE(testutil::file_exists(res_dir_ + "/lw250101000001.log"));
  EXPECT_TRUE(log_.has(" Cleaning file : " + fac_dir_ + "/a.facility\n"));
  // And again when the engine is released.
  testutil::write_file(fac_dir_ + "/b.facility", "");
  lwatch_free(&e_);
  configured_ = false;
  EXPECT_FALSE(testutil::file_exists(fac_dir_ + "/b.facility"));
}

// The bounds hold over all facilities together: what does not fit is
// ignored with a warning and fits again once other facilities let it go. A
// facility file that is too large, or a symbolic link, holds nothing.
TEST_F(Engine, BoundsHoldOverAllFacilitiesAndRefuseWithAWarning) {
  std::string root = std::filesystem::canonical(dir_.path()).string();
  configure(
      "lwatch.maxfacilities = 4\nlwatch.maxentries = 5\nlwatch.maxfilters = 2\n"
      "lwatch.maxfiles = 3\nlwatch.maxfacilitysize = 300\nlwatch.allowpath = " +
      dir_.path() + "/logs/\nlwatch.allowpath = " + dir_.path() + "/logs/../other\n");
  EXPECT_TRUE(log_.has("# lwatch.allowpath = '" + root + "/logs'\n# lwatch.allowpath = '" + root +
                       "/other'\n# lwatch.maxfacilities = 4\n# lwatch.maxentries = 5\n" +
                       "# lwatch.maxfilters = 2\n# lwatch.maxfiles = 3\n" +
                       "# lwatch.maxfacilitysize = 300\n"))
      << log_.text();
  auto write = [&](const std::string& name, const std::string& body, time_t mtime) {
    testutil::write_file(fac_dir_ + "/" + name + ".facility", body);
    lwtest::set_mtime(fac_dir_ + "/" + name + ".facility", mtime);
  };
  write("a",
        "file = logs/1.log\nfile = logs/2.log\nfile = logs/3.log\nfile = logs/4.log\n"
        "eventlog = System\neventlog = Application\n"
        "filter = a;x\nfilter = b;y\nfilter = c;z\n",
        1700000000);
  lwatch_reload(&e_);
  lwfacility* a = find("a");
  ASSERT_TRUE(a);
  EXPECT_EQ(kstrlist_count(&a->files) + a->eventlogs.count, 5u);
  EXPECT_EQ(a->filters.count, 2u);
  EXPECT_EQ(a->tracked.count, 3u);
  EXPECT_TRUE(
      log_.has("[WARNING] lwfacility 'a': 1 entries beyond lwatch.maxentries = 5 ignored\n"));
  EXPECT_TRUE(
      log_.has("[WARNING] lwfacility 'a': 1 filters beyond lwatch.maxfilters = 2 ignored\n"));
  EXPECT_TRUE(log_.has("[WARNING] lwfacility 'a': file '" + dir_.path() +
                       "/logs/4.log' not monitored: lwatch.maxfiles = 3 reached\n"))
      << log_.text();

  // Nothing left for b until a goes; then a newer b takes its place.
  write("b", "file = logs/5.log\nfilter = b;y\n", 1700000000);
  lwatch_reload(&e_);
  EXPECT_EQ(kstrlist_count(&find("b")->files) + find("b")->filters.count, 0u);
  std::filesystem::remove(fac_dir_ + "/a.facility");
  lwatch_reload(&e_);
  write("b", "file = logs/5.log\nfilter = b;y\n", 1700000001);
  lwatch_reload(&e_);
  EXPECT_EQ(kstrlist_count(&find("b")->files) + find("b")->filters.count, 2u);
  EXPECT_EQ(e_.policy.entries * 100 + e_.policy.filters * 10 + e_.policy.files, 111u);

  // Too large, and a link to a facility elsewhere: loaded as empty.
  write("big", "scan = 7\n" + std::string(300, '#'), 1700000000);
  testutil::write_file(dir_.file("elsewhere.facility"), "scan = 7\nfile = logs/6.log\n");
  std::filesystem::create_symlink(dir_.file("elsewhere.facility"), fac_dir_ + "/link.facility");
  lwatch_reload(&e_);
  EXPECT_EQ(find("big")->scan + find("link")->scan, 10u);
  EXPECT_EQ(kstrlist_count(&find("link")->files), 0u);
  EXPECT_TRUE(log_.has("[WARNING] lwfacility file '" + fac_dir_ +
                       "/big.facility' is larger than lwatch.maxfacilitysize = 300 bytes: not "
                       "loaded\n"));
  // A fifth facility is not added.
  write("e", "", 1700000000);
  write("f", "", 1700000000);
  lwatch_reload(&e_);
  EXPECT_EQ(names().size(), 4u);
  EXPECT_TRUE(log_.has("[WARNING] cannot add facility '")) << log_.text();
  EXPECT_TRUE(log_.has("': lwatch.maxfacilities = 4 reached\n"));
}

TEST(LwatchResult, NamedAfterItsTimeKeptOnlyWithHitsAndNeverOverAFinishedOne) {
  testutil::TempDir dir;
  Str d(dir.path());
  ktime when;
  ktime_set(&when, 2025, 1, 2, 3, 4, 5);
  lwatch_result r;
  lwatch_result_init(&r);
  auto write = [&](const char* hit) {
    ASSERT_TRUE(lwatch_result_open(&r, d.get(), &when));
    EXPECT_TRUE(testutil::file_exists(dir.file("lw250102030405.tmp")));
    if (*hit) {
      kfile_printf(&r.file, "%s", hit);
      r.empty = 0;
    }
    lwatch_result_close(&r);
  };
  write("");  // no hit: no file
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  // A ".tmp" left behind is appended to; with a hit it becomes the ".log".
  testutil::write_file(dir.file("lw250102030405.tmp"), "[a,b] earlier\n");
  write("[a,b] now\n");
  EXPECT_FALSE(testutil::file_exists(dir.file("lw250102030405.tmp")));
  EXPECT_EQ(testutil::read_file(dir.file("lw250102030405.log")), "[a,b] earlier\n[a,b] now\n");
  // The ".log" name is taken: the ".tmp" stays where it is.
  write("[a,b] later\n");
  EXPECT_EQ(testutil::read_file(dir.file("lw250102030405.tmp")), "[a,b] later\n");
  EXPECT_EQ(testutil::read_file(dir.file("lw250102030405.log")), "[a,b] earlier\n[a,b] now\n");

  Str missing(dir.file("no/such/dir"));
  EXPECT_FALSE(lwatch_result_open(&r, missing.get(), &when));
  lwatch_result_free(&r);
}

}  // namespace
