// The soak's judgement: which hits count as lost, twice or unexpected.
#include <gtest/gtest.h>

#include "tools/soak/ledger.h"

namespace {

std::string hit(int seq, const std::string& tail = "") {
  return "[soak,hit] S" + std::to_string(seq) + " soak-alert" + tail + "\n";
}

// S1 probe (written before the agent followed the file), S3 probe, S2 and S6
// quiet, the rest lines that match.
void write_sample(soak::Ledger& ledger) {
  using L = soak::Ledger;
  const L::Kind kinds[] = {L::kProbe, L::kQuiet, L::kProbe, L::kMatch,
                           L::kMatch, L::kQuiet, L::kMatch, L::kMatch};
  for (uint64_t seq = 1; seq <= 8; ++seq)
    ledger.written(seq, kinds[seq - 1], "S" + std::to_string(seq) + " soak-alert");
}

TEST(SoakLedger, LinesFromTheFirstReportedProbeAreExpectedOnceAndOtherHitsUnexpected) {
  soak::Ledger ledger;
  write_sample(ledger);
  ledger.add_result(hit(3) + hit(4));
  EXPECT_TRUE(ledger.seen(4) && !ledger.seen(5));
  ledger.add_result(hit(5) + "[soakmix2,q] S6 quiet k=7\n" + hit(7));
  ledger.add_result(hit(7));
  ledger.judge();
  EXPECT_EQ(ledger.first_tracked, 3u);
  EXPECT_EQ(ledger.expected, 5u);  // S1 came before the agent followed the file
  EXPECT_EQ(ledger.reported, 5u);
  EXPECT_EQ(ledger.samples, (std::vector<std::string>{"twice: S7", "lost: S8"}));
  EXPECT_EQ(ledger.lost + ledger.twice + ledger.other + ledger.unexpected, 3u);

  // Hits that no written matching line explains word for word.
  soak::Ledger bad;
  write_sample(bad);
  bad.add_result(hit(3) + "[soak,hit] S2 quiet k=1\n" +    // does not match the filter
                 "[soak,hit] S4 soak-al\n" +               // cut short
                 hit(5, "\r") + hit(99) +                  // not as written; never written
                 "[soak,other] S7 soak-alert\n" +          // another filter
                 "S8 soak-alert\n[web,err] disk full\n");  // no facility; nobody's facility
  bad.judge();
  EXPECT_EQ(bad.lost, 4u);
  EXPECT_EQ(bad.unexpected, 7u);
  EXPECT_EQ(bad.samples.size(), 5u + 4u);  // five texts kept; S4, S5, S7 and S8 lost
  EXPECT_EQ(bad.samples[0], "unexpected hit: [soak,hit] S2 quiet k=1");
}

}  // namespace
