#include "klib/kthread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

namespace {

std::atomic<int> g_release{0};

// Waits are bounded and busy from the moment start returns; a record runs
// again once ended, on a stack that holds more than the 8192 bytes it asked for.
TEST(KThread, BoundedWaitsAUsableStackAndRestarts) {
  kthread t;
  kthread_init(&t);
  EXPECT_EQ(kthread_wait(&t, 5000), 0u);  // never started: no sleep
  auto wait_for_release = [](void*) {
    while (!g_release.load()) ksleep(5);
    return 0;
  };
  kthread_start(&t, wait_for_release, 0, nullptr);
  uint64_t t0 = ktick_ms();
  EXPECT_EQ(kthread_wait(&t, 0) + kthread_wait(&t, 300), 2u);
  EXPECT_GE(ktick_ms() - t0, 270u);  // sleeps may end a little early under Wine
  // The waits sleep in 500 ms steps: poll the flag instead, for up to 5 s.
  auto ended = [&t] {
    for (int ms = 0; ms < 5000 && kthread_is_running(&t); ++ms) ksleep(1);
    return !kthread_is_running(&t);
  };
  g_release = 1;
  ASSERT_TRUE(ended());
  auto deep_stack = [](void* arg) {
    volatile char buf[64 * 1024];
    memset(const_cast<char*>(buf), 1, sizeof buf);
    return *static_cast<int*>(arg) = buf[100], 0;
  };
  int out = 0;
  kthread_start(&t, deep_stack, 0, &out);
  EXPECT_TRUE(ended() && out == 1);
  kthread_free(&t);
}

}  // namespace
