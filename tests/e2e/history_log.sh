#!/bin/sh
# The history's log file against a recorded faulty stream through the real
# qorvex.exe: started with --log, connected, the recording of the recorded-
# stream test replayed from the peer of the null modem at 115200 baud, then
# Exit. The log must be tab-separated under its one header, and its framing
# events must account for every byte received (their bytes put together are
# the recording, up to a message still incomplete at the end) and for every
# counter (after the last reset) the simulator says the recording produces.
# Also: --log with a path that cannot be created shows the warning box and
# the program runs on.
# Usage: sh history_log.sh <windows build> <native bin folder>
QV_BUILD=$(cd "${1:?windows build folder}" && pwd)
QV_NATIVE_BIN=$(cd "${2:?native bin folder}" && pwd)
QV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$QV_ROOT/tests/e2e/lib.sh"
. "$QV_ROOT/tests/e2e/feed_lib.sh"
qv_feed_tools_check
qv_e2e_begin e2e_history_log
qv_feed_trap

rec="$QV_RUN/history_stream.bin"
truth="$QV_ARTIFACTS/history_log_truth.json"
log="$QV_ARTIFACTS/history_log.tsv"
rm -f "$log"

# 1. The recording of e2e_recorded_stream.
qv_fault_stream "$rec" "$truth" || { qv_fail "tallysim could not write the recording"; qv_e2e_end; }
echo "recording: $(wc -c <"$rec") bytes"

# 2. Through the real program, logging from its start.
winlog="Z:$(printf '%s' "$log" | tr '/' '\\')"
qv_nullmodem_start "$QV_PEER" || { qv_fail "null modem"; qv_e2e_end; }
qv_app_start "$QV_BUILD/bin/qorvex.exe" --log "$winlog"
qv_check "main window appears" qv_app_wait_window 30000
if qv_probe wait-dialog "Qorvex V-1.0" 1000 >/dev/null 2>&1; then
  qv_fail "a warning box at start-up"; qv_probe dialog-text "Qorvex V-1.0" >&2
fi
qv_check "Connect command" qv_probe command 105
"$QV_NATIVE_BIN/tallysim" --replay "$rec" --baud 115200 -o "$QV_PEER" \
  >"$QV_RUN/replay.out" 2>"$QV_RUN/replay.err" </dev/null
rc=$?
[ $rc -eq 0 ] && qv_pass "recording replayed at 115200 baud" || qv_fail "replay status $rc"
sleep 1
qv_screenshot "$QV_ARTIFACTS/history_log_window.png"
qv_check "Exit command" qv_probe command 32775
# Connected with a log open: Exit asks first, naming the log.
qv_check "the exit question appears" qv_probe wait-dialog "Exit Qorvex" 10000
qv_count "$(qv_probe dialog-text "Exit Qorvex")" 'Log: Z:' 1 "the exit question names the log"
qv_screenshot "$QV_ARTIFACTS/history_log_exit_question.png"
qv_check "Exit chosen" qv_probe click "Exit Qorvex" 1
qv_app_wait 20; rc=$?
[ $rc -eq 0 ] && qv_pass "qorvex.exe ended with status 0" || qv_fail "qorvex.exe status $rc"

# 3. The log.
[ -s "$log" ] || { qv_fail "no log file at $log"; qv_e2e_end; }
hdr=$(head -n 1 "$log")
[ "$hdr" = "$(printf 'time\tevent\ttype\tbytes\tdetails')" ] && qv_pass "one header line" ||
  qv_fail "header is \"$hdr\""
bad=$(awk -F'\t' 'NR > 1 && (NF != 5 || $1 !~ /^[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]T[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9][0-9][0-9]$/) {n++} END {print n+0}' "$log")
[ "$bad" -eq 0 ] && qv_pass "every line: five tab-separated fields, ISO time with ms" ||
  qv_fail "$bad malformed lines"
qv_count "$(cut -f2 "$log")" '^connect$' 1 "one connect event"
qv_count "$(cut -f2 "$log")" '^disconnect$' 1 "one disconnect (Exit closes the port before the log)"
qv_count "$(cut -f2 "$log")" '^log-start$' 1 "one log-start line"
qv_has "$(tail -n 1 "$log" | cut -f2,5)" "$(printf 'log-stop\texit')" "the last line: log-stop, exit"

