#include "At32f425.h"

#include "Util.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

namespace xr {

namespace {

constexpr uint32_t kFlashRegs = 0x40022000u, kCrmRegs = 0x40021000u, kWdtRegs = 0x40003000u;
constexpr uint32_t kDebugRegs = 0xE0042000u, kScsRegs = 0xE000E000u;
constexpr uint32_t kDwtRegs = 0xE0001000u, kFpbRegs = 0xE0002000u;
constexpr uint32_t kSysMemPage = 0x1FFFE000u; /* boot memory and user system data share it */
constexpr uint32_t kApbAhbBase = 0x40000000u, kApbAhbSize = 0x30000u; /* peripherals up to the CRC unit */
constexpr uint32_t kGpioBase = 0x48000000u, kUsbBase = 0x50000000u;
constexpr uint32_t kInfoSize = 0x14u;

/* The peripherals of the reference manual's memory map that the simulator does not model:
   each answers as plain registers that read back what was written. The gaps between them
   (and everything else) are bus faults. */
struct Region {
  uint32_t base, size;
};
constexpr Region kPlainPeripherals[] = {
    {0x40000000u, 0x400},   /* TMR2 */
    {0x40000400u, 0x400},   /* TMR3 */
    {0x40001000u, 0x400},   /* TMR6 */
    {0x40001400u, 0x400},   /* TMR7 */
    {0x40002000u, 0x400},   /* TMR14 */
    {0x40002800u, 0x400},   /* ERTC */
    {0x40002C00u, 0x400},   /* WWDT */
    {0x40003800u, 0x400},   /* SPI2 */
    {0x40004400u, 0x400},   /* USART2 */
    {0x40004800u, 0x400},   /* USART3 */
    {0x40004C00u, 0x400},   /* USART4 */
    {0x40005400u, 0x400},   /* I2C1 */
    {0x40005800u, 0x400},   /* I2C2 */
    {0x40006400u, 0x400},   /* CAN1 */
    {0x40007000u, 0x400},   /* PWC */
    {0x40010000u, 0x400},   /* SCFG */
    {0x40010400u, 0x400},   /* EXINT */
    {0x40012400u, 0x400},   /* ADC1 */
    {0x40012C00u, 0x400},   /* TMR1 */
    {0x40013000u, 0x400},   /* SPI1 */
    {0x40013800u, 0x400},   /* USART1 */
    {0x40014000u, 0x400},   /* TMR15 */
    {0x40014400u, 0x400},   /* TMR16 */
    {0x40014800u, 0x400},   /* TMR17 */
    {0x40020000u, 0x400},   /* DMA1 */
    {0x40023000u, 0x400},   /* CRC */
    {0x48000000u, 0x400},   /* GPIOA */
    {0x48000400u, 0x400},   /* GPIOB */
    {0x48000800u, 0x400},   /* GPIOC */
    {0x48000C00u, 0x400},   /* GPIOD */
    {0x48001400u, 0x400},   /* GPIOF */
    {0x50000000u, 0x40000}, /* OTGFS1 */
};
/* Identification registers of the DWT and the FPB (0xFD0..0xFFC). */
constexpr uint32_t kDwtIds[12] = {0x04, 0, 0, 0, 0x02, 0xB0, 0x3B, 0x00, 0x0D, 0xE0, 0x05, 0xB1};
constexpr uint32_t kFpbIds[12] = {0x04, 0, 0, 0, 0x03, 0xB0, 0x2B, 0x00, 0x0D, 0xE0, 0x05, 0xB1};
constexpr uint32_t DEMCR_TRCENA = 1u << 24;

constexpr uint32_t STS_BUSY = 1u << 0, STS_PRGMERR = 1u << 2, STS_EPPERR = 1u << 4, STS_ODF = 1u << 5;
constexpr uint32_t CTRL_FPRGM = 1u << 0, CTRL_SECERS = 1u << 1, CTRL_BANKERS = 1u << 2,
                   CTRL_USDPRGM = 1u << 4, CTRL_USDERS = 1u << 5, CTRL_ERSTR = 1u << 6, CTRL_OPLK = 1u << 7,
                   CTRL_USDULKS = 1u << 9;
constexpr uint32_t kKey1 = 0x45670123u, kKey2 = 0xCDEF89ABu;
constexpr uint32_t kBkptInterrupt = 7;   /* Unicorn's exception number of BKPT */
constexpr uint16_t kYield = 0xBF10;      /* the YIELD hint, a no-op on the chip */
constexpr uint32_t kCpuId = 0x410FC241u; /* Cortex-M4 r0p1 */
constexpr double kHickHz = 8e6, kLickHz = 40e3;
constexpr double kHextStartUs = 500; /* the crystal's start-up until HEXTSTBL */
constexpr uint32_t CRM_HICKEN = 1u << 0, CRM_HICKSTBL = 1u << 1, CRM_HEXTEN = 1u << 16, CRM_HEXTSTBL = 1u << 17,
                   CRM_PLLEN = 1u << 24, CRM_PLLSTBL = 1u << 25, CFG_PLLRCS = 1u << 16;
constexpr uint32_t DBG_WDT_PAUSE = 1u << 8; /* debug control: the watchdog stops while the core is halted */

bool InRange(uint32_t addr, uint32_t n, uint32_t base, uint32_t size) {
  return addr >= base && n <= size && addr - base <= size - n;
}

} // namespace

/* The callbacks that Unicorn calls, with its exact signatures. */
struct CoreHooks {
  static void Intr(uc_engine* uc, uint32_t intno, void* user) {
    auto* t = static_cast<At32f425*>(user);
    uint32_t pc = 0;
    uc_reg_read(uc, UC_ARM_REG_PC, &pc);
    if (intno == kBkptInterrupt) {
      if (t->cfg_.faults.coreNeverHalts) {
        t->spinning_ = true; /* keeps "running" until halted */
      } else {
        t->stop_ = At32f425::Stop::Bkpt;
      }
    } else {
      t->NoteFault(Format("Core stopped on exception %u at PC = 0x%08X", intno, pc));
    }
    uc_emu_stop(uc);
  }
  /* Before every instruction: once the slice's virtual time is used up, the slice ends here,
     between two instructions, and the next one starts with this instruction. */
  static void Step(uc_engine* uc, uint64_t addr, uint32_t size, void* user) {
    auto* t = static_cast<At32f425*>(user);
    if (t->clock_.us + static_cast<double>(t->pendingInstructions_) * t->usPerInstruction_ >= t->sliceEndUs_) {
      uc_emu_stop(uc);
      return;
    }
    /* YIELD: the code only waits (for the host); the run ends here, see RunCore. */
    if (size == 2 && t->IsRam(static_cast<uint32_t>(addr), 2) &&
        t->ram_[addr - At32f425::kRamBase] == (kYield & 0xFFu) &&
        t->ram_[addr - At32f425::kRamBase + 1] == (kYield >> 8)) {
      t->yielded_ = true;
      uc_emu_stop(uc);
      return;
    }
    t->pendingInstructions_++;
  }
  static void Code(uc_engine* uc, uint64_t addr, uint32_t, void* user) {
    auto* t = static_cast<At32f425*>(user);
    if (t->skipBpAtStart_ && addr == t->startPc_) {
      t->skipBpAtStart_ = false;
      return;
    }
    for (const auto& bp : t->bp_) {
      if (bp.set && bp.addr == static_cast<uint32_t>(addr)) {
        if (t->cfg_.faults.coreNeverHalts) {
          t->spinning_ = true;
        } else {
          t->stop_ = At32f425::Stop::Breakpoint;
        }
        uc_emu_stop(uc);
        return;
      }
    }
  }
  static bool Unmapped(uc_engine* uc, uc_mem_type type, uint64_t addr, int size, int64_t, void* user) {
    auto* t = static_cast<At32f425*>(user);
    uint32_t pc = 0;
    uc_reg_read(uc, UC_ARM_REG_PC, &pc);
    const char* what = type == UC_MEM_FETCH_UNMAPPED   ? "instruction fetch"
                       : type == UC_MEM_WRITE_UNMAPPED ? "write"
                                                       : "read";
    t->NoteBusFault(what, static_cast<unsigned>(size), static_cast<uint32_t>(addr), pc);
    return false;
  }
  template <uint32_t Base>
  static uint64_t MmioRead(uc_engine* uc, uint64_t offset, unsigned size, void* user) {
    auto* t = static_cast<At32f425*>(user);
    uint32_t addr = Base + static_cast<uint32_t>(offset), value = 0;
    t->SyncClock();
    if (!t->BusRead(addr, size, value)) {
      uint32_t pc = 0;
      uc_reg_read(uc, UC_ARM_REG_PC, &pc);
      t->NoteBusFault("read", size, addr, pc);
      uc_emu_stop(uc);
    }
    if (t->stop_ == At32f425::Stop::WatchdogReset) uc_emu_stop(uc);
    return value;
  }
  template <uint32_t Base>
  static void MmioWrite(uc_engine* uc, uint64_t offset, unsigned size, uint64_t value, void* user) {
    auto* t = static_cast<At32f425*>(user);
    uint32_t addr = Base + static_cast<uint32_t>(offset);
    t->SyncClock();
    if (!t->BusWrite(addr, size, static_cast<uint32_t>(value))) {
      uint32_t pc = 0;
      uc_reg_read(uc, UC_ARM_REG_PC, &pc);
      t->NoteBusFault("write", size, addr, pc);
      uc_emu_stop(uc);
    }
    t->SyncClock(); /* a new clock setting counts from the next instruction on */
    if (t->stop_ == At32f425::Stop::WatchdogReset) uc_emu_stop(uc);
  }
};

At32f425::At32f425(const TargetConfig& config, VirtualClock& clock)
    : cfg_(config), clock_(clock), ownCells_(CellBytes(config.flashSize), 0xFF), ram_(config.ramSize, 0) {
  UseCells(ownCells_.data());
}

void At32f425::UseCells(uint8_t* cells) {
  main_ = std::span<uint8_t>(cells, cfg_.flashSize);
  boot_ = std::span<uint8_t>(cells + cfg_.flashSize, kBootMemSize);
  usd_ = std::span<uint8_t>(cells + cfg_.flashSize + kBootMemSize, kUserDataSize);
}

At32f425::~At32f425() {
  if (uc_) uc_close(uc_);
}

int At32f425::Open(std::string& err) {
  if (cfg_.flashSize == 0 || cfg_.flashSize % 0x1000 || cfg_.flashSize > 0x40000 || cfg_.ramSize == 0 ||
      cfg_.ramSize % 0x1000 || cfg_.ramSize > 0x40000) {
    err = Format("Unsupported target geometry: %u KB flash, %u KB RAM", cfg_.flashSize / 1024,
                 cfg_.ramSize / 1024);
    return -1;
  }
  /* UC_MODE_MCLASS would give a Cortex-M33: open as Thumb and choose the model. */
  uc_err e = uc_open(UC_ARCH_ARM, UC_MODE_THUMB, &uc_);
  if (e == UC_ERR_OK) e = uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_CORTEX_M4);
  if (e != UC_ERR_OK) {
    err = Format("Could not create the simulated core: %s", uc_strerror(e));
    return -1;
  }
  int rc = 0;
  MapMemory(err, rc);
  if (rc != 0) return rc;
  uc_hook h;
  uc_hook_add(uc_, &h, UC_HOOK_INTR, reinterpret_cast<void*>(&CoreHooks::Intr), this, 1, 0);
  uc_hook_add(uc_, &h, UC_HOOK_MEM_UNMAPPED, reinterpret_cast<void*>(&CoreHooks::Unmapped), this, 1, 0);
  /* Before anything is translated, so that every block carries it. */
  uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void*>(&CoreHooks::Step), this, 1, 0);
  Reset(true);
  return 0;
}

