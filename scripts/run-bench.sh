#!/usr/bin/env bash
# Runs every benchmark program of a bench build and prints the ratios that
# kwcore's speed goals are stated in.
#
#   scripts/run-bench.sh build/bench
#
# Each executable in <build>/bench/ runs three times (JSON output; the median
# counts). The table below names pairs of benchmarks (measured / baseline,
# same run), a factor that turns the ratio of totals into a ratio of costs per
# item where the two sizes differ, which clock counts, and the goal ("-" for a
# ratio shown to explain others, without a goal). Add a line to add a goal. The script fails when a named benchmark did not run; a
# missed goal is reported, and fails the script only with KWBENCH_STRICT=1
# (timings on a shared machine are noisy).
set -euo pipefail
build=${1:?usage: run-bench.sh <bench build directory>}
dir="$build/bench"
[[ -d "$dir" ]] || { echo "no benchmarks in $dir" >&2; exit 1; }

# CPU time suits pure computation (other processes on a shared machine do
# not inflate it); wall time ("real") suits work that waits for the disk.
# label | measured | baseline | goal (at most) | factor | clock
ratios='
factory create+free at table head vs direct create+delete|BM_FactoryCreateFreeAtTableHead|BM_DirectCreateDelete|3|1|cpu
cold-table resolution per CLSID, 10000- vs 1100-entry file|BM_ColdTableResolve/10000|BM_ColdTableResolve/1100|2|1|cpu
storage round trip, cost per stream at 100000 vs 1000 streams|KwcoreRoundTrip/100000|KwcoreRoundTrip/1000|1.5|0.01|real
storage round trip of 10000 streams, kwcore vs libgsf|KwcoreRoundTrip/10000|GsfRoundTrip/10000|0.5|1|real
list walk of 100000 items vs std::list walk|BM_ListWalk/100000|BM_StdListWalk/100000|5|1|cpu
list find+remove in the middle, 100000 vs 1000 items|BM_ListFindRemove/100000|BM_ListFindRemove/1000|2|1|cpu
persistent list save+load of 10000 items vs the same tree through storage alone|BM_PersistentListSaveLoad|BM_StorageTreeSaveLoad|2|1|real
persistent list of 10000 items, load vs save|BM_PersistentListLoad|BM_PersistentListSave|1.5|1|real
one stream of 256 MiB, write+commit vs plain write+fsync|BigStreamWriteCommit|FloorWrite/268435456|1.5|1|real
one stream of 256 MiB, open+read vs plain read|BigStreamOpenRead|FloorRead/268435456|1.5|1|real
100000 streams of 64 B, write+commit vs plain write+fsync of the bytes|SmallStreamsWriteCommit|FloorWrite/6400000|3|1|real
100000 streams of 64 B, open+read vs plain read of the bytes|SmallStreamsOpenRead|FloorRead/6400000|10|1|real
  the same file written plainly (its size, 3x the stream bytes) vs the bytes|FloorWriteSmallFile|FloorWrite/6400000|-|1|real
  the same file read plainly vs the bytes|FloorReadSmallFile|FloorRead/6400000|-|1|real
  100000 streams of 64 B, write+commit vs plain write+fsync of the whole file|SmallStreamsWriteCommit|FloorWriteSmallFile|-|1|real
  100000 streams of 64 B, open+read vs plain read of the whole file|SmallStreamsOpenRead|FloorReadSmallFile|-|1|real
deep tree (10 levels x 10 storages x 100 streams of 8 KiB), write, kwcore vs libgsf|KwcoreDeepTreeWrite|GsfDeepTreeWrite|1|1|real
deep tree (10 levels x 10 storages x 100 streams of 8 KiB), read, kwcore vs libgsf|KwcoreDeepTreeRead|GsfDeepTreeRead|1|1|real
string list read of last vs first of 100000|BM_StrListReadLast/100000|BM_StrListReadFirst/100000|1.5|1|cpu
call of an import through its bound slot vs a call linked at build time|BM_CallThroughBoundSlot|BM_DirectCall|1.1|1|cpu
'
# Counters a benchmark reports, against a goal (at most).
# label | benchmark | counter | goal
counters='
peak heap while opening and reading one stream of 256 MiB (MiB)|BigStreamOpenRead|peak_MiB|64
peak heap while opening and reading 100000 streams of 64 B (MiB; bound 64 + 256 B per element = 88.4)|SmallStreamsOpenRead|peak_MiB|88.4
getrandom calls per 100 items loading a persistent list|BM_PersistentListLoad|getrandom_per_100_items|1
'
# Costs reported as they are, without a baseline.
# label | benchmark | clock
costs='
one-time binding of all fifteen imports (fresh process each)|BM_BindAllImports/iterations:20/manual_time|real
'

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
found=0
for program in "$dir"/*; do
  [[ -f "$program" && -x "$program" && "$program" != *.so ]] || continue
  found=1
  name=$(basename "$program")
  echo "== $name"
  "$program" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    --benchmark_format=console --benchmark_out="$out/$name.json" --benchmark_out_format=json
done
[[ $found -eq 1 ]] || { echo "no benchmark programs in $dir" >&2; exit 1; }

RATIOS="$ratios" COUNTERS="$counters" COSTS="$costs" python3 - "$out" <<'PY'
import json, os, sys, glob
scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
times = {}
counters = {}
for path in glob.glob(os.path.join(sys.argv[1], "*.json")):
    with open(path) as f:
        for b in json.load(f)["benchmarks"]:
            if "error_occurred" in b or b.get("aggregate_name", "median") != "median":
                continue
            unit = scale[b.get("time_unit", "ns")]
            times[b.get("run_name", b["name"])] = {"cpu": b["cpu_time"] * unit,
                                                   "real": b["real_time"] * unit}
            counters[b.get("run_name", b["name"])] = b
print("\nratios (measured / baseline, median of 3, goal):")
missing = missed = False
for line in os.environ["RATIOS"].strip().splitlines():
    label, measured, baseline, goal, factor, clock = [p.strip() for p in line.split("|")]
    if measured not in times or baseline not in times:
        print(f"  {label}: not measured ({measured} or {baseline} missing)")
        missing = True
        continue
    ratio = times[measured][clock] / times[baseline][clock] * float(factor)
    if goal == "-":
        print(f"  {label}: {ratio:.2f}  ({clock} time)")
        continue
    ok = ratio <= float(goal)
    missed |= not ok
    print(f"  {label}: {ratio:.2f}  (goal <= {goal}, {clock} time) {'ok' if ok else 'MISSED'}")
print("\ncounters (median of 3, goal):")
for line in os.environ["COUNTERS"].strip().splitlines():
    label, name, counter, goal = [p.strip() for p in line.split("|")]
    if name not in counters or counter not in counters[name]:
        print(f"  {label}: not measured ({name} {counter} missing)")
        missing = True
        continue
    value = counters[name][counter]
    ok = value <= float(goal)
    missed |= not ok
    print(f"  {label}: {value:.2f}  (goal <= {goal}) {'ok' if ok else 'MISSED'}")
print("\ncosts (median of 3):")
for line in os.environ["COSTS"].strip().splitlines():
    label, name, clock = [p.strip() for p in line.split("|")]
    if name not in times:
        print(f"  {label}: not measured ({name} missing)")
        missing = True
        continue
    print(f"  {label}: {times[name][clock] / 1e3:.1f} us")
strict = os.environ.get("KWBENCH_STRICT") == "1"
sys.exit(1 if missing or (strict and missed) else 0)
PY
