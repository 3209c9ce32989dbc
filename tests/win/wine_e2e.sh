#!/usr/bin/env bash
# End-to-end run of the Windows build under Wine, driven from Linux:
#   tests/win/wine_e2e.sh WIN_BUILD_DIR LINUX_SMTC
# 1. vardo.exe -start in a console: banners, settings echo, "VARDO up"; an
#    SMT echo from the Linux client over loopback; a watched file's hit
#    fetched with lwgetlog; exec of "cmd /c echo hi"; cperf through a
#    typeperf stand-in beside vardo.exe; a facility watching
#    the Application event log scans at its period and reports nothing (Wine
#    keeps no records); Ctrl+C (SIGINT) gives "VARDO shutdown", "VARDO down"
#    and exit code 0.
# 2. The service: -install, a second -install refused with 502's message,
#    a start through the service control manager, a request served by the
#    service, a stop, -remove.
# Wine runs in a prefix of its own under WIN_BUILD_DIR; its wineserver is
# started persistent first and ended at the end.
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
cp "$WIN/vardo.exe" "$WIN/tests/typeperf.exe" "$DIR/"
PORT=$((20000 + RANDOM % 20000))
SERVICE="vardo e2e $PORT"

fail() {
  echo "wine e2e FAILED: $*" >&2
  for f in "$DIR"/console.out "$DIR"/vardo.log; do
    [ -f "$f" ] && { echo "--- $f" >&2; tail -40 "$f" >&2; }
  done
  exit 1
}

# Polls a command for up to $1 seconds.
wait_for() {
  local limit=$1
  shift
  local end=$((SECONDS + limit))
  until "$@"; do
    [ $SECONDS -lt $end ] || return 1
    sleep 0.2
  done
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
cat >"$DIR/app.facility" <<EOF
scan = 1
file = app.log
filter = boom;boom|bang
EOF
printf 'quiet start\r\n' >"$DIR/app.log"
cat >"$DIR/evt.facility" <<EOF
scan = 1
eventlog = Application
filter = any;.
EOF

# ---- console mode
cd "$DIR"
$WINE ./vardo.exe -start >console.out 2>&1 &
agent=$!
wait_for 30 grep -q "VARDO up" console.out || fail "no VARDO up"
wait_for 10 grep -q "LWATCH up" vardo.log || fail "no LWATCH up"
grep -q -- "->\[[0-9]*\] .*vardo.exe" vardo.log || fail "no start banner"
grep -q "Version 1.2.6 Build" vardo.log || fail "no version banner"
grep -q "smtsvr.enable = 1" vardo.log || fail "no settings echo"
grep -q $'\r$' vardo.log || fail "log lines do not end in CR LF"

reply=$("$SMTC" -t 5000 "127.0.0.1:$PORT" echo hi 2>/dev/null) || fail "echo failed"
[ "$reply" = "echo hi" ] || fail "echo replied '$reply'"
echo "ok: echo hi from Linux"

# The facility is loaded within a second; a hit then lands in a result file
# that is closed two seconds later.
sleep 2
printf 'a boom went off\r\n' >>app.log
name=""
find_result() {
  name=$("$SMTC" -t 5000 "127.0.0.1:$PORT" lwlistlog 2>/dev/null | tr -d '\r' | grep -E '^[0-9]{12}$' | head -1)
  [ -n "$name" ]
}
wait_for 20 find_result || fail "no result file listed"
grep -q $'went off\r$' "lw$name.log" || fail "the result file's line does not end in CR LF"
hit=$("$SMTC" -t 5000 "127.0.0.1:$PORT" lwgetlog "$name" 2>/dev/null) || fail "lwgetlog failed"
case "$hit" in
  *"[app,boom] a boom went off"*) ;;
  *) fail "lwgetlog gave '$hit'" ;;
esac
echo "ok: hit fetched with lwgetlog $name"

out=$("$SMTC" -t 10000 "127.0.0.1:$PORT" exec cmd /c echo hi 2>/dev/null) || fail "exec failed"
[ "$(echo "$out" | tr -d ' ')" = "hi" ] || fail "exec gave '$out'"
echo "ok: exec cmd /c echo hi"

out=$("$SMTC" -t 10000 "127.0.0.1:$PORT" cperf -sc 1 '"\Processor(_Total)\% Processor Time"' 2>/dev/null) ||
  fail "cperf failed"
[ "$(echo "$out" | tr -d '\r')" = $'[-sc]\n[1]\n[\\Processor(_Total)\\% Processor Time]' ] ||
  fail "cperf gave '$out'"
echo "ok: cperf runs typeperf with the request's arguments"

kill -INT "$agent"
code=0
wait "$agent" || code=$?
agent=""
[ $code -eq 0 ] || fail "exit code $code after Ctrl+C"
grep -q "VARDO shutdown" console.out || fail "no VARDO shutdown"
grep -q "VARDO down" console.out || fail "no VARDO down"
grep -q -- "<-\[[0-9]*\] .*vardo.exe" vardo.log || fail "no stop banner"
echo "ok: Ctrl+C gives VARDO shutdown, VARDO down, exit 0"

grep -q "  eventlog   = 'Application'" vardo.log || fail "the eventlog entry was not loaded"
scans=$(grep -c " scanning lwfacility 'evt' eventlog"$'\r$' vardo.log || true)
[ "$scans" -ge 3 ] || fail "the event log was scanned $scans times"
# The filter takes every record: a record read would log "new ... event".
! grep -q "cannot open 'Application' eventlog\|new Application event" vardo.log ||
  fail "the Application log gave a failure or an event"
echo "ok: the Application event log scanned $scans times, nothing reported"

# ---- service mode. A service dies when the last ordinary Wine process
# exits: a console that waits for input keeps one alive meanwhile.
mkfifo hold
$WINE cmd <hold >/dev/null 2>&1 &
holder=$!
exec 3>hold
out=$($WINE ./vardo.exe -install | tr -d '\r')
[ "$out" = "Installation Success : $SERVICE" ] || fail "install printed '$out'"
out=$($WINE ./vardo.exe -install | tr -d '\r')
[ "$out" = "Installation Failure (Invalid or non existing service name was used) : $SERVICE" ] ||
  fail "second install printed '$out'"
echo "ok: -install, and a second -install refused with 502"

: >vardo.log
$WINE sc start "$SERVICE" >/dev/null
wait_for 30 grep -q "VARDO up" vardo.log || fail "the service did not come up"
reply=$("$SMTC" -t 5000 "127.0.0.1:$PORT" echo service 2>/dev/null) || fail "the service did not answer"
[ "$reply" = "echo service" ] || fail "the service replied '$reply'"
echo "ok: started by the service control manager, request served"

$WINE sc stop "$SERVICE" >/dev/null
stopped() { $WINE sc query "$SERVICE" | grep -q STOPPED; }
wait_for 30 stopped || fail "the service did not stop"
grep -q "VARDO down" vardo.log || fail "no VARDO down from the service"
out=$($WINE ./vardo.exe -remove | tr -d '\r')
[ "$out" = "Remove Success : $SERVICE" ] || fail "remove printed '$out'"
out=$($WINE ./vardo.exe -remove | tr -d '\r')
[ "$out" = "Remove Failure (Invalid or non existing service name was used) : $SERVICE" ] ||
  fail "second remove printed '$out'"
echo "ok: stopped, -remove, and a second -remove refused with 502"
echo "wine e2e passed"
