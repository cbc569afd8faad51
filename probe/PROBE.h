/*
 * PROBE - binding of the probe library libxrelayarm.so.
 *
 * The library is loaded on the first call of any entry point: from the program directory,
 * else from the directory in the settings-store value "InstallPath". Each entry point of
 * xrelayarm.h has a wrapper of the same name here that looks the function up on first use
 * and keeps it. All entry points live in one table {name, function}, so that a test can
 * replace an entry or make the n-th call of one fail (probe/PROBE_Test.h).
 */
#pragma once

#include "xrelayarm.h"

#define PROBE_LIBRARY_NAME "libxrelayarm.so"

// How "... not found !" boxes are shown (default: standard error only).
void PROBE_SetMessageHandler(void (*pfShow)(const char* sTitle, const char* sText));
// Loads the library now; 0, or -1 when it was not found (the box has been shown).
int PROBE_Load(void);
bool PROBE_IsLoaded(void);
void PROBE_Unload(void); // forgets the library and every looked-up function (not the overrides)
// Path of the library that was loaded, or "".
const char* PROBE_GetLibraryPath(void);
