/*
 * STEPS - the init and exit step actions: their names and the two parameters of each.
 *
 * A project stores a step by the action's name; the index into STEPS_Actions is what the
 * project records hold. Running the actions on the target builds on this table.
 */
#pragma once

#include <cstdint>

enum { STEPS_NUM_ACTIONS = 42 };
enum {
  STEPS_ACTION_DELAY = 0,
  STEPS_ACTION_RESET = 6,
  STEPS_ACTION_COMMENT = 37,
};

// How a parameter's value is shown.
enum {
  STEPS_DISPLAY_HEX = 0,      // "0x" and 2 * HexBytes digits
  STEPS_DISPLAY_DECIMAL = 1,  // "%d" and the unit
  STEPS_DISPLAY_INDEX = 2,    // "#%d"
  STEPS_DISPLAY_REGISTER = 3, // register name
  STEPS_DISPLAY_IR_COMMAND = 4,
};

struct STEPS_PARAM {
  const char* sLabel; // null: the value is not used
  const char* sUnit;
  uint32_t Min;
  uint32_t Max;
  uint8_t Display;
  uint8_t HexBytes;
};

struct INIT_ACTION {
  const char* sName;
  STEPS_PARAM aParam[2]; // Value0, Value1
};

extern const INIT_ACTION STEPS_Actions[STEPS_NUM_ACTIONS];

int STEPS_FindAction(const char* sName);            // index (names compared without case), or -1
const INIT_ACTION* STEPS_GetAction(uint32_t Index); // row, or null for 42 and above
