// Text-file scanning: which bytes of a monitored file are read when, how they
// are cut into lines, and which filter reports a line. Modification times are
// moved explicitly, since the scan compares whole seconds.
#include "lwatch/lwfile.h"

#include <gtest/gtest.h>
#include <regex.h>

#include <atomic>
#include <random>

#include "lwatch/lwfacility.h"
#include "lwtest.h"

namespace {

using lwtest::Facility;
using lwtest::Log;
using lwtest::Result;
using lwtest::Str;

class FileScan : public ::testing::Test {
 protected:
  void SetUp() override { log_ = std::make_unique<Log>(dir_.file("test.log"), 3); }
  // A facility "fac" watching watched.log with the given extra keys, and its
  // first scan, which finds the file; its hits in first_.
  void load(const std::string& keys) {
    fac_ = std::make_unique<Facility>(dir_.file("fac.facility"), "file = " + path_ + "\n" + keys,
                                      log_->get());
    fac_->update();
    first_ = scan();
  }
  void write(const std::string& text) { testutil::write_file(path_, text); }
  void append(const std::string& text) { testutil::append_file(path_, text); }
  // Moves the modification time forward, as a later write would.
  void touch() { lwtest::set_mtime(path_, ++clock_); }
  // Hits written by one scan.
  std::string scan() {
    lwfacility_scan_files(fac_->get(), result_.get());
    return result_.take();
  }

