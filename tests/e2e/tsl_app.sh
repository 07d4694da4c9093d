#!/bin/sh
# qorvex.exe drives the TSL peer: the real application, on COM1 through the
# virtual null modem, sends --tsl-out to tsl-umd-v5 (tests/interop/tsl, on a
# loopback port picked here) while tallysim plays a production. The peer
# plays a hub that sends every lamp back to the application's --tsl-in, but
# keeps one source that ends off PGM stuck red. Afterwards every lamp the peer
# read must equal the On Air derivation of the final state (tallydump
# --on-air of the same bytes), and the status bar must say
# "TSL out: sending | Hub differs: 1", and the log must hold the stuck lamp's
# divergence: a hub row and the hub alarm after it. Leaves a screenshot in the artifacts.
# Usage: sh tsl_app.sh <windows build> <native bin folder>
QV_BUILD=$(cd "${1:?windows build folder}" && pwd)
QV_NATIVE_BIN=$(cd "${2:?native bin folder}" && pwd)
QV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$QV_ROOT/tests/e2e/lib.sh"
. "$QV_ROOT/tests/e2e/feed_lib.sh"
qv_feed_tools_check
[ -f "$QV_ROOT/tests/interop/tsl/node_modules/tsl-umd-v5/index.js" ] || { qv_log "tsl-umd-v5 missing: run make deps"; exit 1; }
qv_e2e_begin e2e_tsl_app
PEER_PID=
peer_stop() { [ -n "$PEER_PID" ] && { kill -TERM "$PEER_PID" 2>/dev/null; wait "$PEER_PID" 2>/dev/null; }; PEER_PID=; }
trap 'peer_stop; qv_feed_cleanup' EXIT
trap 'peer_stop; qv_feed_cleanup; exit 130' INT
trap 'peer_stop; qv_feed_cleanup; exit 143' TERM

feed="$QV_RUN/tsl_feed.bin"
"$QV_NATIVE_BIN/tallysim" --fast --count 600 --seed 24 --faults 0.02 --force -o "$feed" 2>"$QV_RUN/gen.err" ||
  { qv_fail "tallysim made the feed"; qv_e2e_end; }
free_port() { python3 -c "import socket;s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM);s.bind(('127.0.0.1',0));print(s.getsockname()[1])"; }
port=$(free_port)
back=$(free_port)
"$QV_NATIVE_BIN/tallydump" --on-air "$feed" >"$QV_RUN/truth.json" 2>"$QV_RUN/truth.err" || qv_fail "tallydump --on-air of the feed"
# The stuck one: lit at the end, but not on PGM in any ME.
stuck=$(python3 - "$QV_RUN/truth.json" <<'PY'
import json, sys
on = json.load(open(sys.argv[1]))
pgm = {s for me in on["me"] for s in me["pgm"]}
lit = sorted({s for me in on["me"] for k in ("lap", "pvw") for s in me[k]} - pgm)
print(lit[0] if lit else "")
PY
)
[ -n "$stuck" ] || { qv_fail "the feed leaves a source lit off PGM"; qv_e2e_end; }
node "$QV_ROOT/tests/interop/tsl/peer_hub.js" hub "$port" "$back" "stuck=$stuck" >"$QV_RUN/peer.out" 2>"$QV_RUN/peer.err" &
PEER_PID=$!
sleep 0.5
winpath() { printf 'Z:%s' "$1" | tr '/' '\\'; }
log="$QV_ARTIFACTS/tsl_app_log.tsv"
rm -f "$log"
qv_feed_app_connected --log "$(winpath "$log")" --tsl-out "5.0:udp:127.0.0.1:$port" --tsl-one-dmsg --tsl-in "udp:127.0.0.1:$back" ||
  { qv_fail "qorvex.exe connected on COM1"; qv_e2e_end; }
