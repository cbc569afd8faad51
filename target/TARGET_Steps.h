/*
 * TARGET_Steps - running the project's init and exit step sequences on the target.
 *
 * One step variable lives for the whole run; the read actions set it, the Var actions change
 * it and the two branches test it.
 */
#pragma once

#include <cstdint>

enum { STEPS_SEQ_INIT = 0, STEPS_SEQ_EXIT = 1 };

int STEPS_Execute(int Sequence); // 0, or -1 (reported)
// The display form of a value of parameter Param (0 Value0, 1 Value1) of action Action:
// 0, or -1 when the parameter is not used (sDest then empty).
int STEPS_FormatValue(uint32_t Action, int Param, uint32_t Value, char* sDest, int DestSize);
uint32_t STEPS_GetVariable(void);
void STEPS_SetVariable(uint32_t Value); // for tests
