#!/usr/bin/env bash
# Runs the agent with its result directory on a 64 KiB tmpfs that is kept
# full for a while, as a collector fetches the finished result files, and
# counts the hits that were lost, written twice or written in part.
#   tools/fulldisk.sh [BUILD_DIR [SECONDS_WRITING [SECONDS_FULL]]]   (as root)
# Defaults: build, 20 s of writing, the disk full from the 5th second for
# 10 s. A watched file gets 250 hit lines "HIT seq=N ..." a second; a
# collector moves each finished "lw*.log" off the tmpfs every 200 ms, as
# lwgetlog does (fetch, then delete). Prints the counts and exits 1 unless
# every hit arrived exactly once and whole.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
writing=${2:-20}
full=${3:-10}
if [ "$(id -u)" -ne 0 ]; then
  echo "tools/fulldisk.sh mounts a tmpfs: run it as root" >&2
  exit 2
fi
[ -x "$build/vardo" ] || { echo "no $build/vardo: build it first" >&2; exit 2; }

work=$(mktemp -d /tmp/vardo-fulldisk-XXXXXX)
agent=
collector=
cleanup() {
  [ -n "$collector" ] && kill "$collector" 2>/dev/null || true
  [ -n "$agent" ] && kill "$agent" 2>/dev/null || true
  wait 2>/dev/null || true
  umount "$work/res" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

mkdir "$work/fac" "$work/res" "$work/collected"
mount -t tmpfs -o size=64k vardo-fulldisk "$work/res"
cp "$build/vardo" "$work/vardo"
cat >"$work/vardo.conf" <<EOF
smtsvr.enable = 0
service.loglevel = 1
lwatch.facilityupdt = 1
lwatch.rfilettl = 1
lwatch.facilitydir = $work/fac
lwatch.resultdir = $work/res
EOF
watched=$work/watched.log
: >"$watched"
printf 'scan = 1\nfile = %s\nfilter = hit;HIT\n' "$watched" >"$work/fac/f6.facility"

(cd "$work" && exec ./vardo -start >stdout.txt 2>&1) &
agent=$!
sleep 2  # the facility is loaded and the file found

collect() {
  while :; do
    for f in "$work"/res/lw*.log; do
      [ -e "$f" ] && mv "$f" "$work/collected/" 2>/dev/null || true
    done
    sleep 0.2
  done
}
collect &
collector=$!

pad=$(printf '%060d' 0)
seq=0
start=$SECONDS
filled=0
while [ $((SECONDS - start)) -lt "$writing" ]; do
  elapsed=$((SECONDS - start))
  if [ "$elapsed" -ge 5 ] && [ "$elapsed" -lt $((5 + full)) ]; then
    # Whatever the collector frees is taken again at once.
    dd if=/dev/zero of="$work/res/filler" bs=1k oflag=append conv=notrunc 2>/dev/null || true
    filled=1
  elif [ "$filled" -eq 1 ]; then
    rm -f "$work/res/filler"
    filled=2
  fi
  for _ in $(seq 1 25); do
    seq=$((seq + 1))
    printf 'HIT seq=%d %s\n' "$seq" "$pad"
  done >>"$watched"
  sleep 0.1
done
rm -f "$work/res/filler"
# Lines appended in the second of the last check wait for a later change.
sleep 1.2
touch "$watched"
sleep 4
kill -INT "$agent"
wait "$agent" || true
agent=
kill "$collector" 2>/dev/null || true
wait "$collector" 2>/dev/null || true
collector=
for f in "$work"/res/lw*.log; do [ -e "$f" ] && mv "$f" "$work/collected/"; done

cat "$work"/collected/lw*.log 2>/dev/null >"$work/all.txt" || true
lines=$(wc -l <"$work/all.txt")
whole=$(grep -cE "^\[f6,hit\] HIT seq=[0-9]+ $pad\$" "$work/all.txt" || true)
distinct=$(grep -oE '^\[f6,hit\] HIT seq=[0-9]+ ' "$work/all.txt" | sort -u | wc -l)
lost=$((seq - distinct))
duplicated=$((whole - distinct))
broken=$((lines - whole))
leftover=$(find "$work/res" -name 'lw*.tmp' -size +0 | wc -l)
warnings=$(grep -c "cannot write to result file" "$work/vardo.log" || true)
echo "hits written to the watched file: $seq"
echo "result files collected: $(ls "$work/collected" | wc -l), lines: $lines"
echo "lost: $lost, duplicated: $duplicated, broken lines: $broken, unfinished .tmp left: $leftover"
echo "write warnings in the log: $warnings"
[ "$lost" -eq 0 ] && [ "$duplicated" -eq 0 ] && [ "$broken" -eq 0 ]
