#!/usr/bin/env bash
# Runs the fuzz targets for a bounded time and prints what they did.
#   scripts/run-fuzz.sh <fuzz build dir> <seconds>
# cfb_fuzzer (compound files) gets the time given; nubra_fuzzer (the Nubra
# value readers), registration_fuzzer (registration files through the profile
# reader) and list_fuzzer (compound files loaded as persistent object lists)
# a sixth of it each, at least ten seconds.
# Seeds: fuzz/seeds (valid inputs of each shape, written by our own writer:
# tests/CMakeLists.txt says how to remake them), fuzz/regressions (damaged
# files and inputs that once crashed) and, for compound files, the shared
# real-world files in ../shared/testdata/cfb when that folder exists. A target
# without any seed is an error: fuzzing from nothing finds little and would
# still print "no findings".
# New inputs go to <build>/corpus-<target>, crashes to <build>/artifacts; a
# finding fails the script.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:?fuzz build directory}
seconds=${2:-60}
artifacts="$build/artifacts"
mkdir -p "$artifacts"

# run <target> <seconds> <seed directory>...
run() {
  local target=$1 time=$2
  shift 2
  local fuzzer="$build/fuzz/$target" corpus="$build/corpus-$target" log="$build/$target.log"
  [[ -x "$fuzzer" ]] || { echo "no fuzzer at $fuzzer" >&2; return 1; }
  local seeds=0 dir
  for dir in "$@"; do
    [[ -d "$dir" ]] && seeds=$((seeds + $(find "$dir" -maxdepth 1 -type f | wc -l)))
  done
  if ((seeds == 0)); then
    echo "$target: NO SEEDS in $* -- refusing to fuzz from nothing" >&2
    return 1
  fi
  mkdir -p "$corpus"
  local status=0
  "$fuzzer" "$corpus" "$@" -max_total_time="$time" -timeout=10 -rss_limit_mb=2048 \
    -max_len=262144 -artifact_prefix="$artifacts/$target-" -print_final_stats=1 >"$log" 2>&1 ||
    status=$?
  local execs
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  echo "$target: $seeds seeds, $execs executions in ${time}s, corpus $(ls "$corpus" | wc -l) inputs"
  if [[ $status -ne 0 ]]; then
    echo "$target: FINDING (exit $status); see $log and $artifacts" >&2
    grep -m5 -E 'ERROR|SUMMARY|deadly signal|timeout' "$log" >&2 || true
    return 1
  fi
  echo "$target: no findings"
}

seeds="$top/fuzz/seeds"
cfb_seeds=("$seeds/cfb" "$top/fuzz/regressions")
if [[ -d "$top/../shared/testdata/cfb" ]]; then
  cfb_seeds+=("$top/../shared/testdata/cfb")
else
  echo "cfb_fuzzer: ../shared/testdata/cfb not found; fuzzing from the repository's seeds only"
fi
short=$((seconds / 6))
((short >= 10)) || short=10

failed=0
run cfb_fuzzer "$seconds" "${cfb_seeds[@]}" || failed=1
run nubra_fuzzer "$short" "$top/fuzz/regressions" || failed=1
run registration_fuzzer "$short" "$seeds/registration" || failed=1
run list_fuzzer "$short" "$seeds/list" "$seeds/cfb" || failed=1
exit $failed
