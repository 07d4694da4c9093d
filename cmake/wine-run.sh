#!/bin/sh
# Runs a Windows test executable under Wine. Wine's helper processes inherit
# pipes and keep them open, so the program's output goes to files that are
# copied to our own stdout/stderr once it has ended.
# Environment: QORVEX_WINEPREFIX (default: <build>/wineprefix next to the exe's bin/).
exe="$1"; shift
bindir=$(cd "$(dirname "$exe")" && pwd)
: "${QORVEX_WINEPREFIX:=$(dirname "$bindir")/wineprefix}"
export WINEPREFIX="$QORVEX_WINEPREFIX" WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="mscoree,mshtml="
out=$(mktemp) err=$(mktemp)
wine "$exe" "$@" >"$out" 2>"$err" </dev/null
rc=$?
cat "$out"; cat "$err" >&2
rm -f "$out" "$err"
exit $rc