void At32f425::MapMemory(std::string& err, int& rc) {
  auto check = [&](uc_err e, const char* what) {
    if (e != UC_ERR_OK && rc == 0) {
      err = Format("Could not map %s of the simulated target: %s", what, uc_strerror(e));
      rc = -1;
    }
  };
  check(uc_mem_map_ptr(uc_, kRamBase, ram_.size(), UC_PROT_ALL, ram_.data()), "SRAM");
  check(uc_mmio_map(uc_, kFlashBase, main_.size(), &CoreHooks::MmioRead<kFlashBase>, this,
                    &CoreHooks::MmioWrite<kFlashBase>, this),
        "main flash");
  check(uc_mmio_map(uc_, kSysMemPage, 0x2000, &CoreHooks::MmioRead<kSysMemPage>, this,
                    &CoreHooks::MmioWrite<kSysMemPage>, this),
        "system memory");
  /* The boot alias: with the boot pins at their default, main flash appears at 0 as well. */
  check(uc_mmio_map(uc_, 0, main_.size(), &CoreHooks::MmioRead<0>, this, &CoreHooks::MmioWrite<0>, this),
        "boot alias");
  check(uc_mmio_map(uc_, kApbAhbBase, kApbAhbSize, &CoreHooks::MmioRead<kApbAhbBase>, this,
                    &CoreHooks::MmioWrite<kApbAhbBase>, this),
        "peripherals");
  check(uc_mmio_map(uc_, kGpioBase, 0x2000, &CoreHooks::MmioRead<kGpioBase>, this,
                    &CoreHooks::MmioWrite<kGpioBase>, this),
        "GPIO");
  check(uc_mmio_map(uc_, kUsbBase, 0x40000, &CoreHooks::MmioRead<kUsbBase>, this,
                    &CoreHooks::MmioWrite<kUsbBase>, this),
        "USB");
  check(uc_mmio_map(uc_, kDwtRegs, 0x2000, &CoreHooks::MmioRead<kDwtRegs>, this,
                    &CoreHooks::MmioWrite<kDwtRegs>, this),
        "DWT and FPB");
  check(uc_mmio_map(uc_, kDebugRegs, 0x1000, &CoreHooks::MmioRead<kDebugRegs>, this,
                    &CoreHooks::MmioWrite<kDebugRegs>, this),
        "debug control");
  check(uc_mmio_map(uc_, kScsRegs, 0x1000, &CoreHooks::MmioRead<kScsRegs>, this,
                    &CoreHooks::MmioWrite<kScsRegs>, this),
        "system control space");
}

