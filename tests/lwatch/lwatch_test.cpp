// The watch engine: settings, facility reload, cleaning, result files and the
// worker thread's rotation and stop.
#include "lwatch/lwatch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>

#include "lwatch/lwfacility.h"
#include "lwtest.h"

namespace {

using lwtest::Log;
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
  void configure(const std::string& conf, uint32_t level = 2) {
    testutil::write_file(
        dir_.file("vardo.conf"),
        "lwatch.facilitydir = " + fac_dir_ + "\nlwatch.resultdir = " + res_dir_ + "\n" + conf);
    kconfig_load(&config_, dir_.file("vardo.conf").c_str());
    log_ = std::make_unique<Log>(dir_.file("vardo.log"), level);
    Str base(dir_.path() + "/");
    lwatch_settings(&e_, base.get(), &config_, log_->get());
    configured_ = true;
  }
  std::vector<std::string> names() {
    std::vector<std::string> n;
    for (uint32_t i = 0; i < e_.facilities.count; ++i)
      n.push_back(kstring_text(&static_cast<lwfacility*>(karray_get(&e_.facilities, i))->name));
    return n;
  }
  std::set<std::string> result_files() {
    std::set<std::string> files;
    for (auto& entry : std::filesystem::directory_iterator(res_dir_))
      files.insert(entry.path().filename().string());
    return files;
  }

  testutil::TempDir dir_;
  std::string fac_dir_ = dir_.file("fac");
  std::string res_dir_ = dir_.file("res");
  kconfig config_{};
  std::unique_ptr<Log> log_;
  lwatch e_;
  bool configured_ = false;
};

TEST_F(Engine, SettingsAreEchoedAndPeriodsBelowOneCountAsOne) {
  configure("lwatch.rfilettl = 0\nlwatch.facilityupdt = -3\n", 1);
  EXPECT_EQ(e_.rfilettl, 1u);
  EXPECT_EQ(e_.facilityupdt, 1u);
  EXPECT_EQ(e_.cleandir, 0u);
  std::string text = log_->text();
  EXPECT_NE(
      text.find("# lwatch.facilitydir = '" + fac_dir_ + "'\n# lwatch.resultdir = '" + res_dir_ +
                "'\n# lwatch.facilityupdt = 1 sec\n# lwatch.rfilettl = 1 sec\n"
                "# lwatch.cleandir = 0\n# lwatch.journaldir = ''\n"),
      std::string::npos)
      << text;
}

TEST_F(Engine, ReloadAddsReloadsOnANewerTimeAndRemovesWhatIsGone) {
  configure("");
  for (const char* n : {"a", "b", "c"})
    testutil::write_file(fac_dir_ + "/" + n + ".facility", "scan = 2\n");
  testutil::write_file(fac_dir_ + "/d.x.facility", "scan = 3\n");
  testutil::write_file(fac_dir_ + "/notes.txt", "");
  for (const char* n : {"a", "b", "c", "d.x"})
    lwtest::set_mtime(fac_dir_ + "/" + n + ".facility", 1700000000);
  lwatch_reload(&e_);
  std::vector<std::string> first = names();
  EXPECT_EQ(std::set<std::string>(first.begin(), first.end()),
            (std::set<std::string>{"a", "b", "c", "d"}));
  EXPECT_TRUE(log_->has(" facility 'd' added\n"));

  // Same time: kept as it is. A newer time: loaded afresh.
  auto* b =
      static_cast<lwfacility*>(karray_find(&e_.facilities, Str("b").get(), lwfacility_compare));
  ASSERT_NE(b, nullptr);
  b->first_update = 7;  // a mark that a reload would reset
  testutil::write_file(fac_dir_ + "/b.facility", "scan = 4\n");
  lwtest::set_mtime(fac_dir_ + "/b.facility", 1700000000);
  lwatch_reload(&e_);
  b = static_cast<lwfacility*>(karray_find(&e_.facilities, Str("b").get(), lwfacility_compare));
  EXPECT_EQ(b->scan, 2u);
  lwtest::set_mtime(fac_dir_ + "/b.facility", 1700000005);
  lwatch_reload(&e_);
  b = static_cast<lwfacility*>(karray_find(&e_.facilities, Str("b").get(), lwfacility_compare));
  EXPECT_EQ(b->scan, 4u);
  EXPECT_EQ(b->mtime, 1700000005u);
  EXPECT_EQ(b->first_update, 0u);
  EXPECT_TRUE(log_->has(" reloading facility 'b'\n"));

  // Two neighbours gone at once: both removed in the same reload.
  std::string gone1 = names()[1], gone2 = names()[2];
  std::filesystem::remove(fac_dir_ + "/" + (gone1 == "d" ? "d.x" : gone1) + ".facility");
  std::filesystem::remove(fac_dir_ + "/" + (gone2 == "d" ? "d.x" : gone2) + ".facility");
  lwatch_reload(&e_);
  EXPECT_EQ(names().size(), 2u);
  for (auto& n : names()) EXPECT_TRUE(n != gone1 && n != gone2);
  EXPECT_TRUE(log_->has(" facility '" + gone1 + "' removed\n"));
  EXPECT_TRUE(log_->has(" facility '" + gone2 + "' removed\n"));

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
  EXPECT_EQ(result.text(), "[every3,f] hit 1\n");
}

