#!/usr/bin/env bash
# Runs the fuzz targets for a bounded time and prints what they did.
#   scripts/run-fuzz.sh <fuzz build dir> <seconds>
# cfb_fuzzer (compound files) gets the time given, nubra_fuzzer (the Nubra
# value readers) a sixth of it. Seeds: fuzz/regressions (damaged files and
# inputs that once crashed) and, for compound files, the shared real-world files in
# ../shared/testdata/cfb, read in place. New inputs go to <build>/corpus-<target>,
# crashes to <build>/artifacts; a finding fails the script.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?fuzz build directory}
seconds=${2:-60}
artifacts="$build/artifacts"
mkdir -p "$artifacts"

run() {
  local target=$1 time=$2
  shift 2
  local fuzzer="$build/fuzz/$target" corpus="$build/corpus-$target" log="$build/$target.log"
  [[ -x "$fuzzer" ]] || { echo "no fuzzer at $fuzzer" >&2; return 1; }
  mkdir -p "$corpus"
  local status=0
  "$fuzzer" "$corpus" "$@" -max_total_time="$time" -timeout=10 -rss_limit_mb=2048 \
    -max_len=262144 -artifact_prefix="$artifacts/$target-" -print_final_stats=1 >"$log" 2>&1 ||
    status=$?
  local execs
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  echo "$target: $execs executions in ${time}s, corpus $(ls "$corpus" | wc -l) inputs"
  if [[ $status -ne 0 ]]; then
    echo "$target: FINDING (exit $status); see $log and $artifacts" >&2
    grep -m5 -E 'ERROR|SUMMARY|deadly signal|timeout' "$log" >&2 || true
    return 1
  fi
  echo "$target: no findings"
}

cfb_seeds=("$top/fuzz/regressions")
[[ -d "$top/../shared/testdata/cfb" ]] && cfb_seeds+=("$top/../shared/testdata/cfb")
run cfb_fuzzer "$seconds" "${cfb_seeds[@]}"
nubra_time=$((seconds / 6))
((nubra_time >= 10)) || nubra_time=10
run nubra_fuzzer "$nubra_time" "$top/fuzz/regressions"
