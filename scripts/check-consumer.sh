#!/usr/bin/env bash
# Proves the installed package works: install into a temporary prefix, run
# the installed kw demo (the factory loading the installed example modules,
# proxies linked to the installed host masters, a project saved and read
# back), build the installed chapters example against the prefix, and build
# tests/consumer, a host that leaves the lazily bound libraries to libkwcore.
# Those libraries must be found beside libkwcore in the prefix, and a host
# that sets no hook variable must see no difference.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$top/build/default" --prefix "$work/prefix" >/dev/null
cmake -S "$top/tests/consumer" -B "$work/build" -G Ninja \
  -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/build" >/dev/null

# Neither libkwcore nor the host that leaves them to it may need the lazily
# bound libraries: the binder alone loads them.
lib=$(dirname "$(find "$work/prefix" -name 'libkwcore.so.*' -print -quit)")
for elf in "$lib/libkwcore.so" "$work/build/kwcore_binding"; do
  if readelf -d "$elf" | grep -E 'NEEDED.*(libkwErrorHandle|libNubra)'; then
    echo "$elf needs a library that libkwcore binds on first use" >&2
    exit 1
  fi
done
env -u GLOBAL_HOOK_ENVIRONMENT_STRING "$work/build/kwcore_binding"
mkdir "$work/demo"
env -u GLOBAL_HOOK_ENVIRONMENT_STRING "$work/prefix/bin/kw" demo "$work/demo/demo.kwp" >/dev/null

# The installed chapters example builds as a project of its own, and once
# more without CMake, through pkg-config, as C++17: all the headers ask for.
examples="$work/prefix/share/kwcore/examples/chapters"
cmake -S "$examples" -B "$work/chapters" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/chapters" >/dev/null
"$work/chapters/kwchapters_host" "$work/chapters/project.kwp" >/dev/null

export PKG_CONFIG_PATH="$(dirname "$(find "$work/prefix" -name kwcore.pc -print -quit)")"
read -r -a flags <<<"$(pkg-config --cflags --libs kwcore)"
rpath="-Wl,-rpath,$(pkg-config --variable=libdir kwcore)"
mkdir "$work/pc"
cp "$examples/chapters.ini" "$work/pc/"
c++ -std=c++17 -fPIC -shared -fvisibility=hidden -o "$work/pc/libkwchapters.so" \
  "$examples/kwChapters.cpp" "${flags[@]}" "$rpath"
c++ -std=c++17 -o "$work/pc/kwchapters_host" "$examples/kwChaptersHost.cpp" "${flags[@]}" "$rpath"
"$work/pc/kwchapters_host" "$work/pc/project.kwp" >/dev/null
echo "consumer, chapters example (CMake and pkg-config): ok"
