#!/bin/sh
# Instructions per input byte spent in FrameParserFeed (callees included) for
# each benchmark stream, as valgrind's callgrind counts them.
# Usage: parser_cost.sh path/to/bench_parser [BYTES]
set -eu
bench="$1"
bytes="${2:-1200000}"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
status=0
for stream in clean stray mismatch; do
    valgrind --tool=callgrind --callgrind-out-file="$out/$stream.cg" \
        --toggle-collect='FrameParserFeed*' "$bench" --cost "$stream" "$bytes" >"$out/$stream.log" 2>&1 || {
        cat "$out/$stream.log" >&2; exit 1; }
    ir=$(callgrind_annotate "$out/$stream.cg" 2>/dev/null | awk '/PROGRAM TOTALS/ { gsub(",", "", $1); print $1; exit }')
    awk -v s="$stream" -v ir="$ir" -v n="$bytes" \
        'BEGIN { printf "%-9s %12d instructions / %d bytes = %6.2f per byte\n", s, ir, n, ir / n }'
    if [ "$(awk -v ir="$ir" -v n="$bytes" 'BEGIN { print (ir / n > 20) }')" = 1 ]; then status=1; fi
done
exit $status
