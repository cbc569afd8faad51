/*
 * Data image and CRC benchmarks: CRC32_Update beside zlib's crc32 on the same buffer, record
 * adds in ascending order (linear: compare the per-record time at both sizes) and in random
 * order, and the block walk the writers do.
 */
#include <benchmark/benchmark.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <vector>
#include <zlib.h>

#include "data/CRC32.h"
#include "data/DATAIMAGE.h"

namespace {

std::vector<uint8_t>& Buffer64M() {
  static std::vector<uint8_t> b = [] {
    std::vector<uint8_t> v(64u << 20);
    std::mt19937 rng(1);
    for (auto& x : v) x = (uint8_t)rng();
    return v;
  }();
  return b;
}

void BM_Crc32_TForge(benchmark::State& s) {
  auto& b = Buffer64M();
  for (auto _ : s) benchmark::DoNotOptimize(CRC32_Update(0, b.data(), b.size()));
  s.SetBytesProcessed((int64_t)s.iterations() * (int64_t)b.size());
}
BENCHMARK(BM_Crc32_TForge)->Unit(benchmark::kMillisecond);

void BM_Crc32_Zlib(benchmark::State& s) {
  auto& b = Buffer64M();
  for (auto _ : s) {
    // zlib's CRC with its start and end inversion undone is the program's CRC.
    uLong c = crc32(0xFFFFFFFFul ^ 0xFFFFFFFFul, b.data(), (uInt)b.size());
    benchmark::DoNotOptimize(c);
  }
  s.SetBytesProcessed((int64_t)s.iterations() * (int64_t)b.size());
}
BENCHMARK(BM_Crc32_Zlib)->Unit(benchmark::kMillisecond);

// Ascending records of 16 bytes; arg 1 leaves a gap behind each (one range per record).
void BM_AddAscending(benchmark::State& s) {
  const uint32_t n = (uint32_t)s.range(0);
  const uint32_t stride = s.range(1) ? 32 : 16;
  uint8_t ab[16] = {};
  for (auto _ : s) {
    DataImage* p = DATAIMAGE_Create();
    for (uint32_t i = 0; i < n; i++) DATAIMAGE_AddData(p, i * stride, 16, ab);
    benchmark::DoNotOptimize(DATAIMAGE_GetNumRanges(p));
    DATAIMAGE_Delete(p);
  }
  s.SetItemsProcessed((int64_t)s.iterations() * n);
}
BENCHMARK(BM_AddAscending)->Args({250000, 0})->Args({1000000, 0})->Args({250000, 1})->Args({1000000, 1})
    ->Unit(benchmark::kMillisecond);

// 100 000 records in random order; arg 1 leaves gaps so that they never join.
void BM_AddRandomOrder(benchmark::State& s) {
  const uint32_t n = (uint32_t)s.range(0);
  const uint32_t stride = s.range(1) ? 32 : 16;
  std::vector<uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), std::mt19937(5));
  uint8_t ab[16] = {};
  for (auto _ : s) {
    DataImage* p = DATAIMAGE_Create();
    for (uint32_t i : order) DATAIMAGE_AddData(p, i * stride, 16, ab);
    benchmark::DoNotOptimize(DATAIMAGE_GetNumRanges(p));
    DATAIMAGE_Delete(p);
  }
  s.SetItemsProcessed((int64_t)s.iterations() * n);
}
BENCHMARK(BM_AddRandomOrder)->Args({100000, 0})->Args({100000, 1})->Unit(benchmark::kMillisecond);

// The writers' walk: 32-byte blocks over 64 MiB in 100 000 ranges.
void BM_BlockWalk100kRanges(benchmark::State& s) {
  DataImage* p = DATAIMAGE_Create();
  auto& b = Buffer64M();
  const uint32_t n = 100000, len = (uint32_t)(b.size() / n);
  for (uint32_t i = 0; i < n; i++) DATAIMAGE_AddData(p, i * (len + 16), len, &b[(size_t)i * len]);
  uint8_t ab[32];
  for (auto _ : s) {
    uint64_t a = 0, total = 0;
    for (;;) {
      uint32_t addr;
      uint32_t k = DATAIMAGE_GetBlock(p, (uint32_t)a, 0xFFFFFFFF, 0, 0xFF, ab, nullptr, &addr, 32, 0, 0);
      if (k == 0) break;
      total += k;
      a = (uint64_t)addr + k;
    }
    benchmark::DoNotOptimize(total);
  }
  s.SetBytesProcessed((int64_t)s.iterations() * (int64_t)n * len);
  DATAIMAGE_Delete(p);
}
BENCHMARK(BM_BlockWalk100kRanges)->Unit(benchmark::kMillisecond);

// Single-byte edits, as the data window makes them, then the fold of a save.
void BM_ManyPatches(benchmark::State& s) {
  const uint32_t n = (uint32_t)s.range(0);
  std::vector<uint8_t> b(n, 0);
  for (auto _ : s) {
    DataImage* p = DATAIMAGE_Create();
    DATAIMAGE_AddData(p, 0, n, b.data());
    for (uint32_t i = 0; i < n; i++) DATAIMAGE_SetPatch8(p, i, (uint8_t)i);
    DATAIMAGE_ApplyPatches(p);
    DATAIMAGE_Delete(p);
  }
  s.SetItemsProcessed((int64_t)s.iterations() * n);
}
BENCHMARK(BM_ManyPatches)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
