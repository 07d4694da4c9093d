#!/bin/sh
# A fuzz campaign of SECONDS in all, shared out: the frame parser, the
# recording readers, the TSL decoders and the MQTT reply decoder (libFuzzer,
# ASan and UBSan) a fifth each, the dissector through tshark the last fifth, over fresh seeds of damaged
# records until its time is up. Prints the executions of each; fails on any
# finding (the crashing input is kept in build/native/fuzz/).
#   sh tests/fuzz/run.sh SECONDS    (make fuzz SECONDS=N; make test runs the ctests, 10 s each)
QV_ROOT=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-60}
bin=$QV_ROOT/build/native/bin
work=$QV_ROOT/build/native/fuzz
mkdir -p "$work"
status=0
share=$((seconds / 5))
[ "$share" -ge 1 ] || share=1
for name in parser recording tsl mqtt_reply; do
  exe=$bin/fuzz_$name
  if [ ! -x "$exe" ]; then echo "fuzz_$name: not built (clang++ missing?)"; status=1; continue; fi
  mkdir -p "$work/corpus_$name"
  seeds=""
  [ -d "$QV_ROOT/tests/fuzz/seeds_$name" ] && seeds="$QV_ROOT/tests/fuzz/seeds_$name"
  case $name in recording|mqtt_reply) max=8192 ;; tsl) max=6000 ;; *) max=4096 ;; esac
  (cd "$work" && "$exe" -max_total_time="$share" -max_len=$max -len_control=0 -print_final_stats=1 \
      "$work/corpus_$name" $seeds > "$work/fuzz_$name.log" 2>&1)
  rc=$?
  runs=$(grep 'stat::number_of_executed_units' "$work/fuzz_$name.log" | awk '{print $2}')
  echo "fuzz_$name: $share s, ${runs:-0} executions, corpus $(ls "$work/corpus_$name" | wc -l) inputs, exit $rc"
  if [ $rc -ne 0 ]; then grep -m 20 -E 'ERROR|SUMMARY|crash-|Test unit' "$work/fuzz_$name.log"; status=1; fi
done
# The dissector: 20000 records per seed, new seeds while time is left.
gen=$bin/fuzz_records
if [ -x "$gen" ] && command -v tshark >/dev/null 2>&1; then
  left=$((seconds - 4 * share)); [ "$left" -ge 1 ] || left=1
  end=$(($(date +%s) + left)); seed=1; records=0
  while :; do
    sh "$QV_ROOT/tests/fuzz/dissector_fuzz.sh" "$gen" "$(command -v tshark)" "$QV_ROOT/tools/wireshark/tally.lua" \
      20000 $seed > "$work/dissector.log" 2>&1 || { cat "$work/dissector.log"; status=1; break; }
    records=$((records + 20000))
    seed=$((seed + 1))
    [ "$(date +%s)" -lt "$end" ] || break
  done
  echo "dissector: $records records over $((seed - 1)) seeds through tshark"
else
  echo "dissector: fuzz_records or tshark missing"; status=1
fi
[ $status = 0 ] && echo "fuzz: no findings" || echo "fuzz: FINDINGS (see above)"
exit $status
