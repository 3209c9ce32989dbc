// The watch engine: settings, facility reload, scan periods, state, cleaning, results.
#include "lwatch/lwatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "lwatch/lwfacility.h"
#include "lwatch/lwfile.h"
#include "lwtest.h"

namespace {

namespace fs = std::filesystem;
using lwtest::Str;
using testutil::set_mtime;
using V = std::vector<std::string>;

class Engine : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto& d : {fac_dir_, res_dir_}) fs::create_directory(d);
  }
  void TearDown() override { stop(); }
  void stop() {
    if (configured_) lwatch_free(&e_);
    configured_ = false;
    kconfig_free(&config_);
    config_ = kconfig{};
  }
  // The engine's settings from a configuration file, without its thread.
  void configure(const std::string& conf) {
    stop();
    testutil::write_file(
        dir_.file("vardo.conf"),
        "lwatch.facilitydir = " + fac_dir_ + "\nlwatch.resultdir = " + res_dir_ + "\n" + conf);
    kconfig_load(&config_, dir_.file("vardo.conf").c_str());
    lwatch_settings(&e_, Str(dir_.path() + "/").get(), &config_, log_.get());
    configured_ = true;
  }
  void facility(const std::string& name, const std::string& body, time_t mtime = 1700000000) {
    testutil::write_file(fac_dir_ + "/" + name + ".facility", body);
    set_mtime(fac_dir_ + "/" + name + ".facility", mtime);
  }
  // An empty log <name>.log and the facility <name> watching it; the log's path.
  std::string watch_one(const std::string& name, int scan, const std::string& filter,
                        const std::string& more = "") {
    std::string path = dir_.file(name + ".log");
    testutil::write_file(path, "");
    set_mtime(path, 1700000000);
    facility(name, "scan = " + std::to_string(scan) + "\nfile = " + path + "\nfilter = " + filter +
                       "\n" + more);
    return path;
  }
  V names() {
    V n;
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

TEST_F(Engine, ReloadsFacilitiesAndScansThoseWhosePeriodDividesTheTick) {
  configure("");
  for (const char* n : {"a", "b", "c"}) facility(n, "scan = 2\n");
  std::string watched = watch_one("d.x", 3, "f;hit");
  testutil::write_file(fac_dir_ + "/notes.txt", "");
  lwatch_reload(&e_);
  EXPECT_EQ(names().size(), 4u);
  EXPECT_TRUE(find("a") && find("b") && find("c") && find("d"));
  lwtest::Result result(res_dir_);
  EXPECT_FALSE(lwatch_scan(&e_, 0, result.get()));  // finds the file
  testutil::append_file(watched, "hit 1\n");
  set_mtime(watched, 1700000001);
  EXPECT_FALSE(lwatch_scan(&e_, 1, result.get()));
  EXPECT_FALSE(lwatch_scan(&e_, 2, result.get()));
  EXPECT_TRUE(lwatch_scan(&e_, 3, result.get()));
  EXPECT_EQ(result.take(), "[d,f] hit 1\n");
  facility("b", "scan = 4\n", 1700000005);  // a newer time: loaded afresh
  lwatch_reload(&e_);
  EXPECT_EQ(find("b")->scan, 4u);
  // Two neighbours gone at once both go; a vanished directory changes nothing.
  const std::string gone1 = names()[1], gone2 = names()[2];
  fs::remove(fac_dir_ + "/" + (gone1 == "d" ? "d.x" : gone1) + ".facility");
  fs::remove(fac_dir_ + "/" + (gone2 == "d" ? "d.x" : gone2) + ".facility");
  lwatch_reload(&e_);
  EXPECT_EQ(names().size(), 2u);
  EXPECT_TRUE(!find(gone1.c_str()) && !find(gone2.c_str()));
  fs::rename(fac_dir_, dir_.file("elsewhere"));
  lwatch_reload(&e_);
  EXPECT_EQ(names().size(), 2u);
}

// Exact following resumes from the state file after a restart, also in a file
// rotated away meanwhile; a failed write keeps the old state, a damaged one is set aside.
TEST_F(Engine, ExactStateCarriesFollowingAcrossRestartsAndIsNeverTrustedDamaged) {
  const std::string state = res_dir_ + "/lwatch.state";
  const std::string watched = watch_one("a", 1, "h;hit");
  lwtest::Result result(res_dir_);
  auto start = [&] {
    configure("lwatch.exact = 1\n");
    lwatch_reload(&e_);
  };
  auto scan = [&] {
    lwatch_scan(&e_, 1, result.get());
    lwatch_save_state(&e_, result.get());
    return result.take();
  };
  start();
  EXPECT_EQ(scan(), "");
  testutil::append_file(watched, "hit 1\n");
  EXPECT_EQ(scan(), "[a,h] hit 1\n");
  testutil::append_file(watched, "hit 2\n");  // after the last scan
  stop();
  // While the agent is down: a crashed state write's leftover, hit 3, a rotation.
  testutil::write_file(res_dir_ + "/.~999-999-0", "vardo lwatch state 1\nfile\ta\t1\t");
  testutil::append_file(watched, "hit 3\n");
  fs::rename(watched, watched + ".1");
  testutil::write_file(watched, "hit 4\n");
  start();
  EXPECT_EQ(scan(), "[a,h] hit 2\n[a,h] hit 3\n");  // the old file, found beside
  EXPECT_EQ(scan(), "[a,h] hit 4\n");               // the new one, once the old is quiet
  EXPECT_EQ(scan(), "");

  // A write that cannot complete leaves the previous state in place.
  const std::string before = testutil::read_text(state);
  testutil::append_file(watched, "hit 5\n");
  lwatch_scan(&e_, 1, result.get());
  auto refuse = [](void*) { return false; };
  EXPECT_NE(lwstate_save(&e_.state, &e_.facilities, refuse, nullptr), 0u);
  EXPECT_EQ(testutil::read_text(state), before);
  EXPECT_EQ(scan(), "[a,h] hit 5\n");
  EXPECT_NE(testutil::read_text(state), before);
  // A facility loaded again (its file touched) keeps its places too.
  testutil::append_file(watched, "hit 6\n");
  set_mtime(fac_dir_ + "/a.facility", 1800000000);
  lwatch_reload(&e_);
  EXPECT_EQ(scan(), "[a,h] hit 6\n");

  // One byte changed, or cut short: set aside, never trusted.
  const std::pair<std::string, const char*> bad[] = {
      {std::string(before).replace(before.find("file\ta\t"), 7, "file\tb\t"), "damaged"},
      {before.substr(0, before.find("end\t")), "cut short"},
  };
  for (const auto& [text, why] : bad) {
    testutil::write_file(state, text);
    testutil::append_file(watched, "hit 7\n");
    start();
    EXPECT_TRUE(log_.has("[WARNING] lwatch state file '" + state + "' is not valid (" + why +
                         "); set aside as '" + state + ".bad'; files and event logs start afresh"))
        << log_.text();
    EXPECT_EQ(scan(), "") << why;  // from the end, as on a first start
  }
}

// While the result file refuses writes in part or whole, every hit of two files
// still arrives once, whole and in order; the refusals are logged, rate-limited.
TEST_F(Engine, HitsThatCannotBeWrittenAreReadAgainAndArriveOnceWhole) {
  configure("");
  std::string crlf = dir_.file("crlf.log");
  testutil::write_file(crlf, "");
  set_mtime(crlf, 1700000000);
  std::string lf = watch_one("f6", 1, "hit;HIT", "file = " + crlf + "\n");
  lwatch_reload(&e_);
  lwtest::Result result(res_dir_, log_.get());
  result.get()->write = lwtest::room_write;
  lwatch_scan(&e_, 0, result.get());
  std::string want[2], got[2];  // LF, CR LF
  int seq = 0;
  uint32_t tick = 1;
  // Room per tick: plenty, part of a line, none, a few lines, ...
  for (uint64_t room : {UINT64_MAX, uint64_t{70}, uint64_t{0}, uint64_t{0}, uint64_t{500},
                        uint64_t{1}, uint64_t{0}, uint64_t{2000}, UINT64_MAX}) {
    for (int k = 0; k < 40; ++k) {
      std::string n = std::to_string(++seq);
      testutil::append_file(lf, "HIT seq=" + n + " lf\nnoise\n");
      testutil::append_file(crlf, "noise\r\nHIT seq=" + n + " crlf\r\n");
      want[0] += "[f6,hit] HIT seq=" + n + " lf\n";
      want[1] += "[f6,hit] HIT seq=" + n + " crlf\n";
    }
    set_mtime(lf, 1700000000 + tick);
    set_mtime(crlf, 1700000000 + tick);
    lwtest::g_room = room;
    lwatch_scan(&e_, tick++, result.get());
  }
  lwtest::g_room = UINT64_MAX;
  for (int k = 0; k < 3; ++k) lwatch_scan(&e_, tick++, result.get());
  for (const std::string& l : testutil::split_lines(result.take()))
    got[l.find(" lf") == std::string::npos] += l + "\n";
  EXPECT_EQ(got[0], want[0]);
  EXPECT_EQ(got[1], want[1]);
  size_t warnings = testutil::count_in(log_.text(), "[WARNING] cannot write to result file");
  EXPECT_TRUE(warnings >= 1 && warnings <= 10) << warnings;
}

// Endless files (huge sparse ones, /proc/self/pagemap of size 0) are read a slice
// a tick and hold up no other facility; files passed over come first next tick.
TEST_F(Engine, EndlessFilesAreReadASliceATickAndHoldUpNoOtherFacility) {
  if (!testutil::kProcFiles) GTEST_SKIP() << "no /proc files on this platform";
  configure("");
  std::string body = "scan = 1\nscanfrombeg = 1\nfilter = h;HIT\nfile = /proc/self/pagemap\n";
  for (const char* big : {"big0", "big1"}) {
    testutil::write_file(dir_.file(big), "");
    fs::resize_file(dir_.file(big), 4ull << 30);
    body += "file = " + dir_.file(big) + "\n";
  }
  facility("big", body);
  std::string small = watch_one("small", 1, "h;HIT");
  lwatch_reload(&e_);
  lwtest::Result result(res_dir_);
  lwfacility* big = find("big");
  ASSERT_EQ(big->tracked.count, 3u);
  auto file = [&](uint32_t i) { return static_cast<lwfile*>(karray_get(&big->tracked, i)); };
  lwatch_scan(&e_, 0, result.get());
  // pagemap and big0 take the facility's share; big1 waits for the next tick.
  EXPECT_GE(file(0)->offset, LWFILE_SLICE);
  EXPECT_LE(file(0)->offset, LWFILE_SLICE + LWFILE_LINE_MAX);
  EXPECT_GE(file(1)->offset, LWFILE_SLICE);
  EXPECT_EQ(file(2)->offset, 0u);
  EXPECT_EQ(file(2)->more, LWFILE_MORE_PASSED);
  testutil::append_file(small, "HIT small\n");
  set_mtime(small, 1700000001);
  EXPECT_TRUE(lwatch_scan(&e_, 1, result.get()));
  EXPECT_EQ(result.take(), "[small,h] HIT small\n");
  EXPECT_GE(file(2)->offset, LWFILE_SLICE);
}

// Cleaning deletes facility files; result files a killed agent left open go to the
// next free ".log" name (across a leap day), empty ones go, a live one stays.
TEST_F(Engine, CleaningDeletesFacilityFilesAndRecoversResultFiles) {
  testutil::write_file(fac_dir_ + "/a.facility", "");
  testutil::write_file(fac_dir_ + "/keep.conf", "");
  testutil::write_file(res_dir_ + "/lw240228235958.tmp", "[a,b] x\n");
  testutil::write_file(res_dir_ + "/lw240228235958.log", "y");
  testutil::write_file(res_dir_ + "/lw240228235959.log", "z");
  testutil::write_file(res_dir_ + "/lw250101000003.tmp", "");
  lwtest::Result live(res_dir_);
  testutil::append_file(live.path, "[a,b] live\n");
  configure("lwatch.cleandir = 1\nlwatch.rfilettl = 0\nlwatch.facilityupdt = -3\n");
  EXPECT_EQ(e_.rfilettl + e_.facilityupdt, 2u);  // periods below one count as one
  EXPECT_FALSE(testutil::file_exists(fac_dir_ + "/a.facility"));
  EXPECT_TRUE(testutil::file_exists(fac_dir_ + "/keep.conf"));
  V left;
  for (auto& entry : fs::directory_iterator(res_dir_))
    left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (V{"lw240228235958.log", "lw240228235959.log", "lw240229000000.log",
                     "lw250102030405.tmp"}));
  EXPECT_EQ(testutil::read_text(res_dir_ + "/lw240229000000.log"), "[a,b] x\n");
}

