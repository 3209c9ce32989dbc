// The soak's judgement of the log watch: every line written to the watched
// file, every hit that the agent's result files reported against it, and
// which result files were fetched. Shared by the soak's threads (each
// operation takes the ledger's mutex); apart so that it is tested on its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace soak {

inline std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t lf = text.find('\n', at);
    if (lf == std::string::npos) lf = text.size();
    lines.push_back(text.substr(at, lf - at));
    at = lf + 1;
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

  void written(uint64_t seq, Kind kind, const std::string& expected_text) {
    std::lock_guard<std::mutex> lock(mu_);
    if (kind_.size() <= seq) {
      kind_.resize(seq + 1, kNone);
      hits_.resize(seq + 1, 0);
      text_.resize(seq + 1);
    }
    kind_[seq] = kind;
    if (kind != kQuiet) text_[seq] = expected_text;
  }

  // Takes the lines of one result file: "[facility,filter] line". Hits of
  // the scratch facilities "soakmix..." are counted apart.
  void add_result(const std::string& body) {
    std::lock_guard<std::mutex> lock(mu_);
    ++files_;
    for (const std::string& line : split_lines(body)) {
      size_t comma = line.find(',');
      size_t close = line.find("] ");
      if (line.empty() || line[0] != '[' || comma == std::string::npos ||
          close == std::string::npos || comma > close) {
        unexpected(line);
        continue;
      }
      std::string facility = line.substr(1, comma - 1);
      std::string filter = line.substr(comma + 1, close - comma - 1);
      std::string text = line.substr(close + 2);
      if (facility != "soak") {
        if (facility.compare(0, 7, "soakmix") == 0)
          ++other_hits_;
        else
          unexpected(line);
        continue;
      }
      uint64_t seq = 0;
      if (filter != "hit" || !parse_seq(text, &seq) || seq >= kind_.size() ||
          (kind_[seq] != kMatch && kind_[seq] != kProbe) || text_[seq] != text) {
        unexpected(line);
        continue;
      }
      if (++hits_[seq] == 1 && kind_[seq] == kProbe && seq < first_tracked_) first_tracked_ = seq;
    }
    cv_.notify_all();
  }

  bool seen(uint64_t seq) {
    std::lock_guard<std::mutex> lock(mu_);
    return seq < hits_.size() && hits_[seq] > 0;
  }
  bool tracking() {
    std::lock_guard<std::mutex> lock(mu_);
    return first_tracked_ != UINT64_MAX;
  }
  void wait_change(std::chrono::milliseconds ms) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, ms);
  }

  // Result-file identifiers: each is fetched once. One listed again after
  // it was fetched (a listing sent after the fetch ended) was not deleted by
  // the fetch, or came back: it is fetched again, and its hits count twice.
  uint64_t listing_started() {
    std::lock_guard<std::mutex> lock(mu_);
    return ++clock_;
  }
  bool claim(const std::string& id, uint64_t listing) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = ids_.find(id);
    if (it != ids_.end() && (it->second == 0 || it->second > listing)) return false;
    ids_[id] = 0;
    return true;
  }
  void fetched(const std::string& id) {
    std::lock_guard<std::mutex> lock(mu_);
    ids_[id] = ++clock_;
  }

  struct Summary {
    uint64_t lines = 0, matching = 0, expected = 0, reported = 0;
    uint64_t lost = 0, twice = 0, unexpected = 0, other = 0, files = 0;
    uint64_t first_tracked = 0;
    std::vector<uint64_t> lost_samples, twice_samples;
    std::vector<std::string> unexpected_samples;
  };

  Summary summary() {
    std::lock_guard<std::mutex> lock(mu_);
    Summary s;
    s.first_tracked = first_tracked_;
    for (uint64_t seq = 0; seq < kind_.size(); ++seq) {
      if (kind_[seq] == kNone) continue;
      ++s.lines;
      if (kind_[seq] == kQuiet) continue;
      ++s.matching;
      s.reported += hits_[seq];
      if (hits_[seq] > 1) {
        ++s.twice;
        if (s.twice_samples.size() < 5) s.twice_samples.push_back(seq);
      }
      if (seq < first_tracked_) continue;
      ++s.expected;
      if (hits_[seq] == 0) {
        ++s.lost;
        if (s.lost_samples.size() < 5) s.lost_samples.push_back(seq);
      }
    }
    s.unexpected = unexpected_;
    s.unexpected_samples = unexpected_samples_;
    s.other = other_hits_;
    s.files = files_;
    return s;
  }

 private:
  static bool parse_seq(const std::string& text, uint64_t* seq) {
    if (text.size() < 2 || text[0] != 'S' || text[1] < '0' || text[1] > '9') return false;
    *seq = strtoull(text.c_str() + 1, nullptr, 10);
    return true;
  }
  void unexpected(const std::string& line) {
    ++unexpected_;
    if (unexpected_samples_.size() < 5) unexpected_samples_.push_back(line.substr(0, 160));
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Kind> kind_;
  std::vector<uint32_t> hits_;
  std::vector<std::string> text_;
  uint64_t first_tracked_ = UINT64_MAX;
  uint64_t unexpected_ = 0, other_hits_ = 0, files_ = 0;
  std::vector<std::string> unexpected_samples_;
  std::map<std::string, uint64_t> ids_;  // 0 while being fetched, else when it ended
  uint64_t clock_ = 0;
};

}  // namespace soak
