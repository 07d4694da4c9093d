#!/bin/sh
# The whole test run behind `make test`: native tests, then the Windows tests
# under Wine on a private virtual display with one persistent wineserver,
# then the fuzz run when it exists. Everything started here ends here.
# Usage: sh tests/wine/run_tests.sh   (from anywhere; builds must exist)
#        sh tests/wine/run_tests.sh REGEX   only the Windows tests matching REGEX
QV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
cd "$QV_ROOT" || exit 1
. "$QV_ROOT/tests/wine/env.sh"
qv_trap_cleanup
status=0
only=$1
step() { echo "==== $* ($(date +%T))"; }

if [ -z "$only" ]; then
  step "native tests"
  ctest --preset native -j2 || status=1
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

step "done, status $status"
exit $status
