// The watch engine: settings, facility reload, scan periods, cleaning and
// result files. Its worker thread is tested through the real executable.
#include "lwatch/lwatch.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "lwatch/lwfacility.h"
#include "lwatch/lwfile.h"
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
  // An empty log dir_/<name>.log dated 1700000000 and the facility <name>
  // watching it with the given period and filter; the log's path.
  std::string watch_one(const std::string& name, int scan, const std::string& filter) {
    std::string path = dir_.file(name + ".log");
    testutil::write_file(path, "");
    lwtest::set_mtime(path, 1700000000);
    testutil::write_file(
        fac_dir_ + "/" + name + ".facility",
        "scan = " + std::to_string(scan) + "\nfile = " + path + "\nfilter = " + filter + "\n");
    return path;
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
  std::string watched = watch_one("every3", 3, "f;hit");
  lwatch_reload(&e_);
  lwtest::Result result(res_dir_);
  EXPECT_FALSE(lwatch_scan(&e_, 0, result.get()));  // finds the file
  testutil::append_file(watched, "hit 1\n");
  lwtest::set_mtime(watched, 1700000001);
  EXPECT_FALSE(lwatch_scan(&e_, 1, result.get()));
  EXPECT_FALSE(lwatch_scan(&e_, 2, result.get()));
  EXPECT_TRUE(lwatch_scan(&e_, 3, result.get()));
  EXPECT_EQ(result.take(), "[every3,f] hit 1\n");
}

// Exact following keeps where it stands in the state file: a restart reads
// what came meanwhile, also from a file rotated away while the agent was
// down, once; a failed write keeps the previous state file; a damaged or
// foreign one is set aside with a warning and nothing of it is used.
TEST_F(Engine, ExactStateCarriesFollowingAcrossRestartsAndIsNeverTrustedDamaged) {
  const std::string state = res_dir_ + "/lwatch.state";
  std::string watched;
  lwtest::Result result(res_dir_);
  auto start = [&] {
    if (configured_) lwatch_free(&e_);
    kconfig_free(&config_);
    config_ = kconfig{};
    configure("lwatch.exact = 1\n");
    if (watched.empty()) watched = watch_one("a", 1, "h;hit");
    lwatch_reload(&e_);
  };
  auto scan = [&] {
    lwatch_scan(&e_, 1, result.get());
    lwatch_save_state(&e_, result.get());
    return result.take();
  };
  start();
  EXPECT_TRUE(log_.has("# lwatch.exact = 1\n# lwatch.statefile = '" + state + "'\n"));
  EXPECT_EQ(scan(), "");
  testutil::append_file(watched, "hit 1\n");
  EXPECT_EQ(scan(), "[a,h] hit 1\n");
  testutil::append_file(watched, "hit 2\n");  // after the last scan
  lwatch_free(&e_);
  configured_ = false;
  // A write cut short by the crash of an agent leaves its new file beside
  // the state file, which still holds the previous state.
  testutil::write_file(res_dir_ + "/.~999-999-0", "vardo lwatch state 1\nfile\ta\t1\t");
  testutil::append_file(watched, "hit 3\n");  // while stopped, then rotated away
  std::filesystem::rename(watched, watched + ".1");
  auto restart_with = [&](const std::string& content) {
    testutil::write_file(watched, content);
    start();
  };
  restart_with("hit 4\n");
  EXPECT_TRUE(log_.has("lwatch state read from '" + state + "': 1 records"));
  EXPECT_EQ(scan(), "[a,h] hit 2\n[a,h] hit 3\n");  // the old file, found beside
  EXPECT_EQ(scan(), "[a,h] hit 4\n");               // the new one, once the old is quiet
  EXPECT_EQ(scan(), "");

  // A write that cannot complete leaves the previous state in place.
  const std::string before = testutil::read_text(state);
  testutil::append_file(watched, "hit 5\n");
  lwatch_scan(&e_, 1, result.get());
  EXPECT_NE(lwstate_save(
                &e_.state, &e_.facilities, [](void*) { return false; }, nullptr),
            0u);
  EXPECT_EQ(testutil::read_text(state), before);
  lwatch_save_state(&e_, result.get());
  EXPECT_NE(testutil::read_text(state), before);
  EXPECT_EQ(result.take(), "[a,h] hit 5\n");
  // A facility loaded again (its file touched) keeps its places too.
  testutil::append_file(watched, "hit 6\n");
  lwtest::set_mtime(fac_dir_ + "/a.facility", 1800000000);
  lwatch_reload(&e_);
  EXPECT_TRUE(log_.has("reloading facility 'a'"));
  EXPECT_EQ(scan(), "[a,h] hit 6\n");

  // Damaged (one byte changed, cut short) or foreign: set aside, never trusted.
  struct Bad {
    std::function<std::string(std::string)> spoil;
    const char* why;
  };
  const std::vector<Bad> bad = {
      {[](std::string t) { return t.replace(t.find("file\ta\t"), 7, "file\tb\t"); }, "damaged"},
      {[](std::string t) { return t.substr(0, t.size() - 3) + "\n"; }, "damaged end line"},
      {[](std::string t) { return t.substr(0, t.find("end\t")); }, "cut short"},
      {[](std::string) { return std::string("offset=12\n"); }, "not a state file of this agent"},
  };
  for (const Bad& b : bad) {
    testutil::write_file(state, b.spoil(before));
    testutil::append_file(watched, "hit 7\n");
    restart_with(testutil::read_text(watched));
    EXPECT_TRUE(log_.has("[WARNING] lwatch state file '" + state + "' is not valid (" + b.why +
                         "); set aside as '" + state + ".bad'; files and event logs start afresh"))
        << b.why << "\n"
        << log_.text();
    EXPECT_EQ(scan(), "") << b.why;  // from the end, as on a first start
  }
}

