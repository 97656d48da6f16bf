#!/usr/bin/env bash
# Proves the installed package works: install into a temporary prefix, then
# configure, build and run tests/consumer against it with find_package.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$top/build/default" --prefix "$work/prefix" >/dev/null
cmake -S "$top/tests/consumer" -B "$work/build" -G Ninja \
  -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/build" >/dev/null
"$work/build/kwcore_consumer"
