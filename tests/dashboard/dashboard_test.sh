#!/bin/sh
# The fleet dashboard in headless Chromium against a broker with a WebSocket
# listener (tests/dashboard/broker.mjs, from npm): three links, each tallysim
# into a socat pty pair read by `tallydump --mqtt`; one tallydump is killed
# outright, and its card must turn red through the will while the other two
# stay green. Leaves the page's DOM and a screenshot in OUT.
#   sh tests/dashboard/dashboard_test.sh REPO NATIVE_BIN OUT
# Every process started here is ended by its pid; bounded to about a minute.
set -u
ROOT=$1
BIN=$2
OUT=$3
mkdir -p "$OUT/npm" "$OUT/site"
# The pty links live in a short folder: their names show on the cards.
LINKS=$(mktemp -d /tmp/qvlinks.XXXXXX)
PIDS=""
cleanup() {
  for p in $PIDS; do kill "$p" 2>/dev/null; done
  for p in $PIDS; do wait "$p" 2>/dev/null; done
  rm -rf "$LINKS"
}
trap cleanup EXIT
fail() { echo "dashboard_test: FAIL: $*"; exit 1; }

CHROMIUM=$(command -v chromium || command -v chromium-browser) || fail "chromium is not installed (make deps)"
command -v npm >/dev/null || fail "npm is not installed (make deps)"

# The pinned script, its licence and the test broker, from npm.
cp "$ROOT/tools/dashboard/package.json" "$ROOT/tools/dashboard/package-lock.json" "$ROOT/tests/dashboard/broker.mjs" "$OUT/npm/"
(cd "$OUT/npm" && npm ci --no-audit --no-fund --silent) || fail "npm ci"
cp "$ROOT/tools/dashboard/index.html" "$OUT/npm/node_modules/mqtt/dist/mqtt.min.js" "$OUT/site/"
cp "$OUT/npm/node_modules/mqtt/LICENSE.md" "$OUT/site/mqtt.LICENSE.md"

(cd "$OUT/npm" && exec node broker.mjs) > "$OUT/ports.json" 2> "$OUT/broker.err" &
PIDS="$PIDS $!"
for i in $(seq 50); do [ -s "$OUT/ports.json" ] && break; sleep 0.1; done
TCP=$(sed -n 's/.*"tcp":\([0-9]*\).*/\1/p' "$OUT/ports.json")
WS=$(sed -n 's/.*"ws":\([0-9]*\).*/\1/p' "$OUT/ports.json")
[ -n "$TCP" ] && [ -n "$WS" ] || fail "the broker did not start: $(cat "$OUT/broker.err")"

for n in 1 2 3; do
  socat "pty,raw,echo=0,link=$LINKS/sim$n" "pty,raw,echo=0,link=$LINKS/ttyS$n" 2>/dev/null &
  PIDS="$PIDS $!"
done
for i in $(seq 50); do [ -e "$LINKS/ttyS1" ] && [ -e "$LINKS/ttyS2" ] && [ -e "$LINKS/ttyS3" ] && break; sleep 0.1; done
for n in 1 2 3; do
  "$BIN/tallydump" --port "$LINKS/ttyS$n" --mqtt "127.0.0.1:$TCP" --mqtt-name "STUDIO$n" > "$OUT/dump$n.out" 2> "$OUT/dump$n.err" &
  eval "DUMP$n=$!"
  PIDS="$PIDS $!"
done
sleep 0.5
for n in 1 2 3; do
  "$BIN/tallysim" --output "$LINKS/sim$n" --rate 40 --duration 40 --seed "$n" > /dev/null 2>&1 &
  PIDS="$PIDS $!"
done
sleep 3
# STUDIO2 dies without a word: only the broker's will says so.
kill -9 "$DUMP2"
sleep 1

URL="file://$OUT/site/index.html?broker=ws://127.0.0.1:$WS"
CHROME_FLAGS="--headless --no-sandbox --disable-gpu --no-first-run --user-data-dir=$OUT/chrome"
# The page's clock runs on virtual time but its WebSocket on real time: look
# again, a little later each time, until the three cards are there.
for budget in 2000 4000 6000 8000 10000; do
  timeout 60 "$CHROMIUM" $CHROME_FLAGS --virtual-time-budget=$budget --dump-dom "$URL" > "$OUT/dom.html" 2> "$OUT/chrome.err"
  [ "$(grep -o 'data-link="STUDIO[123]"' "$OUT/dom.html" | sort -u | wc -l)" = 3 ] && break
  sleep 1
done
timeout 60 "$CHROMIUM" $CHROME_FLAGS --virtual-time-budget=$budget --window-size=1280,760 \
  --screenshot="$OUT/dashboard.png" "$URL" > /dev/null 2>> "$OUT/chrome.err"

status=0
card() { grep -o "<section class=\"card[^\"]*\" tabindex=\"0\" data-link=\"$1\"[^>]*>" "$OUT/dom.html"; }
for n in 1 3; do
  c=$(card "STUDIO$n")
  [ -n "$c" ] || { echo "dashboard_test: FAIL: no card for STUDIO$n"; status=1; continue; }
  case "$c" in *"card bad"*) echo "dashboard_test: FAIL: STUDIO$n is red: $c"; status=1 ;; esac
  case "$c" in *"Receiving"*) ;; *) echo "dashboard_test: FAIL: STUDIO$n not Receiving: $c"; status=1 ;; esac
done
c=$(card STUDIO2)
case "$c" in *"card bad"*"Offline, last heard"*) ;; *) echo "dashboard_test: FAIL: STUDIO2 is not red and offline: $c"; status=1 ;; esac
grep -q 'class="pgm">[^<–]' "$OUT/dom.html" || { echo "dashboard_test: FAIL: no source on program shown"; status=1; }
[ -s "$OUT/dashboard.png" ] || { echo "dashboard_test: FAIL: no screenshot"; status=1; }
[ $status = 0 ] && echo "dashboard_test: ok (three cards, the killed link red; screenshot $OUT/dashboard.png)"
exit $status
