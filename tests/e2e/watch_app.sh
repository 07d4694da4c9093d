#!/bin/sh
# The watch through the real qorvex.exe: started with --log and --watch-keep
# DIR, connected, fed a real-paced production by the simulator with a 60 ms
# program drop on ME 1 and a counter reset injected, then 3 s of silence
# while connected, then Exit. The log must hold exactly those three alarm
# lines, with the rule, the place and the drop's length, the drop and the
# reset right after the message that raised them; DIR must hold one kept
# recording (the later alarms extend the drop's window) named by the drop's
# time, rule and place, with the three markers in it, that tallydump reads.
# Bounded: about 30 s.
# Usage: sh watch_app.sh <windows build> <native bin folder>
QV_BUILD=$(cd "${1:?windows build folder}" && pwd)
QV_NATIVE_BIN=$(cd "${2:?native bin folder}" && pwd)
QV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$QV_ROOT/tests/e2e/lib.sh"
. "$QV_ROOT/tests/e2e/feed_lib.sh"
qv_feed_tools_check
qv_e2e_begin e2e_watch_app
qv_feed_trap

log="$QV_ARTIFACTS/watch_app_log.tsv"
kept="$QV_RUN/watch_kept"
truth="$QV_ARTIFACTS/watch_app_truth.json"
rm -f "$log"; rm -rf "$kept"; mkdir -p "$kept"
winpath() { printf 'Z:%s' "$1" | tr '/' '\\'; }

qv_nullmodem_start "$QV_PEER" || { qv_fail "null modem"; qv_e2e_end; }
qv_app_start "$QV_BUILD/bin/qorvex.exe" --log "$(winpath "$log")" --watch-keep "$(winpath "$kept")"
qv_check "main window appears" qv_app_wait_window 30000
if qv_probe wait-dialog "Qorvex V-1.0" 1000 >/dev/null 2>&1; then
  qv_fail "a warning box at start-up"; qv_probe dialog-text "Qorvex V-1.0" >&2
fi
qv_check "Connect command" qv_probe command 105
"$QV_NATIVE_BIN/tallysim" --real-pace --sim-seconds 8 --baud 115200 --inject drop,at=4,me=1,ms=60 \
  --inject reset,at=6 -o "$QV_PEER" --summary "$truth" --force >"$QV_RUN/sim.out" 2>"$QV_RUN/sim.err" </dev/null
rc=$?
[ $rc -eq 0 ] && qv_pass "8 s of production sent with a drop and a reset" || qv_fail "tallysim status $rc"
sleep 3
bar=$(qv_probe status-bar)
qv_has "$bar" "$(printf 'part\t6\t"Alarms 3"')" "the status bar counts the drop, the reset and the silence"
qv_screenshot "$QV_ARTIFACTS/watch_app_window.png"
qv_check "Exit command" qv_probe command 32775
qv_check "the exit question appears" qv_probe wait-dialog "Exit Qorvex" 10000
qv_check "Exit chosen" qv_probe click "Exit Qorvex" 1
qv_app_wait 20; rc=$?
[ $rc -eq 0 ] && qv_pass "qorvex.exe ended with status 0" || qv_fail "qorvex.exe status $rc"

# The log: the three alarms, in the displays' words, where they happened.
[ -s "$log" ] || { qv_fail "no log file at $log"; qv_e2e_end; }
source=$(sed -n 's/.*"kind": *"drop"[^}]*"source": *\([0-9]*\).*/\1/p' "$truth" | head -n 1)
[ -n "$source" ] || source=$(tr -d '\n ' <"$truth" | sed -n 's/.*"kind":"drop"[^}]*"source":\([0-9]*\).*/\1/p')
alarms=$(awk -F'\t' '$2 == "alarm" {print $5}' "$log")
qv_count "$alarms" '.' 3 "three alarm lines"
qv_count "$alarms" "^flicker: ME 1 PGM: Source $source .* went dark for [4-9][0-9]\.[0-9] ms$" 1 \
  "flicker on ME 1 PGM, source $source, 60 ms within the message spacing"
qv_count "$alarms" '^reset: ' 1 "the reset"
qv_count "$alarms" '^silence: No byte received for 2\.0 s while connected$' 1 "the silence after the production"
# The drop's and the reset's lines follow the message that raised them, at its millisecond.
bad=$(awk -F'\t' '$2 == "alarm" && $5 !~ /^silence/ && (prev !~ /^(message|reset)$/ || $1 != ptime) {n++}
                  {prev = $2; ptime = $1} END {print n+0}' "$log")
[ "$bad" -eq 0 ] && qv_pass "each alarm line right after its message" || qv_fail "$bad alarm lines out of place"

# The kept recording: named by time, rule and place, the marker inside.
file=$(ls "$kept" | grep -E '^[0-9]{8}-[0-9]{6}\.[0-9]{3}-flicker-ME1-PGM-src[0-9]+\.pcap$' | head -n 1)
[ -n "$file" ] && qv_pass "kept recording $file" || { qv_fail "no kept flicker recording"; ls -l "$kept" >&2; qv_e2e_end; }
qv_count "$(ls "$kept")" '\.pcap$' 1 "one kept file (the reset extended the drop's window)"
trace=$("$QV_NATIVE_BIN/tallydump" --trace "$kept/$file" 2>"$QV_RUN/dump.err")
rc=$?
[ $rc -eq 0 ] && qv_pass "tallydump reads the kept file" || { qv_fail "tallydump status $rc"; cat "$QV_RUN/dump.err" >&2; }
qv_count "$trace" 'alarm flicker: ME 1 PGM' 1 "the drop's marker"
qv_count "$trace" 'alarm reset: ' 1 "the reset's marker"
qv_count "$trace" 'alarm silence: ' 1 "the silence's marker"
qv_count "$trace" ' connect COM1' 1 "the kept file holds the connection from its start (within P)"
qv_count "$trace" ' disconnect$' 1 "and the disconnect at Exit (within F)"
qv_e2e_end
