#!/usr/bin/env bash
# Installs what T-Forge needs on Debian 12 (as root) and builds it into build/.
# Safe to run again: packages already present are skipped, the build is incremental.
#   TFORGE_SANITIZE_BUILD=1  also builds build-asan/ (address and undefined sanitizers)
#   TFORGE_RELEASE_BUILD=1   also builds build-release/ (Release, no tests), the packager's build
#   TFORGE_WERROR=ON|OFF     warnings as errors in every build configured now (the test command
#                            and CI turn it on; left out, a build keeps what it was configured with)
set -euo pipefail
cd "$(dirname "$0")/.."

# libclang-rt-14-dev: the fuzzer and sanitizer runtimes that clang links into the fuzz targets.
# xvfb, xauth: an X server for tests/gui/screenshots.sh (xvfb-run).
packages=(cmake ninja-build g++ pkg-config qt6-base-dev libunicorn-dev googletest libgtest-dev
          libbenchmark-dev zlib1g-dev clang lld llvm libclang-rt-14-dev binutils srecord
          xvfb xauth)
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
werror=()
[ -n "${TFORGE_WERROR:-}" ] && werror=(-DTFORGE_WERROR="$TFORGE_WERROR")
build() { # build <dir> <cmake options...>
  local dir=$1; shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S . -B "$dir" -G Ninja "$@" "${werror[@]}"
  elif [ ${#werror[@]} -gt 0 ]; then
    cmake "$dir" "${werror[@]}" > /dev/null
  fi
  cmake --build "$dir" -j "$jobs"
}
build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ "${TFORGE_SANITIZE_BUILD:-0}" = 1 ]; then
  build build-asan -DCMAKE_BUILD_TYPE=Debug -DTFORGE_SANITIZE=ON -DTFORGE_BUILD_BENCH=OFF
fi
if [ "${TFORGE_RELEASE_BUILD:-0}" = 1 ]; then
  build build-release -DCMAKE_BUILD_TYPE=Release -DTFORGE_BUILD_TESTS=OFF -DTFORGE_BUILD_BENCH=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr
fi
