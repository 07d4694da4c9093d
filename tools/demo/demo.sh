#!/bin/sh
# The one-command demo behind `make demo` (the Makefile builds first).
# A virtual null modem links COM1 of a demo Wine prefix to a Linux pty on
# which tallysim plays a switcher with realistic traffic and a small fault
# rate; qorvex.exe runs on the other end.
#   DISPLAY set:   the application stays open for you; everything started
#                  here ends when its window closes (or on Ctrl-C).
#   no DISPLAY:    a private virtual display and a scripted tour from
#                  outside: Connect, the five displays in turn and the
#                  On Air and Timeline views with screenshots in build/demo/*.png, the ME display's counters
#                  next to the simulator's summary, Exit. Exit status 0 only
#                  when every step worked and every counter matched.
# Usage: sh tools/demo/demo.sh [tour seconds, default 20]
QV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
cd "$QV_ROOT" || exit 1
TOUR_SECONDS=${1:-20}
DEMO="$QV_ROOT/build/demo"
# Other build folders can be given, e.g. for trying the demo on a private build.
QV_BUILD=${QORVEX_DEMO_WINDOWS:-$QV_ROOT/build/windows}
QV_NATIVE_BIN=${QORVEX_DEMO_NATIVE_BIN:-$QV_ROOT/build/native/bin}
WINEPREFIX="$DEMO/wineprefix"
QV_PORTS="$DEMO/ports"
QV_RUN="$DEMO/run"
export WINEPREFIX
mkdir -p "$DEMO"
. "$QV_ROOT/tests/wine/env.sh"
. "$QV_ROOT/tests/e2e/lib.sh"
. "$QV_ROOT/tests/e2e/feed_lib.sh"
QV_ARTIFACTS="$DEMO"
for f in "$QV_BUILD/bin/qorvex.exe" "$QV_BUILD/bin/qvprobe.exe" "$QV_NATIVE_BIN/tallysim" "$QV_NATIVE_BIN/e2e_expect"; do
  [ -e "$f" ] || { echo "demo: $f is missing; run 'make demo' (it builds first)" >&2; exit 1; }
done
qv_feed_trap
qv_wine_prefix_ensure || exit 1
SIM_ARGS="--baud 115200 --seed $(date +%s) --faults 0.002"

# ---- With a display: the engineer drives ---------------------------------
if [ -n "${DISPLAY:-}" ]; then
  qv_wineserver_start || exit 1
  qv_nullmodem_start "$QV_PEER" || exit 1
  # shellcheck disable=SC2086
  qv_sim_start "$DEMO/summary.json" $SIM_ARGS
  rm -f "$DEMO/demo.pcap"  # a recording never replaces a file
  qv_app_start "$QV_BUILD/bin/qorvex.exe" --record "Z:$DEMO/demo.pcap"
  cat <<EOF

  qorvex.exe is starting on $DISPLAY, COM1 wired to a simulated switcher
  (tallysim at 115200 baud, 8N1, a fault now and then).

   1. Action -> Connect          (the status bar says how many bytes arrive)
   2. Show ME                    ME 1-4 buttons pick the mix/effects bank;
                                 the bottom row holds the message and error counters
   3. Show Ext, Show SS, Show Out, Show Names, or the Show buttons inside a display
   4. View -> On Air             which sources are red, amber or green, by name;
                                 point at a tile to see why it is lit
   5. View -> Timeline           the tally over time as lanes: wheel or +/- zooms,
                                 drag or arrows pan, a click finds the event in
                                 the history; Timeline -> Save As-Run... writes the log
   6. Exit (or close the window) ends the demo and everything it started.
      What the port received is recorded in $DEMO/demo.pcap (Recording menu;
      try Open Recording... after a Disconnect, or tallydump --trace on it).

EOF
  while kill -0 "$QV_APP_PID" 2>/dev/null; do sleep 0.5; done
  qv_app_wait 1
  qv_sim_stop
  echo "demo: window closed; the simulator's account of what it sent is in $DEMO/summary.json"
  exit 0
