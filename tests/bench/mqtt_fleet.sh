#!/bin/sh
# Many links into one broker: LINKS tallydump publishers (--mqtt), each fed
# by tallysim through a socat pty pair, into one local mosquitto for SECONDS.
# A subscriber (mosquitto_sub) stamps every link message on arrival; the age
# of an update is the arrival time less the time the publisher wrote into
# it. Prints the p50/p99/max age and the CPU each publisher adds over
# CONTROL tallydumps that read the same kind of feed without --mqtt.
#   sh tests/bench/mqtt_fleet.sh NATIVE_BIN [LINKS=50] [SECONDS=30] [CONTROL=5]
# Every process started here is ended by its pid; bounded by SECONDS.
set -u
BIN=$1
LINKS=${2:-50}
SECONDS_RUN=${3:-30}
CONTROL=${4:-5}
W=$(mktemp -d /tmp/qvfleet.XXXXXX)
PIDS=""
cleanup() {
  for p in $PIDS; do kill "$p" 2>/dev/null; done
  for p in $PIDS; do wait "$p" 2>/dev/null; done
  rm -rf "$W"
}
trap cleanup EXIT
command -v mosquitto >/dev/null || PATH=$PATH:/usr/sbin
command -v mosquitto >/dev/null || { echo "mqtt_fleet: mosquitto is not installed (make deps)"; exit 1; }

# A loopback port: a few tries at random ones until the broker keeps running.
for try in 1 2 3 4 5; do
  PORT=$(( 20000 + ( $$ * 7 + try * 1009 + $(date +%N | sed 's/^0*//;s/^$/0/') ) % 30000 ))
  printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nmax_queued_messages 100000\n' "$PORT" > "$W/m.conf"
  mosquitto -c "$W/m.conf" > "$W/broker.log" 2>&1 &
  BROKER=$!
  sleep 0.5
  kill -0 "$BROKER" 2>/dev/null && break
  BROKER=""
done
[ -n "$BROKER" ] || { echo "mqtt_fleet: the broker did not start"; exit 1; }
PIDS="$PIDS $BROKER"
mosquitto_sub -h 127.0.0.1 -p "$PORT" -t 'qorvex/+/link' -F '%U %p' > "$W/arrivals.txt" 2>/dev/null &
PIDS="$PIDS $!"

TOTAL=$((LINKS + CONTROL))
for n in $(seq "$TOTAL"); do
  socat "pty,raw,echo=0,link=$W/sim$n" "pty,raw,echo=0,link=$W/ttyS$n" 2>/dev/null &
  PIDS="$PIDS $!"
done
for n in $(seq "$TOTAL"); do
  for i in $(seq 50); do [ -e "$W/ttyS$n" ] && break; sleep 0.1; done
done
PUBLISHERS=""
CONTROLS=""
for n in $(seq "$TOTAL"); do
  if [ "$n" -le "$LINKS" ]; then
    "$BIN/tallydump" --port "$W/ttyS$n" --mqtt "127.0.0.1:$PORT" --mqtt-name "FLEET$n" > /dev/null 2> "$W/dump$n.err" &
    PUBLISHERS="$PUBLISHERS $!"
  else
    "$BIN/tallydump" --port "$W/ttyS$n" > /dev/null 2> "$W/dump$n.err" &
    CONTROLS="$CONTROLS $!"
  fi
  PIDS="$PIDS $!"
done
sleep 1
for n in $(seq "$TOTAL"); do
  "$BIN/tallysim" --output "$W/sim$n" --rate 25 --duration "$SECONDS_RUN" --seed "$n" > /dev/null 2>&1 &
  PIDS="$PIDS $!"
done

ticks() {  # user + system clock ticks of the processes given
  t=0
  for p in "$@"; do
    s=$(awk '{print $14 + $15}' "/proc/$p/stat" 2>/dev/null || echo 0)
    t=$((t + s))
  done
  echo "$t"
}
start_pub=$(ticks $PUBLISHERS)
start_ctl=$(ticks $CONTROLS)
start_ms=$(date +%s%3N)
sleep "$SECONDS_RUN"
end_pub=$(ticks $PUBLISHERS)
end_ctl=$(ticks $CONTROLS)
end_ms=$(date +%s%3N)

HZ=$(getconf CLK_TCK)
awk -v pub=$((end_pub - start_pub)) -v ctl=$((end_ctl - start_ctl)) -v np="$LINKS" -v nc="$CONTROL" \
    -v ms=$((end_ms - start_ms)) -v hz="$HZ" 'BEGIN {
  p = pub / hz / (ms / 1000) * 100 / np
  c = nc > 0 ? ctl / hz / (ms / 1000) * 100 / nc : 0
  printf "mqtt_fleet: %d publishers for %.1f s: CPU per publisher %.2f%%, per tallydump without --mqtt %.2f%%, added by publishing %.2f%% of one core\n", np, ms / 1000, p, c, p - c
}'
# Ages: arrival (Unix seconds with nanoseconds) less the "time" in the JSON (UTC, ms).
TZ=UTC awk '{
  arrival = $1
  if (match($0, /"time":"[0-9T:.Z-]+"/) == 0) next
  t = substr($0, RSTART + 8, RLENGTH - 9)
  y = substr(t, 1, 4); mo = substr(t, 6, 2); d = substr(t, 9, 2)
  h = substr(t, 12, 2); mi = substr(t, 15, 2); s = substr(t, 18, 2); f = substr(t, 21, 3)
  # mktime reads local time; TZ=UTC is set for this awk.
  sent = mktime(y " " mo " " d " " h " " mi " " s) + f / 1000
  print (arrival - sent) * 1000
}' "$W/arrivals.txt" | sort -n > "$W/ages.txt"
count=$(wc -l < "$W/ages.txt")
[ "$count" -gt 0 ] || { echo "mqtt_fleet: no link update arrived"; exit 1; }
awk -v n="$count" '{ a[NR] = $1 } END {
  i50 = int(n * 0.50); if (i50 < 1) i50 = 1
  i99 = int(n * 0.99); if (i99 < 1) i99 = 1
  printf "mqtt_fleet: %d link updates: age p50 %.1f ms, p99 %.1f ms, max %.1f ms (p99 target: under 1000 ms)\n", n, a[i50], a[i99], a[n]
  exit (a[i99] < 1000 ? 0 : 1)
}' "$W/ages.txt"
