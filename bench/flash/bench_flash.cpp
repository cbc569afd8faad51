/* Programming all 64 KB of the simulated AT32F425 through the CMSIS flash module: the shipped
   64 KB algorithm (direct mode: one core run per page) against the extended one (background
   mode: its Start entry is fed through two command blocks while the next page travels).
   Host time is what the benchmark measures; the counters are the probe round trips and the
   virtual time of the simulator (what probe and chip would spend), per 64 KB, beside the chip's
   own time for programming them (42 us per halfword). The chip is erased outside the timing. */
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <vector>

#include "flash/FLASH.h"
#include "flash/FLASH_CMSIS.h"
#include "mcudb/MCUDB_Loader.h"
#include "probe/PROBE_Test.h"

namespace {

constexpr uint32_t kFlash = 0x08000000u;
constexpr uint32_t kSize = 0x10000u;
constexpr double kChipProgramMs = kSize / 2 * 0.042;

int ReadMem(uint32_t Addr, uint32_t NumBytes, void* p) {
  return XRELAYARM_ReadMemEx(Addr, NumBytes, p, 0);
}
void TargetInfo(FLASH_TARGET_INFO* p) {
  std::memset(p, 0, sizeof(*p));
  p->Core = 0x0E0000FF;
  p->RAMAddr = 0x20000000;
  p->RAMSize = 0x4000;
}
void PrintError(const char* s) {
  std::fprintf(stderr, "%s\n", s);
}

// The simulator's own counters, looked up in the library the probe binding loaded (0 when absent).
int64_t SimCounter(const char* sName) {
  void* h = dlopen(PROBE_GetLibraryPath(), RTLD_NOW | RTLD_NOLOAD);
  if (h == nullptr) return 0;
  auto pf = reinterpret_cast<int64_t (*)(void)>(dlsym(h, sName));
  dlclose(h);
  return pf ? pf() : 0;
}

struct Session {
  std::string Dir;
  CMSISInfo Info{};
  FlashModuleHandle Handle{};
  bool Ok = false;

  explicit Session(const char* sAlgo) {
    char ac[] = "/tmp/tforge-bench-flash-XXXXXX";
    Dir = mkdtemp(ac);
    setenv("XRELAY_SIM_DIR", Dir.c_str(), 1);
    std::string Ini = Dir + "/sim.ini";
    FILE* f = std::fopen(Ini.c_str(), "w");
    std::fputs("[Probe]\nSerialNumber = 123456\nDevice = AT32F425C8T7\n", f);
    std::fclose(f);
    setenv("XRELAY_SIM_CONFIG", Ini.c_str(), 1);
    PROBE_SetLibraryPathForTest(TFORGE_PROGRAM_DIR "libxrelayarm.so");
    if (XRELAYARM_OpenEx(nullptr, nullptr) != nullptr || XRELAYARM_TIF_Select(XRELAYARM_TIF_SWD) < 0 ||
        XRELAYARM_CORE_Select(0x0E0000FF) < 0 || XRELAYARM_SetSpeed(4000) < 0 || XRELAYARM_Connect() < 0 ||
        XRELAYARM_Halt() < 0) {
      return;
    }
    std::string Path = std::string(TFORGE_PROGRAM_DIR) + sAlgo;
    if (MCUDB_ParseFlashLoader(8, nullptr, 0, Path.c_str(), nullptr, nullptr, &Info, 0) < 0) return;
    FLASH_BANK_CONTEXT Ctx{};
    Ctx.Kind = 8;
    Ctx.BankAddr = kFlash;
    Ctx.paSectors = Info.aRegion;
    Ctx.CMSIS = Info;
    if (FLASH_ModuleCMSIS.pfOpen(&Ctx, PrintError) < 0) return;
    Handle = FlashModuleHandle{1, 1, FLASH_OP_PROGRAM, 0, 0, kFlash, kSize, Ctx.pState};
    FLASH_ModuleCMSIS.pfSetReadMemFunc(&Handle, ReadMem);
    FLASH_ModuleCMSIS.pfSetTargetInfoFunc(&Handle, TargetInfo);
    Ok = true;
  }
  ~Session() {
    if (Handle.pState) FLASH_ModuleCMSIS.pfClose(&Handle);
    MCUDB_FreeCMSISInfo(&Info);
    XRELAYARM_Close();
    PROBE_Unload();
    std::system(("rm -rf '" + Dir + "'").c_str());
  }
};

void Program64K(benchmark::State& State, const char* sAlgo) {
  Session S(sAlgo);
  if (!S.Ok) {
    State.SkipWithError("could not open the simulated target or the algorithm");
    return;
  }
  std::vector<uint8_t> Data(kSize);
  for (size_t i = 0; i < Data.size(); i++)
    Data[i] = uint8_t(i * 31 + (i >> 8));
  int64_t RoundTrips = 0, VirtualUs = 0;
  for (auto _ : State) {
    State.PauseTiming();
    bool Erased = FLASH_ModuleCMSIS.pfEraseChip(&S.Handle) == 0;
    int64_t Trips0 = SimCounter("XRELAYARM_SIM_GetNumRoundTrips");
    int64_t Us0 = SimCounter("XRELAYARM_SIM_GetVirtualTimeUs");
    State.ResumeTiming();
    FLASH_PROG_REQUEST Req{0, Data.data(), kSize / 0x400};
    if (!Erased || FLASH_ModuleCMSIS.pfProgram(&S.Handle, &Req) < 0) {
      State.SkipWithError("programming failed");
      break;
    }
    RoundTrips += SimCounter("XRELAYARM_SIM_GetNumRoundTrips") - Trips0;
    VirtualUs += SimCounter("XRELAYARM_SIM_GetVirtualTimeUs") - Us0;
  }
  double n = double(State.iterations() ? State.iterations() : 1);
  State.counters["round_trips"] = double(RoundTrips) / n;
  State.counters["virtual_ms"] = double(VirtualUs) / 1000.0 / n;
  State.counters["chip_program_ms"] = kChipProgramMs;
  State.SetBytesProcessed(int64_t(State.iterations()) * kSize);
}

BENCHMARK_CAPTURE(Program64K, direct, "flm_main_64k.flm")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Program64K, background, "flm_main_64k_ext.flm")->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
