// The soak's judgement of the log watch: every line written to the watched
// file, and every hit that the agent's result files reported against it.
// Shared by the soak's threads (each operation takes the ledger's mutex);
// apart so that it is tested on its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace soak {

inline std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t at = 0, lf; at < text.size(); at = lf + 1) {
    if ((lf = text.find('\n', at)) == std::string::npos) lf = text.size();
    lines.push_back(text.substr(at, lf - at));
  }
  return lines;
}

// A line that matches is expected exactly once from the first probe line
// that the agent reported on: before that the facility may not have taken
// the file up yet, and only probe lines are written then. A hit that no
// written matching line explains, word for word, is unexpected.
class Ledger {
 public:
  enum Kind : uint8_t { kNone, kQuiet, kMatch, kProbe };

  void written(uint64_t seq, Kind kind, const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    if (lines_.size() <= seq) lines_.resize(seq + 1);
    lines_[seq] = {kind, 0, kind == kQuiet ? "" : text};
  }

  // Takes the lines of one result file: "[facility,filter] line". Hits of
  // the scratch facilities "soakmix..." are counted apart.
  void add_result(const std::string& body) {
    std::lock_guard<std::mutex> lock(mu_);
    ++s_.files;
    for (const std::string& line : split_lines(body)) {
      size_t close = line.find("] ");
      bool hit = line.compare(0, 11, "[soak,hit] ") == 0 && line.size() > 12 && line[11] == 'S';
      uint64_t seq = hit ? strtoull(line.c_str() + 12, nullptr, 10) : 0;
      if (close != std::string::npos && line.compare(0, 8, "[soakmix") == 0 &&
          line.find(',') < close) {
        ++s_.other;
      } else if (seq > 0 && seq < lines_.size() && lines_[seq].kind >= kMatch &&
                 lines_[seq].text == line.substr(11)) {
        if (++lines_[seq].hits == 1 && lines_[seq].kind == kProbe && seq < s_.first_tracked)
          s_.first_tracked = seq;
      } else if (++s_.unexpected <= 5) {
        s_.samples.push_back("unexpected hit: " + line.substr(0, 160));
      }
    }
    cv_.notify_all();
  }

  bool seen(uint64_t seq) {
    std::lock_guard<std::mutex> lock(mu_);
    return seq < lines_.size() && lines_[seq].hits > 0;
  }
  bool tracking() {
    std::lock_guard<std::mutex> lock(mu_);
    return s_.first_tracked != UINT64_MAX;
  }
  void wait_change(std::chrono::milliseconds ms) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, ms);
  }

  struct Summary {
    unsigned long long lines = 0, matching = 0, expected = 0, reported = 0, lost = 0, twice = 0;
    unsigned long long unexpected = 0, other = 0, files = 0, first_tracked = UINT64_MAX;
    std::vector<std::string> samples;  // "unexpected hit: ...", then "lost: S<n>", "twice: S<n>"
  };

  Summary summary() {
    std::lock_guard<std::mutex> lock(mu_);
    Summary s = s_;
    for (uint64_t seq = 0; seq < lines_.size(); ++seq) {
      const Line& l = lines_[seq];
      s.lines += l.kind != kNone;
      if (l.kind < kMatch) continue;
      ++s.matching;
      s.reported += l.hits;
      bool lost = seq >= s.first_tracked && l.hits == 0;
      s.expected += seq >= s.first_tracked;
      if (!lost && l.hits < 2) continue;
      ++(lost ? s.lost : s.twice);
      if (s.samples.size() < 10)
        s.samples.push_back((lost ? "lost: S" : "twice: S") + std::to_string(seq));
    }
    return s;
  }

 private:
  struct Line {
    Kind kind = kNone;
    uint32_t hits = 0;
    std::string text;
  };
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Line> lines_;
  Summary s_;  // what add_result counts
};

}  // namespace soak
