/*
 * APP - the top of the program: the jobs "Initialize application" and "Exit application", the
 * version lines and the target-voltage monitor.
 *
 * "Initialize application" loads the settings, runs the command line's passes, logs the version
 * lines, reads the device lists and decides the start-up project; "Exit application" stops the
 * voltage monitor, closes the project and switches the log file off. Both reach the subsystems
 * through the start-up stages of core/APP.h.
 */
#pragma once

#include "core/APP.h"

// Puts the start-up and shut-down jobs into the job table; once, before the main window starts.
void APP_InstallStartupJobs(void);

// The target connection: its jobs, what the command line overrides, the voltage monitor and the
// command-line operations -connect and -disconnect.
void APP_InstallTargetHooks(void);

// The Stamper files: their jobs, what they ask of the connection, and the command-line
// operations -savecfg, -savedat and -download.
void APP_InstallStamperHooks(void);

// The program's and the probe library's version lines, in the log.
void APP_LogVersionLines(void);

/*********************************************************************
 * Target-voltage monitor
 */
void APP_VMON_Start(void); // once; not again while it runs
void APP_VMON_Stop(void);  // signals its stop event, waits at most 100 ms for the acknowledgement
bool APP_VMON_IsRunning(void);
void APP_VMON_SetLimits(bool CheckEnabled, int MinMv, int MaxMv); // disabled: 1000..5500 mV
void APP_VMON_GetLimits(int* pMinMv, int* pMaxMv);
// The connection the monitor watches (installed by the connect code).
void APP_VMON_SetTarget(bool (*pfIsConnected)(void), void (*pfDisconnect)(void));