  testutil::TempDir dir_;
  std::string path_ = dir_.file("watched.log");
  std::unique_ptr<Log> log_;
  std::unique_ptr<Facility> fac_;
  Result result_{dir_.file("result.tmp")};
  time_t clock_ = 1700000000;
  std::string first_;
};

TEST_F(FileScan, LinesPresentAtFirstSightAreSkippedUnlessScanFromBeginning) {
  std::string ten;
  for (int i = 1; i <= 10; ++i) ten += "line " + std::to_string(i) + "\n";
  write(ten);
  touch();
  load("filter = all;line\n");
  EXPECT_EQ(first_, "");
  append("line 11\nline 12\n");
  touch();
  EXPECT_EQ(scan(), "[fac,all] line 11\n[fac,all] line 12\n");
  EXPECT_TRUE(log_->has("#   file '" + path_ + "' has been modified\n"));
  EXPECT_TRUE(log_->has("#   new line in file " + path_ + " = >line 12<\n"));
  EXPECT_EQ(scan(), "");  // not modified: nothing read

  load("filter = all;line\nscanfrombeg = 1\n");
  std::string all = first_;
  EXPECT_EQ(std::count(all.begin(), all.end(), '\n'), 12) << all;
  EXPECT_EQ(all.rfind("[fac,all] line 1\n", 0), 0u);
}

TEST_F(FileScan, NewLinesWaitForTheModificationTimeToMoveForward) {
  write("old\n");
  touch();
  load("filter = ;new\n");
  EXPECT_EQ(first_, "");
  append("new 1\n");
  lwtest::set_mtime(path_, clock_);  // the same second as the last check
  EXPECT_EQ(scan(), "");
  append("new 2\n");
  touch();
  EXPECT_EQ(scan(), "[fac,] new 1\n[fac,] new 2\n");
}

TEST_F(FileScan, ShrunkFileIsReadAgainAndLargerReplacementResumesAtTheOffset) {
  write("0123456789 alpha\n");
  touch();
  load("filter = f;a\n");
  write("alpha\n");  // fewer bytes than before
  touch();
  EXPECT_EQ(scan(), "[fac,f] alpha\n");
  // Replaced by a larger file: reading goes on from the old offset, 6.
  write("xxxxx\nbravo\ncharlie\n");
  touch();
  EXPECT_EQ(scan(), "[fac,f] bravo\n[fac,f] charlie\n");
}

TEST_F(FileScan, LastLineWithoutLfIsDeliveredAndItsCompletionSeparately) {
  write("");
  touch();
  load("filter = any;.\n");
  append("first\npart");
  touch();
  EXPECT_EQ(scan(), "[fac,any] first\n[fac,any] part\n");
  append("ial end\nnext\n");
  touch();
  EXPECT_EQ(scan(), "[fac,any] ial end\n[fac,any] next\n");
}

TEST_F(FileScan, CrIsDroppedAnywhereAndNoEmptyLineFollowsTheLastLf) {
  write("");
  touch();
  load("filter = any;.*\n");
  append("dos line\r\nunix line\nsplit ER\rROR\n\r\n");
  touch();
  // ".*" also matches the empty line that "\r\n" alone makes, and nothing
  // follows the last LF.
  EXPECT_EQ(scan(), "[fac,any] dos line\n[fac,any] unix line\n[fac,any] split ERROR\n[fac,any] \n");
  load("filter = e;error\n");
  append("ER\rROR across a CR\r\n");
  touch();
  EXPECT_EQ(scan(), "[fac,e] ERROR across a CR\n");
}

TEST_F(FileScan, FirstMatchingFilterReportsTheLineOnce) {
  write("");
  touch();
  load("filter = one;nothing\nfilter = two;disk\nfilter = three;disk full\nfilter = four;.\n");
  append("Disk full on /var\nother\n");
  touch();
  EXPECT_EQ(scan(), "[fac,two] Disk full on /var\n[fac,four] other\n");
}

TEST_F(FileScan, MissingFileIsTakenUpOnceItExistsAndLongLinesStayWhole) {
  load("filter = l;^L+$\n");
  EXPECT_EQ(first_, "");
  EXPECT_EQ(fac_->tracked(0)->mtime, 0u);
  write("before\n");
  touch();
  EXPECT_EQ(scan(), "");  // found now: from its end
  std::string longline(300000, 'L');
  append(longline + "\n");
  touch();
  EXPECT_EQ(scan(), "[fac,l] " + longline + "\n");
  EXPECT_EQ(fac_->tracked(0)->offset, 7u + longline.size() + 1);
}

TEST_F(FileScan, RunawayLineIsDeliveredInBoundedPiecesAndReadingGoesOn) {
  load("filter = e;error\nfilter = x;^x+$\n");
  write("start\n");
  touch();
  EXPECT_EQ(scan(), "");
  // Four mebibytes without a line feed, then an ordinary line.
  append(std::string(4 * LWFILE_LINE_MAX, 'x') + "\nerror after the flood\n");
  touch();
  std::vector<std::string> hits = testutil::split_lines(scan());
  ASSERT_GE(hits.size(), 3u);
  size_t flood = 0;
  for (size_t i = 0; i + 1 < hits.size(); ++i) {
    ASSERT_EQ(hits[i].rfind("[fac,x] x", 0), 0u) << i;
    EXPECT_LE(hits[i].size() - 8, 2 * LWFILE_LINE_MAX) << i;  // a piece, not the whole run
    flood += hits[i].size() - 8;
  }
  EXPECT_EQ(flood, 4 * LWFILE_LINE_MAX);  // every byte once, in order
  EXPECT_EQ(hits.back(), "[fac,e] error after the flood");
}

TEST_F(FileScan, StoppingEngineLeavesTheBacklogForLater) {
  load("filter = ;new\n");
  write("");
  touch();
  EXPECT_EQ(scan(), "");
  std::atomic<uint32_t> stop{1};
  fac_->get()->stop = &stop;
  append("new 1\n");
  touch();
  EXPECT_EQ(scan(), "");  // stopping: nothing read, the offset stays
  EXPECT_EQ(fac_->tracked(0)->offset, 0u);
  stop = 0;
  append("new 2\n");
  touch();
  EXPECT_EQ(scan(), "[fac,] new 1\n[fac,] new 2\n");
}

TEST_F(FileScan, FileBeyondFourGibibytesIsFollowedAtItsEnd) {
  // A sparse file: no disk is used for the hole.
  write("");
  ASSERT_EQ(truncate(path_.c_str(), 5ll << 30), 0);
  touch();
  load("filter = ;new\n");
  EXPECT_EQ(fac_->tracked(0)->offset, 5ull << 30);
  append("new 1\nnew 2\n");
  touch();
  EXPECT_EQ(scan(), "[fac,] new 1\n[fac,] new 2\n");
  EXPECT_EQ(fac_->tracked(0)->offset, (5ull << 30) + 12);
  // Truncation below the old size is still noticed across the 4 GiB mark.
  write("new 3\n");
  touch();
  EXPECT_EQ(scan(), "[fac,] new 3\n");
}

// Plain line-by-line reading, byte by byte, and each filter's plain regexec in
// order: what the scan must report, whatever its block size and pre-checks.
class Reference {
 public:
  explicit Reference(const std::vector<std::pair<std::string, std::string>>& filters)
      : filters_(filters) {
    for (auto& f : filters_) {
      regex_t re;
      EXPECT_EQ(regcomp(&re, f.second.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB), 0);
      res_.push_back(re);
    }
  }
  ~Reference() {
    for (auto& re : res_) regfree(&re);
  }
  std::string scan(const std::string& content) {
    std::string hits, line;
    bool got = false;
    for (size_t i = offset_; i < content.size(); ++i) {
      char c = content[i];
      got = true;
      if (c == '\r') continue;
      if (c != '\n') {
        line += c;
        continue;
      }
      hits += match(line);
      line.clear();
      got = false;
    }
    if (got) hits += match(line);
    offset_ = content.size();
    return hits;
  }

