#!/bin/sh
# Recordings made and replayed by the real qorvex.exe. A stream holding every
# message type and framing fault is fed through the null modem to a qorvex.exe
# started with --record; its displays must show the simulator's account, and
# tallydump must decode the recording it wrote to exactly that state. Then a
# fresh qorvex.exe replays the recording with --open (port closed, recorded
# pace) and must reach the same display rows. A file that is not a recording
# is refused with a message box. A recording stopped while the feed still
# arrives holds the bytes sent from the first on, without a gap, up to Stop,
# and its records are those `tallydump --capture` makes of the same feed.
# Usage: sh recording_app.sh <windows build> <native bin folder>
QV_BUILD=$(cd "${1:?windows build folder}" && pwd)
QV_NATIVE_BIN=$(cd "${2:?native bin folder}" && pwd)
QV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$QV_ROOT/tests/e2e/lib.sh"
. "$QV_ROOT/tests/e2e/feed_lib.sh"
qv_feed_tools_check
[ -x "$QV_NATIVE_BIN/tallydump" ] || { qv_log "missing $QV_NATIVE_BIN/tallydump"; exit 1; }
qv_e2e_begin e2e_recording_app
qv_feed_trap

feed="$QV_RUN/feed.bin"
truth="$QV_ARTIFACTS/recording_app_truth.json"
rec="$QV_ARTIFACTS/recording_app.pcap"
decoded="$QV_RUN/decoded.json"
rm -f "$rec"

"$QV_NATIVE_BIN/tallysim" --fast --count 1500 --seed 77 --faults 0.02 --reset-at 700 --force \
  -o "$feed" --summary "$truth" >"$QV_RUN/gen.out" 2>"$QV_RUN/gen.err" ||
  { qv_fail "tallysim could not write the feed"; qv_e2e_end; }

# 1. Live, recording.
qv_feed_app_connected --record "Z:$rec" || { qv_fail "qorvex.exe --record connected on COM1"; qv_e2e_end; }
qv_pass "qorvex.exe --record connected on COM1"
"$QV_NATIVE_BIN/tallysim" --replay "$feed" --baud 115200 -o "$QV_PEER" \
  >"$QV_RUN/send.out" 2>"$QV_RUN/send.err" </dev/null || qv_fail "feed not sent"
qv_verify_all_displays "$truth" recording_live
qv_check "Disconnect" qv_probe command 32771
qv_check "Stop Recording" qv_probe command 40301
qv_check "Exit command" qv_probe command 32775
qv_app_wait 20 || qv_fail "qorvex.exe did not end"

# 2. The recording holds the stream and decodes to what the displays showed.
[ -s "$rec" ] && qv_pass "recording written ($(wc -c <"$rec") bytes)" || { qv_fail "no recording"; qv_e2e_end; }
"$QV_NATIVE_BIN/tallydump" --json "$rec" >"$decoded" 2>"$QV_RUN/dump.err" || qv_fail "tallydump --json on the recording"
"$QV_NATIVE_BIN/tallysim" --fast --force --replay "$rec" -o "$QV_RUN/replayed.bin" 2>/dev/null
cmp -s "$feed" "$QV_RUN/replayed.bin" && qv_pass "the recording's bytes are the fed stream" ||
  qv_fail "the recording's bytes differ from the fed stream"
bad=""
for view in "me 1" "me 2" "me 3" "me 4" "ext 1" "ext 2" "ext 3" "ext 4" "ext 5" "ext 6" "ext 7" "ext 8" ss out names; do
  # shellcheck disable=SC2086
  "$QV_NATIVE_BIN/e2e_expect" "$truth" $view >"$QV_RUN/a" && "$QV_NATIVE_BIN/e2e_expect" "$decoded" $view >"$QV_RUN/b" &&
    cmp -s "$QV_RUN/a" "$QV_RUN/b" || bad="$bad $view"
done
[ -z "$bad" ] && qv_pass "tallydump --json of the recording gives the rows the application showed" ||
  qv_fail "recording decodes differently for:$bad"
