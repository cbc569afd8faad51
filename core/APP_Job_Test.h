/*
 * APP_Job_Test - the test seam of the job engine; only tests include it.
 */
#pragma once

// Allows a new engine after a stop.
void APP_ResetJobEngineForTest(void);
