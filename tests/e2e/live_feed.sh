#!/bin/sh
# End-to-end proof under load: the real qorvex.exe, driven only from outside,
# receives a sustained simulated production at 115200 baud through the
# virtual null modem, with every kind of framing fault injected. Afterwards
# every row and counter of the ME (all four records), EXT (all eight), SS, OUT
# and names displays must equal what the simulator's summary says a correct
# receiver holds: nothing lost, nothing invented, the last message of each
# type shown. A display kept open during the run must follow the feed live.
# Usage: sh live_feed.sh <windows build> <native bin folder> [seconds] [baud]
QV_BUILD=$(cd "${1:?windows build folder}" && pwd)
QV_NATIVE_BIN=$(cd "${2:?native bin folder}" && pwd)
DURATION=${3:-40}
BAUD=${4:-115200}
QV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$QV_ROOT/tests/e2e/lib.sh"
. "$QV_ROOT/tests/e2e/feed_lib.sh"
qv_feed_tools_check
qv_e2e_begin e2e_live_feed
qv_feed_trap

summary="$QV_ARTIFACTS/live_feed_summary.json"
rm -f "$summary"
qv_feed_app_connected || { qv_fail "qorvex.exe connected on COM1"; qv_e2e_end; }
qv_pass "qorvex.exe connected on COM1"

# The ME display stays open while the feed runs: it must keep up live.
qv_display_open 32776 "$QV_CAP_ME" || qv_fail "ME display opens before the feed"
qv_sim_start "$summary" --baud "$BAUD" --duration "$DURATION" --seed 20240607 \
  --faults 0.004 --reset-at 400
t0=$(date +%s)
sleep $((DURATION / 2))
mid=$(qv_display_read "$QV_CAP_ME" | grep -c '^val	1025	"[1-9][0-9]*"$')
[ "$mid" = 1 ] && qv_pass "ME 1 count moves while the display is open" ||
  qv_fail "ME display shows no ME 1 messages half-way through the feed"
qv_sim_wait $((DURATION + 60)); rc=$?
[ $rc -eq 0 ] && qv_pass "tallysim ran $(( $(date +%s) - t0 )) s and ended with 0" || qv_fail "tallysim status $rc"
[ -s "$summary" ] || { qv_fail "no simulator summary"; cat "$QV_RUN/sim.err" >&2; qv_e2e_end; }

# The open display catches up with the final state at its next ticks.
"$QV_NATIVE_BIN/e2e_expect" "$summary" me 1 >"$QV_RUN/expected_open"
qv_display_match "open ME 1 after the feed" "$QV_CAP_ME" "$QV_RUN/expected_open" 5
qv_display_close "$QV_CAP_ME" || qv_fail "ME display closes"

qv_verify_all_displays "$summary" live

# Figures for the log: what went over the line.
sed -n 's/^  "\(bytes\|messageTotal\)": \([0-9]*\).*/\1=\2/p' "$summary" | tr '\n' ' '; echo
tr -d ' \n' <"$summary" | sed 's/.*"faults":\({[^}]*}\).*/faults \1/'; echo

qv_check "Exit command" qv_probe command 32775
qv_app_wait 20; rc=$?
[ $rc -eq 0 ] && qv_pass "qorvex.exe ended with status 0" || qv_fail "qorvex.exe status $rc"
qv_e2e_end