"$QV_NATIVE_BIN/tallydump" --trace "$rec" >"$QV_ARTIFACTS/recording_app_trace.txt" 2>&1
sed -n 1p "$QV_ARTIFACTS/recording_app_trace.txt" | grep -q " start$" &&
  sed -n 2p "$QV_ARTIFACTS/recording_app_trace.txt" | grep -q "connect COM1 115200 8N1" &&
  qv_pass "the recording starts with start, then the connect" || qv_fail "no start and connect records first"
grep -v "^end of recording" "$QV_ARTIFACTS/recording_app_trace.txt" | tail -n 1 | grep -q " stop$" &&
  qv_pass "the recording ends with stop" || qv_fail "no stop record last"

# 3. Replayed by a fresh qorvex.exe at the recorded pace, the port closed.
qv_app_start "$QV_BUILD/bin/qorvex.exe" --open "Z:$rec"
qv_app_wait_window 30000 || qv_fail "qorvex.exe --open has no window"
if qv_probe wait-dialog "Qorvex V-1.0" 1500 >/dev/null 2>&1; then qv_fail "a warning box came up on --open"; fi
span=$("$QV_NATIVE_BIN/tallydump" "$rec" | sed -n 's/^recording of .*, .* \([0-9:.]*\) to .* \([0-9:.]*\) UTC$/\1 \2/p')
sleep 6
qv_screenshot "$QV_ARTIFACTS/recording_replay_main.png"
qv_verify_all_displays "$truth" recording_replay
qv_check "Exit command" qv_probe command 32775
qv_app_wait 20 || qv_fail "qorvex.exe did not end"
echo "recorded span: $span"

# 4. A raw capture is not a recording: a box says why.
qv_app_start "$QV_BUILD/bin/qorvex.exe" --open "Z:$feed"
qv_app_wait_window 30000 || qv_fail "qorvex.exe --open has no window"
if qv_probe wait-dialog "Qorvex V-1.0" 5000 >/dev/null; then
  qv_probe dialog-text "Qorvex V-1.0" | grep -q "not a recording (no pcap file header)" &&
    qv_pass "a raw capture is refused: not a recording" || qv_fail "refusal box without the reason"
  qv_probe close "Qorvex V-1.0" >/dev/null
else qv_fail "no box for a file that is not a recording"; fi
qv_check "Exit command" qv_probe command 32775
qv_app_wait 20 || qv_fail "qorvex.exe did not end"

# 5. Stopped while the feed still arrives: the recording holds the bytes sent
# from the first on, without a gap, up to Stop, and ends with its stop record.
mid="$QV_ARTIFACTS/recording_app_mid.pcap"
rm -f "$mid"
"$QV_NATIVE_BIN/tallysim" --fast --count 12000 --seed 78 --faults 0.02 --force -o "$QV_RUN/feed2.bin" \
  >"$QV_RUN/gen2.out" 2>"$QV_RUN/gen2.err" || { qv_fail "tallysim could not write the second feed"; qv_e2e_end; }
qv_feed_app_connected --record "Z:$mid" || { qv_fail "qorvex.exe --record connected on COM1"; qv_e2e_end; }
"$QV_NATIVE_BIN/tallysim" --replay "$QV_RUN/feed2.bin" --baud 115200 -o "$QV_PEER" \
  >"$QV_RUN/send2.out" 2>"$QV_RUN/send2.err" </dev/null &
QV_SIM_PID=$!
sleep 4
qv_check "Stop Recording while the feed arrives" qv_probe command 40301
kill -0 "$QV_SIM_PID" 2>/dev/null && qv_pass "the feed was still arriving at Stop" ||
  qv_fail "the feed had ended before Stop"
qv_sim_wait 120 || qv_fail "second feed not sent"
qv_check "Exit command" qv_probe command 32775
qv_app_wait 20 || qv_fail "qorvex.exe did not end"
"$QV_NATIVE_BIN/tallysim" --fast --force --replay "$mid" -o "$QV_RUN/mid.bin" 2>"$QV_RUN/mid.err" ||
  qv_fail "tallysim --replay of the stopped recording"
