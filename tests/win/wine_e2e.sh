#!/usr/bin/env bash
# End-to-end run of the Windows build under Wine, driven from Linux:
#   tests/win/wine_e2e.sh WIN_BUILD_DIR LINUX_SMTC
# vardo.exe in a console (CR LF log, a watched file's hit fetched, Ctrl+C to exit 0),
# then as a service (-install, a start by the service control manager, a request
# served, a stop, -remove; a second -install or -remove refused). Own Wine prefix.
set -euo pipefail

WIN=$(cd "$1" && pwd)
SMTC=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
export WINEPREFIX=$WIN/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

DIR=$WIN/e2e
rm -rf "$DIR"
mkdir -p "$DIR"
cp "$WIN/vardo.exe" "$DIR/"
PORT=$((20000 + RANDOM % 20000))
SERVICE="vardo e2e $PORT"
NAME_ERROR="(Invalid or non existing service name was used) : $SERVICE"

fail() {
  echo "wine e2e FAILED: $*" >&2
  for f in "$DIR"/console.out "$DIR"/vardo.log; do
    [ -f "$f" ] && { echo "--- $f" >&2; tail -40 "$f" >&2; }
  done
  exit 1
}

# Polls a command for up to $1 seconds.
wait_for() {
  local end=$((SECONDS + $1))
  shift
  until "$@"; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.2
  done
}

smt() { "$SMTC" -t 5000 "127.0.0.1:$PORT" "$@" 2>/dev/null; }

# verb VERB EXPECTED: vardo.exe VERB must print EXPECTED.
verb() {
  local out
  out=$($WINE ./vardo.exe "$1" | tr -d '\r')
  [ "$out" = "$2" ] || fail "$1 printed '$out'"
}

holder=""
agent=""
cleanup() {
  [ -n "$agent" ] && kill -9 "$agent" 2>/dev/null || true
  if [ -n "$holder" ]; then
    $WINE sc stop "$SERVICE" >/dev/null 2>&1 || true
    $WINE sc delete "$SERVICE" >/dev/null 2>&1 || true
    exec 3>&- || true
    kill "$holder" 2>/dev/null || true
  fi
  $WINESERVER -k 2>/dev/null || true
}
trap cleanup EXIT

[ -f "$WINEPREFIX/system.reg" ] || $WINE wineboot -i >/dev/null 2>&1
$WINESERVER -p || true  # 2: one runs already for this prefix

cat >"$DIR/vardo.conf" <<EOF
service.loglevel = 4
service.name = $SERVICE
vardo.listener = 127.0.0.1:$PORT
smtsvr.addressmask = 127.0.0.1
lwatch.facilityupdt = 1
lwatch.rfilettl = 2
EOF
printf 'scan = 1\nfile = app.log\nfilter = boom;boom|bang\n' >"$DIR/app.facility"
printf 'quiet start\r\n' >"$DIR/app.log"

# ---- console mode
cd "$DIR"
$WINE ./vardo.exe -start >console.out 2>&1 &
agent=$!
wait_for 30 grep -q "VARDO up" console.out || fail "no VARDO up"
grep -q $'\r$' vardo.log || fail "log lines do not end in CR LF"
# The facility is loaded within a second; a hit lands in a result file closed 2 s later.
sleep 2
printf 'a boom went off\r\n' >>app.log
name=""
find_result() { name=$(smt lwlistlog | tr -d '\r' | grep -E '^[0-9]{12}$' | head -1) && [ -n "$name" ]; }
wait_for 20 find_result || fail "no result file listed"
grep -q $'went off\r$' "lw$name.log" || fail "the result file's line does not end in CR LF"
[[ "$(smt lwgetlog "$name")" == *"[app,boom] a boom went off"* ]] || fail "lwgetlog $name"

kill -INT "$agent"
code=0
wait "$agent" || code=$?
agent=""
[ $code -eq 0 ] || fail "exit code $code after Ctrl+C"
grep -q "VARDO shutdown" console.out && grep -q "VARDO down" console.out || fail "no VARDO down"
echo "ok: console mode"

# ---- service mode. A service dies when the last ordinary Wine process
# exits: a console that waits for input keeps one alive meanwhile.
mkfifo hold
$WINE cmd <hold >/dev/null 2>&1 &
holder=$!
exec 3>hold
verb -install "Installation Success : $SERVICE"
verb -install "Installation Failure $NAME_ERROR"
: >vardo.log
$WINE sc start "$SERVICE" >/dev/null
wait_for 30 grep -q "VARDO up" vardo.log || fail "the service did not come up"
[ "$(smt echo service)" = "echo service" ] || fail "no echo from the service"
$WINE sc stop "$SERVICE" >/dev/null
stopped() { $WINE sc query "$SERVICE" | grep -q STOPPED; }
wait_for 30 stopped || fail "the service did not stop"
grep -q "VARDO down" vardo.log || fail "no VARDO down from the service"
verb -remove "Remove Success : $SERVICE"
verb -remove "Remove Failure $NAME_ERROR"
echo "ok: service mode"
echo "wine e2e passed"
