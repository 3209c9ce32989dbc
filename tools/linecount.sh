#!/usr/bin/env bash
# Line counts of product code against its tests.
#   tools/linecount.sh [-v]
# Product: the C++ sources and headers of klib/ net/ lwatch/ host/ agent/.
# Tests: every C++ file, shell script and message file under tests/ (the
# libFuzzer harnesses included, their corpus not). The long-running checks
# in tools/ (soak, loss check) are counted apart. -v lists each file.
set -euo pipefail
cd "$(dirname "$0")/.."
product() { find klib net lwatch host agent -type f \( -name '*.cpp' -o -name '*.h' \); }
tests() {
  find tests -path tests/fuzz/corpus -prune -o -type f \
    \( -name '*.cpp' -o -name '*.h' -o -name '*.sh' -o -name '*.mc' \) -print
}
checks() { find tools -type f \( -path 'tools/soak*' -o -name 'losscheck*' \) \( -name '*.cpp' -o -name '*.h' \); }
count() { "$1" | sort | xargs cat | wc -l; }
if [ "${1:-}" = -v ]; then
  for set in product tests checks; do
    echo "== $set"
    "$set" | sort | xargs wc -l | sed '$d'
  done
fi
p=$(count product) t=$(count tests) c=$(count checks)
echo "product $p"
echo "tests $t ($((100 * t / p)) % of product)"
echo "soak and loss check $c; tests with them $((t + c)) ($((100 * (t + c) / p)) %)"