qv_pass "qorvex.exe connected on COM1 with --tsl-out"
"$QV_NATIVE_BIN/tallysim" --replay "$feed" -o "$QV_PEER" >"$QV_RUN/sim.out" 2>"$QV_RUN/sim.err" </dev/null ||
  qv_fail "tallysim replayed the feed"
sleep 2  # the last change and a refresh
qv_screenshot "$QV_ARTIFACTS/tsl_app.png"
qv_probe status-bar >"$QV_RUN/status.txt" 2>&1
grep -q "TSL out: sending | Hub differs: 1\"" "$QV_RUN/status.txt" &&
  qv_pass "the status bar says TSL out: sending | Hub differs: 1 (source $stuck stuck red)" ||
  { qv_fail "no 'TSL out: sending | Hub differs: 1' in the status bar"; cat "$QV_RUN/status.txt" >&2; }
# The On Air view with the hub's lamps as corner marks (for the eye: the artifact).
qv_probe command 40400 >/dev/null 2>&1
sleep 1
qv_screenshot "$QV_ARTIFACTS/tsl_onair.png"
peer_stop
if python3 - "$QV_RUN/truth.json" "$QV_RUN/peer.out" <<'PY'
import json, sys
on = json.load(open(sys.argv[1]))
want = {}
for me in on["me"]:
    for key, level in (("pvw", 1), ("lap", 2), ("pgm", 3)):
        for s in me[key]:
            want[s] = max(want.get(s, 0), level)
lamps = {int(k): v for k, v in json.load(open(sys.argv[2]))["truth"].items()}
bad = [(i, v, want.get(i, 0)) for i, v in lamps.items() if v != want.get(i, 0)]
missing = [s for s in want if s not in lamps]
print("peer lamps %d, lit %d, wrong %s, missing %s" % (len(lamps), len(want), bad[:5], missing[:5]))
sys.exit(1 if bad or missing or len(want) < 5 else 0)
PY
then qv_pass "every lamp at the peer is the On Air derivation's"
else qv_fail "the peer's lamps differ from the On Air derivation"; fi
# The log (written by the log writer from the history's rows): the stuck
# lamp diverged, as a hub row naming index, source and both lamps, and the
# alarm right after it; no other index diverged.
if [ -s "$log" ]; then
  cp "$log" "$QV_RUN/log_now.tsv"
  awk -F'\t' -v s="$stuck" '$2 == "hub" && index($5, "diverged: index " s " (source " s "): switcher ") == 1 &&
       $5 ~ /, hub PGM, for [0-9]+ ms$/ {row = NR} $2 == "alarm" && row && NR == row + 1 &&
       index($5, "hub: index " s " (source " s "): switcher ") == 1 {ok = 1} END {exit ok ? 0 : 1}' "$QV_RUN/log_now.tsv" &&
    qv_pass "the log has source $stuck's divergence and its hub alarm" ||
    { qv_fail "no divergence row and hub alarm for source $stuck in the log"; grep -P '\thub\t|\talarm\t' "$QV_RUN/log_now.tsv" | head -20 >&2; }
  others=$(awk -F'\t' -v s="$stuck" '$2 == "hub" && $5 ~ /^diverged: / && index($5, "diverged: index " s " ") != 1' "$QV_RUN/log_now.tsv" | wc -l)
  [ "$others" -eq 0 ] && qv_pass "no other index diverged" ||
    { qv_fail "$others divergence rows for other indices"; grep -P '\thub\t' "$QV_RUN/log_now.tsv" | head -20 >&2; }
else qv_fail "no log file at $log"; fi
qv_check "Exit command" qv_probe command 32775
qv_check "the exit question appears (the log is open)" qv_probe wait-dialog "Exit Qorvex" 10000
qv_check "Exit chosen" qv_probe click "Exit Qorvex" 1
qv_app_wait 20; rc=$?
[ $rc -eq 0 ] && qv_pass "qorvex.exe ended with status 0" || qv_fail "qorvex.exe status $rc"
qv_e2e_end
