#!/usr/bin/env bash
# Builds T-Forge and runs every benchmark under bench/ (each prints T-Forge beside its peer).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export QT_QPA_PLATFORM=offscreen
for b in $(find build/bench -maxdepth 3 -type f -perm -u+x -name 'bench_*' | sort); do
  echo "== $b =="
  "$b"
done
for s in $(find bench -name '*.sh' | sort); do
  echo "== $s =="
  bash "$s"
done
