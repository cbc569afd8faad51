#!/usr/bin/env bash
# Installs what T-Forge needs on Debian 12 (as root) and builds it into build/.
# Safe to run again: packages already present are skipped, the build is incremental.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ pkg-config qt6-base-dev libunicorn-dev googletest libgtest-dev
          libbenchmark-dev zlib1g-dev clang lld llvm binutils srecord)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

jobs=$(nproc)
build() { # build <dir> <cmake options...>
  local dir=$1; shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja "$@"
  fi
  cmake --build "$dir" -j "$jobs"
}
build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ "${TFORGE_SANITIZE_BUILD:-0}" = 1 ]; then
  build build-asan -DCMAKE_BUILD_TYPE=Debug -DTFORGE_SANITIZE=ON -DTFORGE_BUILD_BENCH=OFF
fi
