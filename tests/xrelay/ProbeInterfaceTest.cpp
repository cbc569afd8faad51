/* The probe library's C interface: bad calls, command strings, run control, registers,
   memory, the device database, the programmer's files, state across processes. */
#include "SimHarness.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sys/stat.h>

using namespace xrt;

namespace {

class ProbeInterface : public SimTest {};

std::string Hex(uint32_t v) {
  char text[16];
  snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

/* ---- calls that cannot succeed ------------------------------------------------------- */

struct BadCall {
  const char* name;
  std::function<int()> call;
};

TEST_F(ProbeInterface, CallsBeforeOpenFailWithAText) {
  uint8_t buf[16];
  uint32_t v = 0;
  XRELAYARM_HW_STATUS st;
  const BadCall calls[] = {
      {"Connect", [] { return XRELAYARM_Connect(); }},
      {"ReadMem", [&] { return XRELAYARM_ReadMem(0x20000000, 4, buf); }},
      {"WriteU32", [] { return XRELAYARM_WriteU32(0x20000000, 1); }},
      {"ReadReg", [&] { return XRELAYARM_ReadReg(0, &v); }},
      {"Go", [] { return XRELAYARM_Go(); }},
      {"IsHalted", [] { return XRELAYARM_IsHalted(); }},
      {"Reset", [] { return XRELAYARM_Reset(); }},
      {"GetHWStatus", [&] { return XRELAYARM_GetHWStatus(&st); }},
      {"GetSN", [] { return XRELAYARM_GetSN(); }},
      {"EMU_FILE_GetSize", [] { return XRELAYARM_EMU_FILE_GetSize("Stamper.cfg"); }},
      {"MeasureCPUSpeed", [] { return XRELAYARM_MeasureCPUSpeed(0x20000000, 0); }},
  };
  for (const auto& c : calls) {
    ErrorTexts().clear();
    EXPECT_LT(c.call(), 0) << c.name;
    EXPECT_EQ(ErrorTexts().size(), 1u) << c.name;
  }
  EXPECT_EQ(XRELAYARM_IsOpen(), 0);
  EXPECT_EQ(XRELAYARM_GetId(), 0u);
}

TEST_F(ProbeInterface, BadArgumentsAfterConnectFailWithAText) {
  OpenAndConnect();
  uint8_t buf[16];
  uint32_t v = 0;
  const uint32_t idx[] = {0, 99};
  uint32_t vals[2] = {0, 0};
  uint8_t status[2] = {9, 9};
  const BadCall calls[] = {
      {"null read buffer", [] { return XRELAYARM_ReadMem(0x20000000, 4, nullptr); }},
      {"null write data", [] { return XRELAYARM_WriteMem(0x20000000, 4, nullptr); }},
      {"beyond RAM", [&] { return XRELAYARM_ReadMem(0x20004FFC, 8, buf); }},
      {"unmapped", [&] { return XRELAYARM_ReadMem(0x60000000, 4, buf); }},
      {"huge size", [&] { return XRELAYARM_ReadMem(0x20000000, 0xFFFFFFFFu, buf); }},
      {"wrapping", [&] { return XRELAYARM_ReadMem(0xFFFFFFFEu, 4, buf); }},
      {"write unmapped", [] { return XRELAYARM_WriteU32(0x30000000, 1); }},
      {"unaligned U32", [] { return XRELAYARM_WriteU32(0x20000002, 1); }},
      {"register index", [&] { return XRELAYARM_ReadReg(76, &v); }},
      {"null register out", [] { return XRELAYARM_ReadReg(0, nullptr); }},
      {"register list", [&] { return XRELAYARM_ReadRegs(idx, vals, status, 2); }},
      {"breakpoint index", [] { return XRELAYARM_SetBP(6, 0x20000000); }},
      {"CP15", [&] { return XRELAYARM_CP15_ReadReg(2, &v); }},
      {"ICE", [] { return XRELAYARM_WriteICEReg(12, 0, 1); }},
      {"big endian", [] { return XRELAYARM_SetEndian(1); }},
      {"measure outside RAM", [] { return XRELAYARM_MeasureCPUSpeed(0x08000000, 0); }},
      {"null status", [] { return XRELAYARM_GetHWStatus(nullptr); }},
      {"null device record", [] { return XRELAYARM_DEVICE_GetInfo(0, nullptr); }},
      {"null id data", [] { return XRELAYARM_GetIdData(nullptr); }},
      {"indicator list", [] { return XRELAYARM_INDICATORS_SetState(nullptr, 1); }},
      {"config memory range", [&] { return XRELAYARM_ReadEmuConfigMem(buf, 250, 16); }},
      {"TCP/IP", [] { return XRELAYARM_SelectIP("192.0.2.1", 0); }},
      {"interface", [] { return XRELAYARM_TIF_Select(5); }},
  };
  for (const auto& c : calls) {
    ErrorTexts().clear();
    EXPECT_LT(c.call(), 0) << c.name;
    ASSERT_EQ(ErrorTexts().size(), 1u) << c.name;
    EXPECT_FALSE(ErrorTexts()[0].empty()) << c.name;
  }
  EXPECT_EQ(status[0], 0) << "the good register of the list is read";
  EXPECT_EQ(status[1], 1);
}

TEST_F(ProbeInterface, ReadFailureNamesTheFirstAddressThatFailed) {
  OpenAndConnect();
  uint8_t buf[8];
  EXPECT_LT(XRELAYARM_ReadMem(0x20004FFC, 8, buf), 0);
  ASSERT_FALSE(ErrorTexts().empty());
  EXPECT_NE(ErrorTexts().back().find("0x20005000"), std::string::npos) << ErrorTexts().back();
}

TEST_F(ProbeInterface, StatusBytesMarkTheItemsThatFailed) {
  OpenAndConnect();
  uint32_t data[3] = {1, 1, 1};
  uint8_t status[3] = {7, 7, 7};
  EXPECT_LT(XRELAYARM_ReadMemU32(0x20004FFC, 3, data, status), 0);
  EXPECT_EQ(status[0], 0);
  EXPECT_EQ(status[1], 1);
  EXPECT_EQ(status[2], 1);
  uint16_t h = 0;
  EXPECT_EQ(XRELAYARM_ReadMemU16(0x40022010, 1, &h, status), 1);
  EXPECT_EQ(h, 0x80) << "the flash controller starts locked";
}

TEST_F(ProbeInterface, ReadFaultWindowFailsEveryReadThatTouchesIt) {
  Configure("FaultReadErrorAt = 0x20000100-0x200001FF");
  OpenAndConnect();
  struct Case {
    uint32_t addr, numBytes;
    bool fails;
  } const cases[] = {{0x200000F0, 0x10, false}, {0x200000F0, 0x11, true}, {0x20000100, 4, true},
                     {0x20000180, 4, true},     {0x200001FF, 1, true},     {0x200001FC, 0x100, true},
                     {0x20000200, 4, false}};
  std::vector<uint8_t> buf(0x100);
  for (const auto& c : cases) {
    ErrorTexts().clear();
    int rc = XRELAYARM_ReadMem(c.addr, c.numBytes, buf.data());
    EXPECT_EQ(rc < 0, c.fails) << std::hex << c.addr << " + " << c.numBytes;
    EXPECT_EQ(ErrorTexts().size(), c.fails ? 1u : 0u) << std::hex << c.addr;
  }
}

TEST_F(ProbeInterface, WriteThatRunsPastTheMemoryWritesNothing) {
  OpenAndConnect();
  /* The flash controller unlocked and programming: a write to main flash programs it. */
  ASSERT_EQ(XRELAYARM_WriteU32(0x40022004, 0x45670123u), 0);
  ASSERT_EQ(XRELAYARM_WriteU32(0x40022004, 0xCDEF89ABu), 0);
  ASSERT_EQ(XRELAYARM_WriteU32(0x40022010, 1), 0);
  const std::vector<uint8_t> ones(0x10, 0x11), data(0x20, 0x5A);
  ASSERT_EQ(XRELAYARM_WriteMem(0x20004FF0, 0x10, ones.data()), 0);
  const uint32_t ends[] = {0x20004FF0, 0x0800FFF0};
  for (uint32_t addr : ends) {
    std::vector<uint8_t> before = Read(addr, 0x10);
    ErrorTexts().clear();
    EXPECT_LT(XRELAYARM_WriteMem(addr, 0x20, data.data()), 0) << std::hex << addr;
    ASSERT_EQ(ErrorTexts().size(), 1u);
    EXPECT_NE(ErrorTexts()[0].find(Hex(addr + 0x10)), std::string::npos) << ErrorTexts()[0];
    EXPECT_EQ(Read(addr, 0x10), before) << std::hex << addr;
  }
}

/* ---- command strings ----------------------------------------------------------------- */

TEST_F(ProbeInterface, EveryCommandTheProgramSendsIsUnderstood) {
  std::string script = dir_ + "/setup.xrs";
  std::ofstream(script) << "// nothing\n";
  const std::string commands[] = {"SetIsTForge",
                                  "EnableFlashDL",
                                  "DisableFlashDL",
                                  "SupplyPower = 1",
                                  "DisablePowerSupplyOnClose",
                                  "SetVTrefTmp 3300",
                                  "Device = AT32F425C8T7",
                                  "ExcludeFlashCacheRange 0x0-0xFFFFFFFF",
                                  "SetEnableMemCache  0",
                                  "SetAllowFlashCache 0",
                                  "SetRXIDCode = 00112233445566778899AABBCCDDEEFF",
                                  "SetCheckModeAfterRead = 0",
                                  "SetCheckModeAfterRead = 1",
                                  "SetAllowRemoteRead = 1",
                                  "SetAllowRemoteWrite = 0",
                                  "SelectModule = 0",
                                  "SetMSGBoxTimeout = 0",
                                  "SetMSGBoxTimeout = -1",
                                  "SuppressEmuUSBDialog",
                                  "XRelayDevicesXMLPath = " + ProgramDir() + "/xrelay-devices.ini",
                                  "SetOnlyFreeMCUDBOnDLLUnload = 1",
                                  "scriptfile = \"" + script + "\"",
                                  "DisHD",
                                  "DisHDparam"};
  for (const auto& c : commands) {
    char err[256] = "x";
    EXPECT_EQ(XRELAYARM_ExecCommand(c.c_str(), err, sizeof err), 0) << c << ": " << err;
    EXPECT_STREQ(err, "") << c;
  }
}

TEST_F(ProbeInterface, BadCommandsAnswerWithAnErrorText) {
  const char* commands[] = {"NoSuchCommand",
                            "Device = NoSuchChip",
                            "SupplyPower = maybe",
                            "SetRXIDCode = 00112233445566778899AABBCCDDEEFF00",
                            "SelectModule = 3",
                            "scriptfile = /no/quotes",
                            "scriptfile = \"/does/not/exist.xrs\"",
                            "ExcludeFlashCacheRange 0x10-0x0",
                            "XRelayDevicesXMLPath = /no/such/file.ini",
                            "SetIsTForge = 1",
                            ""};
  for (const char* c : commands) {
    char err[256] = "";
    EXPECT_LT(XRELAYARM_ExecCommand(c, err, sizeof err), 0) << c;
    EXPECT_STRNE(err, "") << c;
  }
  char small[8];
  EXPECT_LT(XRELAYARM_ExecCommand("NoSuchCommand", small, sizeof small), 0);
  EXPECT_EQ(strlen(small), 7u) << "the text is cut to the buffer";
  EXPECT_LT(XRELAYARM_ExecCommand(nullptr, nullptr, 0), 0);
  EXPECT_GE(XRELAYARM_DEVICE_GetIndex("AT32F425C8T7"), 0) << "a failed database path keeps the old database";
}

/* ---- probes ---------------------------------------------------------------------------- */

TEST_F(ProbeInterface, DefaultProbeDescribesItself) {
  unsetenv("XRELAY_SIM_CONFIG"); /* the configuration shipped beside the library */
  EXPECT_EQ(XRELAYARM_EMU_SelectByUSBSN(123456), 0);
  EXPECT_EQ(XRELAYARM_EMU_SelectByUSBSN(654321), -1);
  ASSERT_EQ(XRELAYARM_OpenEx(nullptr, nullptr), nullptr);
  EXPECT_EQ(XRELAYARM_IsOpen(), 1);
  EXPECT_EQ(XRELAYARM_GetSN(), 123456);
  XRELAYARM_HW_STATUS st{};
  ASSERT_EQ(XRELAYARM_GetHWStatus(&st), 0);
  EXPECT_EQ(st.VTarget, 3300);
  char fw[320];
  EXPECT_GT(XRELAYARM_GetFirmwareString(fw, sizeof fw), 0);
  EXPECT_EQ(XRELAYARM_EMU_HasCapEx(XRELAYARM_CAP_EX_FILE_IO), 1);
  EXPECT_EQ(XRELAYARM_EMU_HasCapEx(XRELAYARM_CAP_EX_FILE_BROWSE), 1);
  EXPECT_EQ(XRELAYARM_EMU_HasCapEx(3), 0);
  ASSERT_EQ(XRELAYARM_TIF_Select(XRELAYARM_TIF_SWD), 0);
  ASSERT_EQ(XRELAYARM_Connect(), 0);
  XRELAYARM_ID_DATA id{};
  ASSERT_EQ(XRELAYARM_GetIdData(&id), 0);
  EXPECT_EQ(id.NumDevices, 1);
  EXPECT_EQ(id.aId[0] & 1u, 1u) << "a valid core ID is odd";
  EXPECT_EQ(XRELAYARM_GetId(), id.aId[0]);
  EXPECT_EQ(XRELAYARM_GetDeviceFamily(), 14);
  char name[64];
  ASSERT_GT(XRELAYARM_Core2CoreName(14, name, sizeof name), 0);
  EXPECT_STREQ(name, "Cortex-M4");
}

TEST_F(ProbeInterface, ProbesFromTheConfiguration) {
  Configure("ProductId = 41\nNickname = Line 3\nGangModules = 2\nCapabilities = FileIO\nMaxSpeed = 2000",
            "[Probe]\nSerialNumber = 777\nProductId = 14\nRS232 = 1\nVTarget = 1800\nAdaptiveClocking = 1\n");
  ASSERT_EQ(XRELAYARM_OpenEx(nullptr, nullptr), nullptr);
  EXPECT_EQ(XRELAYARM_EMU_GetProductId(), 41);
  EXPECT_EQ(XRELAYARM_EMU_HasCapEx(XRELAYARM_CAP_EX_FILE_BROWSE), 0);
  uint8_t nick[32];
  ASSERT_EQ(XRELAYARM_ReadEmuConfigMem(nick, 80, 32), 0);
  EXPECT_STREQ(reinterpret_cast<char*>(nick), "Line 3");
  ASSERT_EQ(XRELAYARM_SetMaxSpeed(), 0);
  EXPECT_EQ(XRELAYARM_GetSpeed(), 2000);
  ErrorTexts().clear();
  EXPECT_EQ(XRELAYARM_SetSpeed(XRELAYARM_SPEED_ADAPTIVE), 0) << "no adaptive clocking: no error either";
  EXPECT_EQ(XRELAYARM_GetSpeed(), 2000) << "the fixed speed stays";
  EXPECT_TRUE(ErrorTexts().empty());
  EXPECT_LT(XRELAYARM_ExecCommand("SelectModule = 2", nullptr, 0), 0) << "not while open";
  XRELAYARM_Close();
  EXPECT_EQ(XRELAYARM_ExecCommand("SelectModule = 2", nullptr, 0), 0);
  EXPECT_LT(XRELAYARM_ExecCommand("SelectModule = 3", nullptr, 0), 0);

  EXPECT_EQ(XRELAYARM_EMU_SelectByUSBSN(777), 1);
  ASSERT_EQ(XRELAYARM_OpenEx(nullptr, nullptr), nullptr);
  EXPECT_EQ(XRELAYARM_GetSN(), 777);
  EXPECT_EQ(XRELAYARM_EMU_GetProductId(), 14);
  const XRELAYARM_INDICATOR_STATE on = {1, 1, 3, 1, 0};
  EXPECT_EQ(XRELAYARM_INDICATORS_SetState(&on, 1), 0);
  ASSERT_EQ(XRELAYARM_SetSpeed(XRELAYARM_SPEED_ADAPTIVE), 0);
  EXPECT_EQ(XRELAYARM_GetSpeed(), -1);
  uint8_t none[32];
  ASSERT_EQ(XRELAYARM_ReadEmuConfigMem(none, 80, 32), 0);
  EXPECT_EQ(none[0], 0xFF) << "no nickname set";
}

TEST_F(ProbeInterface, GangModulesKeepTargetsOfTheirOwn) {
  Configure("ProductId = 42\nGangModules = 2");
  ASSERT_EQ(XRELAYARM_ExecCommand("SelectModule = 1", nullptr, 0), 0);
  ASSERT_EQ(XRELAYARM_OpenEx(nullptr, nullptr), nullptr);
  ASSERT_GE(XRELAYARM_EMU_FILE_Write("Stamper.cfg", reinterpret_cast<const uint8_t*>("m1"), 0, 2), 0);
  XRELAYARM_Close();
  ASSERT_EQ(XRELAYARM_ExecCommand("SelectModule = 2", nullptr, 0), 0);
  ASSERT_EQ(XRELAYARM_OpenEx(nullptr, nullptr), nullptr);
  EXPECT_LT(XRELAYARM_EMU_FILE_GetSize("Stamper.cfg"), 0);
  XRELAYARM_Close();
  ASSERT_EQ(XRELAYARM_ExecCommand("SelectModule = 0", nullptr, 0), 0);
}

TEST_F(ProbeInterface, LowTargetVoltageRefusesTheConnection) {
  Configure("VTarget = 0");
  ASSERT_EQ(XRELAYARM_OpenEx(nullptr, nullptr), nullptr);
  EXPECT_LT(XRELAYARM_Connect(), 0);
  EXPECT_TRUE(ErrorContains("voltage"));
  XRELAYARM_ID_DATA id{};
  ASSERT_EQ(XRELAYARM_GetIdData(&id), 0);
  EXPECT_EQ(id.NumDevices, 0);
}

TEST_F(ProbeInterface, SupplyVoltageChangesAfterTheConfiguredCalls) {
  Configure("FaultVoltageAfterCalls = 5\nFaultVoltage = 900");
  OpenAndConnect();
  XRELAYARM_HW_STATUS st{};
  int changedAt = -1;
  for (int i = 0; i < 10 && changedAt < 0; i++) {
    ASSERT_EQ(XRELAYARM_GetHWStatus(&st), 0);
    if (st.VTarget == 900) changedAt = i;
  }
  EXPECT_GE(changedAt, 0);
  uint8_t b;
  EXPECT_LT(XRELAYARM_ReadMem(0x20000000, 1, &b), 0) << "the target has lost its supply";
}

TEST_F(ProbeInterface, ConnectRefusesACoreTheTargetDoesNotHave) {
  ASSERT_EQ(XRELAYARM_OpenEx(nullptr, nullptr), nullptr);
  ASSERT_EQ(XRELAYARM_CORE_Select(0x070001FF), 0);
  EXPECT_LT(XRELAYARM_Connect(), 0);
  ASSERT_EQ(XRELAYARM_CORE_Select(0x060000FF), 0);
  EXPECT_EQ(XRELAYARM_Connect(), 0) << "a generic Cortex-M connects";
}

/* ---- run control, registers, memory ----------------------------------------------------- */

/* Thumb code: r1 = [r0]; r2 = r1 + 1; bkpt. */
const uint16_t kLoadAndBreak[] = {0x6801, 0x1c4a, 0xbe00};

TEST_F(ProbeInterface, RunsToABreakpointInstruction) {
  OpenAndConnect();
  ASSERT_EQ(XRELAYARM_WriteMem(0x20000000, sizeof kLoadAndBreak, kLoadAndBreak), 0);
  ASSERT_EQ(XRELAYARM_WriteU32(0x20000100, 41), 0);
  ASSERT_EQ(XRELAYARM_WriteReg(0, 0x20000100), 0);
  ASSERT_EQ(XRELAYARM_WriteReg(15, 0x20000000), 0);
  ASSERT_EQ(XRELAYARM_Go(), 0);
  EXPECT_EQ(XRELAYARM_IsHalted(), 1);
  EXPECT_EQ(Reg(15), 0x20000004u);
  EXPECT_EQ(Reg(2), 42u);
  /* New code at the same place runs, not the translation of the old. */
  const uint16_t other[] = {0x2263, 0xbf00, 0xbe00}; /* movs r2, #99; nop; bkpt */
  ASSERT_EQ(XRELAYARM_WriteMem(0x20000000, sizeof other, other), 0);
  ASSERT_EQ(XRELAYARM_WriteReg(15, 0x20000000), 0);
  ASSERT_EQ(XRELAYARM_GoIntDis(), 0);
  EXPECT_EQ(XRELAYARM_IsHalted(), 1);
  EXPECT_EQ(Reg(2), 99u);
}

TEST_F(ProbeInterface, HardwareBreakpointStopsBeforeTheInstruction) {
  OpenAndConnect();
  ASSERT_EQ(XRELAYARM_WriteMem(0x20000000, sizeof kLoadAndBreak, kLoadAndBreak), 0);
  ASSERT_EQ(XRELAYARM_WriteReg(0, 0x20000100), 0);
  ASSERT_EQ(XRELAYARM_WriteReg(2, 0), 0);
  ASSERT_EQ(XRELAYARM_SetBP(0, 0x20000002), 0);
  ASSERT_EQ(XRELAYARM_WriteReg(15, 0x20000000), 0);
  ASSERT_EQ(XRELAYARM_Go(), 0);
  EXPECT_EQ(XRELAYARM_IsHalted(), 1);
  EXPECT_EQ(Reg(15), 0x20000002u);
  EXPECT_EQ(Reg(2), 0u);
  ASSERT_EQ(XRELAYARM_Go(), 0) << "continues from the breakpoint";
  EXPECT_EQ(XRELAYARM_IsHalted(), 1);
  EXPECT_EQ(Reg(15), 0x20000004u);
}

TEST_F(ProbeInterface, AccessToUnmappedMemoryIsABusFault) {
  OpenAndConnect();
  ASSERT_EQ(XRELAYARM_WriteMem(0x20000000, sizeof kLoadAndBreak, kLoadAndBreak), 0);
  const uint32_t addrs[] = {0x60000000u, 0x40003400u, 0x1FFFF400u};
  for (uint32_t addr : addrs) {
    ErrorTexts().clear();
    ASSERT_EQ(XRELAYARM_WriteReg(0, addr), 0);
    ASSERT_EQ(XRELAYARM_WriteReg(15, 0x20000000), 0);
    ASSERT_EQ(XRELAYARM_Go(), 0);
    EXPECT_EQ(XRELAYARM_IsHalted(), 1) << std::hex << addr;
    EXPECT_TRUE(ErrorContains("Bus fault")) << std::hex << addr;
    EXPECT_NE(Reg(15), 0x20000004u) << "the breakpoint is not reached";
    EXPECT_EQ(XRELAYARM_HasError(), 1);
  }
}

TEST_F(ProbeInterface, GoWhereNothingAnswersIsABusFault) {
  OpenAndConnect();
  const uint16_t jump[] = {0x4700}; /* bx r0 */
  ASSERT_EQ(XRELAYARM_WriteMem(0x20000000, sizeof jump, jump), 0);
  struct Case {
    const char* name;
    uint32_t pc, r0;
  } const cases[] = {{"Go", 0x60000000, 0},
                     {"Go into the registers", 0x40022000, 0},
                     {"Go at the top", 0xFFFFFFF0, 0},
                     {"jump from RAM", 0x20000000, 0x60000001}};
  for (const auto& c : cases) {
    ErrorTexts().clear();
    ASSERT_EQ(XRELAYARM_WriteReg(0, c.r0), 0);
    ASSERT_EQ(XRELAYARM_WriteReg(15, c.pc), 0);
    ASSERT_EQ(XRELAYARM_Go(), 0) << c.name;
    EXPECT_EQ(XRELAYARM_IsHalted(), 1) << c.name;
    EXPECT_TRUE(ErrorContains("Bus fault: instruction fetch")) << c.name;
    EXPECT_TRUE(ErrorContains(Hex(c.r0 ? c.r0 & ~1u : c.pc))) << c.name;
  }
  /* Flash holds the application, which runs. */
  ASSERT_EQ(XRELAYARM_WriteReg(15, 0x08000100), 0);
  ASSERT_EQ(XRELAYARM_Go(), 0);
  EXPECT_EQ(XRELAYARM_IsHalted(), 0);
  ASSERT_EQ(XRELAYARM_Halt(), 0);
}

/* Each slice runs the core for its virtual time, one instruction a cycle, and ends between two
   instructions: the same run on an idle or a loaded host. (Round trips that take no time keep
   the core from running along with the calls, so that only the slices count.) */
TEST_F(ProbeInterface, RunSlicesEndBetweenInstructionsAfterTheirVirtualTime) {
  Configure("RunSliceUs = 1\nRoundTripUs = 0"); /* 8 instructions at the 8 MHz after reset */
  OpenAndConnect();
  std::vector<uint16_t> code(200, 0x3201); /* adds r2, #1 */
  code.push_back(0xbe00);
  ASSERT_EQ(XRELAYARM_WriteMem(0x20000000, static_cast<uint32_t>(code.size() * 2), code.data()), 0);
  ASSERT_EQ(XRELAYARM_WriteReg(2, 0), 0);
  ASSERT_EQ(XRELAYARM_WriteReg(15, 0x20000000), 0);
  ASSERT_EQ(XRELAYARM_Go(), 0); /* the first slice */
  EXPECT_EQ(XRELAYARM_IsHalted(), 0);
  EXPECT_EQ(XRELAYARM_IsHalted(), 0);
  ASSERT_EQ(XRELAYARM_Halt(), 0);
  EXPECT_EQ(Reg(2), 24u);
  EXPECT_EQ(Reg(15), 0x20000000u + 2 * 24);
  ASSERT_EQ(XRELAYARM_Go(), 0);
  int polls = 0;
  while (XRELAYARM_IsHalted() == 0 && polls < 100)
    polls++;
  EXPECT_EQ(polls, 200 / 8 - 4) << "3 slices before the halt, one in Go, 8 instructions each";
  EXPECT_EQ(Reg(2), 200u);
  EXPECT_EQ(Reg(15), 0x20000000u + 2 * 200);
}

/* The watchdog, started by the probe, runs out while the core stays halted for seconds of
   slow transfers; then a short program runs to its breakpoint. */
TEST_F(ProbeInterface, HaltedCoreStopsTheWatchdogWhenDebugControlPausesIt) {
  OpenAndConnect();
  struct Case {
    const char* name;
    uint32_t debugCtrl;
    bool resets;
  } const cases[] = {{"paused", 1u << 8, false}, {"not paused", 0, true}};
  std::vector<uint8_t> buf(0x1000);
  for (const auto& c : cases) {
    ErrorTexts().clear();
    ASSERT_EQ(XRELAYARM_Reset(), 0);
    ASSERT_EQ(XRELAYARM_WriteMem(0x20000000, sizeof kLoadAndBreak, kLoadAndBreak), 0);
    ASSERT_EQ(XRELAYARM_WriteU32(0xE0042004, c.debugCtrl), 0);
    ASSERT_EQ(XRELAYARM_WriteU32(0x40003000, 0xCCCC), 0); /* 4096 ticks of 0.1 ms */
    ASSERT_EQ(XRELAYARM_SetSpeed(10), 0);
    ASSERT_EQ(XRELAYARM_ReadMem(0x20000000, 0x1000, buf.data()), 0); /* about 5 s */
    ASSERT_EQ(XRELAYARM_SetSpeed(4000), 0);
    ASSERT_EQ(XRELAYARM_WriteReg(0, 0x20000100), 0);
    ASSERT_EQ(XRELAYARM_WriteReg(15, 0x20000000), 0);
    ASSERT_EQ(XRELAYARM_Go(), 0);
    EXPECT_EQ(XRELAYARM_IsHalted(), 1) << c.name;
    EXPECT_EQ(ErrorContains("Target reset"), c.resets) << c.name;
    EXPECT_EQ(Reg(15) == 0x20000004u, !c.resets) << c.name;
  }
}

TEST_F(ProbeInterface, RegistersByTheirCortexMNumbers) {
  OpenAndConnect();
  for (uint32_t r = 0; r <= 12; r++)
    ASSERT_EQ(XRELAYARM_WriteReg(r, 0x1000 + r), 0);
  const uint32_t idx[] = {0, 12, 13, 17, 24, 25, 27, 20};
  ASSERT_EQ(XRELAYARM_WriteReg(13, 0x20004000), 0);
  ASSERT_EQ(XRELAYARM_WriteReg(24, 1), 0);
  ASSERT_EQ(XRELAYARM_WriteReg(25, 0x40), 0);
  uint32_t v[8];
  uint8_t st[8];
  ASSERT_EQ(XRELAYARM_ReadRegs(idx, v, st, 8), 0);
  EXPECT_EQ(v[0], 0x1000u);
  EXPECT_EQ(v[1], 0x100Cu);
  EXPECT_EQ(v[2], 0x20004000u);
  EXPECT_EQ(v[3], 0x20004000u) << "SP is the main stack pointer after reset";
  EXPECT_EQ(v[4], 1u);
  EXPECT_EQ(v[5], 0x40u);
  EXPECT_EQ(v[6], 0u);
  EXPECT_EQ(v[7], 0x00004001u) << "CFBP packs CONTROL, FAULTMASK, BASEPRI, PRIMASK";
  uint64_t wide[2];
  ASSERT_EQ(XRELAY_ReadRegs_64(idx, wide, nullptr, 2), 0);
  EXPECT_EQ(wide[1], 0x100Cu);
  EXPECT_EQ(Reg(16) & 0x01000000u, 0x01000000u) << "the Thumb bit";
}

TEST_F(ProbeInterface, ResetTakesStackAndEntryFromTheVectorTable) {
  const uint32_t vectors[2] = {0x20005000, 0x08000101};
  SeedFlash(123456, 0x10000, 0xFF);
  {
    std::string path = dir_ + "/state/123456/flash.bin";
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(20);
    f.write(reinterpret_cast<const char*>(vectors), 8);
  }
  OpenAndConnect();
  ASSERT_EQ(XRELAYARM_Reset(), 0);
  EXPECT_EQ(XRELAYARM_IsHalted(), 1);
  EXPECT_EQ(Reg(13), 0x20005000u);
  EXPECT_EQ(Reg(15), 0x08000100u);
  ASSERT_EQ(XRELAYARM_ResetNoHalt(), 0);
  EXPECT_EQ(XRELAYARM_IsHalted(), 0) << "the application runs";
  uint32_t v;
  EXPECT_LT(XRELAYARM_ReadReg(0, &v), 0) << "no registers while running";
  ASSERT_EQ(XRELAYARM_Halt(), 0);
  EXPECT_EQ(XRELAYARM_IsHalted(), 1);
}

TEST_F(ProbeInterface, WorkAreaIsRestoredAsItWasSaved) {
  OpenAndConnect();
  std::vector<uint8_t> before(256);
  for (size_t i = 0; i < before.size(); i++)
    before[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(XRELAYARM_WriteMem(0x20000000, 256, before.data()), 0);
  ASSERT_EQ(XRELAYARM_WA_AddRange(0x20000000, 64), 0);
  ASSERT_EQ(XRELAYARM_WA_AddRange(0x20000020, 224), 0);
  std::vector<uint8_t> junk(256, 0xEE);
  ASSERT_EQ(XRELAYARM_WriteMem(0x20000000, 256, junk.data()), 0);
  ASSERT_EQ(XRELAYARM_WA_Restore(), 0);
  EXPECT_EQ(Read(0x20000000, 256), before);
  EXPECT_LT(XRELAYARM_WA_AddRange(0x60000000, 64), 0);
}

TEST_F(ProbeInterface, VirtualClockCountsTheChipsProgramTime) {
  OpenAndConnect();
  DownloadAlgorithm("flm_main_64k.flm", 0x20000000);
  ASSERT_EQ(Call("Init"), 0);
  int64_t t0 = XRELAYARM_SIM_GetVirtualTimeUs();
  std::vector<uint8_t> page(0x400, 0x5A);
  ASSERT_EQ(XRELAYARM_WriteMem(BufferAddr(), 0x400, page.data()), 0);
  ASSERT_EQ(Call("ProgramPage", 0x08000000, 0x400, BufferAddr()), 0);
  int64_t spent = XRELAYARM_SIM_GetVirtualTimeUs() - t0;
  EXPECT_GE(spent, 512 * 42) << "512 halfwords of 42 us each";
  EXPECT_LT(spent, 512 * 42 * 2);
}

/* Every call that talks to the probe is one round trip: the link's fixed time, then its bytes
   at the interface speed (SWD: 46 clocks a word). Calls that stay in the library are free. */
TEST_F(ProbeInterface, EveryProbeCallIsOneRoundTripOnTheVirtualClock) {
  struct Link {
    const char* name;
    const char* config;
    double roundTripUs;
  } const links[] = {{"default: a full-speed USB probe", "", 1000},
                     {"configured", "RoundTripUs = 250", 250},
                     {"instant", "RoundTripUs = 0", 0}};
  std::vector<uint8_t> buf(0x1000, 0x3C);
  const uint32_t regs[] = {0, 1, 15};
  uint32_t values[3] = {};
  XRELAYARM_HW_STATUS st{};
  struct Op {
    const char* name;
    std::function<int()> call;
    uint32_t numRoundTrips, numBytes;
  } const ops[] = {
      {"4 KB write", [&] { return XRELAYARM_WriteMem(0x20000000, 0x1000, buf.data()); }, 1, 0x1000},
      {"16-byte read", [&] { return XRELAYARM_ReadMem(0x20000010, 16, buf.data()); }, 1, 16},
      {"three registers", [&] { return XRELAYARM_ReadRegs(regs, values, nullptr, 3); }, 1, 12},
      {"halt", [] { return XRELAYARM_Halt(); }, 1, 0},
      {"supply status", [&] { return XRELAYARM_GetHWStatus(&st); }, 1, 0},
      {"library version", [] { return XRELAYARM_GetDLLVersion() > 0 ? 0 : -1; }, 0, 0},
      {"device lookup", [] { return XRELAYARM_DEVICE_GetIndex("AT32F425C8T7") >= 0 ? 0 : -1; }, 0, 0},
  };
  for (const Link& link : links) {
    Configure(link.config);
    OpenAndConnect(); /* SWD at 4 MHz */
    for (const Op& op : ops) {
      int64_t n0 = XRELAYARM_SIM_GetNumRoundTrips(), t0 = XRELAYARM_SIM_GetVirtualTimeUs();
      ASSERT_EQ(op.call(), 0) << link.name << ", " << op.name;
      EXPECT_EQ(XRELAYARM_SIM_GetNumRoundTrips() - n0, op.numRoundTrips) << link.name << ", " << op.name;
      double expected = op.numRoundTrips * link.roundTripUs + op.numBytes * 46.0 / 4 / 4;
      EXPECT_NEAR(static_cast<double>(XRELAYARM_SIM_GetVirtualTimeUs() - t0), expected, 1)
          << link.name << ", " << op.name;
    }
    ASSERT_EQ(XRELAYARM_SetSpeed(12000), 0);
    int64_t t0 = XRELAYARM_SIM_GetVirtualTimeUs();
    ASSERT_EQ(XRELAYARM_WriteMem(0x20000000, 0x1000, buf.data()), 0);
    EXPECT_NEAR(static_cast<double>(XRELAYARM_SIM_GetVirtualTimeUs() - t0), link.roundTripUs + 0x1000 * 46.0 / 4 / 12,
                1)
        << link.name << ": at 12 MHz";
    XRELAYARM_Close();
  }
}

/* A running core goes on while the host's calls take their time: a read sees what the core did
   meanwhile. */
TEST_F(ProbeInterface, ACoreRunsAlongWithTheHostsCalls) {
  Configure("RunSliceUs = 1"); /* Go runs the core a microsecond: 8 instructions at 8 MHz */
  OpenAndConnect();
  std::vector<uint16_t> code;
  for (int i = 0; i < 2000; i++)
    code.insert(code.end(), {0x3201, 0x601A}); /* adds r2, #1; str r2, [r3] */
  code.push_back(0xbe00);
  ASSERT_EQ(XRELAYARM_WriteMem(0x20000000, static_cast<uint32_t>(code.size() * 2), code.data()), 0);
  ASSERT_EQ(XRELAYARM_WriteReg(2, 0), 0);
  ASSERT_EQ(XRELAYARM_WriteReg(3, 0x20002000), 0);
  ASSERT_EQ(XRELAYARM_WriteReg(15, 0x20000000), 0);
  ASSERT_EQ(XRELAYARM_Go(), 0);
  uint32_t stored = 0;
  ASSERT_EQ(XRELAYARM_ReadMem(0x20002000, 4, &stored), 0);
  EXPECT_EQ(stored, 2000u) << "1011.5 us of the read: room for 8092 instructions, 4000 needed";
  EXPECT_EQ(XRELAYARM_IsHalted(), 1);
}

/* A loop that only waits says so with YIELD (a no-op on the chip): the rest of each run passes
   without emulating it, and the loop still sees the host's write at the next call. */
TEST_F(ProbeInterface, AYieldingLoopSpendsItsRunsWaiting) {
  OpenAndConnect();
  const uint16_t code[] = {
      0x6801, /* loop: ldr r1, [r0] */
      0x3201, /*       adds r2, #1 */
      0x2900, /*       cmp r1, #0 */
      0xD101, /*       bne done */
      0xBF10, /*       yield */
      0xE7F9, /*       b loop */
      0xBE00, /* done: bkpt */
  };
  ASSERT_EQ(XRELAYARM_WriteMem(0x20000000, sizeof code, code), 0);
  ASSERT_EQ(XRELAYARM_WriteU32(0x20001000, 0), 0);
  ASSERT_EQ(XRELAYARM_WriteReg(0, 0x20001000), 0);
  ASSERT_EQ(XRELAYARM_WriteReg(2, 0), 0);
  ASSERT_EQ(XRELAYARM_WriteReg(15, 0x20000000), 0);
  int64_t t0 = XRELAYARM_SIM_GetVirtualTimeUs();
  ASSERT_EQ(XRELAYARM_Go(), 0);
  for (int i = 0; i < 3; i++)
    EXPECT_EQ(XRELAYARM_IsHalted(), 0);
  EXPECT_GE(XRELAYARM_SIM_GetVirtualTimeUs() - t0, 4 * 1000 + 3 * 1000) << "the slices and round trips pass";
  ASSERT_EQ(XRELAYARM_WriteU32(0x20001000, 1), 0);
  EXPECT_EQ(XRELAYARM_IsHalted(), 1) << "the write is seen on the next run";
  EXPECT_EQ(Reg(15), 0x2000000Cu);
  EXPECT_LE(Reg(2), 12u) << "one pass a run, not the thousands that 8 ms at 8 MHz would spin";
  EXPECT_GE(Reg(2), 8u);
}

/* ---- device database --------------------------------------------------------------------- */

TEST_F(ProbeInterface, DeviceDatabaseHoldsTheAt32f425Variants) {
  int n = XRELAYARM_DEVICE_GetInfo(-1, nullptr);
  ASSERT_GT(n, 4);
  struct Variant {
    const char* name;
    uint32_t mainSectors;
    const char* loader;
  } const variants[] = {{"AT32F425C4T7", 16, "flm_main_16k.flm"},
                        {"ArteryTek AT32F425C6T7", 32, "flm_main_32k.flm"},
                        {"at32f425c8t7", 64, "flm_main_64k.flm"}};
  auto* loaderDesc = reinterpret_cast<XRELAY_LOADER_DESC_FUNC*>(XRELAY_GetpFunc(XRELAY_PFUNC_LOADER_DESC));
  ASSERT_NE(loaderDesc, nullptr);
  for (const auto& v : variants) {
    int idx = XRELAYARM_DEVICE_GetIndex(v.name);
    ASSERT_GE(idx, 0) << v.name;
    XRELAYARM_DEVICE_INFO info{};
    info.SizeOfStruct = XRELAYARM_DEVICE_INFO_SIZE;
    ASSERT_EQ(XRELAYARM_DEVICE_GetInfo(idx, &info), 0);
    EXPECT_EQ(info.Core, 0x0E0000FFu);
    EXPECT_EQ(info.RAMAddr, 0x20000000u);
    ASSERT_EQ(info.NumBanks, 3u) << v.name;
    EXPECT_EQ(info.aFlashBank[3].paSectors, nullptr) << "the bank list ends";
    const uint32_t bases[3] = {0x08000000, 0x1FFFE400, 0x1FFFF800};
    const XRELAYARM_SECTOR_REGION regions[3] = {{v.mainSectors, 0x400, 0}, {4, 0x400, 0}, {1, 0x200, 0}};
    for (int b = 0; b < 3; b++) {
      EXPECT_EQ(info.aFlashBank[b].BaseAddr, bases[b]);
      EXPECT_EQ(info.aFlashBank[b].LoaderKind, 8u);
      EXPECT_EQ(info.aFlashBank[b].paSectors[0].NumSectors, regions[b].NumSectors);
      EXPECT_EQ(info.aFlashBank[b].paSectors[0].SectorSize, regions[b].SectorSize);
      EXPECT_EQ(info.aFlashBank[b].paSectors[1].NumSectors, 0u);
      XRELAYARM_LOADER_DESC desc{};
      desc.SizeOfStruct = sizeof desc;
      ASSERT_EQ(loaderDesc(idx, bases[b], 0, "Default", &desc), 0);
      EXPECT_EQ(desc.LoaderKind, 8u);
      struct stat st {};
      EXPECT_EQ(stat(desc.sAlgoFile, &st), 0) << desc.sAlgoFile;
    }
    XRELAYARM_LOADER_DESC desc{};
    desc.SizeOfStruct = sizeof desc;
    ASSERT_EQ(loaderDesc(idx, 0x08000000, 0, "Default", &desc), 0);
    std::string file = desc.sAlgoFile;
    EXPECT_EQ(file.substr(file.rfind('/') + 1), v.loader);
    const char* first = XRELAY_DEVICE_GetLoaderName(idx, 0x08000000, 0, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(loaderDesc(idx, 0x08000000, 0, first, &desc), 0) << "the enumerated name is accepted";
    EXPECT_LT(loaderDesc(idx, 0x08000000, 0, "No such loader", &desc), 0);
    EXPECT_LT(loaderDesc(idx, 0x08001000, 0, "Default", &desc), 0) << "no bank there";
  }
  XRELAYARM_DEVICE_INFO small{};
  small.SizeOfStruct = 100;
  EXPECT_LT(XRELAYARM_DEVICE_GetInfo(0, &small), 0);
  XRELAYARM_DEVICE_INFO past{};
  past.SizeOfStruct = XRELAYARM_DEVICE_INFO_SIZE;
  EXPECT_NE(XRELAYARM_DEVICE_GetInfo(n, &past), 0);
}

TEST_F(ProbeInterface, DeviceDatabaseHasCoreOnlyDevicesAndCurrentNamesOfFormerOnes) {
  const char* names[] = {"Cortex-M0",
                         "Cortex-M3",
                         "Cortex-M4",
                         "Atmel ATSAM3S4C",
                         "Atmel ATSAM3A2C",
                         "NXP LPC2148",
                         "Infineon XMC1201-0016",
                         "Xilinx XC7Z020",
                         "IDT ZAMC4100",
                         "Realtek RTL8762A",
                         "Itron TRIFECTA (info blocks)"};
  for (const char* name : names) {
    int idx = XRELAYARM_DEVICE_GetIndex(name);
    ASSERT_GE(idx, 0) << name;
    XRELAYARM_DEVICE_INFO info{};
    info.SizeOfStruct = XRELAYARM_DEVICE_INFO_SIZE;
    ASSERT_EQ(XRELAYARM_DEVICE_GetInfo(idx, &info), 0);
    EXPECT_EQ(info.NumBanks, 0u) << name;
    EXPECT_EQ(info.aFlashBank[0].paSectors, nullptr) << name;
  }
  EXPECT_EQ(XRELAYARM_DEVICE_GetIndex("Atmel AT91SAM3S4C"), -1) << "former names are the program's to map";
  char core[64];
  XRELAYARM_Core2CoreName(0x070001FF, core, sizeof core);
  EXPECT_STREQ(core, "ARM7TDMI-S");
}

/* The program keeps the device records it read; another database must not take them away. */
TEST_F(ProbeInterface, AnotherDeviceDatabaseLeavesWhatWasHandedOutIntact) {
  const std::string shipped = ProgramDir() + "/xrelay-devices.ini";
  ASSERT_EQ(XRELAYARM_ExecCommand(("XRelayDevicesXMLPath = " + shipped).c_str(), nullptr, 0), 0);
  int idx = XRELAYARM_DEVICE_GetIndex("AT32F425C8T7");
  ASSERT_GE(idx, 0);
  XRELAYARM_DEVICE_INFO info{};
  info.SizeOfStruct = XRELAYARM_DEVICE_INFO_SIZE;
  ASSERT_EQ(XRELAYARM_DEVICE_GetInfo(idx, &info), 0);
  auto* loaderDesc = reinterpret_cast<XRELAY_LOADER_DESC_FUNC*>(XRELAY_GetpFunc(XRELAY_PFUNC_LOADER_DESC));
  XRELAYARM_LOADER_DESC desc{};
  desc.SizeOfStruct = sizeof desc;
  ASSERT_EQ(loaderDesc(idx, 0x08000000, 0, "Default", &desc), 0);
  const char* loaderName = XRELAY_DEVICE_GetLoaderName(idx, 0x08000000, 0, 0);
  ASSERT_NE(loaderName, nullptr);
  const std::string name = info.sName, bank = info.aFlashBank[0].sName, file = desc.sAlgoFile,
                    loader = loaderName;

  std::string other = dir_ + "/other-devices.ini";
  std::ofstream(other) << "[Device]\nName = OTHER1\nManufacturer = Nobody\nCore = 0x0E0000FF\n"
                          "RAM = 0x20000000, 0x1000\nBank = Internal flash | 0x08000000 | 32*0x800\n";
  ASSERT_EQ(XRELAYARM_ExecCommand(("XRelayDevicesXMLPath = " + other).c_str(), nullptr, 0), 0);
  EXPECT_EQ(XRELAYARM_DEVICE_GetIndex("AT32F425C8T7"), -1);
  int otherIdx = XRELAYARM_DEVICE_GetIndex("OTHER1");
  ASSERT_GE(otherIdx, 0);
  XRELAYARM_DEVICE_INFO otherInfo{};
  otherInfo.SizeOfStruct = XRELAYARM_DEVICE_INFO_SIZE;
  ASSERT_EQ(XRELAYARM_DEVICE_GetInfo(otherIdx, &otherInfo), 0);

  EXPECT_EQ(info.sName, name);
  EXPECT_EQ(info.aFlashBank[0].sName, bank);
  EXPECT_EQ(info.aFlashBank[0].paSectors[0].NumSectors, 64u);
  EXPECT_EQ(info.aFlashBank[0].paSectors[0].SectorSize, 0x400u);
  EXPECT_EQ(desc.sAlgoFile, file);
  EXPECT_EQ(desc.paSectors[0].NumSectors, 64u);
  EXPECT_EQ(loaderName, loader);
  ASSERT_EQ(XRELAYARM_ExecCommand(("XRelayDevicesXMLPath = " + shipped).c_str(), nullptr, 0), 0);
}

/* A loader may name a script file beside its algorithm; the descriptor hands it over by path. */
TEST_F(ProbeInterface, LoaderNamesItsScriptFile) {
  std::string db = dir_ + "/script-devices.ini";
  std::ofstream(db) << "[Device]\nName = SCRIPTED\nManufacturer = Nobody\nCore = 0x0E0000FF\n"
                       "Bank = Main flash | 0x08000000 | 64*0x400\n"
                       "Loader = 0x08000000 | With script | 8 | algo.flm | loader.script\n"
                       "Loader = 0x08000000 | Absolute | 8 | /opt/algo.flm | /opt/loader.script\n"
                       "Loader = 0x08000000 | Without | 8 | algo.flm\n";
  ASSERT_EQ(XRELAYARM_ExecCommand(("XRelayDevicesXMLPath = " + db).c_str(), nullptr, 0), 0);
  int idx = XRELAYARM_DEVICE_GetIndex("SCRIPTED");
  ASSERT_GE(idx, 0);
  auto* loaderDesc = reinterpret_cast<XRELAY_LOADER_DESC_FUNC*>(XRELAY_GetpFunc(XRELAY_PFUNC_LOADER_DESC));
  struct Case {
    const char* loader;
    std::string script; /* "" none */
  } const cases[] = {{"With script", dir_ + "/loader.script"}, {"Absolute", "/opt/loader.script"}, {"Without", ""}};
  for (const Case& c : cases) {
    XRELAYARM_LOADER_DESC desc{};
    desc.SizeOfStruct = sizeof desc;
    ASSERT_EQ(loaderDesc(idx, 0x08000000, 0, c.loader, &desc), 0) << c.loader;
    EXPECT_EQ(desc.sScriptFile ? desc.sScriptFile : "", c.script) << c.loader;
  }
  std::ofstream(db) << "[Device]\nName = BAD\nManufacturer = Nobody\nCore = 0x0E0000FF\n"
                       "Bank = Main flash | 0x08000000 | 64*0x400\n"
                       "Loader = 0x08000000 | Six | 8 | algo.flm | loader.script | more\n";
  char err[256] = "";
  EXPECT_LT(XRELAYARM_ExecCommand(("XRelayDevicesXMLPath = " + db).c_str(), err, sizeof err), 0);
  EXPECT_NE(std::string(err).find("[| script file]"), std::string::npos) << err;
  const std::string shipped = ProgramDir() + "/xrelay-devices.ini";
  ASSERT_EQ(XRELAYARM_ExecCommand(("XRelayDevicesXMLPath = " + shipped).c_str(), nullptr, 0), 0);
}

TEST_F(ProbeInterface, OtherFunctionIndicesAreNotSupported) {
  for (int i : {14, 19, 20, 50, 51, 59, 61, 62, 63, 64, 65})
    EXPECT_NE(XRELAY_GetpFunc(i), nullptr) << i;
  for (int i : {-1, 0, 15, 17, 26, 27, 56, 70, 1000})
    EXPECT_EQ(XRELAY_GetpFunc(i), nullptr) << i;
}

/* Functions 19 and 20 run around flash programming and are counted, so that a test sees that
   a loader ran them; 14 has no algorithm information for any bank. */
TEST_F(ProbeInterface, FlashHooksAreCountedAndNoBankHasBuiltInAlgorithms) {
  OpenAndConnect();
  const int hooks[] = {XRELAY_PFUNC_BEFORE_FLASH, XRELAY_PFUNC_AFTER_FLASH};
  for (int index : hooks) {
    auto* hook = reinterpret_cast<XRELAY_FLASH_HOOK_FUNC*>(XRELAY_GetpFunc(index));
    ASSERT_NE(hook, nullptr) << index;
    int64_t before = XRELAYARM_SIM_GetNumPFuncCalls(index);
    int64_t other = XRELAYARM_SIM_GetNumPFuncCalls(index == 19 ? 20 : 19);
    EXPECT_EQ(hook(), 0) << index;
    EXPECT_EQ(hook(), 0) << index;
    EXPECT_EQ(XRELAYARM_SIM_GetNumPFuncCalls(index) - before, 2) << index;
    EXPECT_EQ(XRELAYARM_SIM_GetNumPFuncCalls(index == 19 ? 20 : 19), other) << index;
  }
  auto* algoInfo = reinterpret_cast<XRELAY_ALGO_INFO_FUNC*>(XRELAY_GetpFunc(XRELAY_PFUNC_ALGO_INFO));
  ASSERT_NE(algoInfo, nullptr);
  const uint8_t organisation[4] = {2, 1, 0, 0};
  EXPECT_EQ(algoInfo(0x0E0000FFu, 0x08000000, organisation), nullptr);
  EXPECT_EQ(algoInfo(0x0E0000FFu, 0x60000000, nullptr), nullptr);
  EXPECT_TRUE(ErrorTexts().empty()) << "having none is no error";
}

/* ---- loader scripts ----------------------------------------------------------------------- */

struct ScriptFuncs {
  XRELAY_SCRIPT_TRANSLATE_FUNC* translate =
      reinterpret_cast<XRELAY_SCRIPT_TRANSLATE_FUNC*>(XRELAY_GetpFunc(XRELAY_PFUNC_SCRIPT_TRANSLATE));
  XRELAY_SCRIPT_LOAD_FUNC* load = reinterpret_cast<XRELAY_SCRIPT_LOAD_FUNC*>(XRELAY_GetpFunc(XRELAY_PFUNC_SCRIPT_LOAD));
  XRELAY_SCRIPT_UNLOAD_FUNC* unload =
      reinterpret_cast<XRELAY_SCRIPT_UNLOAD_FUNC*>(XRELAY_GetpFunc(XRELAY_PFUNC_SCRIPT_UNLOAD));
  XRELAY_SCRIPT_HAS_FUNC_FUNC* has =
      reinterpret_cast<XRELAY_SCRIPT_HAS_FUNC_FUNC*>(XRELAY_GetpFunc(XRELAY_PFUNC_SCRIPT_HAS_FUNC));
  XRELAY_SCRIPT_CALL_FUNC* call = reinterpret_cast<XRELAY_SCRIPT_CALL_FUNC*>(XRELAY_GetpFunc(XRELAY_PFUNC_SCRIPT_CALL));
};

void* AllocForScript(uint32_t n) {
  return malloc(n);
}

class LoaderScript : public ProbeInterface {
protected:
  /* Writes the text to a file and translates it: 0 with the compiled bytes, or its result. */
  int Translate(const std::string& text, std::vector<uint8_t>& compiled) {
    std::string path = dir_ + "/loader.script";
    std::ofstream(path) << text;
    uint8_t* out = reinterpret_cast<uint8_t*>(1);
    uint32_t n = 1234;
    int rc = f_.translate(path.c_str(), &AllocForScript, &out, &n);
    if (rc == 0) compiled.assign(out, out + n);
    if (rc != 0) {
      EXPECT_EQ(out, nullptr);
      EXPECT_EQ(n, 0u);
    }
    free(out);
    return rc;
  }
  ScriptFuncs f_;
};

const char kLoaderScript[] = R"(# What a loader does around programming.
function FLASH_Prepare
  write32 0x20004000 0x12345678   # a word
  write8  0x20004005 0xAB
  write16 0x20004006 0xCDEF
  return 48000000
end
function FLASH_Restore
  write32 0x20004000 0
end
data FLASH_AlgoParams 1 2 3 4 5 6 7 8 9 0x400
)";

TEST_F(LoaderScript, FunctionsRunOnTheTargetByName) {
  OpenAndConnect();
  std::vector<uint8_t> compiled;
  ASSERT_EQ(Translate(kLoaderScript, compiled), 0);
  ASSERT_GT(compiled.size(), 32u);
  EXPECT_EQ(std::string(compiled.begin(), compiled.begin() + 4), "PCV2");
  int64_t calls = XRELAYARM_SIM_GetNumPFuncCalls(XRELAY_PFUNC_SCRIPT_CALL);
  int handle = f_.load(compiled.data(), static_cast<uint32_t>(compiled.size()));
  ASSERT_GT(handle, 0);
  compiled.assign(compiled.size(), 0); /* the library keeps its own copy */
  EXPECT_EQ(f_.has(handle, "FLASH_Prepare"), 1);
  EXPECT_EQ(f_.has(handle, "flash_restore"), 1) << "names in any case";
  EXPECT_EQ(f_.has(handle, "FLASH_Erase"), 0);
  EXPECT_EQ(f_.has(handle, "FLASH_AlgoParams"), 0) << "data is no function";

  int32_t result = -1;
  ASSERT_EQ(f_.call(handle, "FLASH_Prepare", &result), 0);
  EXPECT_EQ(result, 48000000);
  EXPECT_EQ(Read(0x20004000, 8), (std::vector<uint8_t>{0x78, 0x56, 0x34, 0x12, 0x00, 0xAB, 0xEF, 0xCD}));
  ASSERT_EQ(f_.call(handle, "FLASH_Restore", &result), 0);
  EXPECT_EQ(result, 0) << "a function without return answers 0";
  EXPECT_EQ(Read(0x20004000, 4), std::vector<uint8_t>(4, 0));
  ErrorTexts().clear();
  EXPECT_LT(f_.call(handle, "FLASH_Erase", &result), 0);
  EXPECT_TRUE(ErrorContains("FLASH_Erase"));
  EXPECT_EQ(XRELAYARM_SIM_GetNumPFuncCalls(XRELAY_PFUNC_SCRIPT_CALL) - calls, 3);

  XRELAYARM_Close();
  EXPECT_LT(f_.call(handle, "FLASH_Prepare", &result), 0) << "no target to write";
  EXPECT_EQ(f_.unload(handle), 0);
  EXPECT_LT(f_.has(handle, "FLASH_Prepare"), 0);
  EXPECT_LT(f_.unload(handle), 0);
}

TEST_F(LoaderScript, BadScriptsAreRefusedWithTheirLine) {
  struct Case {
    const char* name;
    const char* text;
    const char* error;
  } const cases[] = {
      {"unknown statement", "function F\n  jump 1\nend\n", "line 2: unknown statement \"jump\""},
      {"missing end", "function F\n  return 1\n", "function F has no \"end\""},
      {"statement outside a function", "write32 1 2\n", "line 1: \"write32\" outside a function"},
      {"defined twice", "data A 1\ndata a 2\n", "line 2: \"a\" is defined twice"},
      {"not a number", "function F\n  write32 zz 1\nend\n", "line 2:"},
      {"too few values", "function F\n  write16 0x20000000\nend\n", "line 2: \"write16\" takes 2 value(s)"},
      {"end alone", "end\n", "line 1: \"end\" without a function"},
      {"nested", "function F\nfunction G\nend\n", "line 2: \"function\" inside function F"},
  };
  for (const Case& c : cases) {
    ErrorTexts().clear();
    std::vector<uint8_t> compiled;
    EXPECT_LT(Translate(c.text, compiled), 0) << c.name;
    EXPECT_TRUE(ErrorContains(c.error)) << c.name << ": " << (ErrorTexts().empty() ? "" : ErrorTexts()[0]);
  }
  uint8_t* out = nullptr;
  uint32_t n = 0;
  EXPECT_LT(f_.translate((dir_ + "/missing.script").c_str(), &AllocForScript, &out, &n), 0);
  const uint8_t junk[40] = {'P', 'C', 'V', '2', 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0};
  EXPECT_LE(f_.load(junk, sizeof junk), 0) << "an entry table beyond the buffer";
  EXPECT_LE(f_.load(junk, 8), 0);
}

/* ---- memory of any size and alignment ----------------------------------------------------- */

/* Reads and writes of any length at any address: RAM round-trips without touching the bytes
   around, and flash (also through its boot alias at 0) reads what the cells hold. */
TEST_F(ProbeInterface, MemoryOfAnySizeAtAnyAlignment) {
  std::vector<uint8_t> flash(0x10000);
  for (size_t i = 0; i < flash.size(); i++)
    flash[i] = static_cast<uint8_t>(i * 13 + (i >> 8));
  SeedFlashImage(123456, flash);
  OpenAndConnect();
  const uint32_t lengths[] = {1, 2, 3, 4, 5, 7, 8, 13, 0x401};
  for (uint32_t offset = 0; offset < 4; offset++) {
    for (uint32_t length : lengths) {
      std::vector<uint8_t> ram(0x480, 0xEE), data(length);
      for (uint32_t i = 0; i < length; i++)
        data[i] = static_cast<uint8_t>(0x40 + i * 3 + offset);
      ASSERT_EQ(XRELAYARM_WriteMem(0x20000000, 0x480, ram.data()), 0);
      EXPECT_EQ(XRELAYARM_WriteMemEx(0x20000010 + offset, length, data.data(), 0), static_cast<int>(length));
      std::copy(data.begin(), data.end(), ram.begin() + 0x10 + offset);
      std::vector<uint8_t> back(0x480);
      EXPECT_EQ(XRELAYARM_ReadMemEx(0x20000000, 0x480, back.data(), 0), 0x480);
      EXPECT_EQ(back, ram) << offset << "+" << length;
      std::vector<uint8_t> part(length);
      EXPECT_EQ(XRELAYARM_ReadMemEx(0x20000010 + offset, length, part.data(), 0), static_cast<int>(length));
      EXPECT_EQ(part, data) << offset << "+" << length;
      for (uint32_t base : {0x08000000u, 0u}) {
        uint32_t at = 0x3FD + offset; /* across a sector boundary */
        EXPECT_EQ(XRELAYARM_ReadMemEx(base + at, length, part.data(), 0), static_cast<int>(length));
        EXPECT_TRUE(std::equal(part.begin(), part.end(), flash.begin() + at)) << std::hex << base + at << "+" << length;
      }
    }
  }
  std::vector<uint8_t> tail(3);
  EXPECT_EQ(XRELAYARM_ReadMemEx(0x0800FFFD, 3, tail.data(), 0), 3) << "up to the last byte of the flash";
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), flash.end() - 3));
  EXPECT_LT(XRELAYARM_ReadMemEx(0x0800FFFD, 4, tail.data(), 0), 0) << "one byte beyond it";
}

