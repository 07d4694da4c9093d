#!/bin/sh
# Runs a serial-link test executable under Wine with a virtual null-modem:
# a socat pty pair whose ends are COM1 and COM2 of the test prefix (the
# prefix maps COMn to <build>/ports/COMn). The test drives the peer end
# through COM2 itself. Creating <ports>/end-peer (QORVEX_PORTS_DIR tells the
# test where that is) ends socat, so a test can make the peer vanish.
# Everything started here is ended by its own pid.
exe="$1"; shift
bindir=$(cd "$(dirname "$exe")" && pwd)
QV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
QV_BUILD=$(dirname "$bindir")
QV_RUN="$QV_BUILD/run/$(basename "$exe" .exe)"
export QV_ROOT QV_BUILD QV_RUN
. "$QV_ROOT/tests/wine/env.sh"

rm -f "$QV_PORTS/end-peer"
qv_nullmodem_start || exit 1
socat_pid=$QV_SOCAT_PID
(
  while [ ! -e "$QV_PORTS/end-peer" ]; do sleep 0.1; done
  kill "$socat_pid" 2>/dev/null
) &
watcher=$!

QORVEX_PORTS_DIR="$QV_PORTS" sh "$QV_ROOT/cmake/wine-run.sh" "$exe" "$@"
rc=$?

kill "$watcher" 2>/dev/null
wait "$watcher" 2>/dev/null
qv_nullmodem_stop
rm -f "$QV_PORTS/end-peer"
exit $rc
