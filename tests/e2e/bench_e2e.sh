#!/bin/sh
# End-to-end figures of the real qorvex.exe under Wine (printed, not
# asserted; part of `make bench`):
#   1. latency from the last byte written to the ME display showing it;
#   2. CPU time of the application (and of the wineserver serving it) while
#      connected and idle, and while a full-rate 256000-baud feed arrives;
#   3. the receiver's throughput ceiling: an unpaced feed, timed until the
#      display shows the last message.
#   The connected-idle figure is printed next to its goal (under 1 % of a
#   core for qorvex.exe and for the wineserver); with QORVEX_BENCH_BEFORE set
#   to another qorvex.exe (e.g. a build of an earlier commit) that one is
#   measured first in the same run, for a before/after comparison.
# Usage: sh bench_e2e.sh <windows build> <native bin folder> [latency samples]
QV_BUILD=$(cd "${1:?windows build folder}" && pwd)
QV_NATIVE_BIN=$(cd "${2:?native bin folder}" && pwd)
SAMPLES=${3:-80}
QV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$QV_ROOT/tests/e2e/lib.sh"
. "$QV_ROOT/tests/e2e/feed_lib.sh"
qv_feed_tools_check
# A private display: the figures must not depend on a desktop.
unset DISPLAY
qv_e2e_begin bench_e2e
qv_feed_trap
[ -x "$QV_BUILD/bin/qvlatency.exe" ] || { qv_log "missing qvlatency.exe"; exit 1; }

echo "machine: $(nproc) cores, $(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -n 1), $(wine --version 2>/dev/null)"

# The Linux process that runs qorvex.exe: the wine launcher execs into it,
# but look for the child too in case a loader stays in between.

# The wineserver of this prefix: its working folder is named after the
# prefix's device and inode.

# utime+stime in clock ticks.

# cpu_over PID1 PID2 SECONDS LABEL: CPU of both over the interval, in % of one core.
cpu_over() {
  _hz=$(getconf CLK_TCK)
  _a0=$(qv_cpu_ticks "$1"); _w0=$(qv_cpu_ticks "$2"); _t0=$(date +%s.%N)
  sleep "$3"
  _a1=$(qv_cpu_ticks "$1"); _w1=$(qv_cpu_ticks "$2"); _t1=$(date +%s.%N)
  awk -v a="$((_a1 - _a0))" -v w="$((_w1 - _w0))" -v hz="$_hz" -v t0="$_t0" -v t1="$_t1" -v l="$4" \
    'BEGIN { s = t1 - t0; printf "cpu %-34s qorvex.exe %5.1f%% (%.2f s CPU in %.1f s)  wineserver %5.1f%%\n", l, 100*a/hz/s, a/hz, s, 100*w/hz/s }' |
    tee "$QV_RUN/cpu_last"
}

# The two percentages of the last cpu_over line, as "APP SERVER".
cpu_last() { sed -n 's/.*qorvex.exe *\([0-9.]*\)%.*wineserver *\([0-9.]*\)%.*/\1 \2/p' "$QV_RUN/cpu_last"; }

# idle_row LABEL APP SERVER: one row of the idle comparison with the goal.
idle_row() {
  awk -v l="$1" -v a="$2" -v w="$3" 'BEGIN { printf "  %-44s qorvex.exe %5.1f%% (%s)  wineserver %5.1f%% (%s)\n", l, a, a < 1 ? "goal met" : "over goal", w, w < 1 ? "goal met" : "over goal" }'
}

IDLE_ROWS="$QV_RUN/idle_rows"
: >"$IDLE_ROWS"
# A reference qorvex.exe, connected and idle for 10 s, before this build.
if [ -n "${QORVEX_BENCH_BEFORE:-}" ]; then
  qv_nullmodem_start || exit 1
  qv_app_start "$QORVEX_BENCH_BEFORE"
  if qv_app_wait_window 30000; then
    before=$(qv_app_linux_pid); server=$(qv_wineserver_pid)
    qv_probe command 105 >/dev/null
    sleep 3
    cpu_over "$before" "$server" 10 "before: connected, idle (10 s)"
    idle_row "before ($QORVEX_BENCH_BEFORE)" $(cpu_last) >>"$IDLE_ROWS"
    qv_probe command 32775 >/dev/null
    qv_app_wait 20 || qv_fail "reference qorvex.exe exit"
  else qv_fail "reference qorvex.exe window"; fi
  qv_nullmodem_stop
fi

