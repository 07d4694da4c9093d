#!/bin/sh
# qorvex.exe publishing to a broker nobody here wrote: Debian's mosquitto on
# 127.0.0.1 at a port picked here. The real program, started with --mqtt and
# --mqtt-name, is fed a simulated production with faults through the null
# modem; mosquitto_sub must then hold, for every source, a retained tally
# equal to the On Air derivation of the bytes sent (tallydump --on-air of a
# copy of them), while the program runs and again after Exit, when the link
# says offline. Disconnect says offline, Connect online again, and a port
# that vanishes keeps the publisher, which says "Port lost". Screenshots of the status bar's MQTT part and the dialog.
# Usage: sh mqtt_app.sh <windows build> <native bin folder>
QV_BUILD=$(cd "${1:?windows build folder}" && pwd)
QV_NATIVE_BIN=$(cd "${2:?native bin folder}" && pwd)
QV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$QV_ROOT/tests/e2e/lib.sh"
. "$QV_ROOT/tests/e2e/feed_lib.sh"
qv_feed_tools_check
for t in /usr/sbin/mosquitto /usr/bin/mosquitto_sub "$QV_NATIVE_BIN/tallydump"; do
  [ -x "$t" ] || { qv_log "missing $t (make deps, and the native build)"; exit 1; }
done
qv_e2e_begin e2e_mqtt_app

BROKER_PID=
mqtt_cleanup() {
  [ -n "$BROKER_PID" ] && { kill "$BROKER_PID" 2>/dev/null; wait "$BROKER_PID" 2>/dev/null; }
  qv_feed_cleanup
}
trap 'mqtt_cleanup' EXIT
trap 'mqtt_cleanup; exit 130' INT
trap 'mqtt_cleanup; exit 143' TERM

NAME=WINE1
sent="$QV_RUN/mqtt_sent.bin"
rm -f "$sent"
# A port the system hands out on loopback, free again for mosquitto.
PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$PORT" >"$QV_RUN/mosquitto.conf"
/usr/sbin/mosquitto -c "$QV_RUN/mosquitto.conf" >"$QV_RUN/mosquitto.out" 2>"$QV_RUN/mosquitto.err" &
BROKER_PID=$!

# retained TOPIC: every retained message under TOPIC, "topic payload" a line.
retained() {
  /usr/bin/mosquitto_sub -h 127.0.0.1 -p "$PORT" -t "$1" -v --retained-only -W 1 2>/dev/null
}
# wait_for SECONDS COMMAND...: polls every 0.25 s.
wait_for() {
  _n=$(($1 * 4)); shift
  while [ $_n -gt 0 ]; do "$@" && return 0; _n=$((_n - 1)); sleep 0.25; done
  return 1
}
status_is() { retained "qorvex/$NAME/status" | grep -qx "qorvex/$NAME/status $1"; }
mqtt_part() { qv_probe status-bar 2>/dev/null | awk -F '\t' '$3 ~ /^"MQTT/ { gsub(/"/, "", $3); print $3 }'; }
mqtt_part_is() { [ "$(mqtt_part)" = "$1" ]; }
broker_up() { python3 -c "import socket; socket.create_connection(('127.0.0.1', $PORT), 0.2)" 2>/dev/null; }

# compare: the retained tallies against the On Air derivation of what was sent.
compare() {
  retained "qorvex/$NAME/#" >"$QV_RUN/retained.txt"
  python3 - "$QV_RUN/onair.json" "$QV_RUN/retained.txt" "$NAME" "$(wc -c <"$sent")" <<'PY'
import json, sys
onair = json.load(open(sys.argv[1]))
name, sent = sys.argv[3], int(sys.argv[4])
seen = {}
for line in open(sys.argv[2], encoding="utf-8"):
    topic, _, payload = line.rstrip("\n").partition(" ")
    seen[topic] = payload
prefix = "qorvex/%s/tally/" % name
lit = set()
for me in onair["me"]:
    for level in ("pgm", "lap", "pvw"):
        lit.update(me[level])
lit.update(o["source"] for o in onair["outputs"])
faults, checked = [], 0
for topic, payload in sorted(seen.items()):
    if not topic.startswith(prefix):
        continue
    source = int(topic[len(prefix):])
    t = json.loads(payload)
    best = "off"
    for m in range(4):
        me = onair["me"][m]
        want = "PGM" if source in me["pgm"] else "LAP" if source in me["lap"] else "PVW" if source in me["pvw"] else "off"
        if t["me"][m] != want:
            faults.append("source %d ME %d: %s, the derivation says %s" % (source, m + 1, t["me"][m], want))
        if want == "PGM" or (want == "LAP" and best != "PGM") or (want == "PVW" and best == "off"):
            best = want
    if t["source"] != source or t["level"] != best:
        faults.append("source %d: level %s, the derivation says %s" % (source, t["level"], best))
    outputs = [o["output"] for o in onair["outputs"] if o["source"] == source]
    if t["outputs"] != outputs:
        faults.append("source %d: outputs %s, the derivation says %s" % (source, t["outputs"], outputs))
    lit.discard(source)
    checked += 1
if lit:
    faults.append("lit sources without a retained tally: %s" % sorted(lit))
if checked < 10:
    faults.append("only %d retained tallies" % checked)
link = json.loads(seen.get("qorvex/%s/link" % name, "{}"))
if link.get("totals", {}).get("bytes") != sent:
    faults.append("link totals %s, %d bytes sent" % (link.get("totals"), sent))
for f in faults[:12]:
    print("   ", f)
print("%d retained tallies checked, %d faults" % (checked, len(faults)))
sys.exit(1 if faults else 0)
PY
}