/* ---- programmer files ----------------------------------------------------------------- */

TEST_F(ProbeInterface, ProgrammerFilesFoldersMoveAndRename) {
  ASSERT_EQ(XRELAYARM_OpenEx(nullptr, nullptr), nullptr);
  auto* list = reinterpret_cast<XRELAY_FOLDER_LIST_FUNC*>(XRELAY_GetpFunc(XRELAY_PFUNC_FOLDER_LIST));
  auto* move = reinterpret_cast<XRELAY_FILE_MOVE_FUNC*>(XRELAY_GetpFunc(XRELAY_PFUNC_FILE_MOVE));
  ASSERT_EQ(XRELAYARM_EMU_FILE_Write("Stamper.cfg", nullptr, 0, 0), 0) << "creates the file";
  EXPECT_EQ(XRELAYARM_EMU_FILE_GetSize("Stamper.cfg"), 0);
  const uint8_t data[] = "0123456789";
  EXPECT_EQ(XRELAYARM_EMU_FILE_Write("Stamper.cfg", data, 0, 6), 6);
  EXPECT_EQ(XRELAYARM_EMU_FILE_Write("Stamper.cfg", data + 6, 6, 4), 4);
  EXPECT_LT(XRELAYARM_EMU_FILE_Write("Stamper.cfg", data, 20, 1), 0) << "no holes";
  uint8_t back[16] = {};
  EXPECT_EQ(XRELAYARM_EMU_FILE_Read("Stamper.cfg", back, 2, 16), 8);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(back), 8), "23456789");

  ASSERT_EQ(XRELAYARM_EMU_FILE_Write("Lot7\\tmp.txt", data, 0, 1), 1);
  ASSERT_EQ(XRELAYARM_EMU_FILE_Delete("Lot7\\tmp.txt"), 0);
  ASSERT_EQ(move("Stamper.cfg", "Lot7\\Stamper.cfg"), 0);
  EXPECT_LT(XRELAYARM_EMU_FILE_GetSize("Stamper.cfg"), 0);
  EXPECT_EQ(XRELAYARM_EMU_FILE_GetSize("Lot7/Stamper.cfg"), 10);
  ASSERT_EQ(move("Lot7", "Lot8"), 0) << "folders rename too";
  EXPECT_LT(move("Lot8", "Lot8\\inner"), 0);

  XRELAYARM_FOLDER_ENTRY entries[4];
  ASSERT_EQ(list("\\", entries, 4), 3);
  EXPECT_STREQ(entries[0].acName, ".");
  EXPECT_STREQ(entries[1].acName, "..");
  EXPECT_STREQ(entries[2].acName, "Lot8");
  EXPECT_EQ(entries[2].Attributes & XRELAYARM_FILE_ATTR_FOLDER, 1u);
  ASSERT_EQ(list("Lot8", entries, 2), 3) << "the count of all entries, more than fit";
  ASSERT_EQ(list("Lot8", entries, 4), 3);
  EXPECT_STREQ(entries[2].acName, "Stamper.cfg");
  EXPECT_EQ(entries[2].Size, 10u);
  EXPECT_GE(entries[2].Year, 2024);

  EXPECT_EQ(XRELAYARM_EMU_FILE_Delete("Lot8"), 0) << "a folder goes with what it holds";
  EXPECT_LT(XRELAYARM_EMU_FILE_GetSize("Lot8\\Stamper.cfg"), 0);
  const char* outside[] = {"..\\escape.txt", "a/../../b", "", "\\", nullptr};
  for (const char* p : outside)
    EXPECT_LT(XRELAYARM_EMU_FILE_Write(p, data, 0, 1), 0) << (p ? p : "null");
  EXPECT_LT(list("..", entries, 4), 0);
}