qv_nullmodem_start || exit 1
qv_app_start "$QV_BUILD/bin/qorvex.exe"
qv_app_wait_window 30000 || { qv_fail "window"; qv_e2e_end; }
app=$(qv_app_linux_pid); server=$(qv_wineserver_pid)
echo "qorvex.exe is Linux pid ${app:-?}, wineserver pid ${server:-?}"
[ -n "$app" ] || { qv_fail "pid of qorvex.exe not found"; qv_e2e_end; }

sleep 2
cpu_over "$app" "$server" 10 "not connected, idle (10 s)"
qv_probe command 105 >/dev/null
qv_probe wait-dialog "Qorvex V-1.0" 1500 >/dev/null 2>&1 && { qv_fail "Connection failed."; qv_e2e_end; }
sleep 3
cpu_over "$app" "$server" 10 "connected, idle (10 s)"
idle_row "this build" $(cpu_last) >>"$IDLE_ROWS"
echo "==== connected, no data: goal under 1 % of a core for qorvex.exe and for the wineserver"
cat "$IDLE_ROWS"
qv_display_open 32776 "$QV_CAP_ME" || { qv_fail "ME display"; qv_e2e_end; }
qv_probe click "$QV_CAP_ME" 1019 >/dev/null
sleep 1
cpu_over "$app" "$server" 10 "connected, ME display open, idle"

echo "==== latency: last byte written -> ME display shows it ($SAMPLES samples)"
qv_wine "$QV_RUN/latency" "$QV_BUILD/bin/qvlatency.exe" COM2 "$QV_CAP_ME" "$SAMPLES" | grep -v '^sample ' ||
  qv_fail "latency probe"

echo "==== 256000-baud feed (25600 characters/s)"
# The reset first: the latency samples above were ME 1 messages too.
rm -f "$QV_RUN/full_rate.json"
qv_sim_pipe "$QV_PORTS/COM2" "" --baud 256000 --duration 14 --seed 9 --faults 0.001 --reset-at 1 --force \
  --summary "$QV_RUN/full_rate.json"
sleep 2
cpu_over "$app" "$server" 10 "256000-baud feed, ME display open"
qv_sim_wait 60 || { qv_fail "tallysim at 256000 baud"; cat "$QV_RUN/sim.err" >&2; }
"$QV_NATIVE_BIN/e2e_expect" "$QV_RUN/full_rate.json" me 1 >"$QV_RUN/expected_full"
qv_display_match "nothing lost at 256000 baud" "$QV_CAP_ME" "$QV_RUN/expected_full" 5

echo "==== throughput ceiling: unpaced feed until the display shows the last message"
# A reset first, so the counters start from zero and the summary matches.
"$QV_NATIVE_BIN/tallysim" -o "$QV_PORTS/COM2" --fast --count 400000 --no-names --seed 10 --reset-at 1 --force \
  --summary "$QV_RUN/ceiling.json" >"$QV_RUN/sim.out" 2>"$QV_RUN/sim.err" </dev/null &
QV_SIM_PID=$!
t0=$(date +%s.%N)
qv_sim_wait 300 || qv_fail "tallysim unpaced"
t_sim=$(date +%s.%N)
"$QV_NATIVE_BIN/e2e_expect" "$QV_RUN/ceiling.json" me 1 >"$QV_RUN/expected_ceiling"
if qv_display_match "unpaced feed complete" "$QV_CAP_ME" "$QV_RUN/expected_ceiling" 120; then
  t1=$(date +%s.%N)
  bytes=$(sed -n 's/^  "bytes": \([0-9]*\).*/\1/p' "$QV_RUN/ceiling.json")
  msgs=$(sed -n 's/^  "messageTotal": \([0-9]*\).*/\1/p' "$QV_RUN/ceiling.json")
  awk -v b="$bytes" -v m="$msgs" -v t0="$t0" -v ts="$t_sim" -v t1="$t1" 'BEGIN {
    s = t1 - t0
    printf "ceiling: %d bytes, %d messages in %.2f s (writer done after %.2f s): %.0f bytes/s = %.0f messages/s = %.1f x a 256000-baud line (display check resolution 0.25 s + one 500 ms tick)\n",
      b, m, s, ts - t0, b / s, m / s, (b / s) / 25600 }'
fi
qv_display_close "$QV_CAP_ME"
qv_probe command 32775 >/dev/null
qv_app_wait 20 || qv_fail "qorvex.exe exit"
qv_e2e_end