void At32f425::NoteFault(const std::string& text) {
  if (stop_ != Stop::Fault) fault_ = text;
  stop_ = Stop::Fault;
}

void At32f425::NoteBusFault(const char* what, unsigned size, uint32_t addr, uint32_t pc) {
  NoteFault(Format("Bus fault: %s of %u byte(s) at 0x%08X (PC = 0x%08X)", what, size, addr, pc));
}

void At32f425::SyncClock() {
  clock_.us += static_cast<double>(pendingInstructions_) * usPerInstruction_;
  pendingInstructions_ = 0;
  usPerInstruction_ = 1e6 / CpuClockHz();
}

std::string At32f425::TakeFault() {
  std::string f = std::move(fault_);
  fault_.clear();
  return f;
}

bool At32f425::IsRam(uint32_t addr, uint32_t numBytes) const {
  return InRange(addr, numBytes, kRamBase, static_cast<uint32_t>(ram_.size()));
}

void At32f425::InvalidateCode(uint32_t addr, uint32_t numBytes) {
  /* Translated blocks of the old bytes would run otherwise. */
  uc_ctl_remove_cache(uc_, addr, static_cast<uint64_t>(addr) + numBytes);
}

/* ---- bus ---------------------------------------------------------------------------- */

At32f425::Block At32f425::BlockAt(uint32_t addr, unsigned size) const {
  if (IsRam(addr, size)) return Block::Ram;
  if (InRange(addr, size, kFlashBase, static_cast<uint32_t>(main_.size())) ||
      InRange(addr, size, kBootMemBase, kBootMemSize) || InRange(addr, size, kUserDataBase, kUserDataSize))
    return Block::Cells;
  if (InRange(addr, size, 0, static_cast<uint32_t>(main_.size()))) return Block::Alias;
  /* Registers answer in whole words. */
  uint32_t word = addr & ~3u;
  if (InRange(word, 4, kFlashRegs, 0x400)) return Block::FlashRegs;
  if (InRange(word, 4, kCrmRegs, 0x400)) return Block::Crm;
  if (InRange(word, 4, kWdtRegs, 0x400)) return Block::Wdt;
  if (InRange(word, 4, kDebugRegs, 0x400)) return Block::Debug;
  if (InRange(word, 4, kScsRegs, 0x1000)) return Block::Scs;
  if (InRange(word, 4, kInfoBase, kInfoSize)) return Block::Info;
  if (InRange(word, 4, kDwtRegs, 0x1000)) return Block::Dwt;
  if (InRange(word, 4, kFpbRegs, 0x1000)) return Block::Fpb;
  for (const Region& r : kPlainPeripherals)
    if (InRange(word, 4, r.base, r.size)) return Block::Plain;
  return Block::None;
}

bool At32f425::FlashCellsRead(uint32_t addr, unsigned size, uint32_t& value) {
  const uint8_t* p = nullptr;
  if (InRange(addr, size, kFlashBase, static_cast<uint32_t>(main_.size())))
    p = &main_[addr - kFlashBase];
  else if (InRange(addr, size, kBootMemBase, kBootMemSize))
    p = &boot_[addr - kBootMemBase];
  else if (InRange(addr, size, kUserDataBase, kUserDataSize))
    p = &usd_[addr - kUserDataBase];
  if (!p) return false;
  value = 0;
  memcpy(&value, p, size);
  return true;
}

bool At32f425::BusRead(uint32_t addr, unsigned size, uint32_t& value) {
  value = 0;
  uint32_t word = addr & ~3u, shift = (addr & 3u) * 8;
  uint32_t reg = 0;
  switch (BlockAt(addr, size)) {
  case Block::None:
    return false;
  case Block::Ram:
    memcpy(&value, &ram_[addr - kRamBase], size);
    return true;
  case Block::Cells:
    return FlashCellsRead(addr, size, value);
  case Block::Alias:
    return FlashCellsRead(addr + kFlashBase, size, value);
  case Block::Info: {
    uint32_t off = word - kInfoBase;
    reg = off == 0 ? 0xFFFF0000u | static_cast<uint32_t>(main_.size() / 1024) : off >= 8 ? cfg_.uid[(off - 8) / 4] : 0xFFFFFFFFu;
    break;
  }
  case Block::Dwt:
    reg = DwtRead(word - kDwtRegs);
    break;
  case Block::Fpb:
    reg = FpbRead(word - kFpbRegs);
    break;
  case Block::Plain: {
    auto it = plain_.find(word);
    reg = it == plain_.end() ? 0 : it->second;
    break;
  }
  case Block::FlashRegs:
    reg = FlashRegRead(word - kFlashRegs);
    break;
  case Block::Crm: {
    uint32_t off = word - kCrmRegs;
    if (off == 0 || off == 4) {
      reg = off == 0 ? CrmCtrlRead() : crmCfg_;
    } else {
      auto it = plain_.find(word); /* clock enables, resets, ...: plain registers */
      reg = it == plain_.end() ? 0 : it->second;
    }
    break;
  }
  case Block::Wdt: {
    uint32_t off = word - kWdtRegs;
    reg = off == 4 ? wdtDiv_ : off == 8 ? wdtRld_ : 0; /* command reads 0, status: never updating */
    break;
  }
  case Block::Debug: {
    uint32_t off = word - kDebugRegs;
    reg = off == 0 ? 0x50092087u : off == 4 ? dbgCtrl_ : 0;
    break;
  }
  case Block::Scs: {
    uint32_t off = word - kScsRegs;
    reg = off == 0xD00   ? kCpuId
          : off == 0xD08 ? vtor_
          : off == 0xDFC ? demcr_
          : off == 0xDF0 ? 0x00000001u
                         : 0;
    break;
  }
  }
  value = (reg >> shift) & (size == 4 ? 0xFFFFFFFFu : (1u << (size * 8)) - 1u);
  return true;
}

