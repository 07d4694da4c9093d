#!/bin/sh
# Counts the writable file-scope and static data objects of the application:
# the data symbols of kind b, B, d or D in its own object files (the core, the
# Win32 layer and the entry point; not the runtime's, the tools' or the tests').
# Usage: sh tools/checks/count_globals.sh [build/windows] [-v]
dir=${1:-build/windows}
nm=${NM:-x86_64-w64-mingw32-nm}
objs=$(find "$dir/CMakeFiles/qorvex_core.dir" "$dir/CMakeFiles/qorvex_win.dir" "$dir/app/CMakeFiles/qorvex.dir" \
       -name '*.obj' 2>/dev/null | sort)
[ -n "$objs" ] || { echo "no object files under $dir (build the windows preset first)" >&2; exit 2; }
# Guard variables of function-local statics (_ZGV) belong to their object and
# are not counted twice; .refptr and compiler-made symbols (starting with a dot) are
# not data of ours.
list=$(for o in $objs; do
  "$nm" -C "$o" | awk -v f="${o##*/}" '$2 ~ /^[bBdD]$/ && $3 !~ /^\./ && $0 !~ / guard variable for / { $1=""; print f ":" $0 }'
done)
[ "$2" = "-v" ] && printf '%s\n' "$list"
printf '%s\n' "$list" | grep -c . 