 private:
  std::string match(const std::string& line) {
    for (size_t k = 0; k < res_.size(); ++k)
      if (regexec(&res_[k], line.c_str(), 0, nullptr, 0) == 0)
        return "[fac," + filters_[k].first + "] " + std::string(line.c_str()) + "\n";
    return "";
  }
  std::vector<std::pair<std::string, std::string>> filters_;
  std::vector<regex_t> res_;
  size_t offset_ = 0;
};

TEST_F(FileScan, BlockScanReportsExactlyWhatLineByLineReadingReports) {
  std::vector<std::pair<std::string, std::string>> filters = {
      {"err", "error"},
      {"fail", "fail(ed|ure)"},
      {"nolit", "^[0-9]+ x?$"},
      {"disk", "disk +full"},
      {"auth", "auth[a-z]* (denied|refused)"},
      {"tail", "ok$"},
      {"opt", "warn(ing)? code=[0-9]{3}"},
      {"empty", "^$"},
  };
  std::string keys = "scanfrombeg = 1\n";
  for (auto& f : filters) keys += "filter = " + f.first + ";" + f.second + "\n";
  write("");
  touch();
  load(keys);
  Reference ref(filters);
  std::mt19937 rng(7);
  const std::string words[] = {"error",    "ERR",
                               "or",       "fail",
                               "failed",   "Failure",
                               "disk",     "full",
                               "auth",     "authz",
                               "denied",   "refused",
                               "warn",     "warning",
                               "code=123", "ok",
                               "OK",       "x",
                               "42",       "\r",
                               "\t",       "e\rrror",
                               "",         "lorem",
                               "ipsum",    std::string("a\0error", 7)};
  std::string content;
  for (int round = 0; round < 30; ++round) {
    std::string chunk;
    int lines = std::uniform_int_distribution<int>(0, 2000)(rng);
    for (int l = 0; l < lines; ++l) {
      int n = std::uniform_int_distribution<int>(0, 12)(rng);
      for (int w = 0; w < n; ++w) {
        chunk += words[std::uniform_int_distribution<size_t>(0, std::size(words) - 1)(rng)];
        chunk += rng() % 4 ? " " : "";
      }
      if (rng() % 1000 == 0)
        chunk += std::string(std::uniform_int_distribution<int>(1, 300000)(rng), 'y');
      chunk += "\n";
    }
    // Cut anywhere, so that the scan sees lines without their LF yet.
    chunk.resize(std::uniform_int_distribution<size_t>(0, chunk.size())(rng));
    content += chunk;
    append(chunk);
    touch();
    std::string expected = ref.scan(content);
    ASSERT_EQ(scan(), expected) << "round " << round;
  }
}

TEST(LwFileRead, LinesAndBlocksEndAtTheSameOffset) {
  testutil::TempDir dir;
  std::string p = dir.file("f.log");
  testutil::write_file(p, "skip\r\none\r\ntwo\rx\nthree");
  Str path(p);
  for (int mode = 0; mode < 2; ++mode) {
    lwfile r;
    lwfile_init(&r, path.get(), 1);
    r.offset = 6;
    ASSERT_TRUE(lwfile_open(&r));
    std::vector<std::string> lines;
    if (mode == 0) {
      Str line;
      while (lwfile_read_line(&r, line.get())) lines.push_back(line.str());
    } else {
      const char *b, *e;
      while (lwfile_read_block(&r, &b, &e)) {
        std::string block(b, e);
        for (size_t s = 0, lf; (lf = block.find('\n', s)) != std::string::npos; s = lf + 1)
          lines.push_back(block.substr(s, lf - s));
      }
    }
    EXPECT_TRUE(lwfile_close(&r));
    EXPECT_EQ(lines, (std::vector<std::string>{"one", "twox", "three"})) << mode;
    EXPECT_EQ(r.offset, 22u);
    lwfile_free(&r);
  }
}

}  // namespace