bool At32f425::BusWrite(uint32_t addr, unsigned size, uint32_t value) {
  uint32_t word = addr & ~3u, shift = (addr & 3u) * 8;
  uint32_t v = size == 4 ? value : value << shift;
  auto plain = [&]() {
    uint32_t mask = size == 4 ? 0xFFFFFFFFu : ((1u << (size * 8)) - 1u) << shift;
    uint32_t& r = plain_[word];
    r = (r & ~mask) | (v & mask);
  };
  switch (BlockAt(addr, size)) {
  case Block::None:
    return false;
  case Block::Ram:
    memcpy(&ram_[addr - kRamBase], &value, size);
    break;
  case Block::Cells:
    FlashCellsWrite(addr, size, value);
    break;
  case Block::Alias:
    FlashCellsWrite(addr + kFlashBase, size, value);
    break;
  case Block::Info:
    break; /* read only */
  case Block::Dwt:
    DwtWrite(word - kDwtRegs, v);
    break;
  case Block::Fpb:
    FpbWrite(word - kFpbRegs, v);
    break;
  case Block::Plain:
    plain();
    break;
  case Block::FlashRegs:
    FlashRegWrite(word - kFlashRegs, v);
    break;
  case Block::Crm:
    if (word - kCrmRegs <= 4)
      CrmWrite(word - kCrmRegs, v);
    else
      plain();
    break;
  case Block::Wdt:
    WdtWrite(word - kWdtRegs, v);
    break;
  case Block::Debug:
    if (word - kDebugRegs == 4) DebugCtrlWrite(v);
    break;
  case Block::Scs: {
    uint32_t off = word - kScsRegs;
    if (off == 0xD08)
      vtor_ = v & ~0x7Fu;
    else if (off == 0xDFC) {
      CycAdvance();
      demcr_ = v;
    }
    else if (off == 0xD0C && (v >> 16) == 0x05FA && (v & 4u))
      stop_ = Stop::WatchdogReset; /* system reset request */
    break;
  }
  }
  return true;
}

/* ---- flash controller ---------------------------------------------------------------- */

void At32f425::FlashBusyFor(double us) {
  if (!inCore_) clock_.us += us; /* the probe waits for what it starts */
  busyUntilUs_ = clock_.us + (inCore_ ? us : 0);
  busyReads_ = cfg_.faults.flashNeverReady ? -1 : 1;
  fSts_ |= STS_BUSY;
}

uint32_t At32f425::FlashRegRead(uint32_t off) {
  switch (off) {
  case 0x00:
    return fPsr_;
  case 0x0C: {
    uint32_t sts = fSts_;
    if (sts & STS_BUSY) {
      /* The first look sees the operation running; then it is over, unless the controller is
         set to hang. The core looks in a loop until then: it skips to the end right away,
         which costs the same virtual time without emulating the loop. A look of the probe
         before the end finds it still running. */
      if (inCore_ && busyReads_ > 0 && clock_.us < busyUntilUs_) clock_.us = busyUntilUs_;
      if (clock_.us >= busyUntilUs_ && busyReads_ > 0 && --busyReads_ == 0) {
        fSts_ = (fSts_ & ~STS_BUSY) | STS_ODF;
      }
    }
    return sts;
  }
  case 0x10:
    return fCtrl_;
  case 0x14:
    return fAddr_;
  case 0x1C:
    return fUsd_;
  case 0x74:
    return fSlibSts_;
  case 0x78:
    return fSlibRng_;
  default:
    return 0;
  }
}

void At32f425::FlashRegWrite(uint32_t off, uint32_t value) {
  switch (off) {
  case 0x00:
    fPsr_ = value & 0x37u;
    break;
  case 0x04:
    /* Two keys in order unlock; anything else locks the controller until the next reset. */
    if (keyLockout_) break;
    if (keyStage_ == 0 && value == kKey1)
      keyStage_ = 1;
    else if (keyStage_ == 1 && value == kKey2) {
      keyStage_ = 0;
      fCtrl_ &= ~CTRL_OPLK;
    } else {
      keyStage_ = 0;
      keyLockout_ = true;
    }
    break;
  case 0x08:
    if (fCtrl_ & CTRL_OPLK) break; /* the user system data unlocks only behind the main unlock */
    if (usdKeyStage_ == 0 && value == kKey1)
      usdKeyStage_ = 1;
    else if (usdKeyStage_ == 1 && value == kKey2) {
      usdKeyStage_ = 0;
      fCtrl_ |= CTRL_USDULKS;
    } else {
      usdKeyStage_ = 0;
    }
    break;
  case 0x0C:
    fSts_ &= ~(value & (STS_PRGMERR | STS_EPPERR | STS_ODF));
    break; /* write 1 to clear */
  case 0x10:
    if (fCtrl_ & CTRL_OPLK) break; /* locked: writes have no effect */
    {
      uint32_t keep = fCtrl_ & CTRL_USDULKS & value; /* the unlock bit can be cleared, not set */
      fCtrl_ = (value & (CTRL_FPRGM | CTRL_SECERS | CTRL_BANKERS | CTRL_USDPRGM | CTRL_USDERS | CTRL_OPLK |
                         (1u << 10) | (1u << 12))) |
               keep;
      if (value & CTRL_ERSTR) FlashStart();
    }
    break;
  case 0x14:
    fAddr_ = value;
    break;
  default:
    break; /* status and protection registers are read only */
  }
}

bool At32f425::IsProtectedMainSector(uint32_t sector) const {
  if ((fSlibSts_ & 0xCu) != 0x8u) return false;
  uint32_t first = fSlibRng_ & 0x7FFu, last = fSlibRng_ >> 22;
  return sector >= first && sector <= last;
}