# Every byte: the framing events' bytes are the recording up to an open tail.
awk -F'\t' 'NR > 1 && $2 ~ /^(message|ignored|reset|stray|unknown|mismatch|lowbyte|payload|dropped|incomplete)$/ {printf "%s", $4}' \
  "$log" >"$QV_RUN/log.hex"
od -An -v -tx1 "$rec" | tr -d ' \n' >"$QV_RUN/rec.hex"
logn=$(wc -c <"$QV_RUN/log.hex"); recn=$(wc -c <"$QV_RUN/rec.hex")
tail_bytes=$(( (recn - logn) / 2 ))
if [ "$tail_bytes" -ge 0 ] && [ "$tail_bytes" -le 24 ] && [ "$(head -c "$logn" "$QV_RUN/rec.hex")" = "$(cat "$QV_RUN/log.hex")" ]; then
  qv_pass "the log's bytes are the recording's $((recn / 2)) bytes ($tail_bytes left incomplete at the end)"
else
  qv_fail "the log's bytes ($((logn / 2))) are not the recording ($((recn / 2)))"
  cmp "$QV_RUN/log.hex" "$QV_RUN/rec.hex" | head -n 2 >&2
fi

# Every counter: recounted from the events after the last reset.
awk -F'\t' '
  NR == 1 { next }
  $2 == "reset" { delete c; next }
  $2 == "stray" || $2 == "mismatch" { c[$2] += length($4) / 2; next }
  $2 == "unknown" || $2 == "lowbyte" || $2 == "payload" { c[$2]++; next }
  $2 == "message" && $3 !~ /^0xc/ { c[$3]++ }
  END {
    split("stray unknown mismatch lowbyte payload 0x81 0x82 0x83 0x84 0x91 0x92 0x93 0x94 0x95 0x96 0x97 0x98 0xa1 0xb1 0xb2 0xb3 0xb4 0xb5 0xb6", k, " ")
    for (i = 1; i <= 24; i++) printf "%s %d\n", k[i], c[k[i]]
  }' "$log" >"$QV_RUN/log.counters"
"$QV_NATIVE_BIN/e2e_expect" "$truth" counters >"$QV_RUN/truth.counters"
if cmp -s "$QV_RUN/log.counters" "$QV_RUN/truth.counters"; then
  qv_pass "the log accounts for all 24 counters ($(tr '\n' ' ' <"$QV_RUN/log.counters" | cut -c1-60)...)"
else
  qv_fail "counters from the log differ from the simulator's"
  diff "$QV_RUN/truth.counters" "$QV_RUN/log.counters" >&2
fi
qv_count "$(cut -f5 "$log")" '^first ME 1 message$' 1 "the first ME 1 message says so"
qv_has "$(cut -f5 "$log")" 'name for source 0, outside 1..128: ignored' "the name for source 0 is described"

# 4. A log file that cannot be created: the box, and the program runs on.
qv_app_start "$QV_BUILD/bin/qorvex.exe" --log 'C:\no such folder\qorvex.tsv'
qv_check "warning box for the unwritable log" qv_probe wait-dialog "Qorvex V-1.0" 20000
box=$(qv_probe dialog-text "Qorvex V-1.0")
printf '%s\n' "$box" | grep -Fq 'The log file cannot be opened \"C:\\no such folder\\qorvex.tsv\"' &&
  qv_pass "the box names the path" || { qv_fail "the box names the path"; printf '%s\n' "$box" >&2; }
qv_screenshot "$QV_ARTIFACTS/history_log_unwritable.png"
qv_check "box closed" qv_probe click "Qorvex V-1.0" 2
qv_check "main window still there" qv_app_wait_window 5000
qv_check "Exit command" qv_probe command 32775
qv_app_wait 20; rc=$?
[ $rc -eq 0 ] && qv_pass "qorvex.exe ended with status 0" || qv_fail "qorvex.exe status $rc"
qv_e2e_end