// The bounds hold over all facilities together; a facility file too large, or a
// symbolic link, holds nothing.
TEST_F(Engine, BoundsHoldOverAllFacilitiesTogether) {
  if (!testutil::symlinks_work()) GTEST_SKIP() << "the file system makes no symbolic links";
  configure(
      "lwatch.maxfacilities = 4\nlwatch.maxentries = 5\nlwatch.maxfilters = 2\n"
      "lwatch.maxfiles = 3\nlwatch.maxfacilitysize = 300\n");
  facility("a",
           "file = logs/1.log\nfile = logs/2.log\nfile = logs/3.log\nfile = logs/4.log\n"
           "eventlog = System\neventlog = Application\n"
           "filter = e;\nfilter = a;x\nfilter = b;y\nfilter = c;z\n");
  lwatch_reload(&e_);
  lwfacility* a = find("a");
  ASSERT_TRUE(a);
  EXPECT_EQ(kstrlist_count(&a->files) + a->eventlogs.count, 5u);
  EXPECT_EQ(a->filters.count, 2u);
  EXPECT_EQ(a->tracked.count, 3u);

  // Too large, and a link: loaded as empty. A fifth facility is not added.
  facility("big", "scan = 7\n" + std::string(300, '#'));
  testutil::write_file(dir_.file("elsewhere.facility"), "scan = 7\nfile = logs/6.log\n");
  fs::create_symlink(dir_.file("elsewhere.facility"), fac_dir_ + "/link.facility");
  lwatch_reload(&e_);
  ASSERT_TRUE(find("big") && find("link"));
  EXPECT_EQ(find("big")->scan + find("link")->scan + kstrlist_count(&find("link")->files), 10u);
  facility("e", "");
  facility("f", "");
  lwatch_reload(&e_);
  EXPECT_EQ(names().size(), 4u);
}