void At32f425::FlashStart() {
  const TargetFaults& f = cfg_.faults;
  auto failsErase = [&](uint32_t first, uint32_t size) {
    return f.eraseError && f.eraseErrorAddr >= first && f.eraseErrorAddr - first < size;
  };
  if (fCtrl_ & CTRL_SECERS) {
    uint32_t a = fAddr_;
    if (InRange(a, 1, kFlashBase, static_cast<uint32_t>(main_.size()))) {
      uint32_t sector = (a - kFlashBase) / 0x400u, first = kFlashBase + sector * 0x400u;
      FlashBusyFor(cfg_.sectorEraseUs);
      if (IsProtectedMainSector(sector))
        fSts_ |= STS_EPPERR;
      else if (failsErase(first, 0x400))
        fSts_ |= STS_PRGMERR;
      else {
        std::fill_n(main_.begin() + (first - kFlashBase), 0x400, 0xFF);
      }
    } else if (InRange(a, 1, kBootMemBase, kBootMemSize)) {
      /* The boot memory erases as one block, whichever of its addresses is given. */
      FlashBusyFor(cfg_.sectorEraseUs);
      if ((fSlibSts_ & 0xCu) == 0xCu)
        fSts_ |= STS_EPPERR;
      else if (failsErase(kBootMemBase, kBootMemSize))
        fSts_ |= STS_PRGMERR;
      else {
        std::fill(boot_.begin(), boot_.end(), 0xFF);
      }
    } else {
      FlashBusyFor(0);
      fSts_ |= STS_PRGMERR;
    }
  } else if (fCtrl_ & CTRL_BANKERS) {
    FlashBusyFor(cfg_.bankEraseUs);
    if (fSlibSts_ & 1u)
      fSts_ |= STS_EPPERR; /* a protected area forbids the bank erase */
    else if (failsErase(kFlashBase, static_cast<uint32_t>(main_.size())) ||
             failsErase(kBootMemBase, kBootMemSize))
      fSts_ |= STS_PRGMERR;
    else {
      std::fill(main_.begin(), main_.end(), 0xFF);
      std::fill(boot_.begin(), boot_.end(), 0xFF);
    }
  } else if (fCtrl_ & CTRL_USDERS) {
    FlashBusyFor(cfg_.userDataEraseUs);
    if (!(fCtrl_ & CTRL_USDULKS))
      fSts_ |= STS_PRGMERR;
    else if (failsErase(kUserDataBase, kUserDataSize))
      fSts_ |= STS_PRGMERR;
    else {
      std::fill(usd_.begin(), usd_.end(), 0xFF);
    }
  }
}

bool At32f425::FlashCellsWrite(uint32_t addr, unsigned size, uint32_t value) {
  bool isUsd = InRange(addr, size, kUserDataBase, kUserDataSize);
  uint32_t progBit = isUsd ? CTRL_USDPRGM : CTRL_FPRGM;
  if ((fCtrl_ & CTRL_OPLK) || !(fCtrl_ & progBit) || (isUsd && !(fCtrl_ & CTRL_USDULKS))) {
    return true; /* not programming: the write has no effect */
  }
  uint8_t* p;
  if (isUsd)
    p = &usd_[addr - kUserDataBase];
  else if (InRange(addr, size, kBootMemBase, kBootMemSize))
    p = &boot_[addr - kBootMemBase];
  else
    p = &main_[addr - kFlashBase];
  FlashBusyFor(cfg_.programHalfwordUs * ((size + 1) / 2));
  bool protectedCell = false;
  if (InRange(addr, size, kFlashBase, static_cast<uint32_t>(main_.size())))
    protectedCell = IsProtectedMainSector((addr - kFlashBase) / 0x400u);
  else if (InRange(addr, size, kBootMemBase, kBootMemSize))
    protectedCell = (fSlibSts_ & 0xCu) == 0xCu;
  if (protectedCell) {
    fSts_ |= STS_EPPERR;
    return true;
  }
  const TargetFaults& f = cfg_.faults;
  bool erased = std::all_of(p, p + size, [](uint8_t b) { return b == 0xFF; });
  if (!erased || (f.programError && f.programErrorAddr >= addr && f.programErrorAddr - addr < size)) {
    fSts_ |= STS_PRGMERR; /* the cell keeps what it holds */
    return true;
  }
  memcpy(p, &value, size);
  if (f.stuckByte && f.stuckByteAddr >= addr && f.stuckByteAddr - addr < size) p[f.stuckByteAddr - addr] = 0xFF;
  return true;
}

/* ---- clock, watchdog ----------------------------------------------------------------- */

uint32_t At32f425::SysClockHz() const {
  switch ((crmCfg_ >> 2) & 3u) {
  case 1:
    return cfg_.hextHz;
  case 2: {
    /* PLLRCS: HEXT (halved by PLLHEXTDIV) or HICK / 2 */
    double src = (crmCfg_ & (1u << 16)) ? cfg_.hextHz / ((crmCfg_ & (1u << 17)) ? 2.0 : 1.0) : kHickHz / 2;
    uint32_t field = ((crmCfg_ >> 18) & 0xFu) | (((crmCfg_ >> 29) & 3u) << 4);
    uint32_t mult = field < 15 ? field + 2 : field == 15 ? 16 : field + 1;
    return static_cast<uint32_t>(src * mult);
  }
  default:
    return static_cast<uint32_t>(kHickHz);
  }
}

uint32_t At32f425::CpuClockHz() const {
  uint32_t div = (crmCfg_ >> 4) & 0xFu;
  static const uint32_t shifts[8] = {1, 2, 3, 4, 6, 7, 8, 9};
  return div < 8 ? SysClockHz() : SysClockHz() >> shifts[div - 8];
}

bool At32f425::HextStable() const {
  return (crmCtrl_ & CRM_HEXTEN) && clock_.us - hextOnUs_ >= kHextStartUs;
}

uint32_t At32f425::CrmCtrlRead() const {
  uint32_t v = crmCtrl_ & ~(CRM_HICKSTBL | CRM_HEXTSTBL | CRM_PLLSTBL);
  if (v & CRM_HICKEN) v |= CRM_HICKSTBL;
  if (HextStable()) v |= CRM_HEXTSTBL;
  if ((v & CRM_PLLEN) && (!(crmCfg_ & CFG_PLLRCS) || HextStable())) v |= CRM_PLLSTBL; /* locks with its source */
  return v;
}

void At32f425::CrmWrite(uint32_t off, uint32_t value) {
  CycAdvance(); /* the cycles so far at the old clock */
  if (off == 0) {
    if (!(crmCtrl_ & CRM_HEXTEN) && (value & CRM_HEXTEN)) hextOnUs_ = clock_.us; /* the crystal starts */
    crmCtrl_ = value & ~(CRM_HICKSTBL | CRM_HEXTSTBL | CRM_PLLSTBL);
  } else if (off == 4) {
    /* The switch happens only to a stable source; SCLKSTS shows what runs. */
    uint32_t sel = value & 3u, sts = (crmCfg_ >> 2) & 3u;
    bool pllLocked = (crmCtrl_ & CRM_PLLEN) && (!(value & CFG_PLLRCS) || HextStable());
    bool ready = sel == 0 || (sel == 1 && HextStable()) || (sel == 2 && pllLocked);
    if (ready) sts = sel;
    crmCfg_ = (value & ~0xCu) | (sts << 2);
  }
}

