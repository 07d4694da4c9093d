#!/bin/sh
# The whole test run behind `make test`: native tests, then the Windows tests
# under Wine on a private virtual display with one persistent wineserver,
# then the fuzz run when it exists. Everything started here ends here.
# Usage: sh tests/wine/run_tests.sh   (from anywhere; builds must exist)
#        sh tests/wine/run_tests.sh REGEX   only the Windows tests matching REGEX
QV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
cd "$QV_ROOT" || exit 1
. "$QV_ROOT/tests/wine/env.sh"
status=0
only=$1
step() { echo "==== $* ($(date +%T))"; }
native_pid=
native_log="$QV_ROOT/build/native/native_tests.log"
# Ends the native run too when this script is stopped, by its pid.
end_all() { [ -n "$native_pid" ] && kill "$native_pid" 2>/dev/null; qv_cleanup; }
trap 'end_all' EXIT
trap 'end_all; exit 130' INT
trap 'end_all; exit 143' TERM

if [ -z "$only" ]; then
  # The native tests run one at a time beside the Windows tests: those mostly
  # wait on Wine and the display, and together they keep make test within
  # its 20 minutes on two cores. Their output follows the Windows tests'.
  step "native tests, in the background (output below)"
  ctest --preset native -j1 >"$native_log" 2>&1 &
  native_pid=$!
fi

step "Wine prefix $WINEPREFIX"
qv_wine_prefix_ensure || exit 1
export QORVEX_WINEPREFIX="$WINEPREFIX"
# A private display whatever the caller has: tests must not draw on a desktop.
unset DISPLAY
qv_xvfb_start || exit 1
qv_wineserver_start || exit 1
export QV_WINESERVER_OWNED=1

step "Windows tests under Wine"
# One at a time: they share the prefix, the display and the COM port links.
if [ -n "$only" ]; then
  ctest --preset windows -j1 -R "$only" --output-on-failure || status=1
else
  ctest --preset windows -j1 || status=1
fi

if [ -n "$native_pid" ]; then
  wait "$native_pid" || status=1
  native_pid=
  step "native tests (ran beside the Windows tests)"
  cat "$native_log"
fi

step "done, status $status"
exit $status
