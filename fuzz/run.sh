#!/usr/bin/env bash
# Builds the libFuzzer targets in build-fuzz/ and runs every fuzz_* target found there for a
# bounded time (FUZZ_SECONDS, default 60) on a copy of its seed corpus (fuzz/corpus/<name>).
# Exits non-zero on any crash, leak, hang (-timeout) or runaway allocation (-malloc_limit_mb).
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
build=build-fuzz
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTFORGE_BUILD_FUZZ=ON \
    -DTFORGE_BUILD_TESTS=OFF -DTFORGE_BUILD_BENCH=OFF \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ || exit 1
fi
cmake --build "$build" --target tforge_fuzzers -j "${FUZZ_JOBS:-1}" || exit 1
status=0
mkdir -p "$build/fuzz-work" "$build/fuzz-artifacts"
for target in $(find "$build/fuzz" -maxdepth 1 -type f -perm -u+x -name 'fuzz_*' | sort); do
  name=$(basename "$target"); name=${name#fuzz_}
  work="$build/fuzz-work/$name"
  mkdir -p "$work"
  [ -d "fuzz/corpus/$name" ] && cp -n fuzz/corpus/"$name"/* "$work"/ 2>/dev/null
  echo "== fuzz_$name (${seconds}s) =="
  if ! ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1} \
      "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=1024 -timeout=10 \
      -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$name-" "$work" > "$build/fuzz-$name.log" 2>&1; then
    echo "fuzz_$name FAILED (log: $build/fuzz-$name.log)"
    tail -40 "$build/fuzz-$name.log"
    status=1
  else
    grep -E "^stat::number_of_executed_units|^Done" "$build/fuzz-$name.log" | tail -2
  fi
done
exit $status