fi

# ---- Without a display: the scripted tour ---------------------------------
qv_e2e_begin demo
qv_feed_trap
QV_ARTIFACTS="$DEMO"
step() { echo "==== $*"; }
rm -f "$DEMO"/*.png "$DEMO/summary.json" "$DEMO/demo.pcap"

# One dialog alone when the X window can be found, else the whole screen.
shot() {
  _wid=$(xdotool search --name "^$1\$" 2>/dev/null | head -n 1)
  if [ -n "$_wid" ] && import -window "$_wid" -display "$DISPLAY" "$2" 2>/dev/null; then :; else
    qv_screenshot "$2"
  fi
  [ -s "$2" ] && echo "saved $2" || qv_fail "screenshot $2"
}

step "qorvex.exe on COM1, Connect"
qv_feed_app_connected --record "Z:$DEMO/demo.pcap" || { qv_fail "qorvex.exe starts and connects"; qv_e2e_end; }
qv_pass "connected"
step "tallysim: ${TOUR_SECONDS}s of production at 115200 baud with occasional faults"
# shellcheck disable=SC2086
qv_sim_start "$DEMO/summary.json" $SIM_ARGS --duration "$TOUR_SECONDS" --real-pace --inject drop,at=5,me=1,ms=60
sleep 3
shot qorvex "$DEMO/main.png"
sleep 2
shot qorvex "$DEMO/history.png"   # the history in the main window during the feed

step "View -> On Air (all four MEs), during the feed"
if qv_probe command 40400 >/dev/null; then
  sleep 1.5; shot qorvex "$DEMO/onair.png"
  qv_probe command 40100 >/dev/null || qv_fail "View -> History takes the client area back"
else qv_fail "On Air view opens"; fi

step "View -> Timeline (all four MEs), zoomed in twice, during the feed"
if qv_probe command 40700 >/dev/null; then
  qv_probe command 40712 >/dev/null && qv_probe command 40712 >/dev/null || qv_fail "Timeline zooms in"
  sleep 3; shot qorvex "$DEMO/timeline.png"
  qv_probe command 40100 >/dev/null || qv_fail "View -> History takes the client area back"
else qv_fail "Timeline view opens"; fi

step "Show ME (ME 1, then ME 2)"
if qv_display_open 32776 "$QV_CAP_ME"; then
  qv_probe click "$QV_CAP_ME" 1019 >/dev/null; sleep 1.2
  shot "$QV_CAP_ME" "$DEMO/me1.png"
  qv_probe click "$QV_CAP_ME" 1016 >/dev/null || qv_fail "ME 2 selector"
  sleep 0.8
  shot "$QV_CAP_ME" "$DEMO/me2.png"
  # Navigation inside the display: "Show EXT".
  qv_probe click "$QV_CAP_ME" 1029 >/dev/null || qv_fail "Show EXT button"
else qv_fail "ME display opens"; fi
step "Show EXT (through the ME display's button)"
if qv_probe wait-dialog "$QV_CAP_EXT" 10000 >/dev/null; then
  sleep 1.2; shot "$QV_CAP_EXT" "$DEMO/ext.png"
  qv_probe click "$QV_CAP_EXT" 1031 >/dev/null || qv_fail "Show SS button"
else qv_fail "EXT display opens"; fi
step "Show SS"
if qv_probe wait-dialog "$QV_CAP_SS" 10000 >/dev/null; then
  sleep 1.2; shot "$QV_CAP_SS" "$DEMO/ss.png"
  qv_probe click "$QV_CAP_SS" 1030 >/dev/null || qv_fail "Show OUT button"
else qv_fail "SS display opens"; fi
step "Show Out"
if qv_probe wait-dialog "$QV_CAP_OUT" 10000 >/dev/null; then
  sleep 1.2; shot "$QV_CAP_OUT" "$DEMO/out.png"
  qv_display_close "$QV_CAP_OUT" || qv_fail "OUT display closes"
else qv_fail "OUT display opens"; fi
step "Show Names"
if qv_display_open 32780 "$QV_CAP_NAMES"; then
  sleep 1.2; shot "$QV_CAP_NAMES" "$DEMO/names.png"
  qv_display_close "$QV_CAP_NAMES" || qv_fail "names display closes"
else qv_fail "names display opens"; fi

step "waiting for the simulator to finish"
qv_sim_wait $((TOUR_SECONDS + 60)) || qv_fail "tallysim ended badly"
[ -s "$DEMO/summary.json" ] || { qv_fail "no simulator summary"; qv_e2e_end; }

step "the watch: the history filtered to its alarms (the injected drop among them)"
for id in 40120 40121 40122 40123 40124 40125 40126 40127; do qv_probe command $id >/dev/null; done
sleep 1
shot qorvex "$DEMO/alarm.png"
qv_has "$(qv_probe status-bar | cut -f3 | grep -c '^"Alarms [1-9]')" 1 "the status bar counts alarms"
qv_probe command 40118 >/dev/null || qv_fail "Show All"

step "counters of the ME display next to the simulator's summary"
if qv_display_open 32776 "$QV_CAP_ME"; then
  qv_probe click "$QV_CAP_ME" 1019 >/dev/null
  "$QV_NATIVE_BIN/e2e_expect" "$DEMO/summary.json" me 1 >"$QV_RUN/demo_expected"
  # Let the last ticks land, then compare every row and counter.
  qv_display_match "ME display after the feed" "$QV_CAP_ME" "$QV_RUN/demo_expected" 5
  qv_display_read "$QV_CAP_ME" >"$QV_RUN/demo_actual"
  printf '%-22s %12s %12s\n' counter display simulator
  for pair in "1025:ME 1 messages" "1026:ME 2 messages" "1027:ME 3 messages" "1032:ME 4 messages" \
              "1033:stray bytes" "1034:unknown types" "1035:header mismatch" \
              "1036:header low byte" "1037:payload errors"; do
    id=${pair%%:*}; name=${pair#*:}
    have=$(sed -n "s/^val	$id	\"\(.*\)\"$/\1/p" "$QV_RUN/demo_actual")
    want=$(sed -n "s/^val	$id	\"\(.*\)\"$/\1/p" "$QV_RUN/demo_expected")
    mark=""; [ "$have" = "$want" ] || mark="  <-- differs"
    printf '%-22s %12s %12s%s\n' "$name" "$have" "$want" "$mark"
  done
  shot "$QV_CAP_ME" "$DEMO/me_final.png"
  qv_display_close "$QV_CAP_ME" || qv_fail "ME display closes"
else qv_fail "ME display opens for the counters"; fi
sed -n 's/^  "\(bytes\|messageTotal\)": \([0-9]*\).*/simulator sent \1: \2/p' "$DEMO/summary.json"

step "Disconnect, Exit"
# Disconnected first: Exit asks before closing a recording that is still fed.
qv_probe command 32771 >/dev/null || qv_fail "Disconnect command"
sleep 1
qv_probe command 32775 >/dev/null || qv_fail "Exit command"
qv_app_wait 20; rc=$?
[ $rc -eq 0 ] && qv_pass "qorvex.exe ended with status 0" || qv_fail "qorvex.exe status $rc"
ls "$DEMO"/*.png
# The feed was recorded beside the screenshots; its decoded counters are the simulator's.
if [ -s "$DEMO/demo.pcap" ] && "$QV_NATIVE_BIN/tallydump" "$DEMO/demo.pcap" >"$DEMO/demo_recording.txt"; then
  qv_pass "feed recorded in $DEMO/demo.pcap ($(wc -c <"$DEMO/demo.pcap") bytes)"
  head -n 1 "$DEMO/demo_recording.txt"
else qv_fail "no readable recording of the feed"; fi
qv_e2e_end