qv_check "mosquitto listens on 127.0.0.1:$PORT" wait_for 5 broker_up
qv_feed_app_connected --mqtt "127.0.0.1:$PORT" --mqtt-name "$NAME" ||
  { qv_fail "qorvex.exe --mqtt connected on COM1"; qv_e2e_end; }
qv_pass "qorvex.exe --mqtt connected on COM1"
wait_for 15 status_is online && qv_pass "the broker holds qorvex/$NAME/status online" ||
  { qv_fail "no online status: $(retained "qorvex/$NAME/#" | head -n 3)"; cat "$QV_RUN/mosquitto.err" >&2; }
wait_for 5 mqtt_part_is "MQTT connected" && qv_pass "status bar: MQTT connected" ||
  qv_fail "status bar MQTT part '$(mqtt_part)'"

# The production, every byte kept for the derivation.
qv_sim_pipe "$QV_PEER" "$sent" --baud 115200 --count 1200 --seed 25 --faults 0.02 --reset-at 300 --force
qv_sim_wait 60; rc=$?
[ $rc -eq 0 ] && qv_pass "tallysim sent $(wc -c <"$sent") bytes" || qv_fail "tallysim status $rc: $(cat "$QV_RUN/sim.err")"
"$QV_NATIVE_BIN/tallydump" --on-air "$sent" >"$QV_RUN/onair.json" 2>"$QV_RUN/onair.err" ||
  qv_fail "tallydump --on-air: $(cat "$QV_RUN/onair.err")"
qv_screenshot "$QV_ARTIFACTS/mqtt_app_status.png"
# The tally follows the store within a drain or two; the link within a tick.
wait_for 10 compare >/dev/null
compare && qv_pass "while running: every retained tally is the On Air derivation" ||
  qv_fail "while running: the retained tallies differ from the derivation"

# Disconnect: the link as it ended, then offline; Connect: online again.
link_is_disconnected() { retained "qorvex/$NAME/link" | grep -q '"state":"Disconnected"'; }
qv_check "Disconnect" qv_probe command 32771
wait_for 10 status_is offline && qv_pass "Disconnect: qorvex/$NAME/status offline" ||
  qv_fail "Disconnect: $(retained "qorvex/$NAME/status")"
link_is_disconnected && qv_pass "Disconnect: the retained link says Disconnected" ||
  qv_fail "Disconnect: link $(retained "qorvex/$NAME/link")"
wait_for 5 mqtt_part_is "MQTT starts with Connect" && qv_pass "status bar: MQTT starts with Connect" ||
  qv_fail "status bar MQTT part '$(mqtt_part)' while disconnected"
qv_check "Connect again" qv_probe command 105
wait_for 10 status_is online && qv_pass "Connect: online again" || qv_fail "Connect: $(retained "qorvex/$NAME/status")"

# The port vanishes: the publisher stays and the broker hears why.
link_says_lost() { retained "qorvex/$NAME/link" | grep -q '"state":"Port lost"'; }
qv_nullmodem_stop
wait_for 15 link_says_lost && status_is online && qv_pass "port gone: the link says Port lost, still online" ||
  qv_fail "port gone: link $(retained "qorvex/$NAME/link"), status $(retained "qorvex/$NAME/status")"

# The dialog, as the operator finds it with --mqtt in effect.
if qv_probe command 40800 >/dev/null && qv_probe wait-dialog MQTT 10000 >/dev/null; then
  dialog=$(qv_probe dialog-text MQTT)
  qv_has "$dialog" 'ctl	1701	Edit	enabled=1	visible=1	text="127.0.0.1"' "dialog: the broker of this run"
  qv_has "$dialog" "ctl	1702	Edit	enabled=1	visible=1	text=\"$PORT\"" "dialog: its port"
  qv_has "$dialog" 'ctl	1704	Static	enabled=1	visible=1	text="Topics under qorvex/WINE1/"' "dialog: where the topics go"
  qv_screenshot "$QV_ARTIFACTS/mqtt_app_dialog.png"
  qv_probe click MQTT 2 >/dev/null
  qv_probe wait-gone MQTT 10000 >/dev/null || qv_fail "the MQTT dialog does not close"
else qv_fail "Network -> MQTT... opens no dialog"; fi

qv_check "Exit" qv_exit_app
qv_app_wait 20; rc=$?
[ $rc -eq 0 ] && qv_pass "qorvex.exe ended with status 0" || qv_fail "qorvex.exe status $rc"
status_is offline && qv_pass "after Exit: qorvex/$NAME/status offline" || qv_fail "after Exit: $(retained "qorvex/$NAME/status")"
compare && qv_pass "after Exit: every retained tally is the On Air derivation of the final state" ||
  qv_fail "after Exit: the retained tallies differ from the derivation"
# The saved settings were never touched by the command line.
wine reg query 'HKCU\Software\Qorvex' /v MqttHost >/dev/null 2>&1 </dev/null &&
  qv_fail "--mqtt was saved to the registry"
qv_e2e_end
