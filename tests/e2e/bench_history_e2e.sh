#!/bin/sh
# The history under a full-rate faulty feed, for `make bench` (figures
# printed, not asserted as timings): qorvex.exe with --log, connected, fed
# at 256000 baud with faults for SECONDS (default 60). Prints
#   - whether the log accounts for every byte sent (and any "lost" events);
#   - the round trip of a message to the main window from another process
#     while the feed runs (p50/p99);
#   - qorvex.exe's CPU at full rate and connected idle in the same run;
#   - memory per held event (growth of the resident set over the feed).
# Usage: sh bench_history_e2e.sh <windows build> <native bin folder> [seconds]
QV_BUILD=$(cd "${1:?windows build folder}" && pwd)
QV_NATIVE_BIN=$(cd "${2:?native bin folder}" && pwd)
SECONDS_FED=${3:-60}
QV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$QV_ROOT/tests/e2e/lib.sh"
. "$QV_ROOT/tests/e2e/feed_lib.sh"
qv_feed_tools_check
unset DISPLAY
qv_e2e_begin bench_history
qv_feed_trap
[ -x "$QV_BUILD/bin/qvroundtrip.exe" ] || { qv_log "missing qvroundtrip.exe"; exit 1; }

cpu_over() {
  _hz=$(getconf CLK_TCK); _a0=$(qv_cpu_ticks "$1"); _t0=$(date +%s.%N)
  sleep "$2"
  _a1=$(qv_cpu_ticks "$1"); _t1=$(date +%s.%N)
  awk -v a="$((_a1 - _a0))" -v hz="$_hz" -v t0="$_t0" -v t1="$_t1" -v l="$3" \
    'BEGIN { s = t1 - t0; printf "cpu %-40s qorvex.exe %5.1f%% of one core\n", l, 100*a/hz/s }'
}
rss_kb() { awk '/^VmRSS/ {print $2}' "/proc/$1/status" 2>/dev/null || echo 0; }

log="$QV_RUN/bench_log.tsv"; rm -f "$log"
capture="$QV_RUN/bench_feed.bin"
winlog="Z:$(printf '%s' "$log" | tr '/' '\\')"
qv_nullmodem_start || exit 1
qv_app_start "$QV_BUILD/bin/qorvex.exe" --log "$winlog"
qv_app_wait_window 30000 || { qv_fail "window"; qv_e2e_end; }
app=$(qv_app_linux_pid)
[ -n "$app" ] || { qv_fail "pid of qorvex.exe not found"; qv_e2e_end; }
qv_probe command 105 >/dev/null
qv_probe wait-dialog "Qorvex V-1.0" 1500 >/dev/null 2>&1 && { qv_fail "Connection failed."; qv_e2e_end; }
sleep 1
cpu_over "$app" 10 "connected, idle, history shown"
printf 'idle '
qv_wine "$QV_RUN/roundtrip" "$QV_BUILD/bin/qvroundtrip.exe" qorvex 10 20
rss0=$(rss_kb "$app")

echo "==== ${SECONDS_FED} s at 256000 baud with faults (1 %)"
rm -f "$capture"
qv_sim_pipe "$QV_PORTS/COM2" "$capture" --baud 256000 --duration "$SECONDS_FED" --seed 12 --faults 0.01 --force \
  --summary "$QV_RUN/bench_feed.json"
sleep 3
qv_wine "$QV_RUN/roundtrip" "$QV_BUILD/bin/qvroundtrip.exe" qorvex $((SECONDS_FED - 40)) 20 >"$QV_RUN/roundtrip.txt" &
rt=$!
sleep 2
cpu_over "$app" 15 "256000-baud feed with faults, history shown"
wait "$rt"
printf 'full rate %s\n' "$(cat "$QV_RUN/roundtrip.txt")"
# The same feed with the terminal screen in the client area: the events are
# made and logged alike, only the list is not drawn.
qv_probe command 40101 >/dev/null
sleep 1
cpu_over "$app" 10 "256000-baud feed, terminal screen shown"
qv_probe command 40100 >/dev/null
qv_sim_wait $((SECONDS_FED + 60)) || qv_fail "tallysim"
sleep 2
rss1=$(rss_kb "$app")
qv_exit_app
qv_app_wait 30 || qv_fail "qorvex.exe exit"

awk -F'\t' 'NR > 1 && $2 ~ /^(message|ignored|reset|stray|unknown|mismatch|lowbyte|payload|dropped)$/ {printf "%s", $4}' \
  "$log" >"$QV_RUN/bench_log.hex"
od -An -v -tx1 "$capture" | tr -d ' \n' >"$QV_RUN/bench_feed.hex"
logn=$(($(wc -c <"$QV_RUN/bench_log.hex") / 2)); feedn=$(($(wc -c <"$QV_RUN/bench_feed.hex") / 2))
events=$(($(wc -l <"$log") - 1))
lost=$(awk -F'\t' '$2 == "lost" {n += $5 + 0} END {print n + 0}' "$log")
if [ $((feedn - logn)) -ge 0 ] && [ $((feedn - logn)) -le 24 ] &&
   [ "$(head -c $((2 * logn)) "$QV_RUN/bench_feed.hex")" = "$(cat "$QV_RUN/bench_log.hex")" ]; then
  qv_pass "log accounts for every byte: $feedn bytes sent, $logn in $events events, $((feedn - logn)) incomplete at the end, $lost lost"
else
  qv_fail "log does not account for the feed: $feedn bytes sent, $logn logged, $lost events lost"
fi
awk -v a="$rss0" -v b="$rss1" -v n="$events" 'BEGIN {
  printf "memory: resident %.1f MB before the feed, %.1f MB after %d events: %.0f bytes per held event (list, book and ring included)\n",
    a / 1024, b / 1024, n, (b - a) * 1024 / (n > 0 ? n : 1) }'
qv_e2e_end
