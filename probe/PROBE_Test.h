/*
 * PROBE_Test - the test seam of the probe binding; only tests include it.
 *
 * Load this file instead of searching; replace one entry by a function of the same signature
 * (null restores the library's); make the n-th call (1 = the next one) of an entry fail: that
 * call returns -1 (null, 0, nothing) without reaching the library. 0, or -1 for an unknown name.
 */
#pragma once

#include "probe/PROBE.h"

void PROBE_SetLibraryPathForTest(const char* sPath);
int PROBE_SetEntry(const char* sName, void* pfFunction);
int PROBE_FailNthCall(const char* sName, int n);
void PROBE_ResetEntries(void); // drops every override and pending failure
