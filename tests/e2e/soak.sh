#!/bin/sh
# Soak of the real qorvex.exe under Wine (printed, part of `make bench`;
# `make soak MINUTES=N` for longer runs). The simulator feeds a production
# with every fault kind at the full 256000-baud rate in segments of
# SEGMENT seconds; while it runs the five displays are opened, driven and
# closed in turn. After each segment every row and counter of every display
# must equal the simulator's summary, then the port is disconnected and
# connected again for the next segment (each begins with a counter reset,
# so its summary is the whole expected state). At every segment end the
# process's resident memory and thread count (from /proc: Wine runs every
# Windows thread as a thread of that process) and its handle count and
# private memory (from inside, through qvprobe's hook; Wine reports 0 for
# GDI/USER objects) are sampled and printed as a table over time. The
# history is in use throughout: shown in the main window and written to a
# log file (--log); it reaches its cap of held events only in soaks of about
# 25 minutes or more. A recording runs throughout too (--record), across every
# reconnect; at the end its bytes must be exactly the bytes sent.
# Usage: sh soak.sh <windows build> <native bin folder> <minutes> [segment seconds]
QV_BUILD=$(cd "${1:?windows build folder}" && pwd)
QV_NATIVE_BIN=$(cd "${2:?native bin folder}" && pwd)
MINUTES=${3:?minutes}
SEGMENT=${4:-60}
QV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$QV_ROOT/tests/e2e/lib.sh"
. "$QV_ROOT/tests/e2e/feed_lib.sh"
qv_feed_tools_check
unset DISPLAY
qv_e2e_begin soak
qv_feed_trap
QV_NO_SHOTS=1
TABLE="$QV_ARTIFACTS/soak_table.txt"

# figure NAME FILE: the value of a "name<TAB>value" line.
figure() { sed -n "s/^$1	//p" "$2"; }

T0=$(date +%s)
# sample LABEL: one row of the table.
sample() {
  _rss=$(sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\).*/\1/p' "/proc/$app/status" 2>/dev/null)
  _thr=$(sed -n 's/^Threads:[[:space:]]*//p' "/proc/$app/status" 2>/dev/null)
  if qv_probe resources >"$QV_RUN/resources" 2>"$QV_RUN/resources.err"; then :; else
    qv_fail "resources of qorvex.exe unreadable: $(cat "$QV_RUN/resources.err")"; fi
  _priv=$(figure private "$QV_RUN/resources")
  printf '%6.1f  %-14s %8s %8s %7s %7s %10s %9s\n' \
    "$(echo "$(date +%s) $T0" | awk '{print ($1 - $2) / 60}')" "$1" "${_rss:-?}" \
    "$((${_priv:-0} / 1024))" "$(figure handles "$QV_RUN/resources")" "${_thr:-?}" \
    "$sent_bytes" "$sent_msgs" | tee -a "$TABLE"
}

# One display opened, driven and closed (the selectors of ME and EXT).
drive_display() {
  case $1 in
    0) qv_display_open 32776 "$QV_CAP_ME" || { qv_fail "ME display opens"; return; }
       for s in $QV_ME_SELECTORS; do qv_probe click "$QV_CAP_ME" "$s" >/dev/null; sleep 0.3; done
       qv_display_close "$QV_CAP_ME" || qv_fail "ME display closes" ;;
    1) qv_display_open 32777 "$QV_CAP_EXT" || { qv_fail "EXT display opens"; return; }
       for s in $QV_EXT_SELECTORS; do qv_probe click "$QV_CAP_EXT" "$s" >/dev/null; sleep 0.2; done
       qv_display_close "$QV_CAP_EXT" || qv_fail "EXT display closes" ;;
    2) qv_display_open 32778 "$QV_CAP_SS" && sleep 1 && { qv_display_close "$QV_CAP_SS" || qv_fail "SS display closes"; } ;;
    3) qv_display_open 32779 "$QV_CAP_OUT" && sleep 1 && { qv_display_close "$QV_CAP_OUT" || qv_fail "OUT display closes"; } ;;
    4) qv_display_open 32780 "$QV_CAP_NAMES" && sleep 1 && { qv_display_close "$QV_CAP_NAMES" || qv_fail "names display closes"; } ;;
  esac
}

connect() {
  qv_probe command 105 >/dev/null || { qv_fail "Connect command"; return 1; }
  if qv_probe wait-dialog "Qorvex V-1.0" 1500 >/dev/null 2>&1; then
    qv_fail "\"Connection failed.\" after segment $seg"; qv_probe click "Qorvex V-1.0" 1 >/dev/null; return 1
  fi
}

qv_nullmodem_start "$QV_PEER" || exit 1
log="$QV_RUN/soak_log.tsv" rec="$QV_RUN/soak.pcap" sent="$QV_RUN/sent.bin"
rm -f "$log" "$rec" "$sent"
qv_app_start "$QV_BUILD/bin/qorvex.exe" --log "Z:$(printf '%s' "$log" | tr '/' '\\')" \
  --record "Z:$(printf '%s' "$rec" | tr '/' '\\')"