// Hits "seq=N" go to two files (LF and CR LF lines) while the result file
// refuses writes now and then, in part or whole: every hit arrives exactly
// once, whole, in its file's order; refused ones are logged, but not more
// than ten times a minute.
TEST_F(Engine, HitsThatCannotBeWrittenAreReadAgainAndArriveOnceWhole) {
  configure("");
  std::string lf = dir_.file("lf.log"), crlf = dir_.file("crlf.log");
  testutil::write_file(lf, "");
  testutil::write_file(crlf, "");
  time_t clock = 1700000000;
  lwtest::set_mtime(lf, clock);
  lwtest::set_mtime(crlf, clock);
  testutil::write_file(fac_dir_ + "/f6.facility",
                       "scan = 1\nfile = " + lf + "\nfile = " + crlf + "\nfilter = hit;HIT\n");
  lwatch_reload(&e_);
  lwtest::Result result(res_dir_, log_.get());
  result.get()->write = lwtest::room_write;
  lwatch_scan(&e_, 0, result.get());
  // Room per tick: plenty, part of a line, none, a few lines, ...
  const uint64_t room[] = {UINT64_MAX, 70, 0, 0, 500, 1, 0, 2000, UINT64_MAX};
  int seq = 0;
  uint32_t tick = 1;
  for (uint64_t r : room) {
    for (int k = 0; k < 40; ++k) {
      ++seq;
      testutil::append_file(lf, "HIT seq=" + std::to_string(seq) + " lf\nnoise\n");
      testutil::append_file(crlf, "noise\r\nHIT seq=" + std::to_string(seq) + " crlf\r\n");
    }
    lwtest::set_mtime(lf, ++clock);
    lwtest::set_mtime(crlf, clock);
    lwtest::g_room = r;
    lwatch_scan(&e_, tick++, result.get());
  }
  lwtest::g_room = UINT64_MAX;
  for (int k = 0; k < 3; ++k) lwatch_scan(&e_, tick++, result.get());
  std::vector<std::string> lines = testutil::split_lines(result.take());
  std::string expected_lf, expected_crlf, got_lf, got_crlf;
  for (int i = 1; i <= seq; ++i) {
    expected_lf += "[f6,hit] HIT seq=" + std::to_string(i) + " lf\n";
    expected_crlf += "[f6,hit] HIT seq=" + std::to_string(i) + " crlf\n";
  }
  for (const std::string& l : lines)
    (l.find(" lf") != std::string::npos ? got_lf : got_crlf) += l + "\n";
  EXPECT_EQ(got_lf, expected_lf);
  EXPECT_EQ(got_crlf, expected_crlf);
  std::string text = log_.text();
  size_t warnings = 0;
  for (size_t at = 0;
       (at = text.find("[WARNING] cannot write to result file", at)) != std::string::npos; ++at)
    ++warnings;
  EXPECT_GE(warnings, 1u);
  EXPECT_LE(warnings, 10u);
}

