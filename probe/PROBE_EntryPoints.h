/*
 * The probe library's entry points as the program binds them:
 * X(result type, name, parameter list, argument list).
 */
#pragma once

#define PROBE_ENTRY_POINTS(X)                                                                               \
  X(int, XRELAYARM_GetDLLVersion, (void), ())                                                              \
  X(const char*, XRELAYARM_GetCompileDateTime, (void), ())                                                 \
  X(int, XRELAYARM_ExecCommand, (const char* sIn, char* sError, int BufferSize), (sIn, sError, BufferSize)) \
  X(void, XRELAYARM_SetErrorOutHandler, (XRELAYARM_LOG_FUNC * pfErrorOut), (pfErrorOut))                   \
  X(void, XRELAYARM_SetLogFile, (const char* sFilename), (sFilename))                                       \
  X(char, XRELAYARM_IsOpen, (void), ())                                                                     \
  X(void, XRELAYARM_Close, (void), ())                                                                      \
  X(int, XRELAYARM_GetHWStatus, (XRELAYARM_HW_STATUS * pStat), (pStat))                                   \
  X(int, XRELAYARM_DEVICE_GetIndex, (const char* sDeviceName), (sDeviceName))                               \
  X(int, XRELAYARM_DEVICE_GetInfo, (int DeviceIndex, XRELAYARM_DEVICE_INFO* pInfo), (DeviceIndex, pInfo))   \
  X(const char*, XRELAY_DEVICE_GetLoaderName, (int DeviceIndex, uint32_t BankAddr, uint32_t Flags, int LoaderIndex), \
    (DeviceIndex, BankAddr, Flags, LoaderIndex))                                                            \
  X(void*, XRELAY_GetpFunc, (int Index), (Index))
