#!/usr/bin/env bash
# Mutation check: proves the test suite notices small faults in product code.
#   tools/mutants.sh [options] [N | N-M | module ...]
# Each mutant in tools/mutants.txt is applied, one at a time, to a scratch
# copy of the tree (the files git knows, as they are in the working tree),
# which is rebuilt incrementally with ninja; then the normal test suite runs
# against it and stops at the first failing test. A mutant is KILLED when a
# test fails, SURVIVED when all pass, BUILD-FAIL when it does not compile
# (counted as neither). Selectors pick mutants by number (3, 10-14) or by
# module (klib net lwatch host agent); none picks them all. The exit status
# is 0 only when no mutant survived (with --compile: none failed to build).
# Options:
#   --check        only verify that each original snippet occurs exactly once
#   --compile      only compile each mutant's file (no link, no tests): finds
#                  the mutants that no longer build, cheaply
#   -R REGEX       run only the tests matching REGEX (ctest -R)
#   --long         also run the soak and the loss check (left out by default)
#   --timeout S    per-test time limit in the scratch build (default 60)
#   --scratch DIR  scratch copy to use (default $TMPDIR/vardo-mutants); it is
#                  kept between runs so later runs rebuild only what changed
#   -l, --list     list the mutants and exit
set -uo pipefail
cd "$(dirname "$0")/.." || exit 2
root=$PWD
table=tools/mutants.txt
check_only=0 compile_only=0 list_only=0 long=0 test_regex="" timeout=60
scratch=${TMPDIR:-/tmp}/vardo-mutants
selectors=()
while [ $# -gt 0 ]; do
  case $1 in
    --check) check_only=1 ;;
    --compile) compile_only=1 ;;
    -l | --list) list_only=1 ;;
    --long) long=1 ;;
    -R) test_regex=${2:?-R needs a regex}; shift ;;
    --timeout) timeout=${2:?--timeout needs seconds}; shift ;;
    --scratch) scratch=${2:?--scratch needs a directory}; shift ;;
    -h | --help) awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"; exit 0 ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) selectors+=("$1") ;;
  esac
  shift
done

# The table: one mutant a line, four fields separated by tabs:
#   file  original  replacement  description
# The original is an exact snippet that must occur exactly once in the file;
# "\N" in either snippet stands for a line break; an empty replacement
# deletes the snippet. Lines starting with # and blank lines are skipped;
# mutants are numbered from 1 in table order.
mapfile -t rows < <(grep -v -e '^#' -e '^[[:space:]]*$' "$table")

