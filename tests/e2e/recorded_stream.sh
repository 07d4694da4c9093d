#!/bin/sh
# A recorded stream through the real qorvex.exe: a capture holding every
# message type (ME 1-4, EXT 1-8, SS, OUT 1-6, name, alias, counter reset) and
# every kind of framing fault (stray bytes, header mismatch, low second header
# byte, payload error, unknown type, truncated message), led by messages that
# must change nothing (types framed and ignored, control types without
# effect, a name for source 0), is replayed from the peer of the null modem
# at 115200 baud. Then each display, every ME and EXT record through its
# selector, must show exactly the rows and counters the recording produces:
# the simulator's own account of it, which the portable decoder must also
# reach from the same bytes.
# Usage: sh recorded_stream.sh <windows build> <native bin folder>
QV_BUILD=$(cd "${1:?windows build folder}" && pwd)
QV_NATIVE_BIN=$(cd "${2:?native bin folder}" && pwd)
QV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$QV_ROOT/tests/e2e/lib.sh"
. "$QV_ROOT/tests/e2e/feed_lib.sh"
qv_feed_tools_check
[ -x "$QV_NATIVE_BIN/tallydump" ] || { qv_log "missing $QV_NATIVE_BIN/tallydump"; exit 1; }
qv_e2e_begin e2e_recorded_stream
qv_feed_trap

rec="$QV_ARTIFACTS/recorded_stream.bin"
truth="$QV_ARTIFACTS/recorded_stream_truth.json"
decoded="$QV_RUN/recorded_decoded.json"

# 1. The recording.
qv_fault_stream "$rec" "$truth" || { qv_fail "tallysim could not write the recording"; qv_e2e_end; }
cov=$("$QV_NATIVE_BIN/e2e_expect" "$truth" check-coverage)
[ $? -eq 0 ] && qv_pass "recording holds every message type and every fault kind" ||
  qv_fail "recording lacks: $cov"
echo "recording: $(wc -c <"$rec") bytes"

# 2. The portable decoder reaches the simulator's account from these bytes.
"$QV_NATIVE_BIN/tallydump" --json "$rec" >"$decoded" 2>"$QV_RUN/dump.err" || qv_fail "tallydump on the recording"
for view in "me 1" "me 2" "me 3" "me 4" "ext 1" "ext 5" "ext 8" ss out names; do
  # shellcheck disable=SC2086
  if "$QV_NATIVE_BIN/e2e_expect" "$truth" $view >"$QV_RUN/a" &&
     "$QV_NATIVE_BIN/e2e_expect" "$decoded" $view >"$QV_RUN/b" && cmp -s "$QV_RUN/a" "$QV_RUN/b"; then :; else
    qv_fail "decoder and simulator disagree on $view"; diff "$QV_RUN/a" "$QV_RUN/b" | head -n 6 >&2
  fi
done
qv_pass "decoder agrees with the simulator on the recording"

# 3. Through the real program.
qv_feed_app_connected || { qv_fail "qorvex.exe connected on COM1"; qv_e2e_end; }
qv_pass "qorvex.exe connected on COM1"
"$QV_NATIVE_BIN/tallysim" --replay "$rec" --baud 115200 -o "$QV_PEER" \
  >"$QV_RUN/replay.out" 2>"$QV_RUN/replay.err" </dev/null
rc=$?
[ $rc -eq 0 ] && qv_pass "recording replayed at 115200 baud" || { qv_fail "replay status $rc"; cat "$QV_RUN/replay.err" >&2; }

qv_verify_all_displays "$truth" recorded

qv_check "Exit command" qv_probe command 32775
qv_app_wait 20; rc=$?
[ $rc -eq 0 ] && qv_pass "qorvex.exe ended with status 0" || qv_fail "qorvex.exe status $rc"
qv_e2e_end
