#!/bin/sh
# TSL out of the real qorvex.exe under Wine (printed, not asserted; part of
# `make bench`): from the last serial byte of a message, written to the far
# end of the null modem (a socat pty pair, qorvex.exe on COM1), to the TSL
# 5.0 packet that shows the change arriving on a loopback UDP port picked
# here. bench_tsl_wire does the writing and the timing; p50, p99 and max.
# Goal: p99 at most 20 ms. Bounded: SAMPLES cuts, at most two minutes.
# Usage: sh bench_tsl_e2e.sh <windows build> <bench bin folder> [samples] [runs]
QV_BUILD=$(cd "${1:?windows build folder}" && pwd)
QV_NATIVE_BIN=$(cd "${2:?bench bin folder}" && pwd)
SAMPLES=${3:-300}
RUNS=${4:-1}
QV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$QV_ROOT/tests/e2e/lib.sh"
. "$QV_ROOT/tests/e2e/feed_lib.sh"
[ -x "$QV_NATIVE_BIN/bench_tsl_wire" ] || { qv_log "missing $QV_NATIVE_BIN/bench_tsl_wire"; exit 1; }
unset DISPLAY
qv_e2e_begin bench_tsl_e2e
qv_feed_trap

free_port() { python3 -c "import socket;s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM);s.bind(('127.0.0.1',0));print(s.getsockname()[1])"; }
run=1
while [ "$run" -le "$RUNS" ]; do
  port=$(free_port)
  qv_feed_app_connected --tsl-out "5.0:udp:127.0.0.1:$port" || { qv_fail "qorvex.exe connected on COM1"; qv_e2e_end; }
  sleep 2  # the initial state has gone out; the refresh (1 s) is what the sampler waits for
  timeout 180 "$QV_NATIVE_BIN/bench_tsl_wire" "$SAMPLES" "$QV_PEER" "$port" \
    "qorvex.exe under Wine, COM1 through a socat pty pair, UDP loopback, run $run of $RUNS" ||
    qv_fail "bench_tsl_wire against qorvex.exe"
  qv_probe command 32775 >/dev/null
  qv_app_wait 20 || qv_fail "qorvex.exe exit"
  qv_nullmodem_stop
  run=$((run + 1))
done
qv_e2e_end
