#!/usr/bin/env bash
# Sets up and builds T-Forge three times (plain, with address/undefined sanitizers, and the
# packager's Release build), runs the whole test suite in the first two, installs the third into
# a staging folder and runs the fuzz targets for a bounded time. Warnings are errors here.
set -euo pipefail
cd "$(dirname "$0")/.."
TFORGE_WERROR=ON TFORGE_SANITIZE_BUILD=1 TFORGE_RELEASE_BUILD=1 bash scripts/setup.sh
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
status=0
passed=0
failed=0
run_suite() { # run_suite <build dir> <title>
  echo "== Test suite ($2) =="
  local log
  log=$(mktemp)
  ctest --test-dir "$1" --output-on-failure -j "$(nproc)" 2>&1 | tee "$log" || true
  local line total bad
  line=$(grep -E "tests passed, [0-9]+ tests? failed out of [0-9]+" "$log" | tail -1)
  rm -f "$log"
  if [ -z "$line" ]; then
    echo "No test results from $1"
    status=1
    return
  fi
  bad=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
  [ "$bad" = 0 ] || status=1
}
run_suite build "RelWithDebInfo"
run_suite build-asan "address and undefined sanitizers"
echo "== Release build installed into a staging folder =="
if bash scripts/check-install.sh; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi
if [ -f fuzz/run.sh ]; then
  echo "== Fuzz targets (bounded time each) =="
  if bash fuzz/run.sh; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi
fi
echo "tests: $passed passed, $failed failed"
exit $status
