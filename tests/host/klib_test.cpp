// Library start-up and clean-up: the modules' order and the failure line.
#include "host/klib.h"

#include <gtest/gtest.h>

#include <string>
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

TEST(KLib, ModulesStartInOrderAndCleanUpInReverse) {
  size_t n_init = 0, n_clean = 0;
  const klib_step* init = klib_init_table(&n_init);
  const klib_cleanup_step* clean = klib_cleanup_table(&n_clean);
  std::string started, cleaned;
  for (size_t i = 0; i < n_init; ++i) started += init[i].name + std::string(" ");
  for (size_t i = 0; i < n_clean; ++i) cleaned += clean[i].name + std::string(" ");
  // kerror first: every later failure line shows one of its messages. The
  // process runner has nothing to clean up.
  EXPECT_EQ(started,
            "kerror_libinit kmutex_libinit ksemaphore_libinit ksocket_libinit kregex_libinit "
            "kproc_libinit ");
  EXPECT_EQ(cleaned,
            "kregex_libcleanup ksocket_libcleanup ksemaphore_libcleanup kmutex_libcleanup "
            "kerror_libcleanup ");
}

TEST(KLib, StepsRunInOrderUpToTheFirstFailure) {
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
    uint32_t rc = klib_init_steps(steps, 3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), line);
    EXPECT_EQ(rc, code);
    EXPECT_EQ(g_trace, run);
  }
}

}  // namespace
