/*
 * At32f425.h - the simulated AT32F425: a Cortex-M4 core (Unicorn) with the chip's memory
 * map, its flash cells and the blocks that the flash algorithms drive: flash controller,
 * clock and reset controller, debug control and watchdog.
 *
 * The probe side (At32f425::Read/Write, registers, run control) and the core side (the
 * core's bus accesses) reach one bus model, so a probe write to flash behaves exactly as a
 * store of the core. Code runs from SRAM; code in flash counts as the user's application,
 * which the simulator lets "run" without executing it. Time is virtual: flash operations take
 * the chip's datasheet times on the VirtualClock, every instruction of the core one cycle of
 * the modelled clock. The core runs in slices of virtual time that end between two
 * instructions, so a run does the same whatever the host's load.
 *
 * A running core keeps a time of its own: it runs along whenever the probe's clock moves on
 * (RunAlong) and while the host polls it (PollHalted). A flash operation that the core starts
 * keeps the controller busy until its end on the core's time; the core's next look at the busy
 * bit waits for that end at once instead of spinning, while the host's transfers go on. An
 * operation that the probe starts puts its time on the clock directly. A YIELD hint (a no-op
 * on the chip) tells that the code only waits: the rest of its run passes without emulation.
 */
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

struct uc_struct;

namespace xr {

struct VirtualClock {
  double us = 0;
};

struct TargetFaults {
  bool programError = false;
  uint32_t programErrorAddr = 0; /* programming a halfword here sets the programming error */
  bool eraseError = false;
  uint32_t eraseErrorAddr = 0;  /* erasing the sector (or bank) holding it fails */
  bool stuckByte = false;
  uint32_t stuckByteAddr = 0;   /* programming never changes this byte, and nothing tells */
  bool coreNeverHalts = false;  /* breakpoints are never reached: the core keeps running */
  bool flashNeverReady = false; /* the flash controller stays busy after any start */
  bool readError = false;
  uint32_t readErrorFirst = 0, readErrorLast = 0; /* probe reads touching this range fail */
};

struct TargetConfig {
  uint32_t flashSize = 0x10000; /* 16, 32 or 64 KB */
  uint32_t ramSize = 0x5000;
  uint32_t slibStatus = 0; /* preset of the protected-area status register (0x74) */
  uint32_t slibRange = 0;  /* preset of the protected-area range register (0x78) */
  double programHalfwordUs = 42;
  double sectorEraseUs = 6500;
  double bankEraseUs = 32000;
  double userDataEraseUs = 6500;
  uint32_t runSliceUs = 1000; /* virtual time one run slice may take at most */
  uint32_t hextHz = 8000000;  /* the crystal on the board */
  uint32_t uid[3] = {0, 0x4B52564Eu, 0x34323546u}; /* unique ID words at 0x1FFFF7E8 */
  TargetFaults faults;
};

class At32f425 {
public:
  static constexpr uint32_t kFlashBase = 0x08000000u;
  static constexpr uint32_t kRamBase = 0x20000000u;
  static constexpr uint32_t kBootMemBase = 0x1FFFE400u, kBootMemSize = 0x1000u;
  static constexpr uint32_t kUserDataBase = 0x1FFFF800u, kUserDataSize = 0x200u;
  static constexpr uint32_t kMaxBreakpoints = 6;
  static constexpr uint32_t kInfoBase = 0x1FFFF7E0u; /* flash size (KB, 16 bits), then the unique ID at +8 */
  /* Registers beyond the Cortex-M4 set: 32 FPSCR, 33..64 S0..S31, 65..75 the ARMv8-M ones
     (65 VPR, 66 MSP_NS, 67 PSP_NS, 68 MSP_S, 69 PSP_S, 70 MSPLIM_S, 71 PSPLIM_S, 72 MSPLIM_NS,
     73 PSPLIM_NS, 74 CONTROL_NS, 75 PRIMASK_NS), which this core holds without using them. */
  static constexpr uint32_t kNumRegs = 76;

