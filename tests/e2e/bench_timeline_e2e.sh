#!/bin/sh
# The Timeline view's redraw time under Wine, for `make bench` (figures
# printed, not asserted): qvtimeline.exe draws a full-screen view over a
# million events at the widest and narrowest span on a private display.
# Usage: sh bench_timeline_e2e.sh <windows build> [width height events]
QV_BUILD=$(cd "${1:?windows build folder}" && pwd)
QV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
. "$QV_ROOT/tests/wine/env.sh"
qv_trap_cleanup
[ -x "$QV_BUILD/bin/qvtimeline.exe" ] || { echo "missing $QV_BUILD/bin/qvtimeline.exe"; exit 1; }
qv_wine_prefix_ensure || exit 1
unset DISPLAY
qv_xvfb_start || exit 1
qv_wineserver_start || exit 1
mkdir -p "$QV_RUN"
shift
qv_wine_within 300 "$QV_RUN/qvtimeline" "$QV_BUILD/bin/qvtimeline.exe" "$@"
