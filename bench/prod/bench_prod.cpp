// The production cycle of 64 KB on the simulated AT32F425: erase chip, program, verify by CRC,
// start. Reports the host time, the virtual time the probe and chip spent, and the probe round
// trips; the same cycle in the real binary with its start-up; and a second, unchanged run with
// the option that leaves unchanged sectors alone.
#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/APP.h"
#include "core/APP_Log.h"
#include "data/DATAIMAGE.h"
#include "mcudb/MCUDB.h"
#include "probe/PROBE_Test.h"
#include "project/PROJDEV.h"
#include "project/PROJECT.h"
#include "project/SETFILE.h"
#include "sys/SYS.h"
#include "target/PROD.h"
#include "target/PROG.h"
#include "target/TARGET.h"
#include "tests/NullGUI.h"
#include "tests/TestFiles.h"

namespace {

constexpr uint32_t kFlash = 0x08000000, kSize = 0x10000;
// The chip's own time for the cycle: bank erase 32 ms, 32768 halfwords of 42 us.
constexpr double kChipUs = 32000.0 + (kSize / 2) * 42.0;

std::string _Dir;

// Round trips of the probe library, when it counts them (0 otherwise).
int64_t _RoundTrips(void) {
  static auto pf = [] {
    void* h = dlopen(PROBE_GetLibraryPath(), RTLD_NOW | RTLD_NOLOAD);
    void* p = h ? dlsym(h, "XRELAYARM_SIM_GetNumRoundTrips") : nullptr;
    if (h) dlclose(h);
    return reinterpret_cast<int64_t (*)(void)>(p);
  }();
  return pf ? pf() : 0;
}

// The example's project with chip erase, verify by CRC and start, without serial number, at the
// simulated probe's highest interface speed; Extended: the main flash bank's extended algorithm.
void _WriteProject(const std::string& Path, bool Skip, bool Extended) {
  std::string Text = ReadAll(TFORGE_EXAMPLE_DIR "/counter.tforge");
  auto Set = [&](const std::string& Key, const std::string& Value) {
    size_t p = Text.find("  " + Key + " = ");
    size_t e = Text.find_first_of("\r\n", p);
    Text.replace(p, e - p, "  " + Key + " = " + Value);
  };
  if (Extended) Set("LoaderName", "\"AT32F425 64 KB (extended)\""); // the main flash bank's, the first one
  Set("Speed0", "12000");
  Set("Speed1", "12000");
  // The init sequence runs the core from the PLL (HICK / 2 times 12 = 48 MHz), as a line would
  // for the algorithm's own work (the CRC of the verify above all).
  Text.replace(Text.find("  NumInitSteps = 1"), Text.find("  NumExitSteps") - Text.find("  NumInitSteps = 1"),
               "  NumInitSteps = 4\r\n"
               "  InitStep0_Action = \"Reset\"\r\n  InitStep0_Value0 = 0x00000000\r\n  InitStep0_Value1 = 0x00000000\r\n"
               "  InitStep0_Comment = \"\"\r\n"
               "  InitStep1_Action = \"Write 32bit\"\r\n  InitStep1_Value0 = 0x40021004\r\n"
               "  InitStep1_Value1 = 0x00280000\r\n  InitStep1_Comment = \"PLL x12 from HICK / 2\"\r\n"
               "  InitStep2_Action = \"Write 32bit\"\r\n  InitStep2_Value0 = 0x40021000\r\n"
               "  InitStep2_Value1 = 0x01000001\r\n  InitStep2_Comment = \"HICK and PLL on\"\r\n"
               "  InitStep3_Action = \"Write 32bit\"\r\n  InitStep3_Value0 = 0x40021004\r\n"
               "  InitStep3_Value1 = 0x00280002\r\n  InitStep3_Comment = \"System clock from the PLL\"\r\n");
  Set("EraseType", "3");
  Set("ProgramSN", "0");
  Set("VerifyType", "1");
  Set("AutoPerformsStartApp", "1");
  Set("EnableTargetPower", "0");
  Set("CurrentFile", "\"data.bin\"");
  Set("DataFileSAddr", "0x08000000");
  if (Skip) Text.replace(Text.find("[PERFORMANCE]"), 0, "  SkipUnchangedSectors = 1\r\n");
  WriteAll(Path, Text);
}

std::string _Data(void) {
  std::string s(kSize, 0);
  uint32_t x = 12345;
  for (char& c : s) {
    x = x * 1103515245u + 12345u;
    c = (char)(x >> 16);
  }
  return s;
}

void _SetUp(bool Skip, bool Extended) {
  char ac[] = "/tmp/tforge-bench-prod-XXXXXX";
  _Dir = mkdtemp(ac);
  setenv("XRELAY_SIM_DIR", (_Dir + "/sim").c_str(), 1);
  WriteAll(_Dir + "/sim.ini", "[Probe]\nSerialNumber = 123456\n");
  setenv("XRELAY_SIM_CONFIG", (_Dir + "/sim.ini").c_str(), 1);
  WriteAll(_Dir + "/data.bin", _Data());
  _WriteProject(_Dir + "/board.tforge", Skip, Extended);
}

void _TearDown(void) {
  unsetenv("XRELAY_SIM_CONFIG");
  unsetenv("XRELAY_SIM_DIR");
  std::system(("rm -rf '" + _Dir + "'").c_str());
}

// The program's state for cycles in this process: device list, project and image.
struct InProcess {
  NullGUI Gui;
  DataImage* pImage = nullptr;
  InProcess() {
    PROBE_SetLibraryPathForTest(TFORGE_PROGRAM_DIR "/libxrelayarm.so");
    APP_SetGUI(&Gui);
    MCUDB_ReadDeviceList();
    PROJDEV_InstallHooks();
    PROG_InstallJobs();
    SETFILE_Open((_Dir + "/board.tforge").c_str());
    PROJECT_Load(false);
    pImage = DATAIMAGE_Create();
    std::string Data = _Data();
    DATAIMAGE_AddData(pImage, kFlash, kSize, Data.data());
  }
  ~InProcess() {
    DATAIMAGE_Delete(pImage);
    TARGET_Disconnect();
    PROJECT_Close();
    SETFILE_Close();
    MCUDB_Exit();
    APP_SetGUI(nullptr);
    PROBE_Unload();
  }
  double ConnectUs = 0; // virtual time of the connects within the cycles
  // One cycle: host, virtual and round trips added up.
  bool Cycle(double* pHostUs, double* pVirtualUs, double* pTrips) {
    int64_t v0 = XRELAYARM_SIM_GetVirtualTimeUs(), r0 = _RoundTrips();
    uint64_t t0 = SYS_TIME_GetTicks();
    TARGET_Connect(); // the cycle's own connect, measured apart
    ConnectUs += (double)(XRELAYARM_SIM_GetVirtualTimeUs() - v0);
    int r = PROD_AutoProgram(pImage);
    *pHostUs += (double)SYS_TIME_GetUsSince(t0);
    *pVirtualUs += (double)(XRELAYARM_SIM_GetVirtualTimeUs() - v0);
    *pTrips += (double)(_RoundTrips() - r0);
    return r == 0;
  }
};

void _Report(benchmark::State& State, double HostUs, double VirtualUs, double Trips) {
  double n = (double)State.iterations();
  State.counters["host_ms"] = HostUs / n / 1000.0;
  State.counters["virtual_ms"] = VirtualUs / n / 1000.0;
  State.counters["round_trips"] = Trips / n;
  State.counters["chip_ms"] = kChipUs / 1000.0;
  State.counters["virtual_per_chip"] = VirtualUs / n / kChipUs;
}

// The cycle in this process (connect included, the program's start-up not).
void BM_ProductionCycle64K(benchmark::State& State) {
  _SetUp(false, State.range(0) != 0);
  State.SetLabel(State.range(0) ? "extended algorithm" : "algorithm");
  {
    InProcess P;
    double Host = 0, Virtual = 0, Trips = 0;
    for (auto _ : State) {
      if (!P.Cycle(&Host, &Virtual, &Trips)) State.SkipWithError("the cycle failed");
    }
    _Report(State, Host, Virtual, Trips);
    State.counters["connect_virtual_ms"] = P.ConnectUs / (double)State.iterations() / 1000.0;
  }
  _TearDown();
}
BENCHMARK(BM_ProductionCycle64K)->Arg(0)->Arg(1)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

// The unchanged second run with SkipUnchangedSectors, against the first run of the same board.
void BM_SkipUnchangedSecondRun(benchmark::State& State) {
  _SetUp(true, State.range(0) != 0);
  State.SetLabel(State.range(0) ? "extended algorithm" : "algorithm");
  {
    InProcess P;
    double FirstHost = 0, FirstVirtual = 0, FirstTrips = 0;
    P.Cycle(&FirstHost, &FirstVirtual, &FirstTrips);
    double Host = 0, Virtual = 0, Trips = 0;
    for (auto _ : State) {
      if (!P.Cycle(&Host, &Virtual, &Trips)) State.SkipWithError("the cycle failed");
    }
    _Report(State, Host, Virtual, Trips);
    State.counters["first_virtual_ms"] = FirstVirtual / 1000.0;
    State.counters["virtual_per_first"] = Virtual / (double)State.iterations() / FirstVirtual;
  }
  _TearDown();
}
BENCHMARK(BM_SkipUnchangedSecondRun)->Arg(0)->Arg(1)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

// The real binary from its start to its end: start-up, project and data, the cycle, shut-down.
void BM_ProductionCycleBinary(benchmark::State& State) {
  _SetUp(false, State.range(0) != 0);
  State.SetLabel(State.range(0) ? "extended algorithm" : "algorithm");
  std::string Cmd = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_CONFIG_HOME='" + _Dir +
                    "/config' XDG_STATE_HOME='" + _Dir + "/state' '" TFORGE_PROGRAM_DIR "/tforge' -hide -openprj'" +
                    _Dir + "/board.tforge' -auto -exit > '" + _Dir + "/out.txt' 2>&1";
  for (auto _ : State) {
    int Status = std::system(Cmd.c_str());
    if (!WIFEXITED(Status) || WEXITSTATUS(Status) != 0) State.SkipWithError("tforge -auto failed");
  }
  _TearDown();
}
BENCHMARK(BM_ProductionCycleBinary)->Arg(0)->Arg(1)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
