#!/usr/bin/env bash
# Runs the compound-file fuzzer for a bounded time and prints what it did.
#   scripts/run-fuzz.sh <fuzz build dir> <seconds>
# Seeds: fuzz/regressions (inputs that once crashed) and the shared real-world
# files in ../shared/testdata/cfb, read in place. New inputs go to
# <build>/corpus, crashes to <build>/artifacts; a crash fails the script.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?fuzz build directory}
seconds=${2:-60}
fuzzer="$build/fuzz/cfb_fuzzer"
[[ -x "$fuzzer" ]] || { echo "no fuzzer at $fuzzer" >&2; exit 1; }

corpus="$build/corpus"
artifacts="$build/artifacts"
mkdir -p "$corpus" "$artifacts"
seeds=("$top/fuzz/regressions")
[[ -d "$top/../shared/testdata/cfb" ]] && seeds+=("$top/../shared/testdata/cfb")

log="$build/fuzz.log"
status=0
"$fuzzer" "$corpus" "${seeds[@]}" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -max_len=262144 -artifact_prefix="$artifacts/" -print_final_stats=1 >"$log" 2>&1 || status=$?

runs=$(grep -o 'Done [0-9]* runs' "$log" | grep -o '[0-9]*' || echo "?")
execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "$runs")
echo "cfb_fuzzer: ${execs} executions in ${seconds}s, corpus $(ls "$corpus" | wc -l) inputs"
if [[ $status -ne 0 ]]; then
  echo "cfb_fuzzer: FINDING (exit $status); see $log and $artifacts" >&2
  grep -m5 -E 'ERROR|SUMMARY|deadly signal|timeout' "$log" >&2 || true
  exit 1
fi
echo "cfb_fuzzer: no findings"
