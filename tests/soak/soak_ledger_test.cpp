// The judgement of the soak test: which hits count as lost, twice or
// unexpected.
#include <gtest/gtest.h>

#include "tools/soak/ledger.h"

namespace {

using soak::Ledger;

std::string hit(const std::string& text) {
  return "[soak,hit] " + text + "\n";
}

// S1 probe (before the agent followed the file), S2 quiet, S3 probe, S4..S8
// lines that match, S6 quiet.
void write_sample(Ledger& ledger) {
  ledger.written(1, Ledger::kProbe, "S1 soak-alert probe");
  ledger.written(2, Ledger::kQuiet, "");
  ledger.written(3, Ledger::kProbe, "S3 soak-alert probe");
  ledger.written(4, Ledger::kMatch, "S4 soak-alert line a");
  ledger.written(5, Ledger::kMatch, "S5 soak-alert line b");
  ledger.written(6, Ledger::kQuiet, "");
  ledger.written(7, Ledger::kMatch, "S7 soak-alert end");
  ledger.written(8, Ledger::kMatch, "S8 soak-alert final");
}

TEST(SoakLedger, MatchingLinesFromTheFirstReportedProbeAreExpectedExactlyOnce) {
  Ledger ledger;
  write_sample(ledger);
  EXPECT_EQ(ledger.first_tracked, UINT64_MAX);
  ledger.add_result(hit("S3 soak-alert probe") + hit("S4 soak-alert line a"));
  EXPECT_TRUE(ledger.seen(4));
  EXPECT_FALSE(ledger.seen(5));
  ledger.add_result(hit("S5 soak-alert line b") + "[soakmix2,q] S6 quiet k=7\n" +
                    hit("S7 soak-alert end"));
  ledger.add_result(hit("S7 soak-alert end"));

  ledger.judge();
  EXPECT_EQ(ledger.first_tracked, 3u);
  EXPECT_EQ(ledger.expected, 5u);  // S1 came before the agent followed the file
  EXPECT_EQ(ledger.reported, 5u);
  EXPECT_EQ(ledger.lost, 1u);
  EXPECT_EQ(ledger.twice, 1u);
  EXPECT_EQ(ledger.samples, (std::vector<std::string>{"twice: S7", "lost: S8"}));
  EXPECT_EQ(ledger.unexpected, 0u);
  EXPECT_EQ(ledger.other, 1u);
  EXPECT_EQ(ledger.files, 3u);
}

TEST(SoakLedger, HitsThatNoWrittenMatchingLineExplainAreUnexpected) {
  Ledger ledger;
  write_sample(ledger);
  ledger.add_result(hit("S3 soak-alert probe") + hit("S2 quiet k=1") +  // does not match the filter
                    hit("S4 soak-al") +                                 // cut short
                    hit("S5 soak-alert line b\r") +                     // not as written
                    hit("S99 soak-alert line") +                        // never written
                    "[soak,other] S7 soak-alert end\n" +                // another filter
                    "S8 soak-alert final\n" +                           // no facility
                    "[web,err] disk full\n");                           // a facility of nobody's
  ledger.judge();
  EXPECT_EQ(ledger.lost, 4u);
  EXPECT_EQ(ledger.unexpected, 7u);
  EXPECT_EQ(ledger.samples.size(), 5u + 4u);  // five texts kept; S4, S5, S7 and S8 lost
  EXPECT_EQ(ledger.samples[0], "unexpected hit: [soak,hit] S2 quiet k=1");
}

}  // namespace
