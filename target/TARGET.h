/*
 * TARGET - the target connection: opening the probe, connecting to the project's device with
 * its init sequence, interface speed, CPU clock and core-ID checks, and tearing it down again.
 *
 * Everything here runs on the job worker thread. What the command line and the voltage
 * monitor contribute comes through TARGET_HOOKS, filled by the program at start-up.
 */
#pragma once

#include <cstdint>

// What the layers above hand to the connection.
struct TARGET_HOOKS {
  // The connection to use for the run: 0 USB by device number, 1 USB by serial number, 2 TCP/IP.
  // Null: the project's GENERAL settings.
  void (*pfGetConnection)(int* pKind, uint32_t* pNumber, char* sHost, int HostSize);
  const char* (*pfGetIDCode)(void); // the ID code override (at most 32 characters), "" none
  void (*pfStartVMon)(void);                                 // after the first connect
  void (*pfSetVMonLimits)(bool CheckEnabled, int MinMv, int MaxMv); // the voltage window
};
void TARGET_SetHooks(const TARGET_HOOKS* pHooks);

// Installs the jobs "Connect to target" and "Disconnect from target".
void TARGET_InstallJobs(void);

bool TARGET_OpenProbe(bool SelectInterface, bool Verbose); // probe open
void TARGET_CloseProbe(void);
int TARGET_Connect(void); // 0 connected (also when it was), 1 failed
void TARGET_Disconnect(void);
bool TARGET_IsConnected(void);
bool TARGET_IsGangProgrammer(void);

uint32_t TARGET_GetCPUClock(void); // Hz found at connect, 0 when not determined
