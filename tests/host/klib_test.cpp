// Library start-up and clean-up: the modules' order and the failure line.
#include "host/klib.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "klib/kerror.h"

namespace {

std::vector<std::string> g_trace;
uint32_t g_fail_at = 0;  // 1-based step that fails; 0: none
uint32_t g_fail_code = 0;

template <int N>
uint32_t step() {
  g_trace.push_back("init" + std::to_string(N));
  return N == g_fail_at ? g_fail_code : 0;
}
template <int N>
void cleanup() {
  g_trace.push_back("cleanup" + std::to_string(N));
}

const klib_step kSteps[] = {
    {"first_libinit", step<1>}, {"second_libinit", step<2>}, {"third_libinit", step<3>}};

std::string run_init(uint32_t fail_at, uint32_t code, uint32_t* rc) {
  g_trace.clear();
  g_fail_at = fail_at;
  g_fail_code = code;
  testing::internal::CaptureStdout();
  *rc = klib_init_steps(kSteps, 3);
  return testing::internal::GetCapturedStdout();
}

TEST(KLib, ModulesStartInOrderAndCleanUpInReverse) {
  size_t n_init = 0, n_clean = 0;
  const klib_step* init = klib_init_table(&n_init);
  const klib_cleanup_step* clean = klib_cleanup_table(&n_clean);
  std::vector<std::string> started, cleaned;
  for (size_t i = 0; i < n_init; ++i) started.push_back(init[i].name);
  for (size_t i = 0; i < n_clean; ++i) cleaned.push_back(clean[i].name);

  // Every module that is present stands in this order; kerror comes first.
  const std::vector<std::string> order = {"kerror",  "kmutex", "ksemaphore",
                                          "ksocket", "kregex", "kproc"};
  ASSERT_FALSE(started.empty());
  EXPECT_EQ(started[0], "kerror_libinit");
  size_t at = 0;
  std::vector<std::string> expected_cleanup;
  for (const auto& name : started) {
    while (at < order.size() && order[at] + "_libinit" != name) ++at;
    ASSERT_LT(at, order.size()) << name << " is unknown or out of order";
    // The process runner has nothing to clean up.
    if (order[at] != "kproc")
      expected_cleanup.insert(expected_cleanup.begin(), order[at] + "_libcleanup");
  }
  for (const char* m : {"kerror_libinit", "kmutex_libinit", "ksemaphore_libinit", "kregex_libinit"})
    EXPECT_NE(std::find(started.begin(), started.end(), m), started.end()) << m;
  EXPECT_EQ(cleaned, expected_cleanup);

  EXPECT_EQ(klib_init(), 0u);
  klib_cleanup();
}

TEST(KLib, StepsRunInOrderUpToTheFirstFailure) {
  uint32_t rc = 99;
  EXPECT_EQ(run_init(0, 0, &rc), "");
  EXPECT_EQ(rc, 0u);
  EXPECT_EQ(g_trace, (std::vector<std::string>{"init1", "init2", "init3"}));

  kerror_libinit();
  EXPECT_EQ(run_init(2, KERR_VERSION, &rc),
            "second_libinit : [12] Winsock version not compatible\n");
  EXPECT_EQ(rc, KERR_VERSION);
  EXPECT_EQ(g_trace, (std::vector<std::string>{"init1", "init2"}));

  // The message table is built by the first step: its failure has no text.
  EXPECT_EQ(run_init(1, 7, &rc), "first_libinit : [7]\n");
  EXPECT_EQ(rc, 7u);
  EXPECT_EQ(g_trace, (std::vector<std::string>{"init1"}));

  const klib_cleanup_step clean[] = {{"c3", cleanup<3>}, {"c1", cleanup<1>}};
  g_trace.clear();
  klib_cleanup_steps(clean, 2);
  EXPECT_EQ(g_trace, (std::vector<std::string>{"cleanup3", "cleanup1"}));
}

}  // namespace
