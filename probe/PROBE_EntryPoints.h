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
  X(int, XRELAYARM_INDICATORS_SetState, (const XRELAYARM_INDICATOR_STATE* paStates, int NumStates),       \
    (paStates, NumStates))                                                                                  \
  X(int, XRELAYARM_SelectUSB, (int Port), (Port))                                                          \
  X(int, XRELAYARM_EMU_SelectByUSBSN, (uint32_t SerialNo), (SerialNo))                                      \
  X(int, XRELAYARM_SelectIP, (const char* sHost, int Port), (sHost, Port))                                  \
  X(const char*, XRELAYARM_OpenEx, (XRELAYARM_LOG_FUNC * pfLog, XRELAYARM_LOG_FUNC * pfErrorOut), (pfLog, pfErrorOut)) \
  X(int, XRELAYARM_GetSN, (void), ())                                                                       \
  X(int, XRELAYARM_GetFirmwareString, (char* sBuffer, int BufferSize), (sBuffer, BufferSize))               \
  X(int, XRELAYARM_EMU_GetProductId, (void), ())                                                            \
  X(int, XRELAYARM_TIF_Select, (int Interface), (Interface))                                                \
  X(int, XRELAYARM_SetSpeed, (uint32_t Speed), (Speed))                                                     \
  X(int, XRELAYARM_SetMaxSpeed, (void), ())                                                                 \
  X(int, XRELAYARM_GetSpeed, (void), ())                                                                    \
  X(int, XRELAYARM_ConfigJTAG, (int IRPre, int DRPre), (IRPre, DRPre))                                      \
  X(int, XRELAYARM_JTAG_ConfigDevices, (uint32_t NumDevices, const XRELAYARM_JTAG_DEVICE_CONF* paConf),     \
    (NumDevices, paConf))                                                                                   \
  X(uint32_t, XRELAYARM_JTAG_GetDeviceId, (uint32_t DeviceIndex), (DeviceIndex))                            \
  X(int, XRELAYARM_JTAG_GetDeviceInfo, (uint32_t DeviceIndex, char* sName, int BufferSize),                 \
    (DeviceIndex, sName, BufferSize))                                                                       \
  X(int, XRELAYARM_GetIdData, (XRELAYARM_ID_DATA * pIdData), (pIdData))                                     \
  X(int, XRELAYARM_StoreCmd, (uint8_t Cmd), (Cmd))                                                          \
  X(int, XRELAYARM_StoreData, (const uint32_t* pData, int NumBits), (pData, NumBits))                       \
  X(int, XRELAYARM_WriteBits, (void), ())                                                                   \
  X(int, XRELAYARM_CORE_Select, (uint32_t Core), (Core))                                                    \
  X(int, XRELAYARM_Connect, (void), ())                                                                     \
  X(uint32_t, XRELAYARM_GetId, (void), ())                                                                  \
  X(int, XRELAYARM_GetDeviceFamily, (void), ())                                                             \
  X(int, XRELAYARM_Core2CoreName, (uint32_t Core, char* sBuffer, int BufferSize), (Core, sBuffer, BufferSize)) \
  X(int, XRELAYARM_SetEndian, (int BigEndian), (BigEndian))                                                 \
  X(int, XRELAYARM_MeasureCPUSpeed, (uint32_t RAMAddr, int PreserveMem), (RAMAddr, PreserveMem))            \
  X(int, XRELAYARM_MeasureCPUSpeedEx, (uint32_t RAMAddr, int PreserveMem, int AllowFail),                  \
    (RAMAddr, PreserveMem, AllowFail))                                                                      \
  X(int, XRELAYARM_Halt, (void), ())                                                                        \
  X(int, XRELAYARM_IsHalted, (void), ())                                                                    \
  X(int, XRELAYARM_Go, (void), ())                                                                          \
  X(int, XRELAYARM_GoIntDis, (void), ())                                                                    \
  X(int, XRELAYARM_SetBP, (uint32_t BPIndex, uint32_t Addr), (BPIndex, Addr))                               \
  X(int, XRELAYARM_Reset, (void), ())                                                                       \
  X(int, XRELAYARM_ResetNoHalt, (void), ())                                                                 \
  X(int, XRELAYARM_SetRESET, (void), ())                                                                    \
  X(int, XRELAYARM_ClrRESET, (void), ())                                                                    \
  X(int, XRELAYARM_ResetPullsRESET, (int OnOff), (OnOff))                                                   \
  X(int, XRELAYARM_SetResetType, (int ResetType), (ResetType))                                              \
  X(int, XRELAYARM_SetResetDelay, (int Delay), (Delay))                                                     \
  X(int, XRELAYARM_ReadMem, (uint32_t Addr, uint32_t NumBytes, void* pData), (Addr, NumBytes, pData))       \
  X(int, XRELAYARM_ReadMemU8, (uint32_t Addr, uint32_t NumItems, uint8_t* pData, uint8_t* pStatus),         \
    (Addr, NumItems, pData, pStatus))                                                                       \
  X(int, XRELAYARM_ReadMemU16, (uint32_t Addr, uint32_t NumItems, uint16_t* pData, uint8_t* pStatus),       \
    (Addr, NumItems, pData, pStatus))                                                                       \
  X(int, XRELAYARM_ReadMemU32, (uint32_t Addr, uint32_t NumItems, uint32_t* pData, uint8_t* pStatus),       \
    (Addr, NumItems, pData, pStatus))                                                                       \
  X(int, XRELAYARM_WriteMem, (uint32_t Addr, uint32_t NumBytes, const void* pData), (Addr, NumBytes, pData)) \
  X(int, XRELAYARM_WriteU8, (uint32_t Addr, uint8_t Data), (Addr, Data))                                    \
  X(int, XRELAYARM_WriteU16, (uint32_t Addr, uint16_t Data), (Addr, Data))                                  \
  X(int, XRELAYARM_WriteU32, (uint32_t Addr, uint32_t Data), (Addr, Data))                                  \
  X(int, XRELAYARM_ReadMemEx, (uint32_t Addr, uint32_t NumBytes, void* pData, uint32_t Flags),               \
    (Addr, NumBytes, pData, Flags))                                                                         \
  X(int, XRELAYARM_WriteMemEx, (uint32_t Addr, uint32_t NumBytes, const void* pData, uint32_t Flags),        \
    (Addr, NumBytes, pData, Flags))                                                                         \
  X(int, XRELAYARM_WA_AddRange, (uint32_t Addr, uint32_t NumBytes), (Addr, NumBytes))                       \
  X(int, XRELAYARM_WA_Restore, (void), ())                                                                  \
  X(int, XRELAYARM_ReadReg, (uint32_t RegIndex, uint32_t* pData), (RegIndex, pData))                        \
  X(int, XRELAYARM_WriteReg, (uint32_t RegIndex, uint32_t Data), (RegIndex, Data))                          \
  X(int, XRELAYARM_ReadRegs, (const uint32_t* paRegIndex, uint32_t* paData, uint8_t* paStatus, uint32_t NumRegs), \
    (paRegIndex, paData, paStatus, NumRegs))                                                                \
  X(int, XRELAYARM_WriteRegs,                                                                               \
    (const uint32_t* paRegIndex, const uint32_t* paData, uint8_t* paStatus, uint32_t NumRegs),              \
    (paRegIndex, paData, paStatus, NumRegs))                                                                \
  X(int, XRELAY_ReadRegs_64, (const uint32_t* paRegIndex, uint64_t* paData, uint8_t* paStatus, uint32_t NumRegs), \
    (paRegIndex, paData, paStatus, NumRegs))                                                                \
  X(int, XRELAY_WriteRegs_64,                                                                               \
    (const uint32_t* paRegIndex, const uint64_t* paData, uint8_t* paStatus, uint32_t NumRegs),              \
    (paRegIndex, paData, paStatus, NumRegs))                                                                \
  X(int, XRELAYARM_WriteICEReg, (uint32_t RegIndex, uint32_t Value, int AllowDelay), (RegIndex, Value, AllowDelay)) \
  X(int, XRELAYARM_CP15_ReadReg, (uint32_t RegIndex, uint32_t* pData), (RegIndex, pData))                   \
  X(int, XRELAYARM_CP15_WriteReg, (uint32_t RegIndex, uint32_t Data), (RegIndex, Data))                     \
  X(int, XRELAYARM_DEVICE_GetIndex, (const char* sDeviceName), (sDeviceName))                               \
  X(int, XRELAYARM_DEVICE_GetInfo, (int DeviceIndex, XRELAYARM_DEVICE_INFO* pInfo), (DeviceIndex, pInfo))   \
  X(const char*, XRELAY_DEVICE_GetLoaderName, (int DeviceIndex, uint32_t BankAddr, uint32_t Flags, int LoaderIndex), \
    (DeviceIndex, BankAddr, Flags, LoaderIndex))                                                            \
  X(int, XRELAYARM_EMU_HasCapEx, (int CapEx), (CapEx))                                                     \
  X(int, XRELAYARM_ReadEmuConfigMem, (uint8_t* pData, uint32_t Offset, uint32_t NumBytes),                  \
    (pData, Offset, NumBytes))                                                                              \
  X(int, XRELAYARM_EMU_FILE_Write, (const char* sFile, const uint8_t* pData, uint32_t Offset, uint32_t NumBytes), \
    (sFile, pData, Offset, NumBytes))                                                                       \
  X(int, XRELAYARM_EMU_FILE_Read, (const char* sFile, uint8_t* pData, uint32_t Offset, uint32_t NumBytes),  \
    (sFile, pData, Offset, NumBytes))                                                                       \
  X(int, XRELAYARM_EMU_FILE_GetSize, (const char* sFile), (sFile))                                          \
  X(int, XRELAYARM_EMU_FILE_Delete, (const char* sFile), (sFile))                                           \
  X(void*, XRELAY_GetpFunc, (int Index), (Index))                                                           \
  X(int64_t, XRELAYARM_SIM_GetVirtualTimeUs, (void), ())