qv_app_wait_window 30000 || { qv_fail "qorvex.exe window"; qv_e2e_end; }
app=$(qv_app_linux_pid)
[ -n "$app" ] || { qv_fail "pid of qorvex.exe not found"; qv_e2e_end; }
# A build that cannot log says so in a box at start-up: noted, and the soak
# goes on without the log.
logging=1
if qv_probe wait-dialog "Qorvex V-1.0" 3000 >/dev/null 2>&1; then
  echo "soak: NOTE: no history log: $(qv_probe dialog-text "Qorvex V-1.0" | sed -n 's/^ctl	65535	Static.*text="\(.*\)"$/\1/p')"
  qv_probe click "Qorvex V-1.0" 1 >/dev/null
  qv_probe wait-gone "Qorvex V-1.0" 10000 >/dev/null
  logging=
fi
echo "soak: $MINUTES min in segments of $SEGMENT s, 256000 baud with every fault kind; qorvex.exe is Linux pid $app"
: >"$TABLE"
printf '%6s  %-14s %8s %8s %7s %7s %10s %9s\n' min when "RSS KiB" "priv KiB" handles threads "bytes sent" messages | tee -a "$TABLE"
sent_bytes=0 sent_msgs=0 seg=0 matched=0
sample "start"
connect || qv_e2e_end
end=$((T0 + MINUTES * 60))
while [ "$(date +%s)" -lt "$end" ]; do
  seg=$((seg + 1))
  left=$((end - $(date +%s)))
  dur=$SEGMENT; [ "$left" -lt "$dur" ] && dur=$left; [ "$dur" -lt 15 ] && dur=15
  # A copy of every byte sent is kept to compare with the recording.
  qv_sim_pipe "$QV_PEER" "$sent" --baud 256000 --duration "$dur" --seed $((1000 + seg)) --faults 0.01 \
    --reset-at 1 --force --summary "$QV_RUN/soak_$seg.json" || { qv_fail "mkfifo"; break; }
  d=$seg
  while kill -0 "$QV_SIM_PID" 2>/dev/null; do
    drive_display $((d % 5)); d=$((d + 1))
  done
  qv_sim_wait 60 || { qv_fail "tallysim segment $seg"; cat "$QV_RUN/sim.err" >&2; }
  b=$(sed -n 's/^  "bytes": \([0-9]*\).*/\1/p' "$QV_RUN/soak_$seg.json")
  m=$(sed -n 's/^  "messageTotal": \([0-9]*\).*/\1/p' "$QV_RUN/soak_$seg.json")
  sent_bytes=$((sent_bytes + ${b:-0})) sent_msgs=$((sent_msgs + ${m:-0}))
  fails=$QV_FAILS
  qv_verify_all_displays "$QV_RUN/soak_$seg.json" "soak segment $seg" >"$QV_RUN/verify.out"
  if [ "$QV_FAILS" -eq "$fails" ]; then matched=$((matched + 1)); when="seg$seg:ok"; else when="seg$seg:DIFF"; fi
  sample "$when"
  qv_probe command 32771 >/dev/null || qv_fail "Disconnect command"
  sleep 1
  connect || break
done
qv_probe command 32771 >/dev/null
sleep 1
sample "end"

# Growth from the first segment end (first-use allocations inside Wine are
# made by then) to the last, both sampled connected; "start" and "end" are
# the disconnected states around them.
awk -v segs="$seg" -v ok="$matched" '$2 ~ /^seg/ { n++; if (n == 1) { r0 = $3; p0 = $4; h0 = $5; t0 = $6 } r1 = $3; p1 = $4; h1 = $5; t1 = $6; r[n] = $3; p[n] = $4 }
  END { printf "soak: %d segments, %d with every row and counter equal to the simulator; first to last segment end: RSS %+d KiB, private %+d KiB, handles %+d, threads %+d\n", segs, ok, r1 - r0, p1 - p0, h1 - h0, t1 - t0
        # The history grows until it holds its cap of events; what follows should be flat.
        k = n - int(n / 3); if (n >= 3) printf "soak: over the last third (segment %d to %d): RSS %+d KiB, private %+d KiB\n", k, n, r1 - r[k], p1 - p[k] }' "$TABLE"
if [ -n "$logging" ]; then
  echo "soak: history log $(($(wc -c <"$log" 2>/dev/null || echo 0) / 1024)) KiB, $(wc -l <"$log" 2>/dev/null || echo 0) lines"
  [ -s "$log" ] || qv_fail "no history log written"
fi
# The recording, closed, must hold every byte sent across all the reconnects.
qv_probe command 40301 >/dev/null || qv_fail "Stop Recording command"
sleep 1
if "$QV_NATIVE_BIN/tallysim" --fast --force --replay "$rec" -o "$QV_RUN/replayed.bin" 2>"$QV_RUN/replay.err" &&
  cmp -s "$sent" "$QV_RUN/replayed.bin"; then
  echo "soak: recording $(($(wc -c <"$rec") / 1024)) KiB holds exactly the $(wc -c <"$sent") bytes sent"
else
  qv_fail "the recording's bytes differ from the bytes sent ($(wc -c <"$QV_RUN/replayed.bin" 2>/dev/null || echo 0) against $(wc -c <"$sent"); $(head -c 300 "$QV_RUN/replay.err"))"
fi
[ "$matched" -eq "$seg" ] || qv_fail "$((seg - matched)) segment(s) differed from the simulator's summary"
qv_exit_app || qv_fail "Exit command"
qv_app_wait 30; rc=$?
[ $rc -eq 0 ] || qv_fail "qorvex.exe exit status $rc"
qv_e2e_end