  At32f425(const TargetConfig& config, VirtualClock& clock);
  ~At32f425();
  At32f425(const At32f425&) = delete;
  At32f425& operator=(const At32f425&) = delete;

  /* Creates the core and maps memory; 0, or negative with err. */
  int Open(std::string& err);
  const TargetConfig& Config() const { return cfg_; }

  /* Bytes of flash cells of a chip: main flash, then boot memory, then user system data. */
  static uint32_t CellBytes(uint32_t flashSize) { return flashSize + kBootMemSize + kUserDataSize; }
  /* Makes the chip keep its flash cells in memory of the caller (CellBytes long), such as a
     mapped state file; before Open. Without it the cells live in the target, erased. */
  void UseCells(uint8_t* cells);
  std::span<uint8_t> MainFlash() { return main_; }
  std::span<uint8_t> BootMem() { return boot_; }
  std::span<uint8_t> UserData() { return usd_; }

  /* Probe access to target memory; 0, or negative with err naming the first address where
     nothing answers. A range that fails is refused before any of it is read or written. */
  int Read(uint32_t addr, uint32_t numBytes, uint8_t* data, std::string& err);
  int Write(uint32_t addr, uint32_t numBytes, const uint8_t* data, std::string& err);
  /* 1 when [addr, addr + numBytes) lies in SRAM. */
  bool IsRam(uint32_t addr, uint32_t numBytes) const;

  /* Registers by the Cortex-M numbering of the interface; the core must be halted. */
  int ReadReg(uint32_t index, uint32_t& value, std::string& err);
  int WriteReg(uint32_t index, uint32_t value, std::string& err);

  /* Chip reset: peripherals to their reset values, SP and PC from the vector table at the
     boot address; the core halted (halt) or running. */
  void Reset(bool halt);
  /* Lets the core run from its PC; 0 or negative. */
  int Go(std::string& err);
  /* Runs the core a slice further when it runs; 1 halted, 0 running. The clock moves on by
     the slice, or to the halt when the core stops in it. */
  int PollHalted();
  /* Lets a running core catch up with the clock (which it leaves where it is). */
  void RunAlong();
  void Halt();
  bool IsRunning() const { return running_; }
  int SetBreakpoint(uint32_t index, uint32_t addr, std::string& err);
  /* The text of the last fault that stopped the core ("" when none) and clears it. */
  std::string TakeFault();

  /* The modelled core clock (HCLK) in Hz. */
  uint32_t CpuClockHz() const;

  /* Bus model shared by the core and the probe (size 1, 2 or 4). false: nothing answers there. */
  bool BusRead(uint32_t addr, unsigned size, uint32_t& value);
  bool BusWrite(uint32_t addr, unsigned size, uint32_t value);

private:
  enum class Stop { None, Breakpoint, Bkpt, Fault, WatchdogReset };

  /* The blocks of the bus; which one answers an access decides the bus model. */
  enum class Block { None, Ram, Cells, Alias, Info, FlashRegs, Crm, Wdt, Debug, Scs, Dwt, Fpb, Plain };

  void ResetPeripherals();
  void MapMemory(std::string& err, int& rc);
  void RunSlice();
  /* Runs the core on its own time up to untilUs (or its stop); the clock stays. */
  void RunCore(double untilUs);
  void NoteFault(const std::string& text);
  void NoteBusFault(const char* what, unsigned size, uint32_t addr, uint32_t pc);
  void InvalidateCode(uint32_t addr, uint32_t numBytes);
  Block BlockAt(uint32_t addr, unsigned size) const;
  /* Whether every probe access of [addr, addr + numBytes) finds a block; bad: the first that
     does not. */
  bool Answers(uint32_t addr, uint32_t numBytes, bool halfwords, uint32_t& bad) const;
  /* Puts the instructions executed since the last call on the virtual clock. */
  void SyncClock();