// Files that never end (a huge sparse file, /proc/self/pagemap, whose size
// reads 0) are read a slice a tick, on without their time moving, and never
// keep another facility's hit from the next tick; the files passed over
// when the facility's share is spent come first at the next tick.
TEST_F(Engine, EndlessFilesAreReadASliceATickAndHoldUpNoOtherFacility) {
  if (!testutil::kProcFiles) GTEST_SKIP() << "no /proc files on this platform";
  configure("");
  std::string body = "scan = 1\nscanfrombeg = 1\nfilter = h;HIT\nfile = /proc/self/pagemap\n";
  for (int i = 0; i < 2; ++i) {
    std::string big = dir_.file("big" + std::to_string(i));
    testutil::write_file(big, "");
    std::error_code error;
    std::filesystem::resize_file(big, 4ull << 30, error);
    ASSERT_FALSE(error) << error.message();
    body += "file = " + big + "\n";
  }
  testutil::write_file(fac_dir_ + "/big.facility", body);
  std::string small = watch_one("small", 1, "h;HIT");
  lwatch_reload(&e_);
  lwtest::Result result(res_dir_);
  lwfacility* big = find("big");
  ASSERT_EQ(big->tracked.count, 3u);
  auto file = [&](uint32_t i) { return static_cast<lwfile*>(karray_get(&big->tracked, i)); };
  uint32_t tick = 0;
  lwatch_scan(&e_, tick++, result.get());
  // pagemap and big0 take the facility's share; big1 waits for the next tick.
  EXPECT_GE(file(0)->offset, LWFILE_SLICE);
  EXPECT_LE(file(0)->offset, LWFILE_SLICE + LWFILE_LINE_MAX);
  EXPECT_GE(file(1)->offset, LWFILE_SLICE);
  EXPECT_EQ(file(2)->offset, 0u);
  EXPECT_EQ(file(2)->more, LWFILE_MORE_PASSED);
  testutil::append_file(small, "HIT small\n");
  lwtest::set_mtime(small, 1700000001);
  EXPECT_TRUE(lwatch_scan(&e_, tick++, result.get()));
  EXPECT_EQ(result.take(), "[small,h] HIT small\n");
  EXPECT_GE(file(2)->offset, LWFILE_SLICE);
  uint64_t before = file(0)->offset + file(1)->offset + file(2)->offset;
  // Odd ticks (not in the facility's period of 2) go on with what has more.
  big->scan = 2;
  lwatch_scan(&e_, 3, result.get());
  EXPECT_GE(file(0)->offset + file(1)->offset + file(2)->offset, before + LWFILE_FACILITY_SLICE);
  EXPECT_TRUE(lwfacility_files_pending(big));
}

