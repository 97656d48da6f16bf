#!/usr/bin/env bash
# Prints why each test of the last ctest run in a build directory was
# skipped: ctest counts skips, but the reason a GoogleTest gives with
# GTEST_SKIP() << "..." stays in its log.
#   scripts/ctest-skips.sh <build dir>
set -euo pipefail
log="${1:?build directory}/Testing/Temporary/LastTest.log"
[[ -f "$log" ]] || exit 0
awk '
  /^[0-9]+\/[0-9]+ Test: / { name = $0; sub(/^[0-9]+\/[0-9]+ Test: /, "", name) }
  /: Skipped$/ {
    reason = ""
    if ((getline line) > 0 && line !~ /^\[  SKIPPED \]/) reason = line
    if (reason == "") reason = "no reason given"
    print "Skipped " name ": " reason
  }
' "$log"