// A result file is named after its time, kept only with hits, never over another file.
TEST(LwatchResult, NamedAfterItsTimeKeptOnlyWithHitsAndNeverOverAnotherFile) {
  testutil::TempDir dir;
  lwtest::Log log(dir.file("t.log"), 1);
  const std::string res = dir.file("res");
  fs::create_directory(res);
  ktime when;
  ktime_set(&when, 2025, 12, 31, 23, 59, 59);
  lwatch_result r;
  lwatch_result_init(&r, log.get());
  // Writes hit to a result file opened as tmp_name; closes it unless told not to.
  auto write = [&](const char* hit, const char* tmp_name, bool close = true) {
    ASSERT_TRUE(lwatch_result_open(&r, Str(res).get(), &when));
    EXPECT_EQ(kstring_text(&r.tmp_path), res + "/" + tmp_name);
    EXPECT_TRUE(lwatch_result_hit(&r, Str("a").get(), Str("b").get(), Str(hit).get()));
    if (close) lwatch_result_close(&r);
  };
  write("gone", "lw251231235959.tmp", false);
  const uint64_t full = r.size;
  EXPECT_TRUE(lwatch_result_undo(&r, full - 1));
  EXPECT_EQ(fs::file_size(res + "/lw251231235959.tmp"), full - 1);
  EXPECT_TRUE(lwatch_result_undo(&r, 0));
  lwatch_result_close(&r);
  EXPECT_TRUE(fs::is_empty(res));
  write("now", "lw251231235959.tmp");
  EXPECT_EQ(testutil::read_text(res + "/lw251231235959.log"), "[a,b] now\n");
  // The ".log" name is taken (the clock went back): the next free one, across the year.
  testutil::write_file(res + "/lw260101000000.log", "");
  write("again", "lw251231235959.tmp");
  EXPECT_EQ(testutil::read_text(res + "/lw260101000001.log"), "[a,b] again\n");
  // A ".tmp" of that name is another agent's: never appended to.
  testutil::write_file(res + "/lw251231235959.tmp", "[x,y] other\n");
  write("mine", "lw260101000000.tmp");
  EXPECT_EQ(testutil::read_text(res + "/lw251231235959.tmp"), "[x,y] other\n");
  EXPECT_EQ(testutil::read_text(res + "/lw260101000002.log"), "[a,b] mine\n");
  EXPECT_FALSE(lwatch_result_open(&r, Str(dir.file("no/such/dir")).get(), &when));
  lwatch_result_free(&r);
}

}  // namespace
