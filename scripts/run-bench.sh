#!/usr/bin/env bash
# Runs the benchmarks of a bench build and prints the ratios that the
# performance goals are stated in.
#   scripts/run-bench.sh <bench build dir>
set -euo pipefail
build=${1:?bench build directory}
bench="$build/bench/storage_bench"
[[ -x "$bench" ]] || { echo "no benchmark at $bench" >&2; exit 1; }
json="$build/storage_bench.json"
"$bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_out="$json" --benchmark_out_format=json
/usr/bin/python3 - "$json" <<'PY'
import json, sys
runs = {b["run_name"]: b for b in json.load(open(sys.argv[1]))["benchmarks"]
        if b.get("aggregate_name") == "median"}
def ms(name):
    b = runs[name]
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}[b["time_unit"]]
    return b["real_time"] * scale
k1, k10, k100 = (ms("KwcoreRoundTrip/%d" % n) for n in (1000, 10000, 100000))
g10 = ms("GsfRoundTrip/10000")
linear = (k100 / 100000) / (k1 / 1000)
versus = k10 / g10
print()
print("round trip of N streams of 100 bytes (median of 5):")
print("  kwcore N=1,000: %.2f ms   N=10,000: %.2f ms   N=100,000: %.2f ms" % (k1, k10, k100))
print("  libgsf N=10,000: %.2f ms" % g10)
print("cost per stream at 100,000 / at 1,000: %.2f (goal <= 1.5)" % linear)
print("kwcore / libgsf at 10,000:             %.3f (goal <= 0.5)" % versus)
PY
