// Text-file scanning: which bytes are read when, cut into which lines, reported by which filter.
#include "lwatch/lwfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <random>

#include "lwatch/lwfacility.h"
#include "lwatch/lwfile_internal.h"
#include "lwtest.h"

namespace {

namespace fs = std::filesystem;

class FileScan : public ::testing::Test {
 protected:
  // A facility "fac" watching watched.log with the given keys; its first scan's hits in first_.
  void load(const std::string& keys, bool exact = false) {
    policy_.exact = exact ? 1 : 0;
    fac_.reset();
    fac_ = std::make_unique<lwtest::Facility>(dir_.file("fac.facility"),
                                              "file = " + path_ + "\n" + keys, log_.get(), "fac",
                                              exact ? &policy_ : nullptr);
    fac_->update();
    first_ = scan();
  }
  void write(const std::string& text) { testutil::write_file(path_, text); }
  void append(const std::string& text) { testutil::append_file(path_, text); }
  void touch() { testutil::set_mtime(path_, ++clock_); }  // as a later write would
  std::string scan() {                                    // the hits of one scan
    lwfacility_scan_files(fac_->get(), result_.get(), true);
    return result_.take();
  }
  // The hits of a scan a second after text was added, or written afresh.
  std::string add(const std::string& text) { return append(text), touch(), scan(); }
  std::string put(const std::string& text) { return write(text), touch(), scan(); }
  FileScan() { lwpolicy_init(&policy_); }
  ~FileScan() override {
    fac_.reset();
    lwpolicy_free(&policy_);
  }