TEST_F(ProbeInterface, FileSizeIsAnAnswerForAMissingFileAndAnErrorForNoName) {
  ASSERT_EQ(XRELAYARM_OpenEx(nullptr, nullptr), nullptr);
  EXPECT_LT(XRELAYARM_EMU_FILE_GetSize("Missing.cfg"), 0);
  EXPECT_TRUE(ErrorTexts().empty()) << "no such file is not an error";
  const char* bad[] = {nullptr, "..\\escape.txt", ""};
  for (const char* name : bad) {
    ErrorTexts().clear();
    EXPECT_LT(XRELAYARM_EMU_FILE_GetSize(name), 0) << (name ? name : "null");
    ASSERT_EQ(ErrorTexts().size(), 1u) << (name ? name : "null");
    EXPECT_FALSE(ErrorTexts()[0].empty());
  }
}

TEST_F(ProbeInterface, FileFunctionsNeedTheCapabilities) {
  Configure("Capabilities = FileIO");
  ASSERT_EQ(XRELAYARM_OpenEx(nullptr, nullptr), nullptr);
  auto* list = reinterpret_cast<XRELAY_FOLDER_LIST_FUNC*>(XRELAY_GetpFunc(XRELAY_PFUNC_FOLDER_LIST));
  XRELAYARM_FOLDER_ENTRY e[2];
  EXPECT_EQ(list("\\", e, 2), XRELAYARM_ERR_NOT_SUPPORTED);
  EXPECT_GE(XRELAYARM_EMU_FILE_Write("Serial.txt", reinterpret_cast<const uint8_t*>("1"), 0, 1), 0);
  XRELAYARM_Close();
  Configure("Capabilities =");
  ASSERT_EQ(XRELAYARM_OpenEx(nullptr, nullptr), nullptr);
  EXPECT_LT(XRELAYARM_EMU_FILE_Write("Serial.txt", reinterpret_cast<const uint8_t*>("1"), 0, 1), 0);
}

