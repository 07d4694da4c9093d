#!/bin/sh
# Runs a Windows test executable under Wine. Wine's helper processes inherit
# pipes and keep them open, so the program's output goes to files that are
# copied to our own stdout/stderr once it has ended.
# Environment: QORVEX_WINEPREFIX (default: <build>/wineprefix next to the exe's bin/).
# Run alone (no DISPLAY, e.g. plain `ctest --preset windows`), it makes the
# prefix with its COM port mapping if needed and a private Xvfb for this
# one program; under tests/wine/run_tests.sh both already exist.
exe="$1"; shift
bindir=$(cd "$(dirname "$exe")" && pwd)
QV_BUILD=$(dirname "$bindir")
: "${QORVEX_WINEPREFIX:=$QV_BUILD/wineprefix}"
WINEPREFIX="$QORVEX_WINEPREFIX"
QV_ROOT=$(cd "$(dirname "$0")/.." && pwd)
export QV_BUILD WINEPREFIX
. "$QV_ROOT/tests/wine/env.sh"
qv_trap_cleanup
qv_wine_prefix_ensure || exit 1
qv_display_ensure || exit 1
out=$(mktemp) err=$(mktemp)
wine "$exe" "$@" >"$out" 2>"$err" </dev/null
rc=$?
cat "$out"; cat "$err" >&2
# A program that never got going (or died before its output was flushed)
# leaves nothing to read: say how it ended and what else ran.
if [ $rc -ne 0 ] && [ ! -s "$out" ] && [ ! -s "$err" ]; then
  qv_log "$(basename "$exe") ended with status $rc and printed nothing; Wine processes now:"
  qv_wine_processes >&2
fi
rm -f "$out" "$err"
exit $rc
