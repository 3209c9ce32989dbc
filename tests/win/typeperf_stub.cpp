// A stand-in for the system's performance-counter tool, which Wine lacks:
// prints each argument in brackets on a line of its own, so that the
// end-to-end run sees what cperf passed. It lies beside vardo.exe, where
// the process start looks first.
#include <cstdio>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) printf("[%s]\n", argv[i]);
  return 0;
}