# fields ROW: sets file, orig, repl, desc and module from a table row. (read
# with IFS=tab would merge the two tabs around an empty replacement.)
fields() {
  local r=$1
  file=${r%%$'\t'*}; r=${r#*$'\t'}
  orig=${r%%$'\t'*}; r=${r#*$'\t'}
  repl=${r%%$'\t'*}; r=${r#*$'\t'}
  desc=$r
  module=${file%%/*}
  [ "$(tr -cd '\t' <<<"$1" | wc -c)" -eq 3 ]
}

selected() {  # selected NUMBER MODULE
  [ ${#selectors[@]} -eq 0 ] && return 0
  local s
  for s in "${selectors[@]}"; do
    case $s in
      *-*) [ "$1" -ge "${s%-*}" ] && [ "$1" -le "${s#*-}" ] && return 0 ;;
      [0-9]*) [ "$1" -eq "$s" ] && return 0 ;;
      *) [ "$2" = "$s" ] && return 0 ;;
    esac
  done
  return 1
}

# mutate DIR FILE ORIGINAL REPLACEMENT: rewrites DIR/FILE with the snippet
# replaced, or only counts with an empty DIR. Exit 0 when the snippet occurs
# exactly once, 3 otherwise (after naming the count).
mutate() {
  python3 - "$@" <<'EOF'
import sys
d, f, orig, repl = sys.argv[1:5]
orig = orig.replace("\\N", "\n")
repl = repl.replace("\\N", "\n")
path = (d + "/" if d else "") + f
try:
    text = open(path, encoding="utf-8").read()
except OSError as e:
    print(f"cannot read {f}: {e.strerror}")
    sys.exit(3)
n = text.count(orig)
if n != 1:
    print(f"original snippet found {n} times in {f}")
    sys.exit(3)
if d:
    open(path, "w", encoding="utf-8").write(text.replace(orig, repl))
EOF
}

# Checks every selected mutant's snippet against the working tree.
bad=0 picked=()
for i in "${!rows[@]}"; do
  n=$((i + 1))
  if ! fields "${rows[$i]}"; then
    selected "$n" "$module" || continue
    printf '#%-3d %s: needs four tab-separated fields\n' "$n" "$file"
    bad=$((bad + 1)); continue
  fi
  selected "$n" "$module" || continue
  if [ "$list_only" -eq 1 ]; then
    printf '#%-3d %-7s %-28s %s\n' "$n" "$module" "$file" "$desc"; continue
  fi
  if ! msg=$(mutate "" "$file" "$orig" "$repl"); then
    printf '#%-3d %s: %s\n' "$n" "$desc" "$msg"
    bad=$((bad + 1)); continue
  fi
  picked+=("$i")
done
[ "$list_only" -eq 1 ] && exit 0
if [ "$bad" -gt 0 ]; then
  echo "$bad mutant(s) no longer match the code: fix tools/mutants.txt" >&2
  exit 1
fi
if [ "$check_only" -eq 1 ]; then
  declare -A per
  for i in "${picked[@]}"; do f=${rows[$i]%%$'\t'*}; m=${f%%/*}; per[$m]=$((${per[$m]:-0} + 1)); done
  echo "all ${#picked[@]} snippets found exactly once ($(for m in "${!per[@]}"; do printf '%s %s, ' "$m" "${per[$m]}"; done | sed 's/, $//'))"
  exit 0
fi
[ ${#picked[@]} -eq 0 ] && { echo "no mutant selected" >&2; exit 2; }

# Brings the scratch copy's sources in line with the working tree, touching
# only files whose content differs so that ninja rebuilds as little as it can.
sync_scratch() {
  mkdir -p "$scratch/src"
  # The scratch build gets its own per-test time limit, so that a mutant
  # that hangs a test is caught in a minute rather than in five.
  git ls-files -z --cached --others --exclude-standard | python3 -c '
import os, re, shutil, sys
src, dst, timeout = sys.argv[1], sys.argv[2], sys.argv[3]
for f in sys.stdin.buffer.read().decode().split("\0"):
    if not f or not os.path.isfile(os.path.join(src, f)):
        continue
    a, b = os.path.join(src, f), os.path.join(dst, f)
    data = open(a, "rb").read()
    if f == "tests/CMakeLists.txt":
        data, n = re.subn(rb"PROPERTIES TIMEOUT [0-9]+\)", b"PROPERTIES TIMEOUT " + timeout.encode() + b")", data)
        if n == 0:
            print("note: no per-test time limit found in tests/CMakeLists.txt", file=sys.stderr)
    if os.path.exists(b) and open(b, "rb").read() == data:
        continue
    os.makedirs(os.path.dirname(b), exist_ok=True)
    open(b, "wb").write(data)
    shutil.copymode(a, b)
' "$root" "$scratch/src" "$timeout"
}

# build [TARGET ...]: the whole scratch build, or only the targets named.
build() {
  cmake --build "$scratch/build" -j2 ${1:+--target "$@"} >"$scratch/build.log" 2>&1
}

# The object files compiled from the scratch copy's FILE.
objects_of() {
  grep -E "^build [^:]+\.o: CXX_COMPILER[^ ]* $scratch/src/$1( |\$)" "$scratch/build/build.ninja" |
    sed -E 's/^build ([^:]+): .*/\1/'
}

echo "scratch copy: $scratch"
sync_scratch
if [ ! -f "$scratch/build/build.ninja" ]; then
  cmake -S "$scratch/src" -B "$scratch/build" -G Ninja -DVARDO_EVENT_SOURCE=journal \
    -DVARDO_BENCH=OFF >"$scratch/configure.log" 2>&1 || { echo "configure failed: $scratch/configure.log" >&2; exit 1; }
fi
echo "building the unmutated copy"
build || { echo "the unmutated tree does not build: $scratch/build.log" >&2; exit 1; }

ctest_args=(--test-dir "$scratch/build" -j2 --stop-on-failure --output-on-failure --timeout "$timeout")
[ -n "$test_regex" ] && ctest_args+=(-R "$test_regex")
[ "$long" -eq 0 ] && ctest_args+=(-E '^(soak|losscheck)\.')

killed=0 survived=0 buildfail=0
for i in "${picked[@]}"; do
  n=$((i + 1))
  fields "${rows[$i]}"
  start=$SECONDS
  mutate "$scratch/src" "$file" "$orig" "$repl" >/dev/null
  if [ "$compile_only" -eq 1 ]; then
    mapfile -t objs < <(objects_of "$file")
    if [ ${#objs[@]} -eq 0 ]; then
      result="not compiled in this build"
    elif build "${objs[@]}"; then
      result=COMPILES
    else
      result="BUILD-FAIL (build-$n.log)"
      cp "$scratch/build.log" "$scratch/build-$n.log"
      buildfail=$((buildfail + 1))
    fi
  elif ! build; then
    result="BUILD-FAIL (build-$n.log)"
    cp "$scratch/build.log" "$scratch/build-$n.log"
    buildfail=$((buildfail + 1))
  elif ctest "${ctest_args[@]}" >"$scratch/test-$n.log" 2>&1; then
    result=SURVIVED
    survived=$((survived + 1))
  else
    # The first failed test, from ctest's closing list ("  12 - Name (Failed)").
    name=$(sed -n '/tests FAILED:/{n;p;q}' "$scratch/test-$n.log" | sed -E 's/^[[:space:]]*[0-9]+ - //')
    result="KILLED${name:+ by $name}"
    killed=$((killed + 1))
  fi
  # Put the file back (with a new time stamp, so ninja rebuilds it).
  cp "$root/$file" "$scratch/src/$file"
  printf '#%-3d %-7s %-40s %s (%ds)\n' "$n" "$module" "$desc" "$result" $((SECONDS - start))
done
if [ "$compile_only" -eq 1 ]; then
  # The restored files' objects are recompiled by the next full build.
  echo "compiled: ${#picked[@]} mutants, $buildfail build-fail"
  [ "$buildfail" -eq 0 ]
  exit
fi
build >/dev/null 2>&1 || true
total=$((killed + survived))
if [ "$total" -gt 0 ]; then
  echo "score: $killed killed of $total ($((100 * killed / total))%), $survived survived, $buildfail build-fail"
else
  echo "score: no mutant built ($buildfail build-fail)"
fi
[ "$survived" -eq 0 ]