got=$(wc -c <"$QV_RUN/mid.bin")
sent=$(wc -c <"$QV_RUN/feed2.bin")
if [ "$got" -gt 0 ] && [ "$got" -lt "$sent" ] && cmp -s -n "$got" "$QV_RUN/mid.bin" "$QV_RUN/feed2.bin"; then
  qv_pass "the stopped recording holds the first $got of $sent bytes sent, without a gap"
else
  qv_fail "the stopped recording's $got bytes are not the start of the $sent bytes sent"
fi
"$QV_NATIVE_BIN/tallydump" --trace "$mid" >"$QV_ARTIFACTS/recording_app_mid_trace.txt" 2>&1
grep -v "^end of recording" "$QV_ARTIFACTS/recording_app_mid_trace.txt" | tail -n 1 | grep -q " stop$" &&
  qv_pass "the stopped recording ends with stop" || qv_fail "the stopped recording does not end with stop"
awk '$1 ~ /\.[0-9][0-9][0-9][0-9][0-9][0-9]$/ && $1 !~ /000$/ {n++} END {exit !(n > 0)}' "$QV_ARTIFACTS/recording_app_mid_trace.txt" &&
  qv_pass "its time stamps carry microseconds" || qv_fail "its time stamps are whole milliseconds"

# 6. The same feed through `tallydump --port --capture` on a pty pair of its
# own: the application's records are tallydump's, unit for unit (kind, flags
# but split, type, bytes, lengths), times and read boundaries apart.
tdpcap="$QV_ARTIFACTS/recording_app_tallydump.pcap"
rm -f "$tdpcap" "$QV_RUN/td_dev" "$QV_RUN/td_peer"
socat "pty,raw,echo=0,link=$QV_RUN/td_dev" "pty,raw,echo=0,link=$QV_RUN/td_peer" >"$QV_RUN/td_socat.log" 2>&1 </dev/null &
td_socat=$!
i=0
while { [ ! -e "$QV_RUN/td_dev" ] || [ ! -e "$QV_RUN/td_peer" ]; } && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done
"$QV_NATIVE_BIN/tallydump" --port "$QV_RUN/td_dev" --baud 115200 --capture "$tdpcap" \
  >"$QV_RUN/td.out" 2>"$QV_RUN/td.err" </dev/null &
td_pid=$!
sleep 0.5
"$QV_NATIVE_BIN/tallysim" --replay "$QV_RUN/feed2.bin" --baud 115200 -o "$QV_RUN/td_peer" \
  >"$QV_RUN/send3.out" 2>"$QV_RUN/send3.err" </dev/null || qv_fail "feed to tallydump not sent"
sleep 0.5
kill -INT "$td_pid" 2>/dev/null
wait "$td_pid"; td_rc=$?
kill "$td_socat" 2>/dev/null
wait "$td_socat" 2>/dev/null
[ "$td_rc" -eq 0 ] && qv_pass "tallydump --capture recorded the same feed" || qv_fail "tallydump --capture status $td_rc"
if python3 "$QV_ROOT/tests/e2e/same_records.py" "$mid" "$tdpcap" >"$QV_RUN/same.out" 2>&1; then
  qv_pass "$(cat "$QV_RUN/same.out")"
else
  qv_fail "the application's records are not tallydump's"; cat "$QV_RUN/same.out" >&2
fi
"$QV_NATIVE_BIN/tallydump" "$mid" >"$QV_RUN/mid_summary.txt" 2>"$QV_RUN/mid_summary.err" &&
  ! grep -q "truncated" "$QV_RUN/mid_summary.err" &&
  qv_pass "tallydump reads the stopped recording whole" || qv_fail "tallydump does not read the stopped recording"
if command -v tshark >/dev/null 2>&1; then
  n=$(tshark -X "lua_script:$QV_ROOT/tools/wireshark/tally.lua" -r "$mid" 2>"$QV_RUN/tshark.err" | wc -l)
  [ "$n" -gt 0 ] && ! grep -qi "error\|malformed" "$QV_RUN/tshark.err" &&
    qv_pass "tshark with the dissector reads it ($n packets)" || qv_fail "tshark with the dissector: $n packets"
fi
qv_e2e_end

