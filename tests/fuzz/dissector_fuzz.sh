#!/bin/sh
# The dissector over COUNT random, mostly damaged records: tshark must decode
# every one of them without a Lua error (a short record is an expert-info
# error instead). Prints the records dissected and the errors found.
#   dissector_fuzz.sh FUZZ_RECORDS TSHARK DISSECTOR COUNT SEED
set -u
gen=$1 tshark=$2 lua=$3 count=$4 seed=$5
dir=$(mktemp -d /tmp/qorvex_dissector_fuzz.XXXXXX) || exit 1
trap 'rm -rf "$dir"' EXIT
"$gen" "$dir/records.pcap" "$count" "$seed" || exit 1
"$tshark" -X "lua_script:$lua" -r "$dir/records.pcap" -V > "$dir/out.txt" 2> "$dir/err.txt"
status=$?
frames=$(grep -c '^Frame [0-9]' "$dir/out.txt")
tally=$(grep -c '^Qorvex tally feed' "$dir/out.txt")
errors=$(grep -c 'Lua Error' "$dir/out.txt" "$dir/err.txt" | awk -F: '{s += $NF} END {print s}')
echo "dissector fuzz: seed $seed, $count records, $frames frames, $tally dissected, $errors Lua errors"
if [ "$status" -ne 0 ] || [ "$frames" -ne "$count" ] || [ "$tally" -ne "$count" ] || [ "$errors" -ne 0 ]; then
  grep -m 5 -B 30 'Lua Error' "$dir/out.txt" | head -80
  head -5 "$dir/err.txt"
  echo "1 failed"
  exit 1
fi
echo "1 passed, 0 failed"