void At32f425::WdtWrite(uint32_t off, uint32_t value) {
  WdtCheck();
  if (off == 0) {
    switch (value & 0xFFFFu) {
    case 0x5555:
      wdtAccess_ = true;
      break;
    case 0xAAAA:
      wdtAccess_ = false;
      wdtCountedUs_ = 0;
      break;
    case 0xCCCC:
      wdtEnabled_ = true;
      wdtCountedUs_ = 0;
      break;
    default:
      break;
    }
  } else if (off == 4 && wdtAccess_) {
    wdtDiv_ = value & 7u;
  } else if (off == 8 && wdtAccess_) {
    wdtRld_ = value & 0xFFFu;
  }
}

void At32f425::DebugCtrlWrite(uint32_t value) {
  WdtAdvance(); /* the time so far counts as the old setting says */
  dbgCtrl_ = value;
}

void At32f425::CycAdvance() {
  /* The core's own time may lie behind a look of the probe: count what is new only. */
  if (clock_.us <= cycSeenUs_) return;
  if ((demcr_ & DEMCR_TRCENA) && (dwtCtrl_ & 1u) && running_) {
    cyc_ += (clock_.us - cycSeenUs_) * CpuClockHz() / 1e6;
    if (cyc_ >= 4294967296.0) cyc_ = std::fmod(cyc_, 4294967296.0);
  }
  cycSeenUs_ = clock_.us;
}

uint32_t At32f425::DwtRead(uint32_t off) {
  if (off == 0) return 0x40000000u | (dwtCtrl_ & 0x00FFFFFFu); /* four comparators */
  if (off == 4) {
    CycAdvance();
    return static_cast<uint32_t>(std::llround(cyc_)); /* whole cycles: time * clock is not exact */
  }
  if (off >= 0xFD0) return kDwtIds[(off - 0xFD0) / 4];
  auto it = dwtRegs_.find(off);
  return it == dwtRegs_.end() ? 0 : it->second;
}

void At32f425::DwtWrite(uint32_t off, uint32_t value) {
  CycAdvance();
  if (off == 0)
    dwtCtrl_ = value;
  else if (off == 4)
    cyc_ = value;
  else if (off < 0xFD0)
    dwtRegs_[off] = value;
}

uint32_t At32f425::FpbRead(uint32_t off) const {
  if (off == 0) return (fpCtrl_ & 1u) | (6u << 4) | (2u << 8); /* six code, two literal comparators */
  if (off == 4) return fpRemap_;
  if (off >= 8 && off < 8 + 4 * 8) return fpComp_[(off - 8) / 4];
  if (off >= 0xFD0) return kFpbIds[(off - 0xFD0) / 4];
  return 0;
}

void At32f425::FpbWrite(uint32_t off, uint32_t value) {
  if (off == 0) {
    if (value & 2u) fpCtrl_ = value & 1u; /* KEY must be set for the write to count */
  } else if (off == 4) {
    fpRemap_ = value & 0x1FFFFFE0u;
  } else if (off >= 8 && off < 8 + 4 * 8) {
    fpComp_[(off - 8) / 4] = value & 0xDFFFFFFDu;
  }
}

void At32f425::WdtAdvance() {
  if (clock_.us <= wdtSeenUs_) return; /* as CycAdvance */
  if (wdtEnabled_ && (running_ || !(dbgCtrl_ & DBG_WDT_PAUSE))) wdtCountedUs_ += clock_.us - wdtSeenUs_;
  wdtSeenUs_ = clock_.us;
}

void At32f425::WdtCheck() {
  WdtAdvance();
  if (!wdtEnabled_) return;
  double periodUs = 1e6 / (kLickHz / (4u << std::min<uint32_t>(wdtDiv_, 6)));
  if (wdtCountedUs_ > periodUs * (wdtRld_ + 1)) stop_ = Stop::WatchdogReset;
}

/* ---- reset and run control ----------------------------------------------------------- */

void At32f425::ResetPeripherals() {
  fPsr_ = 0;
  fSts_ = 0;
  fCtrl_ = CTRL_OPLK;
  fAddr_ = 0;
  keyStage_ = usdKeyStage_ = 0;
  keyLockout_ = false;
  busyReads_ = 0;
  fSlibSts_ = cfg_.slibStatus;
  fSlibRng_ = cfg_.slibRange;
  /* The user system data register shows the loaded option bytes: FAP, then the SSB byte. */
  fUsd_ = (usd_[0] != 0xA5 ? 1u << 1 : 0) | (static_cast<uint32_t>(usd_[2]) << 2);
  crmCtrl_ = 0x3u;
  crmCfg_ = 0;
  plain_.clear();
  dbgCtrl_ = 0;
  vtor_ = 0;
  wdtAccess_ = false;
  wdtDiv_ = 0;
  wdtRld_ = 0xFFF;
  wdtEnabled_ = (usd_[2] & 1u) == 0; /* nWDT_ATO_EN clear: the watchdog runs from reset on */
  wdtCountedUs_ = 0;
  wdtSeenUs_ = clock_.us;
}

void At32f425::Reset(bool halt) {
  CycAdvance();
  ResetPeripherals();
  uint32_t sp = 0, pc = 0;
  memcpy(&sp, &main_[0], 4);
  memcpy(&pc, &main_[4], 4);
  uint32_t zero = 0, xpsr = 0x01000000u;
  for (int r = UC_ARM_REG_R0; r <= UC_ARM_REG_R12; r++)
    uc_reg_write(uc_, r, &zero);
  uc_reg_write(uc_, UC_ARM_REG_CONTROL, &zero);
  uc_reg_write(uc_, UC_ARM_REG_PRIMASK, &zero);
  uc_reg_write(uc_, UC_ARM_REG_BASEPRI, &zero);
  uc_reg_write(uc_, UC_ARM_REG_FAULTMASK, &zero);
  uc_reg_write(uc_, UC_ARM_REG_FPSCR, &zero);
  std::fill(std::begin(extRegs_), std::end(extRegs_), 0u);
  sp &= ~3u;
  uc_reg_write(uc_, UC_ARM_REG_MSP, &sp);
  uc_reg_write(uc_, UC_ARM_REG_SP, &sp);
  uint32_t lr = 0xFFFFFFFFu;
  uc_reg_write(uc_, UC_ARM_REG_LR, &lr);
  uc_reg_write(uc_, UC_ARM_REG_XPSR, &xpsr);
  pc &= ~1u;
  uc_reg_write(uc_, UC_ARM_REG_PC, &pc);
  stop_ = Stop::None;
  running_ = !halt;
  spinning_ = !halt; /* the application lives in flash and is not executed */
  cycSeenUs_ = clock_.us;
}

