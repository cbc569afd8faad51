/*
 * FLASH_CMSIS - the flash module "CMSIS": a CMSIS flash algorithm or a flash-loader image run
 * as RAMCode by the RAMCode runner. Open checks the algorithm; every operation runs inside a
 * prepare step (CPU registers and work RAM saved, clock measured, RAMCode downloaded, Init or
 * the extended Prepare called) and a restore step (UnInit or Restore, RAM and registers given
 * back). Prepare steps nest: only the outermost one downloads and only the outermost restore
 * gives the target back; an inner prepare re-initialises the algorithm when the operation asks
 * for another Init function code.
 *
 * The table is FLASH_ModuleCMSIS (flash/FLASH.h). What can be decided without a target is kept
 * in the plain functions below.
 */
#pragma once

#include <cstdint>

#include "flash/FLASH.h"

// Init function codes: 1 "Erase", 2 "Program", 3 "Verify", 4 "Read"; 0 none in force.
enum { FLASH_INIT_ERASE = 1, FLASH_INIT_PROGRAM = 2, FLASH_INIT_VERIFY = 3, FLASH_INIT_READ = 4 };
// The Init function code for a handle's operation code, given the code in force.
uint32_t FLASH_CMSIS_GetInitCode(uint32_t OpCode, uint32_t CodeInForce);
const char* FLASH_CMSIS_GetInitName(uint32_t Code); // "???" for an unknown code

/*
 * Timeout of one program request: toProg per page of the chunk (at least one page). Above
 * 10000 ms, and for a toProg of 0, a default is taken instead (10000 ms, 5000 ms) and *pDefault
 * says which (1 too high, 2 none set; 0 the computed one).
 */
uint32_t FLASH_CMSIS_CalcProgramTimeout(uint32_t TimeoutProgram, uint32_t NumPages, int* pDefault);
// Bytes per program request: the buffer, or on a slow core (clock known, below 500 kHz) with
// data given a 32nd of it in whole pages (at least one).
uint32_t FLASH_CMSIS_CalcChunkSize(uint32_t BufferSize, uint32_t PageSize, uint32_t ClockHz, bool HasData);