  lwpolicy policy_;
  testutil::TempDir dir_;
  std::string path_ = dir_.file("watched.log");
  lwtest::Log log_{dir_.file("test.log"), 3};
  std::unique_ptr<lwtest::Facility> fac_;
  lwtest::Result result_{dir_.path()};
  time_t clock_ = 1700000000;
  std::string first_;
};

// A file is read from its end, then once its time moves past the last check's.
TEST_F(FileScan, ReadFromTheEndOnceTheTimeMovesAndAgainWhenShrunkAlsoBeyondFourGibibytes) {
  write("line 1\nline 2\n");
  testutil::set_mtime(path_, clock_ = 0);
  load("filter = all;line\n");
  EXPECT_EQ(first_, "");
  append("line 3\n");
  testutil::set_mtime(path_, clock_);  // the same second as the last check
  EXPECT_EQ(scan(), "");
  EXPECT_EQ(add("line 4\n"), "[fac,all] line 3\n[fac,all] line 4\n");
  EXPECT_EQ(scan(), "");  // not modified: nothing read

  // A shrunk file is read from its start, a larger one from the old offset, also beyond 4 GiB.
  write("0123456789 alpha\n");
  touch();
  load("filter = f;a\n");
  EXPECT_EQ(put("alpha\n"), "[fac,f] alpha\n");
  EXPECT_EQ(put("xxxxx\nbravo\ncharlie\n"), "[fac,f] bravo\n[fac,f] charlie\n");
  write("alpha 1\n");
  touch();
  load("filter = f;a\n");
  EXPECT_EQ(add("alpha 2\n"), "[fac,f] alpha 2\n");
  const_cast<lwfile*>(fac_->tracked(0))->size = 8;         // as if checked before the append
  EXPECT_EQ(put("alpha 3 !!\n"), "[fac,f] alpha 3 !!\n");  // 11 bytes: above 8, below 16
  // A sparse file; a stopping engine reads nothing and leaves the backlog.
  ASSERT_EQ(truncate(path_.c_str(), 5ll << 30), 0);
  touch();
  load("filter = f;a\n");
  std::atomic<uint32_t> stop{1};
  fac_->get()->stop = &stop;
  EXPECT_EQ(add("alpha 4\n"), "");
  stop = 0;
  EXPECT_EQ(add("alpha 5\n"), "[fac,f] alpha 4\n[fac,f] alpha 5\n");
  EXPECT_EQ(fac_->tracked(0)->offset, (5ull << 30) + 16);
  EXPECT_EQ(put("alpha 6\n"), "[fac,f] alpha 6\n");
}

// Lines end at LF, CR dropped; the first matching filter reports; a last line
// without LF comes as it stands, its completion as a line of its own.
TEST_F(FileScan, LinesEndAtLfWithoutCrAndRunawayLinesComeInPieces) {
  load(
      "filter = one;nothing\nfilter = two;disk\nfilter = three;disk full\nfilter = l;^L+$\n"
      "filter = e;error\nfilter = any;.*\n");
  EXPECT_EQ(first_, "");
  EXPECT_EQ(put("before error\n"), "");  // found now: from its end
  EXPECT_EQ(add("Disk full on /var\r\nunix line\nsplit ER\rROR\n\r\npart"),
            "[fac,two] Disk full on /var\n[fac,any] unix line\n[fac,e] split ERROR\n"
            "[fac,any] \n[fac,any] part\n");
  EXPECT_EQ(add("ial end\nnext\n"), "[fac,any] ial end\n[fac,any] next\n");
  // A long line stays whole; megabytes without LF come in bounded pieces,
  // every byte once, and reading goes on after them.
  const std::string longline(300000, 'L');
  const size_t flood_size = 2 * LWFILE_LINE_MAX + LWFILE_LINE_MAX / 2;
  std::vector<std::string> hits = testutil::split_lines(
      add(longline + "\n" + std::string(flood_size, 'L') + "\nerror after the flood\n"));
  ASSERT_GE(hits.size(), 4u);
  EXPECT_TRUE(hits[0] == "[fac,l] " + longline);
  size_t flood = 0;
  for (size_t i = 1; i + 1 < hits.size(); ++i) {
    ASSERT_EQ(hits[i].rfind("[fac,l] L", 0), 0u) << i;
    EXPECT_LE(hits[i].size() - 8, LWFILE_LINE_MAX) << i;
    flood += hits[i].size() - 8;
  }
  EXPECT_EQ(flood, flood_size);
  EXPECT_EQ(hits.back(), "[fac,e] error after the flood");
  // The LF of a line cut at the longest piece closes it: no empty line.
  const std::string piece = "[fac,l] " + std::string(LWFILE_LINE_MAX, 'L') + "\n";
  EXPECT_TRUE(add(std::string(LWFILE_LINE_MAX, 'L') + "\n") == piece);
  EXPECT_TRUE(add(std::string(LWFILE_LINE_MAX, 'L') + "\r\n" + std::string(LWFILE_LINE_MAX, 'L')) ==
              piece + piece);
  EXPECT_EQ(add("\nerror at last\n"), "[fac,e] error at last\n");
}

// A FIFO in the file's place (its open would block) is passed over; the file after it read whole.
TEST_F(FileScan, FifoInThePlaceOfTheFileIsPassedOverWithoutBlocking) {
  write("old error\n");
  touch();
  load("filter = e;error\n");
  fs::remove(path_);
  ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
  touch();
  auto hits = std::async(std::launch::async, [&] { return scan(); });
  bool finished = hits.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  if (!finished) close(open(path_.c_str(), O_WRONLY | O_NONBLOCK));  // release the stuck scan
  EXPECT_TRUE(finished);
  EXPECT_EQ(hits.get(), "");
  fs::remove(path_);
  EXPECT_EQ(put("new error\n"), "[fac,e] new error\n");
}

// Exact following delivers whole and once what the default loses or splits.
TEST_F(FileScan, ExactFollowingSeesEveryChangeHoldsUnfinishedLinesAndReadsRotatedFilesToTheEnd) {
  const std::string old = path_ + ".1";
  struct Step {
    const char* what;
    std::function<void()> act;
    const char* classic;  // lwatch.exact = 0
    const char* exact;    // lwatch.exact = 1
  };
  const std::vector<Step> steps = {
      {"same second", [&] { append("hit 1\n"), testutil::set_mtime(path_, clock_); }, "",
       "[fac,h] hit 1\n"},
      {"later", [&] { append("hit 2\n"), touch(); }, "[fac,h] hit 1\n[fac,h] hit 2\n",
       "[fac,h] hit 2\n"},
      {"cut line", [&] { append("hi"), touch(); }, "", ""},
      {"its end", [&] { append("t 3\nhit 4 unfinished"), touch(); }, "[fac,h] hit 4 unfinished\n",
       "[fac,h] hit 3\n"},
      {"quiet", [] {}, "", "[fac,h] hit 4 unfinished\n"},
      // The old file is read on while its writer adds to it; the new one once it is quiet.
      {"rename", [&] { append("\nhit 5\n"), fs::rename(path_, old), write("hit 7\n"), touch(); },
       "[fac,h] hit 7\n", "[fac,h] hit 5\n"},
      {"late writer", [&] { testutil::append_file(old, "hit 6\n"); }, "", "[fac,h] hit 6\n"},
      {"settled", [] {}, "", "[fac,h] hit 7\n"},
      {"recreate", [&] { append("hit 8\n"), fs::remove(path_), write("hit 9\nhit 9b\n"), touch(); },
       "[fac,h] hit 9b\n", "[fac,h] hit 8\n"},
      {"settled again", [] {}, "", "[fac,h] hit 9\n[fac,h] hit 9b\n"},
      {"truncated", [&] { write("hit A\n"), touch(); }, "[fac,h] hit A\n", "[fac,h] hit A\n"},
      {"gone", [&] { append("hit B\n"), fs::remove(path_); }, "", "[fac,h] hit B\n"},
      {"back", [&] { write("hit C\n"), touch(); }, "", "[fac,h] hit C\n"},
  };
  for (bool exact : {false, true}) {
    fs::remove(old);
    write("hit 0\n");
    touch();
    load("filter = h;hit\n", exact);
    EXPECT_EQ(first_, "");
    for (const Step& step : steps) {
      step.act();
      EXPECT_EQ(scan(), exact ? step.exact : step.classic) << step.what << (exact ? " exact" : "");
    }
  }
  EXPECT_EQ(lwfile_held_count(), 1u);
  fac_.reset();
  EXPECT_EQ(lwfile_held_count(), 0u);  // every stream kept open is closed with its record
}

// Random chunks cut anywhere: the scan reports what line reading and regexec do.
TEST_F(FileScan, BlockScanReportsExactlyWhatLineByLineReadingReports) {
  using namespace std::string_literals;
  const std::vector<std::string> filters = testutil::split_lines(
      "err;error\nfail;fail(ed|ure)\nnolit;^[0-9]+ x?$\ndisk;disk +full\n"
      "auth;auth[a-z]* (denied|refused)\ntail;ok$\nopt;warn(ing)? code=[0-9]{3}\nempty;^$\n");
  std::string keys = "scanfrombeg = 1\n";
  std::vector<regex_t> res(filters.size());
  for (size_t k = 0; k < filters.size(); ++k) {
    keys += "filter = " + filters[k] + "\n";
    const char* pattern = filters[k].c_str() + filters[k].find(';') + 1;
    ASSERT_EQ(regcomp(&res[k], pattern, REG_EXTENDED | REG_ICASE | REG_NOSUB), 0);
  }
  write(""), touch(), load(keys);
  const std::vector<std::string> words = testutil::split_lines(
      "error\nERR\nor\nfail\nfailed\nFailure\ndisk\nfull\nauth\nauthz\ndenied\nrefused\nwarn\n"
      "warning\ncode=123\nok\nOK\nx\n42\n\r\n\t\ne\rrror\n\nlorem\nipsum\na\0error\n"s);
  std::mt19937 rng(7);
  auto below = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  for (int round = 0; round < 15; ++round) {
    std::string chunk, expected;
    for (size_t l = below(2001); l > 0; --l) {
      for (size_t w = below(13); w > 0; --w)
        chunk += words[below(words.size())] + (below(4) ? " " : "");
      if (below(1000) == 0) chunk += std::string(1 + below(300000), 'y');
      chunk += "\n";
    }
    // Cut anywhere, so that the scan sees lines without their LF yet.
    chunk.resize(below(chunk.size() + 1));
    for (std::string line : testutil::split_lines(chunk)) {
      std::erase(line, '\r');
      for (size_t k = 0; k < res.size(); ++k)
        if (regexec(&res[k], line.c_str(), 0, nullptr, 0) == 0) {
          expected +=
              "[fac," + filters[k].substr(0, filters[k].find(';')) + "] " + line.c_str() + "\n";
          break;
        }
    }
    ASSERT_EQ(add(chunk), expected) << "round " << round;
  }
  for (regex_t& re : res) regfree(&re);
}

}  // namespace