int At32f425::Go(std::string& err) {
  if (running_) {
    err = "CPU is already running";
    return -1;
  }
  WdtAdvance(); /* the halted time counts as halted */
  CycAdvance();
  running_ = true;
  spinning_ = false;
  skipBpAtStart_ = true;
  coreUs_ = clock_.us;
  RunSlice();
  return 0;
}

void At32f425::RunSlice() {
  if (!running_ || spinning_) return;
  double endUs = clock_.us + cfg_.runSliceUs;
  RunCore(endUs);
  /* The host has waited for the slice, or until the core stopped in it; a core that turned
     out to "run" without executing (the application in flash) takes no time of its own. */
  double seenUs = spinning_ ? coreUs_ : running_ ? endUs : std::min(coreUs_, endUs);
  clock_.us = std::max(clock_.us, seenUs);
}

void At32f425::RunAlong() {
  if (running_ && !spinning_ && coreUs_ < clock_.us) RunCore(clock_.us);
}

void At32f425::RunCore(double untilUs) {
  if (!running_ || spinning_ || coreUs_ >= untilUs) return;
  /* While the core executes, the clock shows the core's time; the host's comes back after. */
  double hostUs = clock_.us;
  clock_.us = coreUs_;
  stop_ = Stop::None;
  WdtCheck(); /* a watchdog that ran out before the slice resets the chip before it runs */
  if (stop_ == Stop::None) {
    uint32_t pc = 0;
    uc_reg_read(uc_, UC_ARM_REG_PC, &pc);
    if (Block b = BlockAt(pc, 2); b == Block::Cells || b == Block::Alias) {
      spinning_ = true; /* application code in flash: let it "run" */
      clock_.us = hostUs;
      return;
    }
    if (!IsRam(pc, 2)) {
      NoteBusFault("instruction fetch", 2, pc, pc); /* nothing answers there */
    } else {
      startPc_ = pc;
      pendingInstructions_ = 0;
      usPerInstruction_ = 1e6 / CpuClockHz();
      sliceEndUs_ = untilUs;
      inCore_ = true;
      yielded_ = false;
      uc_err e = uc_emu_start(uc_, pc | 1u, 0xFFFFFFFFu, 0, 0);
      inCore_ = false;
      skipBpAtStart_ = false;
      SyncClock();
      if (yielded_ && e == UC_ERR_OK && stop_ == Stop::None) {
        /* A loop that waits says so with YIELD: the rest of the run passes as the loop would
           spend it, without emulating it, and the core goes on after the hint next time. As
           nothing the host does lands within a run, the loop would have seen no change. */
        uc_reg_read(uc_, UC_ARM_REG_PC, &pc);
        pc += 2;
        uc_reg_write(uc_, UC_ARM_REG_PC, &pc);
        clock_.us = std::max(clock_.us, untilUs);
      }
      WdtCheck();
      if (e != UC_ERR_OK && stop_ != Stop::Fault) {
        uc_reg_read(uc_, UC_ARM_REG_PC, &pc);
        NoteFault(Format("Core stopped: %s (PC = 0x%08X)", uc_strerror(e), pc));
      }
    }
  }
  coreUs_ = clock_.us;
  switch (stop_) {
  case Stop::Bkpt:
  case Stop::Breakpoint:
  case Stop::Fault:
    WdtAdvance();
    CycAdvance();
    running_ = false;
    break;
  case Stop::WatchdogReset:
    NoteFault(Format("Target reset by %s", "the watchdog or a system reset request"));
    Reset(true);
    running_ = false;
    break;
  case Stop::None:
    break; /* the slice is used up: still running */
  }
  clock_.us = hostUs;
}

int At32f425::PollHalted() {
  if (running_) RunSlice();
  return running_ ? 0 : 1;
}

void At32f425::Halt() {
  WdtAdvance();
  CycAdvance();
  running_ = false;
  spinning_ = false;
}

int At32f425::SetBreakpoint(uint32_t index, uint32_t addr, std::string& err) {
  if (index >= kMaxBreakpoints) {
    err = Format("Invalid breakpoint index %u (0..%u)", index, kMaxBreakpoints - 1);
    return -1;
  }
  Breakpoint& bp = bp_[index];
  if (bp.set) {
    uc_hook_del(uc_, bp.hook);
    InvalidateCode(bp.addr, 2);
  }
  bp.addr = addr & ~1u;
  uc_hook h = 0;
  if (uc_hook_add(uc_, &h, UC_HOOK_CODE, reinterpret_cast<void*>(&CoreHooks::Code), this, bp.addr, bp.addr) !=
      UC_ERR_OK) {
    bp.set = false;
    err = "Could not set the breakpoint";
    return -1;
  }
  bp.hook = h;
  bp.set = true;
  InvalidateCode(bp.addr, 2);
  return 0;
}

/* ---- probe access -------------------------------------------------------------------- */

namespace {
/* The size of the probe's next access at a with left bytes to go: words where aligned, then
   halfwords when asked for, else bytes. */
unsigned AccessSize(uint32_t a, uint32_t left, bool halfwords) {
  if ((a & 3u) == 0 && left >= 4) return 4;
  if (halfwords && (a & 1u) == 0 && left >= 2) return 2;
  return 1;
}
} // namespace

bool At32f425::Answers(uint32_t addr, uint32_t numBytes, bool halfwords, uint32_t& bad) const {
  for (uint32_t i = 0; i < numBytes;) {
    uint32_t a = addr + i;
    unsigned size = AccessSize(a, numBytes - i, halfwords);
    if (a < addr || BlockAt(a, size) == Block::None) {
      bad = a;
      return false;
    }
    i += size;
  }
  return true;
}

int At32f425::Read(uint32_t addr, uint32_t numBytes, uint8_t* data, std::string& err) {
  const TargetFaults& f = cfg_.faults;
  if (numBytes && f.readError && addr <= f.readErrorLast &&
      (f.readErrorFirst <= addr || f.readErrorFirst - addr < numBytes)) {
    err =
        Format("Failed to read memory @ 0x%08X: no answer from the target", std::max(addr, f.readErrorFirst));
    return -1;
  }
  if (IsRam(addr, numBytes)) {
    memcpy(data, &ram_[addr - kRamBase], numBytes);
    return 0;
  }
  uint32_t bad = 0;
  if (!Answers(addr, numBytes, false, bad)) {
    err = Format("Failed to read memory @ 0x%08X: no memory there", bad);
    return -1;
  }
  for (uint32_t i = 0; i < numBytes;) {
    uint32_t v = 0;
    unsigned size = AccessSize(addr + i, numBytes - i, false);
    BusRead(addr + i, size, v);
    memcpy(data + i, &v, size);
    i += size;
  }
  return 0;
}

