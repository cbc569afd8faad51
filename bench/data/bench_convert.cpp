/*
 * bench_convert - the data-file conversion that bench/data/convert.sh times beside objcopy and
 * srec_cat, built from the data sources alone.
 *
 *   bench_convert <in> <out> [start]      read <in> (binary at start), write <out>
 *   bench_convert --gen <out> <ranges>    64 MiB of pseudo-random data in <ranges> ranges
 *
 * Prints the read and write times and the peak resident memory. Without arguments it only
 * says how to use it (scripts/bench.sh starts every bench_* program).
 */
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "data/DATAFILE.h"
#include "data/DATAIMAGE.h"

static void _Msg(void*, int Level, const char* sText) {
  if (Level) std::fprintf(stderr, "%s\n", sText);
}

static double _Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

static long _PeakKiB() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return ru.ru_maxrss;
}

int main(int argc, char** argv) {
  if (argc < 3) {
    std::printf("bench_convert: run by bench/data/convert.sh (bench_convert <in> <out> [start] | --gen <out> <ranges>)\n");
    return 0;
  }
  DataImage* p = DATAIMAGE_Create();
  double t0 = _Now(), t1;
  if (std::string(argv[1]) == "--gen") {
    const uint64_t total = 64ull << 20;
    uint32_t numRanges = argc > 3 ? (uint32_t)std::strtoul(argv[3], nullptr, 0) : 1;
    if (numRanges == 0) numRanges = 1;
    uint32_t len = (uint32_t)(total / numRanges);
    std::vector<uint8_t> b(len);
    std::mt19937 rng(7);
    uint32_t gap = numRanges > 1 ? 64 : 0;
    for (uint32_t i = 0; i < numRanges; i++) {
      for (auto& x : b) x = (uint8_t)rng();
      DATAIMAGE_AddData(p, 0x08000000u + i * (len + gap), len, b.data());
    }
    t1 = _Now();
    if (DATAFILE_Write(p, argv[2], DATAIMAGE_GetStartAddr(p), DATAIMAGE_GetEndAddr(p), _Msg, nullptr) != 0) return 1;
  } else {
    uint32_t start = argc > 3 ? (uint32_t)std::strtoul(argv[3], nullptr, 0) : 0;
    if (DATAFILE_Read(_Msg, nullptr, p, argv[1], start) != 0) return 1;
    t1 = _Now();
    if (DATAFILE_Write(p, argv[2], DATAIMAGE_GetStartAddr(p), DATAIMAGE_GetEndAddr(p), _Msg, nullptr) != 0) return 1;
  }
  double t2 = _Now();
  std::printf("read %.3f s  write %.3f s  total %.3f s  peak %ld KiB  image %u bytes in %u ranges\n", t1 - t0,
              t2 - t1, t2 - t0, _PeakKiB(), DATAIMAGE_GetNumBytes(p), DATAIMAGE_GetNumRanges(p));
  DATAIMAGE_Delete(p);
  return 0;
}
