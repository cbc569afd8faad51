/* What the program's connect step relies on: the JTAG chain, the probe models (adaptive
   clocking, firmware texts, gang modules), the CPU clock measurement, the registers beyond the
   Cortex-M4 set, the chip's memory map and a supply that moves while connected. */
#include "SimHarness.h"

#include <cstring>
#include <string>

using namespace xrt;

namespace {

class SimTarget : public SimTest {};

constexpr uint32_t kCrmCtrl = 0x40021000u, kCrmCfg = 0x40021004u;
constexpr uint32_t HEXTEN = 1u << 16, PLLEN = 1u << 24;
constexpr uint32_t SEL_HEXT = 1, SEL_PLL = 2, PLLRCS_HEXT = 1u << 16, PLLHEXTDIV = 1u << 17, AHB_DIV2 = 8u << 4;

uint32_t PllMult(uint32_t field) {
  return (field & 0xFu) << 18 | (field >> 4) << 29;
}

std::string Firmware() {
  char fw[320] = "";
  EXPECT_GT(XRELAYARM_GetFirmwareString(fw, sizeof fw), 0);
  return fw;
}

/* ---- JTAG chain ------------------------------------------------------------------------ */

const char* const kThreeDevices = "JtagDevice = 0x06431041, 5, Boundary scan\n"
                                  "JtagDevice = Core, 4, Cortex-M4\n"
                                  "JtagDevice = 0x0BA02477, 4, Second debug port\n";

TEST_F(SimTarget, JtagScanFindsTheConfiguredChain) {
  Configure(kThreeDevices);
  ASSERT_EQ(XRELAYARM_OpenEx(nullptr, &CollectError), nullptr);
  ASSERT_EQ(XRELAYARM_TIF_Select(XRELAYARM_TIF_JTAG), 0);
  XRELAYARM_ID_DATA id{};
  ASSERT_EQ(XRELAYARM_GetIdData(&id), 0);
  ASSERT_EQ(id.NumDevices, 3);
  EXPECT_EQ(id.ScanLen, 13u);
  EXPECT_EQ(id.CoreId, 0x4BA00477u) << "the core's JTAG debug port";
  const struct {
    uint32_t id;
    int irLen;
    const char* name;
  } expected[] = {{0x06431041u, 5, "Boundary scan"}, {0x4BA00477u, 4, "Cortex-M4"}, {0x0BA02477u, 4, "Second debug port"}};
  for (uint32_t i = 0; i < 3; i++) {
    char name[64] = "x";
    EXPECT_EQ(id.aId[i], expected[i].id) << i;
    EXPECT_EQ(id.aIRLen[i], expected[i].irLen) << i;
    EXPECT_EQ(XRELAYARM_JTAG_GetDeviceId(i), expected[i].id) << i;
    EXPECT_EQ(XRELAYARM_JTAG_GetDeviceInfo(i, name, sizeof name), expected[i].irLen) << i;
    EXPECT_STREQ(name, expected[i].name) << i;
  }
  EXPECT_EQ(XRELAYARM_JTAG_GetDeviceId(3), 0u);
  char name[64];
  EXPECT_LT(XRELAYARM_JTAG_GetDeviceInfo(3, name, sizeof name), 0);

  /* On SWD the chain is not in the way: one debug port. */
  ASSERT_EQ(XRELAYARM_TIF_Select(XRELAYARM_TIF_SWD), 0);
  ASSERT_EQ(XRELAYARM_GetIdData(&id), 0);
  EXPECT_EQ(id.NumDevices, 1);
  EXPECT_EQ(id.CoreId, 0x2BA01477u);
}

TEST_F(SimTarget, ConnectFindsTheCoreOnlyAtItsChainPosition) {
  Configure(kThreeDevices);
  struct Case {
    const char* name;
    bool configure;
    int irPre, drPre;
    bool connects;
  } const cases[] = {{"automatic", false, 0, 0, true},   {"right position", true, 5, 1, true},
                     {"first device", true, 0, 0, false}, {"IR bits wrong", true, 4, 1, false},
                     {"third device", true, 9, 2, false}, {"beyond the chain", true, 13, 3, false}};
  for (const auto& c : cases) {
    ErrorTexts().clear();
    ASSERT_EQ(XRELAYARM_OpenEx(nullptr, &CollectError), nullptr) << c.name;
    ASSERT_EQ(XRELAYARM_TIF_Select(XRELAYARM_TIF_JTAG), 0);
    if (c.configure) { ASSERT_EQ(XRELAYARM_ConfigJTAG(c.irPre, c.drPre), 0) << c.name; }
    EXPECT_EQ(XRELAYARM_Connect() == 0, c.connects) << c.name;
    EXPECT_EQ(ErrorContains("JTAG chain position"), !c.connects) << c.name;
    EXPECT_EQ(XRELAYARM_GetId(), c.connects ? 0x4BA00477u : 0u) << c.name;
    XRELAYARM_Close(); /* the next open starts without a chain position */
  }
}

TEST_F(SimTarget, ConfiguredCoreIdIsWhatTheScanAndGetIdReport) {
  const uint32_t ids[] = {0, 0x4BA00476u, 0x1BA01477u, 0xFFFFFFFFu};
  for (uint32_t coreId : ids) {
    Configure("CoreId = " + std::to_string(coreId));
    OpenAndConnect();
    XRELAYARM_ID_DATA id{};
    ASSERT_EQ(XRELAYARM_GetIdData(&id), 0);
    EXPECT_EQ(id.CoreId, coreId);
    EXPECT_EQ(XRELAYARM_GetId(), coreId);
    XRELAYARM_Close();
  }
}

/* ---- probe models ---------------------------------------------------------------------- */

TEST_F(SimTarget, AdaptiveClockingOnSomeModelsAndNoErrorOnTheOthers) {
  struct Case {
    const char* config;
    bool adaptive;
  } const cases[] = {{"ProductId = 28", false},
                     {"ProductId = 10", true},
                     {"ProductId = 14", false},
                     {"ProductId = 34", true},
                     {"ProductId = 41", false},
                     {"ProductId = 28\nAdaptiveClocking = 1", true},
                     {"AdaptiveClocking = 0\nProductId = 34", false}};
  for (const auto& c : cases) {
    Configure(c.config);
    ErrorTexts().clear();
    ASSERT_EQ(XRELAYARM_OpenEx(nullptr, &CollectError), nullptr) << c.config;
    ASSERT_EQ(XRELAYARM_SetSpeed(1000), 0);
    EXPECT_EQ(XRELAYARM_SetSpeed(XRELAYARM_SPEED_ADAPTIVE), 0) << c.config;
    EXPECT_EQ(XRELAYARM_GetSpeed(), c.adaptive ? -1 : 1000) << c.config;
    EXPECT_TRUE(ErrorTexts().empty()) << c.config;
    ASSERT_EQ(XRELAYARM_TIF_Select(XRELAYARM_TIF_SWD), 0);
    EXPECT_EQ(XRELAYARM_Connect(), 0) << c.config;
    XRELAYARM_Close();
  }
}

TEST_F(SimTarget, ModelsIntroduceThemselvesByTheirFirmwareText) {
  struct Case {
    int productId;
    const char* begins;
    bool rs232;
  } const cases[] = {{28, "X-Relay Sim ", false},
                     {10, "X-Relay ARM / Stamper ARM ", true},
                     {14, "X-Relay RX / Stamper RX ", true},
                     {15, "X-Relay PPC / Stamper PPC ", true},
                     {34, "X-Relay PRO / Stamper PRO ", true},
                     {41, "X-Relay Gang ", false}};
  for (const auto& c : cases) {
    Configure("ProductId = " + std::to_string(c.productId));
    ASSERT_EQ(XRELAYARM_OpenEx(nullptr, &CollectError), nullptr) << c.productId;
    EXPECT_EQ(XRELAYARM_EMU_GetProductId(), c.productId);
    EXPECT_EQ(Firmware().rfind(c.begins, 0), 0u) << c.productId << ": " << Firmware();
    XRELAYARM_Close();
  }
  Configure("Firmware = My own text\nProductId = 10");
  ASSERT_EQ(XRELAYARM_OpenEx(nullptr, &CollectError), nullptr);
  EXPECT_EQ(Firmware(), "My own text") << "the key overrides the model in any order";
}

TEST_F(SimTarget, GangProgrammerSelectsItsModules) {
  Configure("ProductId = 41\nEmptyGangSlots = 3");
  struct Case {
    unsigned module;
    bool selects, opens;
  } const cases[] = {{1, true, true}, {4, true, true}, {3, true, false}, {5, false, false}, {25, false, false}};
  for (const auto& c : cases) {
    ErrorTexts().clear();
    std::string cmd = "SelectModule = " + std::to_string(c.module);
    char err[256] = "";
    EXPECT_EQ(XRELAYARM_ExecCommand(cmd.c_str(), err, sizeof err) == 0, c.selects) << c.module;
    if (!c.selects) {
      EXPECT_STRNE(err, "") << c.module;
      continue;
    }
    const char* openErr = XRELAYARM_OpenEx(nullptr, &CollectError);
    EXPECT_EQ(openErr == nullptr, c.opens) << c.module;
    if (!c.opens) { EXPECT_TRUE(ErrorContains("#3")) << c.module; }
    if (openErr == nullptr) { EXPECT_EQ(XRELAYARM_EMU_GetProductId(), 41); }
    XRELAYARM_Close();
  }
}

/* ---- CPU clock --------------------------------------------------------------------------- */

TEST_F(SimTarget, MeasuredClockFollowsTheClockSetup) {
  struct Case {
    const char* name;
    uint32_t hextHz, ctrl, cfg;
    bool waitForHext; /* as an init sequence polls HEXTSTBL before it switches */
    int hz;
  } const cases[] = {
      {"after reset", 8000000, 0, 0, false, 8000000},
      {"HICK/2 x12", 8000000, PLLEN, PllMult(10) | SEL_PLL, false, 48000000},
      {"HICK/2 x21 (high multiplier bits)", 8000000, PLLEN, PllMult(20) | SEL_PLL, false, 84000000},
      {"HEXT x5", 8000000, HEXTEN | PLLEN, PLLRCS_HEXT | PllMult(3) | SEL_PLL, true, 40000000},
      {"HEXT/2 x13 of 8.15 MHz", 8150000, HEXTEN | PLLEN, PLLRCS_HEXT | PLLHEXTDIV | PllMult(11) | SEL_PLL,
       true, 52975000},
      {"HEXT direct", 12000000, HEXTEN, SEL_HEXT, true, 12000000},
      {"HICK/2 x12, AHB / 2", 8000000, PLLEN, PllMult(10) | SEL_PLL | AHB_DIV2, false, 24000000},
      {"PLL not enabled: the switch does not happen", 8000000, 0, PllMult(10) | SEL_PLL, false, 8000000},
      {"HEXT not stable yet: the switch does not happen", 12000000, HEXTEN, SEL_HEXT, false, 8000000},
      {"PLL on HEXT not locked yet", 8000000, HEXTEN | PLLEN, PLLRCS_HEXT | PllMult(3) | SEL_PLL, false,
       8000000},
  };
  for (const auto& c : cases) {
    /* A link of 125 us a round trip sees the crystal's 500 us start-up; the default 1 ms
       round trip of a full-speed probe would pass it with every call. */
    Configure("HextHz = " + std::to_string(c.hextHz) + "\nRoundTripUs = 125");
    OpenAndConnect();
    ASSERT_EQ(XRELAYARM_Reset(), 0);
    ASSERT_EQ(XRELAYARM_WriteU32(kCrmCtrl, 0x3u | c.ctrl), 0);
    int polls = 0;
    uint32_t ctrl = 0;
    while (c.waitForHext && polls < 100 && (ctrl & (1u << 17)) == 0) {
      ASSERT_EQ(XRELAYARM_ReadMemU32(kCrmCtrl, 1, &ctrl, nullptr), 1);
      polls++;
    }
    if (c.waitForHext) {
      EXPECT_GT(polls, 1) << c.name << ": the crystal takes its time";
      EXPECT_LT(polls, 100) << c.name;
    }
    ASSERT_EQ(XRELAYARM_WriteU32(kCrmCfg, c.cfg), 0);
    EXPECT_EQ(XRELAYARM_MeasureCPUSpeed(0x20000000, 0), c.hz) << c.name;
    XRELAYARM_Close();
  }
}

TEST_F(SimTarget, ClockIsMeasuredOnAHaltedAndOnARunningCore) {
  OpenAndConnect();
  ASSERT_EQ(XRELAYARM_WriteU32(kCrmCtrl, 0x3u | PLLEN), 0);
  ASSERT_EQ(XRELAYARM_WriteU32(kCrmCfg, PllMult(10) | SEL_PLL), 0);
  EXPECT_EQ(XRELAYARM_MeasureCPUSpeed(0x20000000, 0), 48000000);
  ASSERT_EQ(XRELAYARM_WriteReg(15, 0x08000100), 0); /* the application in flash */
  ASSERT_EQ(XRELAYARM_Go(), 0);
  EXPECT_EQ(XRELAYARM_MeasureCPUSpeed(0x20000000, 0), 48000000);
  EXPECT_EQ(XRELAYARM_IsHalted(), 0) << "the core runs on after the measurement";
  EXPECT_TRUE(ErrorTexts().empty());
  ASSERT_EQ(XRELAYARM_Halt(), 0);
}

TEST_F(SimTarget, MeasurementThatCannotSucceedHonoursAllowFail) {
  struct Case {
    const char* name;
    const char* config;
    uint32_t ram;
    int allowFail;
    bool negative, error;
  } const cases[] = {
      {"no RAM there", "", 0x08000000, 0, true, true},
      {"no RAM there, may fail", "", 0x08000000, 1, false, false},
      {"loop does not stop", "FaultClockMeasureFails = 1", 0x20000000, 0, true, true},
      {"loop does not stop, may fail", "FaultClockMeasureFails = 1", 0x20000000, 1, false, false},
      {"probe cannot measure", "MeasureClock = 0", 0x20000000, 0, false, false},
  };
  for (const auto& c : cases) {
    Configure(c.config);
    OpenAndConnect();
    ErrorTexts().clear();
    int hz = XRELAYARM_MeasureCPUSpeedEx(c.ram, 0, c.allowFail);
    if (c.negative)
      EXPECT_LT(hz, 0) << c.name;
    else
      EXPECT_EQ(hz, 0) << c.name;
    EXPECT_EQ(!ErrorTexts().empty(), c.error) << c.name;
    XRELAYARM_Close();
  }
}

/* ---- registers --------------------------------------------------------------------------- */

TEST_F(SimTarget, RegistersBeyondTheCortexM4SetHoldTheirValues) {
  OpenAndConnect();
  for (uint32_t r = 32; r <= 75; r++)
    ASSERT_EQ(XRELAYARM_WriteReg(r, 0x1000u + r), 0) << r;
  for (uint32_t r = 32; r <= 75; r++) {
    uint32_t v = 0;
    ASSERT_EQ(XRELAYARM_ReadReg(r, &v), 0) << r;
    if (r != 32) { EXPECT_EQ(v, 0x1000u + r) << r; } /* FPSCR keeps its defined bits only */
  }
  /* What the program saves around flash programming on an ARMv8-M core. */
  const uint32_t saved[] = {16, 20, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 14, 15, 17, 18,
                            66, 67, 68, 69, 70, 71, 72, 73, 74, 75};
  uint32_t values[std::size(saved)] = {};
  uint8_t status[std::size(saved)];
  memset(status, 9, sizeof status);
  EXPECT_EQ(XRELAYARM_ReadRegs(saved, values, status, std::size(saved)), 0);
  for (size_t i = 0; i < std::size(saved); i++)
    EXPECT_EQ(status[i], 0) << saved[i];
  EXPECT_EQ(values[std::size(saved) - 1], 0x1000u + 75);
  ASSERT_EQ(XRELAYARM_Reset(), 0);
  EXPECT_EQ(Reg(70), 0u) << "a reset clears them";
  uint32_t v = 0;
  EXPECT_LT(XRELAYARM_WriteReg(76, 1), 0);
  EXPECT_LT(XRELAYARM_ReadReg(76, &v), 0);
}

/* ---- memory map -------------------------------------------------------------------------- */

/* Thumb code: r1 = [r0]; r2 = r1 + 1; bkpt. */
const uint16_t kLoadAndBreak[] = {0x6801, 0x1c4a, 0xbe00};

uint32_t CoreLoad(uint32_t addr) {
  EXPECT_EQ(XRELAYARM_WriteMem(0x20000000, sizeof kLoadAndBreak, kLoadAndBreak), 0);
  EXPECT_EQ(XRELAYARM_WriteReg(0, addr), 0);
  EXPECT_EQ(XRELAYARM_WriteReg(15, 0x20000000), 0);
  EXPECT_EQ(XRELAYARM_Go(), 0);
  EXPECT_EQ(XRELAYARM_IsHalted(), 1);
  uint32_t v = 0;
  EXPECT_EQ(XRELAYARM_ReadReg(1, &v), 0);
  return v;
}

uint32_t ProbeLoad(uint32_t addr) {
  uint32_t v = 0;
  EXPECT_EQ(XRELAYARM_ReadMemU32(addr, 1, &v, nullptr), 1) << std::hex << addr;
  return v;
}

TEST_F(SimTarget, ChipInformationBootAliasAndDebugUnitsAnswerLikeTheChip) {
  SeedFlash(123456, 0x10000, 0x5A);
  Configure("UniqueId = 0x11223344, 0x55667788, 0x99AABBCC");
  OpenAndConnect();
  struct Case {
    const char* name;
    uint32_t addr, value;
  } const cases[] = {
      {"boot alias of main flash", 0x00000000, 0x5A5A5A5A},
      {"boot alias, last word", 0x0000FFFC, 0x5A5A5A5A},
      {"flash size in KB", 0x1FFFF7E0, 0xFFFF0040},
      {"unique ID 0", 0x1FFFF7E8, 0x11223344},
      {"unique ID 1", 0x1FFFF7EC, 0x55667788},
      {"unique ID 2", 0x1FFFF7F0, 0x99AABBCC},
      {"DWT control: four comparators", 0xE0001000, 0x40000000},
      {"FPB control: six code, two literal comparators", 0xE0002000, 0x00000260},
      {"DWT component ID", 0xE0001FF4, 0xE0},
      {"CPU ID", 0xE000ED00, 0x410FC241},
  };
  for (const auto& c : cases) {
    ErrorTexts().clear();
    EXPECT_EQ(ProbeLoad(c.addr), c.value) << c.name;
    EXPECT_EQ(CoreLoad(c.addr), c.value) << c.name << " (read by the core)";
    EXPECT_TRUE(ErrorTexts().empty()) << c.name << ": " << ErrorTexts().front();
  }
  uint16_t kb = 0;
  EXPECT_EQ(XRELAYARM_ReadMemU16(0x1FFFF7E0, 1, &kb, nullptr), 1);
  EXPECT_EQ(kb, 64);
  ASSERT_EQ(XRELAYARM_WriteU32(0x1FFFF7E8, 0), 0);
  EXPECT_EQ(ProbeLoad(0x1FFFF7E8), 0x11223344u) << "the unique ID is read only";
  /* The FPB takes a write only with its key bit. */
  ASSERT_EQ(XRELAYARM_WriteU32(0xE0002000, 1), 0);
  EXPECT_EQ(ProbeLoad(0xE0002000) & 1u, 0u);
  ASSERT_EQ(XRELAYARM_WriteU32(0xE0002000, 3), 0);
  EXPECT_EQ(ProbeLoad(0xE0002000) & 1u, 1u);
  ASSERT_EQ(XRELAYARM_WriteU32(0xE0002008, 0x08000101), 0);
  EXPECT_EQ(ProbeLoad(0xE0002008), 0x08000101u);
  /* The application at the boot alias runs like the one in flash. */
  ASSERT_EQ(XRELAYARM_WriteReg(15, 0x00000100), 0);
  ASSERT_EQ(XRELAYARM_Go(), 0);
  EXPECT_EQ(XRELAYARM_IsHalted(), 0);
  ASSERT_EQ(XRELAYARM_Halt(), 0);
}

TEST_F(SimTarget, PeripheralsNotModelledAreRegistersThatReadBack) {
  OpenAndConnect();
  struct Case {
    const char* name;
    uint32_t addr;
    bool answers;
  } const cases[] = {
      {"GPIOA output", 0x48000014, true},      {"GPIOF", 0x48001400, true},
      {"clock enables", 0x40021018, true},     {"USART1", 0x40013804, true},
      {"TMR2", 0x40000000, true},              {"OTGFS", 0x5003FFFC, true},
      {"CRC", 0x40023000, true},               {"gap after the watchdog", 0x40003400, false},
      {"no GPIOE", 0x48001000, false},         {"behind the CRC unit", 0x40024000, false},
      {"behind the boot alias", 0x00010000, false}, {"before the flash size", 0x1FFFF7DC, false},
  };
  for (const auto& c : cases) {
    ErrorTexts().clear();
    int rc = XRELAYARM_WriteU32(c.addr, 0xA5000000u | (c.addr & 0xFFFF));
    EXPECT_EQ(rc == 0, c.answers) << c.name;
    uint32_t v = 0;
    EXPECT_EQ(XRELAYARM_ReadMemU32(c.addr, 1, &v, nullptr) == 1, c.answers) << c.name;
    if (c.answers) {
      EXPECT_EQ(v, 0xA5000000u | (c.addr & 0xFFFF)) << c.name;
      EXPECT_EQ(CoreLoad(c.addr), v) << c.name << " (read by the core)";
    }
    EXPECT_EQ(ErrorTexts().empty(), c.answers) << c.name;
  }
  /* A halfword write changes its half only; a reset brings the reset values back. */
  ASSERT_EQ(XRELAYARM_WriteU16(0x48000016, 0x1234), 0);
  EXPECT_EQ(ProbeLoad(0x48000014), 0x12340014u);
  ASSERT_EQ(XRELAYARM_Reset(), 0);
  EXPECT_EQ(ProbeLoad(0x48000014), 0u);
  EXPECT_EQ(ProbeLoad(0x40021018), 0u);
}

/* The cycle counter counts executed cycles while the core runs, at any clock, and stands still
   while it is halted. */
TEST_F(SimTarget, DwtCycleCounterCountsTheCoreCycles) {
  std::vector<uint16_t> code(100, 0x3201); /* adds r2, #1 */
  code.push_back(0xbe00);
  struct Case {
    const char* name;
    uint32_t ctrl, cfg;
  } const clocks[] = {{"8 MHz", 0, 0}, {"48 MHz", PLLEN, PllMult(10) | SEL_PLL}};
  uint32_t first = 0;
  for (const auto& c : clocks) {
    OpenAndConnect();
    ASSERT_EQ(XRELAYARM_WriteU32(kCrmCtrl, 0x3u | c.ctrl), 0);
    ASSERT_EQ(XRELAYARM_WriteU32(kCrmCfg, c.cfg), 0);
    ASSERT_EQ(XRELAYARM_WriteMem(0x20000000, static_cast<uint32_t>(code.size() * 2), code.data()), 0);
    ASSERT_EQ(XRELAYARM_WriteU32(0xE000EDFC, 1u << 24), 0); /* trace enable */
    ASSERT_EQ(XRELAYARM_WriteU32(0xE0001004, 0), 0);
    ASSERT_EQ(XRELAYARM_WriteU32(0xE0001000, 1), 0);
    std::vector<uint8_t> buf(0x400);
    ASSERT_EQ(XRELAYARM_ReadMem(0x20000000, 0x400, buf.data()), 0); /* halted time */
    EXPECT_EQ(ProbeLoad(0xE0001004), 0u) << c.name;
    ASSERT_EQ(XRELAYARM_WriteReg(15, 0x20000000), 0);
    ASSERT_EQ(XRELAYARM_Go(), 0);
    ASSERT_EQ(XRELAYARM_IsHalted(), 1);
    uint32_t cycles = ProbeLoad(0xE0001004);
    EXPECT_GE(cycles, 100u) << c.name;
    EXPECT_LE(cycles, 101u) << c.name;
    if (first) { EXPECT_EQ(cycles, first) << c.name; }
    first = cycles;
    XRELAYARM_Close();
  }
}

/* ---- target supply ------------------------------------------------------------------------ */

TEST_F(SimTarget, SupplyMovesWhileConnected) {
  OpenAndConnect();
  XRELAYARM_HW_STATUS st{};
  uint8_t b = 0;
  struct Step {
    const char* name;
    std::string how; /* a command, or a configuration line */
    bool command;
    uint16_t mv;
  } const steps[] = {{"command drops it", "SetSimVTarget = 900", true, 900},
                     {"command restores it", "SetSimVTarget = 3300", true, 3300},
                     {"configuration drops it", "VTarget = 1100", false, 1100},
                     {"configuration restores it", "VTarget = 3000", false, 3000}};
  for (const auto& s : steps) {
    if (s.command)
      ASSERT_EQ(XRELAYARM_ExecCommand(s.how.c_str(), nullptr, 0), 0) << s.name;
    else
      Configure(s.how);
    ASSERT_EQ(XRELAYARM_GetHWStatus(&st), 0) << s.name;
    EXPECT_EQ(st.VTarget, s.mv) << s.name;
    EXPECT_EQ(XRELAYARM_ReadMem(0x20000000, 1, &b) == 0, s.mv >= 1200) << s.name;
  }
  XRELAYARM_Close();
  EXPECT_LT(XRELAYARM_ExecCommand("SetSimVTarget = 3300", nullptr, 0), 0) << "needs an open probe";
}

TEST_F(SimTarget, InjectedSupplyChangeStrikesOnceAndCanBeUndone) {
  Configure("FaultVoltageAfterCalls = 4\nFaultVoltage = 800");
  OpenAndConnect();
  XRELAYARM_HW_STATUS st{};
  ASSERT_EQ(XRELAYARM_GetHWStatus(&st), 0);
  EXPECT_EQ(st.VTarget, 800);
  ASSERT_EQ(XRELAYARM_ExecCommand("SetSimVTarget = 3300", nullptr, 0), 0);
  ASSERT_EQ(XRELAYARM_GetHWStatus(&st), 0);
  EXPECT_EQ(st.VTarget, 3300) << "the supply came back";
}

} // namespace