int At32f425::Write(uint32_t addr, uint32_t numBytes, const uint8_t* data, std::string& err) {
  if (IsRam(addr, numBytes)) {
    memcpy(&ram_[addr - kRamBase], data, numBytes);
    InvalidateCode(addr, numBytes);
    return 0;
  }
  uint32_t bad = 0;
  if (!Answers(addr, numBytes, true, bad)) {
    err = Format("Failed to write memory @ 0x%08X: no memory there", bad);
    return -1;
  }
  for (uint32_t i = 0; i < numBytes;) {
    uint32_t v = 0;
    unsigned size = AccessSize(addr + i, numBytes - i, true);
    memcpy(&v, data + i, size);
    BusWrite(addr + i, size, v);
    i += size;
  }
  if (stop_ == Stop::WatchdogReset) Reset(!running_);
  return 0;
}

/* ---- registers ----------------------------------------------------------------------- */

namespace {
constexpr uint32_t kXpsrApsr = 0xF80F0000u, kXpsrEpsr = 0x0700FC00u, kXpsrIpsr = 0x1FFu;
}

int At32f425::ReadReg(uint32_t index, uint32_t& value, std::string& err) {
  if (running_) {
    err = "Could not read CPU register: CPU is not halted";
    return -1;
  }
  uint32_t xpsr = 0;
  uc_reg_read(uc_, UC_ARM_REG_XPSR, &xpsr);
  xpsr |= 0x01000000u; /* Unicorn keeps the Thumb state apart; this core is never without it */
  auto read = [&](int r) {
    uint32_t v = 0;
    uc_reg_read(uc_, r, &v);
    return v;
  };
  if (index <= 12)
    value = read(UC_ARM_REG_R0 + static_cast<int>(index));
  else if (index == 13)
    value = read(UC_ARM_REG_SP);
  else if (index == 14)
    value = read(UC_ARM_REG_LR);
  else if (index == 15)
    value = read(UC_ARM_REG_PC);
  else if (index == 16)
    value = xpsr;
  else if (index == 17)
    value = read(UC_ARM_REG_MSP);
  else if (index == 18)
    value = read(UC_ARM_REG_PSP);
  else if (index == 19)
    value = 0;
  else if (index == 20)
    value = (read(UC_ARM_REG_CONTROL) & 0xFFu) << 24 | (read(UC_ARM_REG_FAULTMASK) & 1u) << 16 |
            (read(UC_ARM_REG_BASEPRI) & 0xFFu) << 8 | (read(UC_ARM_REG_PRIMASK) & 1u);
  else if (index == 21)
    value = xpsr & kXpsrApsr;
  else if (index == 22)
    value = xpsr & kXpsrEpsr;
  else if (index == 23)
    value = xpsr & kXpsrIpsr;
  else if (index == 24)
    value = read(UC_ARM_REG_PRIMASK) & 1u;
  else if (index == 25 || index == 28)
    value = read(UC_ARM_REG_BASEPRI) & 0xFFu;
  else if (index == 26)
    value = read(UC_ARM_REG_FAULTMASK) & 1u;
  else if (index == 27)
    value = read(UC_ARM_REG_CONTROL) & 0x7u;
  else if (index == 29)
    value = xpsr & (kXpsrApsr | kXpsrIpsr);
  else if (index == 30)
    value = xpsr & (kXpsrApsr | kXpsrEpsr);
  else if (index == 31)
    value = xpsr & (kXpsrIpsr | kXpsrEpsr);
  else if (index == 32)
    value = read(UC_ARM_REG_FPSCR);
  else if (index <= 64)
    value = read(UC_ARM_REG_S0 + static_cast<int>(index - 33));
  else if (index < kNumRegs)
    value = extRegs_[index - 65];
  else {
    err = Format("Could not read CPU register: unknown register index %u", index);
    return -1;
  }
  return 0;
}

int At32f425::WriteReg(uint32_t index, uint32_t value, std::string& err) {
  if (running_) {
    err = "Could not write CPU register: CPU is not halted";
    return -1;
  }
  auto write = [&](int r, uint32_t v) { uc_reg_write(uc_, r, &v); };
  uint32_t xpsr = 0;
  uc_reg_read(uc_, UC_ARM_REG_XPSR, &xpsr);
  auto writeXpsr = [&](uint32_t mask, uint32_t v) {
    /* The core executes Thumb code only: the T bit stays set. */
    write(UC_ARM_REG_XPSR, ((xpsr & ~mask) | (v & mask)) | 0x01000000u);
  };
  if (index <= 12)
    write(UC_ARM_REG_R0 + static_cast<int>(index), value);
  else if (index == 13)
    write(UC_ARM_REG_SP, value & ~3u);
  else if (index == 14)
    write(UC_ARM_REG_LR, value);
  else if (index == 15)
    write(UC_ARM_REG_PC, value & ~1u);
  else if (index == 16)
    writeXpsr(kXpsrApsr | kXpsrEpsr | kXpsrIpsr, value);
  else if (index == 17)
    write(UC_ARM_REG_MSP, value & ~3u);
  else if (index == 18)
    write(UC_ARM_REG_PSP, value & ~3u);
  else if (index == 19) {
  } else if (index == 20) {
    write(UC_ARM_REG_PRIMASK, value & 1u);
    write(UC_ARM_REG_BASEPRI, (value >> 8) & 0xFFu);
    write(UC_ARM_REG_FAULTMASK, (value >> 16) & 1u);
    write(UC_ARM_REG_CONTROL, (value >> 24) & 0x7u);
  } else if (index == 21)
    writeXpsr(kXpsrApsr, value);
  else if (index == 22)
    writeXpsr(kXpsrEpsr, value);
  else if (index == 23)
    writeXpsr(kXpsrIpsr, value);
  else if (index == 24)
    write(UC_ARM_REG_PRIMASK, value & 1u);
  else if (index == 25 || index == 28)
    write(UC_ARM_REG_BASEPRI, value & 0xFFu);
  else if (index == 26)
    write(UC_ARM_REG_FAULTMASK, value & 1u);
  else if (index == 27)
    write(UC_ARM_REG_CONTROL, value & 0x7u);
  else if (index == 29)
    writeXpsr(kXpsrApsr | kXpsrIpsr, value);
  else if (index == 30)
    writeXpsr(kXpsrApsr | kXpsrEpsr, value);
  else if (index == 31)
    writeXpsr(kXpsrIpsr | kXpsrEpsr, value);
  else if (index == 32)
    write(UC_ARM_REG_FPSCR, value);
  else if (index <= 64)
    write(UC_ARM_REG_S0 + static_cast<int>(index - 33), value);
  else if (index < kNumRegs)
    extRegs_[index - 65] = value;
  else {
    err = Format("Could not write CPU register: unknown register index %u", index);
    return -1;
  }
  return 0;
}

} // namespace xr