TEST_F(Engine, SettingsAreEchoedAndCleaningDeletesFacilityFilesAndRecoversResultFiles) {
  testutil::write_file(fac_dir_ + "/a.facility", "");
  testutil::write_file(fac_dir_ + "/keep.conf", "");
  // Left by an agent killed while writing: its ".log" name and the next
  // are taken; an empty one; one that a running agent holds.
  testutil::write_file(res_dir_ + "/lw250101000000.tmp", "[a,b] x\n");
  testutil::write_file(res_dir_ + "/lw250101000000.log", "y");
  testutil::write_file(res_dir_ + "/lw250101000001.log", "z");
  testutil::write_file(res_dir_ + "/lw250101000003.tmp", "");
  lwtest::Result live(res_dir_);
  testutil::append_file(live.path, "[a,b] live\n");
  configure("lwatch.cleandir = 1\nlwatch.rfilettl = 0\nlwatch.facilityupdt = -3\n");
  // Periods below one count as one.
  EXPECT_TRUE(log_.has("# lwatch.facilitydir = '" + fac_dir_ + "'\n# lwatch.resultdir = '" +
                       res_dir_ + "'\n# lwatch.facilityupdt = 1 sec\n# lwatch.rfilettl = 1 sec\n" +
                       "# lwatch.cleandir = 1\n# lwatch.journaldir = ''\n"))
      << log_.text();
  EXPECT_FALSE(testutil::file_exists(fac_dir_ + "/a.facility"));
  EXPECT_TRUE(testutil::file_exists(fac_dir_ + "/keep.conf"));
  EXPECT_TRUE(log_.has(" Cleaning file : " + fac_dir_ + "/a.facility\n"));
  std::vector<std::string> left;
  for (auto& entry : std::filesystem::directory_iterator(res_dir_))
    left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"lw250101000000.log", "lw250101000001.log",
                                            "lw250101000002.log", "lw250102030405.tmp"}));
  EXPECT_EQ(testutil::read_text(res_dir_ + "/lw250101000002.log"), "[a,b] x\n");
  EXPECT_TRUE(log_.has("[WARNING] result file '" + res_dir_ +
                       "/lw250101000000.tmp' was left open by an agent that did not stop "
                       "cleanly; closed as '" +
                       res_dir_ + "/lw250101000002.log'\n"))
      << log_.text();
  // And again when the engine is released: facility files only.
  testutil::write_file(fac_dir_ + "/b.facility", "");
  lwatch_free(&e_);
  configured_ = false;
  EXPECT_FALSE(testutil::file_exists(fac_dir_ + "/b.facility"));
  EXPECT_TRUE(testutil::file_exists(live.path));
}

// The bounds hold over all facilities together: what does not fit is
// ignored with a warning and fits again once other facilities let it go. A
// facility file that is too large, or a symbolic link, holds nothing.
TEST_F(Engine, BoundsHoldOverAllFacilitiesAndRefuseWithAWarning) {
  if (!testutil::symlinks_work()) GTEST_SKIP() << "the file system makes no symbolic links";
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

TEST(LwatchResult, NamedAfterItsTimeKeptOnlyWithHitsAndNeverOverAnotherFile) {
  testutil::TempDir dir;
  lwtest::Log log(dir.file("t.log"), 1);
  std::string res = dir.file("res");
  std::filesystem::create_directory(res);
  Str d(res);
  Str fac("a"), filter("b");
  ktime when;
  ktime_set(&when, 2025, 12, 31, 23, 59, 59);
  lwatch_result r;
  lwatch_result_init(&r, log.get());
  auto write = [&](const char* hit, const char* tmp_name) {
    ASSERT_TRUE(lwatch_result_open(&r, d.get(), &when));
    EXPECT_EQ(kstring_text(&r.tmp_path), res + "/" + tmp_name);
    EXPECT_TRUE(testutil::file_exists(res + "/" + tmp_name));
    if (*hit) EXPECT_TRUE(lwatch_result_hit(&r, fac.get(), filter.get(), Str(hit).get()));
    lwatch_result_close(&r);
  };
  write("", "lw251231235959.tmp");  // no hit: no file
  EXPECT_TRUE(std::filesystem::is_empty(res));
  write("now", "lw251231235959.tmp");
  EXPECT_EQ(testutil::read_text(res + "/lw251231235959.log"), "[a,b] now\n");
  // The ".log" name is taken (the clock went back): the next free name of
  // the same form, across the year's end, with a warning.
  testutil::write_file(res + "/lw260101000000.log", "");
  write("again", "lw251231235959.tmp");
  EXPECT_EQ(testutil::read_text(res + "/lw260101000001.log"), "[a,b] again\n");
  EXPECT_TRUE(log.has("[WARNING] result file '" + res + "/lw251231235959.tmp' closed as '" + res +
                      "/lw260101000001.log': '" + res + "/lw251231235959.log' exists\n"))
      << log.text();
  // A ".tmp" of that name is another agent's: never appended to.
  testutil::write_file(res + "/lw251231235959.tmp", "[x,y] other\n");
  write("mine", "lw260101000000.tmp");
  EXPECT_EQ(testutil::read_text(res + "/lw251231235959.tmp"), "[x,y] other\n");
  EXPECT_EQ(testutil::read_text(res + "/lw260101000002.log"), "[a,b] mine\n");

  Str missing(dir.file("no/such/dir"));
  EXPECT_FALSE(lwatch_result_open(&r, missing.get(), &when));
  lwatch_result_free(&r);
}

}  // namespace
