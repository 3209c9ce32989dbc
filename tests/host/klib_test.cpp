// Start-up and clean-up runners: steps in order up to the first failure, its line.
#include "host/klib.h"

#include <gtest/gtest.h>

#include <tuple>

#include "klib/kerror.h"

namespace {

std::string g_trace;
int g_fail_at = 0;  // the 1-based step that fails with its code; 0: none

template <int N, uint32_t Code>
uint32_t step() {
  g_trace += std::to_string(N);
  return N == g_fail_at ? Code : 0;
}

TEST(KLib, StepsRunInOrderUpToTheFirstFailureAndCleanUpsRunAll) {
  const klib_step steps[] = {{"first_libinit", step<1, 7>},
                             {"second_libinit", step<2, KERR_VERSION>},
                             {"third_libinit", step<3, 1>}};
  kerror_libinit();
  // {failing step (0: none), its code, the line printed, the steps run}. The
  // first step builds the message table: its failure line has no text.
  std::tuple<int, uint32_t, std::string, std::string> cases[] = {
      {0, 0, "", "123"},
      {2, KERR_VERSION, "second_libinit : [12] Winsock version not compatible\n", "12"},
      {1, 7, "first_libinit : [7]\n", "1"}};
  for (const auto& [fail_at, code, line, run] : cases) {
    g_trace.clear();
    g_fail_at = fail_at;
    testing::internal::CaptureStdout();
    EXPECT_EQ(klib_init_steps(steps, 3), code);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), line);
    EXPECT_EQ(g_trace, run);
  }
  g_trace.clear();
  const klib_cleanup_step cleanups[] = {{"a", [] { g_trace += "1"; }},
                                        {"b", [] { g_trace += "2"; }}};
  klib_cleanup_steps(cleanups, 2);
  EXPECT_EQ(g_trace, "12");
}

}  // namespace
