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
  void (*pfUpdateMenuBar)(void); // the menu and toolbar state follows the connection
};
void TARGET_SetHooks(const TARGET_HOOKS* pHooks);

// Parameters of "Verify JTAG scan chain" and "Detect JTAG scan chain": the project dialog's
// current values (interface TargetIF, speed Speed0, the chain); detect fills the chain in.
struct PROJECT_TIF;
struct TARGET_CHAIN_PARAMS {
  int32_t Device; // index in the device database, -1 none
  PROJECT_TIF* pTIF;
};

// Installs the jobs "Connect to target", "Disconnect from target" and the two chain jobs.
void TARGET_InstallJobs(void);

bool TARGET_OpenProbe(bool SelectInterface, bool Verbose); // probe open
void TARGET_CloseProbe(void);
int TARGET_Connect(void); // 0 connected (also when it was), 1 failed
void TARGET_Disconnect(void);
bool TARGET_IsConnected(void);
bool TARGET_IsGangProgrammer(void);
// The project's JTAG chain (its devices, or the core's position in it) handed to the probe.
void TARGET_ConfigureChain(const PROJECT_TIF& Tif);

// A bare probe and target connection for the JTAG chain jobs: null, or the failure text.
const char* TARGET_QuickConnect(int Interface, int Device, uint32_t SpeedKHz);
// Selects module n (1..24) of a gang programmer and opens the probe on it. 0, or -1 (reported).
int TARGET_SelectGangModule(int Module);
// Whether the open stand-alone programmer programs the project device's core on its own:
// null, or the refusal text.
const char* TARGET_CheckStandAloneCore(void);
// Core class of a core word: 0 ARM7/ARM9 and others, 1 Cortex-M, 3 RX, 4 PowerPC, ...
int TARGET_GetCoreClass(uint32_t CoreWord);

// Timeouts in ms of the target operations, taken at every connect: erase and program from the
// project (when it overrides them; else 15000 and 10000), the rest from the global settings.
struct TARGET_TIMEOUTS {
  uint32_t Erase;
  uint32_t Program;
  uint32_t CheckBlank;
  uint32_t CalcCRC;
  uint32_t ReadBack;
};
void TARGET_GetTimeouts(TARGET_TIMEOUTS* p);

// Sends the main window what its project information shows: project, device, connection, banks.
void TARGET_RefreshProjectInfo(void);

uint32_t TARGET_GetCPUClock(void); // Hz found at connect, 0 when not determined