  /* flash controller */
  uint32_t FlashRegRead(uint32_t off);
  void FlashRegWrite(uint32_t off, uint32_t value);
  void FlashStart();
  bool FlashCellsWrite(uint32_t addr, unsigned size, uint32_t value);
  bool FlashCellsRead(uint32_t addr, unsigned size, uint32_t& value);
  bool IsProtectedMainSector(uint32_t sector) const;
  void FlashBusyFor(double us);
  /* clock, watchdog */
  uint32_t SysClockHz() const;
  void CrmWrite(uint32_t off, uint32_t value);
  bool HextStable() const;
  uint32_t CrmCtrlRead() const;
  void WdtWrite(uint32_t off, uint32_t value);
  void DebugCtrlWrite(uint32_t value);
  /* Puts the cycles of the virtual time since the last look on the DWT cycle counter. */
  void CycAdvance();
  uint32_t DwtRead(uint32_t off);
  void DwtWrite(uint32_t off, uint32_t value);
  uint32_t FpbRead(uint32_t off) const;
  void FpbWrite(uint32_t off, uint32_t value);
  /* Lets the watchdog count the virtual time since its last look: always while the core
     runs, while it is halted only when the debug control register does not pause it. */
  void WdtAdvance();
  void WdtCheck();

  friend struct CoreHooks;

  TargetConfig cfg_;
  VirtualClock& clock_;
  uc_struct* uc_ = nullptr;
  std::vector<uint8_t> ownCells_, ram_;
  std::span<uint8_t> main_, boot_, usd_;

  /* run control */
  bool running_ = false;
  bool spinning_ = false; /* running without executing: application in flash, or a core that never halts */
  Stop stop_ = Stop::None;
  std::string fault_;
  uint32_t startPc_ = 0;
  bool skipBpAtStart_ = false;
  struct Breakpoint {
    bool set = false;
    uint32_t addr = 0;
    size_t hook = 0;
  } bp_[kMaxBreakpoints];
  /* the current run slice */
  uint64_t pendingInstructions_ = 0; /* executed, not yet on the virtual clock */
  double usPerInstruction_ = 0.125;
  double sliceEndUs_ = 0;
  double coreUs_ = 0;   /* how far a running core has come; ahead of the clock while it waits */
  bool inCore_ = false; /* the core executes: the clock shows its time */
  bool yielded_ = false; /* the run ended at a YIELD hint */

  /* flash controller */
  uint32_t fPsr_ = 0, fSts_ = 0, fCtrl_ = 0, fAddr_ = 0, fUsd_ = 0;
  uint32_t fSlibSts_ = 0, fSlibRng_ = 0;
  int keyStage_ = 0, usdKeyStage_ = 0;
  bool keyLockout_ = false;
  int busyReads_ = 0;      /* status reads that still see the busy bit */
  double busyUntilUs_ = 0; /* end of the operation running */
  /* clock and reset controller */
  uint32_t crmCtrl_ = 0, crmCfg_ = 0;
  double hextOnUs_ = 0; /* virtual time when the crystal was switched on */
  /* debug control */
  uint32_t dbgCtrl_ = 0;
  /* system control space */
  uint32_t vtor_ = 0, demcr_ = 0;
  /* peripherals that are not modelled: plain registers by word address */
  std::unordered_map<uint32_t, uint32_t> plain_;
  /* DWT and FPB */
  uint32_t dwtCtrl_ = 0;
  double cyc_ = 0, cycSeenUs_ = 0;
  uint32_t fpCtrl_ = 0;
  uint32_t fpRemap_ = 0, fpComp_[8] = {};
  std::unordered_map<uint32_t, uint32_t> dwtRegs_; /* comparators and the other counters */
  /* registers 65..75 */
  uint32_t extRegs_[11] = {};
  /* watchdog */
  bool wdtEnabled_ = false, wdtAccess_ = false;
  uint32_t wdtDiv_ = 0, wdtRld_ = 0xFFF;
  double wdtCountedUs_ = 0; /* since the last reload */
  double wdtSeenUs_ = 0;    /* the virtual time up to which it has counted */
};

} // namespace xr
