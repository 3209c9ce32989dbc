// The soak's judgement of the log watch: every line written to the watched
// file, and every hit that the agent's result files reported against it.
// One thread at a time; apart so that it is tested on its own.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/soak/conn.h"

namespace soak {

// A line that matches is expected exactly once from the first probe line
// that the agent reported on: before that the facility may not have taken
// the file up yet, and only probe lines are written then. A hit that no
// written matching line explains, word for word, is unexpected.
struct Ledger {
  enum Kind : uint8_t { kNone, kQuiet, kMatch, kProbe };
  struct Line {
    Kind kind = kNone;
    uint32_t hits = 0;
    std::string text;
  };
  std::vector<Line> lines;
  uint64_t first_tracked = UINT64_MAX;
  unsigned long long files = 0, other = 0, unexpected = 0;
  std::vector<std::string> samples;  // "unexpected hit: ...", then "lost: S<n>", "twice: S<n>"

  void written(uint64_t seq, Kind kind, const std::string& text) {
    if (lines.size() <= seq) lines.resize(seq + 1);
    lines[seq] = {kind, 0, kind == kQuiet ? "" : text};
  }
  bool seen(uint64_t seq) const { return seq < lines.size() && lines[seq].hits > 0; }

  // Takes the lines of one result file: "[facility,filter] line". Hits of
  // the scratch facilities "soakmix..." are counted apart.
  void add_result(const std::string& body) {
    ++files;
    for (const std::string& line : split_lines(body)) {
      bool hit = line.compare(0, 11, "[soak,hit] ") == 0 && line.size() > 12 && line[11] == 'S';
      uint64_t seq = hit ? strtoull(line.c_str() + 12, nullptr, 10) : 0;
      if (line.compare(0, 8, "[soakmix") == 0 && line.find(',') < line.find("] ")) {
        ++other;
      } else if (seq > 0 && seq < lines.size() && lines[seq].kind >= kMatch &&
                 lines[seq].text == line.substr(11)) {
        if (++lines[seq].hits == 1 && lines[seq].kind == kProbe && seq < first_tracked)
          first_tracked = seq;
      } else if (++unexpected <= 5) {
        samples.push_back("unexpected hit: " + line.substr(0, 160));
      }
    }
  }

  // Counts the hits expected, reported, lost and twice, once at the end;
  // adds the first lost and twice to the samples.
  unsigned long long expected = 0, reported = 0, lost = 0, twice = 0;
  void judge() {
    for (uint64_t seq = 0; seq < lines.size(); ++seq) {
      const Line& l = lines[seq];
      if (l.kind < kMatch) continue;
      reported += l.hits;
      expected += seq >= first_tracked;
      bool gone = seq >= first_tracked && l.hits == 0;
      if (!gone && l.hits < 2) continue;
      ++(gone ? lost : twice);
      if (samples.size() < 10)
        samples.push_back((gone ? "lost: S" : "twice: S") + std::to_string(seq));
    }
  }
};

}  // namespace soak
