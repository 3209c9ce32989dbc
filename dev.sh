#!/usr/bin/env bash
# Developer entry point.
#   ./dev.sh run     build the agent and run it in the foreground with the
#                    sample configuration (Ctrl+C stops it)
#   ./dev.sh test    build and run every test: normal, AddressSanitizer +
#                    UndefinedBehaviorSanitizer, and ThreadSanitizer builds,
#                    and the Windows build (MinGW-w64) under Wine
#   ./dev.sh bench   build and print the table of benchmark figures
#                    ("./dev.sh bench quick": shorter runs, for a smoke run)
# Each command installs missing Debian packages first when run as root.
set -euo pipefail
cd "$(dirname "$0")"

JOBS=$(nproc 2>/dev/null || echo 2)

# Debian packages the build, the tests and the benchmarks use. The log watch
# reads the systemd journal through libsystemd; the request server speaks TLS
# through OpenSSL; the tests write journal files with systemd-journal-remote
# and make certificates with the openssl command.
RUN_PACKAGES="cmake ninja-build g++ pkg-config libsystemd-dev libssl-dev"
# The Windows build: the MinGW-w64 cross compiler (its -posix variant, for
# std::thread and std::atomic) and Wine to run what it builds; GoogleTest is
# built from the sources of libgtest-dev.
WIN_PACKAGES="g++-mingw-w64-x86-64-posix wine64"
TEST_PACKAGES="$RUN_PACKAGES libgtest-dev libgmock-dev libbenchmark-dev systemd-journal-remote openssl $WIN_PACKAGES"

missing_packages() {
  local p missing=""
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
      missing="$missing $p"
  done
  echo "$missing"
}

install_packages() {
  command -v dpkg-query >/dev/null || return 0
  local missing
  missing=$(missing_packages "$@")
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
    echo "installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing
  else
    echo "missing Debian packages:$missing (install them as root)" >&2
    exit 1
  fi
}

configure_build() {
  local dir=$1
  shift
  # The journal event source is named: a build tree whose cache holds
  # another one is switched to it.
  cmake -S . -B "$dir" -G Ninja -DVARDO_EVENT_SOURCE=journal "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

run_tests() {
  local dir=$1
  shift
  ctest --test-dir "$dir" -j "$JOBS" --output-on-failure --timeout 300 "$@"
}

cmd_run() {
  install_packages $RUN_PACKAGES
  configure_build build -DVARDO_TESTS=OFF -DVARDO_BENCH=OFF
  [ -f build/vardo.conf ] || cp vardo.conf.sample build/vardo.conf
  exec build/vardo -start
}

cmd_test() {
  install_packages $TEST_PACKAGES
  export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
  echo "== normal build"
  configure_build build
  run_tests build
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
  configure_build build-asan -DVARDO_ASAN=ON -DVARDO_BENCH=OFF
  run_tests build-asan
  echo "== ThreadSanitizer build"
  configure_build build-tsan -DVARDO_TSAN=ON -DVARDO_BENCH=OFF
  run_tests build-tsan
  echo "== Windows build under Wine"
  test_windows
  echo "all tests passed"
}

# The Windows build (its unit test programs included) and the end-to-end run
# of vardo.exe under Wine, in a Wine prefix of its own in the build tree. A persistent
# wineserver spares every test program the server's start; it is ended
# however the run ends.
test_windows() {
  cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DVARDO_BENCH=OFF >/dev/null
  cmake --build build-win -j "$JOBS"
  export WINEPREFIX="$PWD/build-win/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  [ -f "$WINEPREFIX/system.reg" ] || /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
  /usr/lib/wine/wineserver -p || true  # 2: one runs already for this prefix
  trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
  # Wine's own system processes (services.exe and the rest) are started by
  # the first program that needs them and live as long as the persistent
  # wineserver. Started here, away from ctest: started by a test program they
  # would inherit its output pipe, and ctest would wait for them to end.
  /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1
  run_tests build-win
  tests/win/wine_e2e.sh build-win build/smtc
}

# The figures come from the normal build tree with optimised code: a tree
# configured for another build type is switched to RelWithDebInfo (the
# default, as packaged). Only what the table needs is built.
cmd_bench() {
  install_packages $TEST_PACKAGES
  local type=""
  type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' build/CMakeCache.txt 2>/dev/null || true)
  case "$type" in
    Release | RelWithDebInfo) ;;
    *) type=RelWithDebInfo ;;
  esac
  cmake -S . -B build -G Ninja -DVARDO_EVENT_SOURCE=journal -DVARDO_BENCH=ON \
    -DCMAKE_BUILD_TYPE="$type" >/dev/null
  cmake --build build -j "$JOBS" --target bench_table
  exec build/bench/bench_table "$@"
}

case "${1:-}" in
  run) cmd_run ;;
  test) cmd_test ;;
  bench)
    shift
    cmd_bench "$@"
    ;;
  *)
    echo "usage: $0 run|test|bench [quick]" >&2
    exit 2
    ;;
esac
