#!/usr/bin/env bash
# Installs the Debian packages that kwcore's build and tests need, when they
# are missing. Idempotent, and silent when everything is present.
set -euo pipefail

packages=(
  cmake ninja-build g++ make pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  python3 python3-olefile libgsf-1-dev
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null ||
  { $sudo apt-get update -q >/dev/null && $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null; }
