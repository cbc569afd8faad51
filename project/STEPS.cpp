/*
 * STEPS - the table of step actions.
 */
#include "project/STEPS.h"

#include "sys/UTIL.h"

namespace {

constexpr uint32_t kAny = 0xFFFFFFFFu;
constexpr STEPS_PARAM kNone = {nullptr, nullptr, 0, 0, 0, 0};
constexpr STEPS_PARAM kAddress = {"Address", nullptr, 0, kAny, STEPS_DISPLAY_HEX, 4};
constexpr STEPS_PARAM kData8 = {"Data", nullptr, 0, 0xFF, STEPS_DISPLAY_HEX, 1};
constexpr STEPS_PARAM kData16 = {"Data", nullptr, 0, 0xFFFF, STEPS_DISPLAY_HEX, 2};
constexpr STEPS_PARAM kData32 = {"Data", nullptr, 0, kAny, STEPS_DISPLAY_HEX, 4};
constexpr STEPS_PARAM kValue32 = {"Value", nullptr, 0, kAny, STEPS_DISPLAY_HEX, 4};
constexpr STEPS_PARAM kDelay = {"Delay", "ms", 0, 0xFFFF, STEPS_DISPLAY_DECIMAL, 0};
constexpr STEPS_PARAM kOnOff = {"On/Off", nullptr, 0, 1, STEPS_DISPLAY_DECIMAL, 0};
constexpr STEPS_PARAM kIndex = {"Index", nullptr, 0, 0xFF, STEPS_DISPLAY_INDEX, 0};

} // namespace

const INIT_ACTION STEPS_Actions[STEPS_NUM_ACTIONS] = {
    {"Delay", {kNone, kDelay}},
    {"Disable MMU", {kNone, kNone}},
    {"Disable Checks", {kNone, kNone}},
    {"Enable Checks", {kNone, kNone}},
    {"Go", {kNone, kNone}},
    {"Halt", {kNone, kNone}},
    {"Reset", {{"Type", nullptr, 0, 0xFF, STEPS_DISPLAY_DECIMAL, 0}, kDelay}},
    {"Read 8bit", {kAddress, kNone}},
    {"Read 16bit", {kAddress, kNone}},
    {"Read 32bit", {kAddress, kNone}},
    {"SetAllowRemoteRead", {kNone, kOnOff}},
    {"SetAllowRemoteWrite", {kNone, kOnOff}},
    {"Verify 8bit", {kAddress, kData8}},
    {"Verify 16bit", {kAddress, kData16}},
    {"Verify 32bit", {kAddress, kData32}},
    {"Write 8bit", {kAddress, kData8}},
    {"Write 16bit", {kAddress, kData16}},
    {"Write 32bit", {kAddress, kData32}},
    {"Write&Verify 8bit", {kAddress, kData8}},
    {"Write&Verify 16bit", {kAddress, kData16}},
    {"Write&Verify 32bit", {kAddress, kData32}},
    {"Write Register", {{"Register", nullptr, 0, 0x24, STEPS_DISPLAY_REGISTER, 0}, kValue32}},
    {"Write JTAG IR", {{"Command", nullptr, 0, 15, STEPS_DISPLAY_IR_COMMAND, 0}, kNone}},
    {"Write JTAG DR", {{"NumBits", "Bit(s)", 1, 32, STEPS_DISPLAY_DECIMAL, 0}, kData32}},
    {"Var AND", {kNone, kValue32}},
    {"Var OR", {kNone, kValue32}},
    {"Var XOR", {kNone, kValue32}},
    {"Var BEQ", {kIndex, kNone}},
    {"Var BNE", {kIndex, kNone}},
    {"Var Write 8bit", {kAddress, kNone}},
    {"Var Write 16bit", {kAddress, kNone}},
    {"Var Write 32bit", {kAddress, kNone}},
    {"SetModeBigEndian", {kNone, kNone}},
    {"SetModeLittleEndian", {kNone, kNone}},
    {"Var Write File 8bit", {kAddress, kNone}},
    {"Var Write File 16bit", {kAddress, kNone}},
    {"Var Write File 32bit", {kAddress, kNone}},
    {"Comment", {kNone, kNone}},
    {"Write File 8bit", {kAddress, kData8}},
    {"Write File 16bit", {kAddress, kData16}},
    {"Write File 32bit", {kAddress, kData32}},
    {"Report Error", {{"Value", nullptr, 0, kAny, STEPS_DISPLAY_HEX, 4}, kNone}},
};

int STEPS_FindAction(const char* sName) {
  if (sName == nullptr) return -1;
  for (int i = 0; i < STEPS_NUM_ACTIONS; i++) {
    if (UTIL_stricmp(STEPS_Actions[i].sName, sName) == 0) return i;
  }
  return -1;
}

const INIT_ACTION* STEPS_GetAction(uint32_t Index) {
  return Index < STEPS_NUM_ACTIONS ? &STEPS_Actions[Index] : nullptr;
}