TEST_F(Engine, CleaningDeletesFacilityAndUnfinishedResultFilesOnly) {
  testutil::write_file(fac_dir_ + "/a.facility", "");
  testutil::write_file(fac_dir_ + "/keep.conf", "");
  testutil::write_file(res_dir_ + "/lw250101000000.tmp", "x");
  testutil::write_file(res_dir_ + "/lw250101000001.log", "x");
  configure("lwatch.cleandir = 1\n");
  EXPECT_EQ(e_.cleandir, 1u);
  EXPECT_FALSE(testutil::file_exists(fac_dir_ + "/a.facility"));
  EXPECT_TRUE(testutil::file_exists(fac_dir_ + "/keep.conf"));
  EXPECT_EQ(result_files(), (std::set<std::string>{"lw250101000001.log"}));
  EXPECT_TRUE(log_->has(" Cleaning file : " + fac_dir_ + "/a.facility\n"));
  EXPECT_TRUE(log_->has(" Cleaning file : " + res_dir_ + "/lw250101000000.tmp\n"));
  // And again when the engine is released.
  testutil::write_file(fac_dir_ + "/b.facility", "");
  lwatch_free(&e_);
  configured_ = false;
  EXPECT_FALSE(testutil::file_exists(fac_dir_ + "/b.facility"));
}

TEST(LwatchResult, NamedAfterItsTimeKeptOnlyWithHitsAndNeverOverAFinishedOne) {
  testutil::TempDir dir;
  Str d(dir.path());
  ktime when;
  ktime_set(&when, 2025, 1, 2, 3, 4, 5);
  lwatch_result r;
  lwatch_result_init(&r);
  ASSERT_TRUE(lwatch_result_open(&r, d.get(), &when));
  EXPECT_EQ(std::string(kstring_text(&r.tmp_path)), dir.file("lw250102030405.tmp"));
  EXPECT_TRUE(testutil::file_exists(dir.file("lw250102030405.tmp")));
  lwatch_result_close(&r);  // no hit: no file
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

  // A ".tmp" left behind is appended to; with a hit it becomes the ".log".
  testutil::write_file(dir.file("lw250102030405.tmp"), "[a,b] earlier\n");
  ASSERT_TRUE(lwatch_result_open(&r, d.get(), &when));
  kfile_printf(&r.file, "[a,b] now\n");
  r.empty = 0;
  lwatch_result_close(&r);
  EXPECT_FALSE(testutil::file_exists(dir.file("lw250102030405.tmp")));
  EXPECT_EQ(testutil::read_file(dir.file("lw250102030405.log")), "[a,b] earlier\n[a,b] now\n");

  // The ".log" name is taken: the ".tmp" stays where it is.
  ASSERT_TRUE(lwatch_result_open(&r, d.get(), &when));
  kfile_printf(&r.file, "[a,b] later\n");
  r.empty = 0;
  lwatch_result_close(&r);
  EXPECT_EQ(testutil::read_file(dir.file("lw250102030405.tmp")), "[a,b] later\n");
  EXPECT_EQ(testutil::read_file(dir.file("lw250102030405.log")), "[a,b] earlier\n[a,b] now\n");

  Str missing(dir.file("no/such/dir"));
  EXPECT_FALSE(lwatch_result_open(&r, missing.get(), &when));
  lwatch_result_free(&r);
}

// The worker thread end to end, in-process: hits land in a ".log" file at
// rotation, a period without hits leaves none, and a stop during a period
// with hits leaves that period's file under its ".log" name.
TEST_F(Engine, WorkerRotatesResultFilesAndFinishesTheLastOneOnStop) {
  std::string watched = dir_.file("w.log");
  testutil::write_file(watched, "old error\n");
  lwtest::set_mtime(watched, 1700000000);
  testutil::write_file(fac_dir_ + "/app.facility",
                       "scan = 1\nfile = " + watched + "\nfilter = err;error\n");
  testutil::write_file(dir_.file("vardo.conf"),
                       "lwatch.facilitydir = " + fac_dir_ + "\nlwatch.resultdir = " + res_dir_ +
                           "\nlwatch.rfilettl = 2\nlwatch.facilityupdt = 1\n");
  kconfig_load(&config_, dir_.file("vardo.conf").c_str());
  log_ = std::make_unique<Log>(dir_.file("vardo.log"), 3);
  Str base(dir_.path() + "/");
  ASSERT_TRUE(lwatch_init(&e_, base.get(), &config_, log_->get()));
  configured_ = true;
  auto logs = [&] {
    std::vector<std::string> v;
    for (auto& n : result_files())
      if (std::regex_match(n, std::regex("lw\\d{12}\\.log"))) v.push_back(n);
    return v;
  };
  ASSERT_TRUE(testutil::wait_until([&] { return log_->has(" facility 'app' added\n"); }, 5000));
  testutil::append_file(watched, "new error 1\nfine\n");
  ASSERT_TRUE(testutil::wait_until([&] { return logs().size() == 1; }, 8000)) << log_->text();
  EXPECT_EQ(testutil::read_file(res_dir_ + "/" + logs()[0]), "[app,err] new error 1\n");

  testutil::append_file(watched, "new error 2\n");
  ASSERT_TRUE(testutil::wait_until([&] { return log_->has(" = >new error 2<\n"); }, 8000));
  lwatch_stop(&e_);
  EXPECT_FALSE(kthread_is_running(&e_.thread));
  auto finished = logs();
  ASSERT_EQ(finished.size(), 2u) << log_->text();
  EXPECT_EQ(testutil::read_file(res_dir_ + "/" + finished[1]), "[app,err] new error 2\n");
  for (auto& n : result_files()) EXPECT_EQ(n.find(".tmp"), std::string::npos) << n;
  std::string text = log_->text();
  EXPECT_NE(text.find(" LWATCH up\n"), std::string::npos);
  EXPECT_LT(text.find(" LWATCH shutdown\n"), text.find(" LWATCH down\n"));
  EXPECT_EQ(text.find("LWATCH not terminated"), std::string::npos);
}

}  // namespace
