#!/usr/bin/env bash
# Runs every libFuzzer target (or the ones named) for SECONDS each.
#   tools/fuzz.sh SECONDS [target ...]
# Builds build-fuzz with clang (installing clang and its fuzzer runtime as
# root when missing). Each target starts from its seed corpus under
# tests/fuzz/corpus/<target> and keeps what it learns in
# build-fuzz/corpus/<target>; a crashing input lands in
# build-fuzz/crashes/<target>/. Copy it into the seed corpus once fixed: the
# replay tests then keep it as a regression test.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: tools/fuzz.sh SECONDS [target ...]}
shift

if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  if [ "$(id -u)" -eq 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends clang libclang-rt-14-dev
  else
    echo "clang and libclang-rt-14-dev are needed (install them as root)" >&2
    exit 1
  fi
fi

CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DVARDO_FUZZ=ON -DVARDO_TESTS=OFF \
  -DVARDO_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in build-fuzz/tests/fuzz/fuzz_*; do targets+=("$(basename "$f" | sed 's/^fuzz_//')"); done
fi

export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
status=0
printf '%-12s %12s %10s %8s %s\n' target execs exec/s corpus result
for t in "${targets[@]}"; do
  corpus=build-fuzz/corpus/$t
  crashes=build-fuzz/crashes/$t
  mkdir -p "$corpus" "$crashes"
  log=build-fuzz/fuzz-$t.log
  set +e
  build-fuzz/tests/fuzz/fuzz_"$t" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$crashes/" -timeout=10 -rss_limit_mb=2048 \
    "$corpus" "tests/fuzz/corpus/$t" >"$log" 2>&1
  rc=$?
  set -e
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
  rate=$(grep -o 'stat::average_exec_per_sec: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
  size=$(find "$corpus" -type f | wc -l)
  if [ $rc -eq 0 ]; then result=ok; else result="FOUND (see $log, $crashes)"; status=1; fi
  printf '%-12s %12s %10s %8s %s\n' "$t" "$execs" "$rate" "$size" "$result"
done
exit $status
