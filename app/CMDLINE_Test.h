/*
 * CMDLINE_Test - the test seam of the command line; only tests include it.
 */
#pragma once

void CMDLINE_ResetForTest(void); // forgets every setting of the passes
