/* Erasing the simulated AT32F425 and programming all 64 KB through the flash algorithm, with
   every download and call going through the probe library's C interface (Init, EraseChip,
   64 x ProgramPage, UnInit). Host time is what the benchmark measures; the counter
   "virtual_ms" is the time the chip itself would need, from the simulator's virtual clock. */
#include "xrelayarm.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Image {
  std::vector<uint8_t> bytes;
  uint32_t prgData = 0;
  std::vector<std::pair<std::string, uint32_t>> functions;
};

template <typename T> T Get(const std::vector<uint8_t>& f, size_t off) {
  T v{};
  if (off + sizeof(T) <= f.size()) memcpy(&v, &f[off], sizeof(T));
  return v;
}

Image LoadAlgorithm(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> f((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Image img;
  if (f.size() < 52) return img;
  uint32_t shoff = Get<uint32_t>(f, 32);
  uint16_t shnum = Get<uint16_t>(f, 48), shstrndx = Get<uint16_t>(f, 50);
  auto sh = [&](int i, int field) { return Get<uint32_t>(f, shoff + 40u * i + 4u * field); };
  uint32_t shstr = sh(shstrndx, 4), end = 0, dev = 0;
  int symtab = -1;
  for (int i = 1; i < shnum; i++) {
    std::string n(reinterpret_cast<const char*>(&f[shstr + sh(i, 0)]));
    if (sh(i, 1) == 2) symtab = i;
    if (n == "PrgData") img.prgData = sh(i, 3);
    if (n == "DevDscr") dev = sh(i, 3);
    if ((sh(i, 2) & 2u) && sh(i, 5)) end = std::max(end, sh(i, 3) + sh(i, 5));
  }
  img.bytes.assign(end, 0);
  for (int i = 1; i < shnum; i++)
    if ((sh(i, 2) & 2u) && sh(i, 5) && sh(i, 1) != 8) memcpy(&img.bytes[sh(i, 3)], &f[sh(i, 4)], sh(i, 5));
  img.bytes.resize(dev + 176);
  uint32_t symOff = sh(symtab, 4), symSize = sh(symtab, 5), symStr = sh(sh(symtab, 6), 4);
  for (uint32_t s = 16; s + 16 <= symSize; s += 16)
    if ((f[symOff + s + 12] & 0xF) == 2)
      img.functions.emplace_back(reinterpret_cast<const char*>(&f[symStr + Get<uint32_t>(f, symOff + s)]),
                                 Get<uint32_t>(f, symOff + s + 4));
  return img;
}

constexpr uint32_t kBase = 0x20000000u;

class Runner {
public:
  explicit Runner(const Image& img) : img_(img) {
    bp_ = kBase + ((static_cast<uint32_t>(img.bytes.size()) + 7u) & ~7u) + 512;
  }
  bool Download() {
    return XRELAYARM_WriteMem(kBase, static_cast<uint32_t>(img_.bytes.size()), img_.bytes.data()) == 0 &&
           XRELAYARM_WriteU32(bp_, 0xBE00BE00u) == 0;
  }
  uint32_t Buffer() const { return bp_ + 8; }
  int64_t Call(const char* name, uint32_t r0 = 0, uint32_t r1 = 0, uint32_t r2 = 0) {
    uint32_t entry = 0;
    for (const auto& [n, v] : img_.functions)
      if (n == name) entry = v;
    const uint32_t regs[] = {0, 1, 2, 9, 13, 14, 15, 16};
    const uint32_t vals[] = {r0, r1, r2, kBase + img_.prgData, bp_, bp_ | 1u, kBase + entry, 0x01000000u};
    if (XRELAYARM_WriteRegs(regs, vals, nullptr, 8) != 0 || XRELAYARM_GoIntDis() != 0) return -1;
    for (int i = 0; XRELAYARM_IsHalted() == 0; i++)
      if (i > 1000) return -1;
    uint32_t r = 0;
    return XRELAYARM_ReadReg(0, &r) == 0 ? r : -1;
  }

private:
  const Image& img_;
  uint32_t bp_;
};

void BM_EraseAndProgram64KB(benchmark::State& state) {
  char dir[] = "/tmp/xrelay-bench-XXXXXX";
  if (!mkdtemp(dir)) {
    state.SkipWithError("no temporary folder");
    return;
  }
  setenv("XRELAY_SIM_DIR", dir, 1);
  unsetenv("XRELAY_SIM_CONFIG");
  const char* pd = getenv("TFORGE_PROGRAM_DIR");
  Image img = LoadAlgorithm(std::string(pd && *pd ? pd : XRELAY_BENCH_PROGRAM_DIR) + "/flm_main_64k.flm");
  if (img.bytes.empty() || XRELAYARM_OpenEx(nullptr, nullptr) != nullptr || XRELAYARM_SetSpeed(4000) != 0 ||
      XRELAYARM_Connect() != 0 || XRELAYARM_Halt() != 0) {
    state.SkipWithError("could not open the simulated probe");
    return;
  }
  Runner run(img);
  std::vector<uint8_t> data(0x10000);
  for (size_t i = 0; i < data.size(); i++)
    data[i] = static_cast<uint8_t>(i * 13 + (i >> 9));
  double virtualUs = 0;
  for (auto _ : state) {
    int64_t t0 = XRELAYARM_SIM_GetVirtualTimeUs();
    bool ok = run.Download() && run.Call("Init", 0x08000000, 8000000, 1) == 0 && run.Call("EraseChip") == 0;
    for (uint32_t page = 0; ok && page < 64; page++) {
      ok = XRELAYARM_WriteMem(run.Buffer(), 0x400, &data[page * 0x400]) == 0 &&
           run.Call("ProgramPage", 0x08000000 + page * 0x400, 0x400, run.Buffer()) == 0;
    }
    ok = ok && run.Call("UnInit", 2) == 0;
    if (!ok) {
      state.SkipWithError("programming failed");
      break;
    }
    virtualUs += static_cast<double>(XRELAYARM_SIM_GetVirtualTimeUs() - t0);
  }
  state.counters["virtual_ms"] = benchmark::Counter(virtualUs / 1000.0, benchmark::Counter::kAvgIterations);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 0x10000);
  XRELAYARM_Close();
  std::string cmd = std::string("rm -rf '") + dir + "'";
  if (system(cmd.c_str()) != 0) state.SkipWithError("could not remove the temporary folder");
}

BENCHMARK(BM_EraseAndProgram64KB)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
