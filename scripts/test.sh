#!/usr/bin/env bash
# Sets up and builds T-Forge twice (plain and with address/undefined sanitizers) and runs the
# whole test suite in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."
TFORGE_SANITIZE_BUILD=1 bash scripts/setup.sh
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
status=0
echo "== Test suite (RelWithDebInfo) =="
ctest --test-dir build --output-on-failure -j "$(nproc)" || status=1
echo "== Test suite (address and undefined sanitizers) =="
ctest --test-dir build-asan --output-on-failure -j "$(nproc)" || status=1
if [ -f fuzz/run.sh ]; then
  echo "== Fuzz targets (bounded time each) =="
  bash fuzz/run.sh || status=1
fi
exit $status