/* ---- log, state ----------------------------------------------------------------------- */

TEST_F(ProbeInterface, LogFileRecordsEveryCallWithArgumentsAndResult) {
  std::string log = dir_ + "/probe.log";
  XRELAYARM_SetLogFile(log.c_str());
  ASSERT_EQ(XRELAYARM_OpenEx(nullptr, nullptr), nullptr);
  XRELAYARM_WriteU32(0x20000000, 0x1234);
  XRELAYARM_Connect();
  XRELAYARM_WriteU32(0x20000000, 0xCAFE);
  XRELAYARM_SetLogFile(nullptr);
  std::ifstream in(log);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("XRELAYARM_OpenEx("), std::string::npos);
  EXPECT_NE(text.find("XRELAYARM_WriteU32(0x20000000, 0x00001234) returns -1"), std::string::npos) << text;
  EXPECT_NE(text.find("not connected"), std::string::npos) << "the error text too";
  EXPECT_NE(text.find("XRELAYARM_Connect() returns 0"), std::string::npos) << text;
  EXPECT_NE(text.find("XRELAYARM_WriteU32(0x20000000, 0x0000CAFE) returns 0"), std::string::npos);
}

TEST_F(ProbeInterface, AnotherProcessSeesWhatWasProgrammed) {
  OpenAndConnect();
  DownloadAlgorithm("flm_main_64k.flm", 0x20000000);
  ASSERT_EQ(Call("Init"), 0);
  ASSERT_EQ(Call("EraseSector", 0x08003000), 0);
  const uint8_t data[8] = {0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x23, 0x45, 0x67};
  ASSERT_EQ(XRELAYARM_WriteMem(BufferAddr(), 8, data), 0);
  ASSERT_EQ(Call("ProgramPage", 0x08003000, 8, BufferAddr()), 0);
  /* No Close: a crash after programming must not lose it either. */
  std::string cmd = std::string(XRELAY_READFLASH_TOOL) + " 0x08003000 10";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char out[128] = {};
  size_t n = fread(out, 1, sizeof out - 1, p);
  EXPECT_EQ(pclose(p), 0) << cmd;
  EXPECT_EQ(std::string(out, n), "DEADBEEF01234567FFFF\n");
}

TEST_F(ProbeInterface, DamagedStateFileStartsFromAnErasedChip) {
  std::string d = dir_ + "/state/123456";
  ASSERT_EQ(system(("mkdir -p '" + d + "'").c_str()), 0);
  std::ofstream(d + "/flash.bin") << "XRSIMFL1 truncated";
  OpenAndConnect();
  EXPECT_EQ(Read(0x08000000, 16), std::vector<uint8_t>(16, 0xFF));
}

} // namespace
