/*
 * xrelayarm.h - C interface of the X-Relay probe library (libxrelayarm.so).
 *
 * The program binds every entry point by name at run time; the library owns probes,
 * targets, the device database and the programmer's files behind it. Results: 0 or a
 * count for success, negative for failure, unless an entry says otherwise. Plain C,
 * fixed-width types, nothing of C++ crosses this boundary.
 *
 * Order of use: select a probe (SelectUSB / EMU_SelectByUSBSN; the first probe otherwise),
 * OpenEx, choose interface, speed, core and device, Connect; then halt, run, memory and
 * register calls; Close. Device database and command strings work at any time. Records
 * handed out by the library (device names, loader descriptors) stay valid until it is
 * unloaded. Every failure also sends an error text to the error-out handler.
 */
#ifndef XRELAYARM_H
#define XRELAYARM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define XRELAY_API __attribute__((visibility("default")))
#else
#define XRELAY_API
#endif

/* Receives every error text of the library (and, for the log handler, log lines). */
typedef void XRELAYARM_LOG_FUNC(const char* sText);

/* Hardware status of the probe and the target connector. */
typedef struct {
  uint16_t VTarget; /* target supply in millivolts */
  uint8_t tck;      /* levels of the connector's signals, 0 or 1 (-1 unknown) */
  uint8_t tdi;
  uint8_t tdo;
  uint8_t tms;
  uint8_t tres;
  uint8_t trst;
} XRELAYARM_HW_STATUS;

/* ---------------------------------------------------------------------------------------
 * Records
 */

/* Target interfaces for XRELAYARM_TIF_Select. */
#define XRELAYARM_TIF_JTAG 0
#define XRELAYARM_TIF_SWD 1
#define XRELAYARM_TIF_FINE 3
#define XRELAYARM_TIF_CJTAG 7

/* Speed value that asks for adaptive clocking (XRELAYARM_SetSpeed); GetSpeed then gives -1. */
#define XRELAYARM_SPEED_ADAPTIVE 0xFFFFu

/* Capabilities for XRELAYARM_EMU_HasCapEx. */
#define XRELAYARM_CAP_EX_FILE_IO 26     /* the programmer has a file system */
#define XRELAYARM_CAP_EX_FILE_BROWSE 54 /* ... with folders, listing and move */

/* One run of equal sectors of a flash bank; a list ends at NumSectors 0 (at most 8 runs). */
typedef struct {
  uint32_t NumSectors;
  uint32_t SectorSize;
  uint32_t Offset; /* start of the run relative to the bank base */
} XRELAYARM_SECTOR_REGION;

/* Loader kinds of a flash bank. */
#define XRELAYARM_LOADER_KIND_CMSIS_FILE 8   /* CMSIS flash algorithm, ELF file at sAlgoFile */
#define XRELAYARM_LOADER_KIND_CMSIS_IMAGE 12 /* flash-loader image in memory at pImage */

/* One flash bank of a device. The bank list ends at the first bank whose paSectors is null. */
typedef struct {
  const XRELAYARM_SECTOR_REGION* paSectors; /* sector layout, ends at NumSectors 0 */
  const char* sName;                        /* "Main flash", "Boot memory", ... */
  uint32_t BaseAddr;
  uint32_t LoaderKind;       /* of the default loader */
  uint32_t NumRegions;       /* entries of paSectors before the end entry */
  uint32_t Flags;            /* reserved, 0 */
} XRELAYARM_FLASH_BANK_INFO; /* 32 bytes */

#define XRELAYARM_MAX_FLASH_BANKS 16
#define XRELAYARM_DEVICE_INFO_SIZE 1672

/* One device of the database. The caller sets SizeOfStruct (1672); the library fills the rest. */
typedef struct {
  uint32_t SizeOfStruct;
  uint32_t Core;      /* core word; the top byte is the core family */
  const char* sName;  /* without the manufacturer, e.g. "AT32F425C8T7" */
  const char* sManu;  /* e.g. "ArteryTek" */
  uint32_t FlashAddr; /* base of the first bank (0 without banks) */
  uint32_t FlashSize; /* bytes of the first bank */
  uint32_t RAMAddr;
  uint32_t RAMSize;
  uint32_t EndianMode; /* 0 little endian, 1 big endian */
  uint32_t NumBanks;
  const char* sFamily; /* device family text shown in the device view, "" when none */
  XRELAYARM_FLASH_BANK_INFO aFlashBank[XRELAYARM_MAX_FLASH_BANKS];
  uint8_t aReserved[1104]; /* zero */
} XRELAYARM_DEVICE_INFO;

/* Loader descriptor of one bank (XRELAY_GetpFunc 59). The caller sets SizeOfStruct (72). */
typedef struct {
  uint32_t SizeOfStruct;
  uint32_t LoaderKind;                      /* XRELAYARM_LOADER_KIND_* */
  const char* sAlgoFile;                    /* kind 8: absolute path of the ELF file */
  const uint8_t* pImage;                    /* kind 12: the image */
  uint32_t ImageSize;                       /* kind 12: its size in bytes */
  uint32_t NumRegions;                      /* entries of paSectors */
  const XRELAYARM_SECTOR_REGION* paSectors; /* the bank's sector layout, or null */
  const char* sScriptFile;                  /* loader script, or null */
  const uint8_t* pCompiledScript;           /* compiled loader script, or null */
  const void* pAlgoInfo;                    /* algorithm information of other kinds, or null */
  uint32_t CompiledScriptSize;
  uint32_t Flags;        /* byte 68: bit 0 the bank has a loader of its own, bit 1 reserved */
} XRELAYARM_LOADER_DESC; /* 72 bytes */

/* Folder entry of the programmer's file system (XRELAY_GetpFunc 50). */
typedef struct {
  char acName[256];
  uint32_t Size;
  uint32_t Attributes; /* bit 0: folder */
  uint16_t Year, Month, Day, Hour, Minute, Second;
} XRELAYARM_FOLDER_ENTRY; /* 276 bytes */

#define XRELAYARM_FILE_ATTR_FOLDER 1u
#define XRELAYARM_ERR_NOT_SUPPORTED (-262) /* the programmer lacks the function */

/* One indicator (LED / RS232 signal) state: five 16-bit values. */
typedef struct {
  uint16_t Index;
  uint16_t On;
  uint16_t Signal;
  uint16_t Level;
  uint16_t Inverse;
} XRELAYARM_INDICATOR_STATE;

/* Entry of a detailed JTAG chain (XRELAYARM_JTAG_ConfigDevices). */
typedef struct {
  uint32_t SizeOfStruct; /* 20 (32-bit layout) or sizeof(this record) */
  uint32_t IRLen;
  uint32_t IRPrint; /* 0 */
  uint32_t Id;
  const char* sName;
} XRELAYARM_JTAG_DEVICE_CONF;

#define XRELAYARM_MAX_JTAG_DEVICES 32

/* What the probe found on the target interface (XRELAYARM_GetIdData). */
typedef struct {
  int32_t NumDevices;
  uint32_t ScanLen; /* sum of the IR lengths */
  uint32_t aId[XRELAYARM_MAX_JTAG_DEVICES];
  uint8_t aIRLen[XRELAYARM_MAX_JTAG_DEVICES];
  uint32_t CoreId; /* ID of the selected core, 0 when none */
  uint32_t IsARM9; /* for family 0 cores: 1 ARM9, 0 ARM7 */
} XRELAYARM_ID_DATA;

/* Register numbers of Cortex-M cores. */
enum {
  XRELAYARM_CM_REG_R0 = 0, /* ... R12 = 12 */
  XRELAYARM_CM_REG_SP = 13,
  XRELAYARM_CM_REG_LR = 14,
  XRELAYARM_CM_REG_PC = 15,
  XRELAYARM_CM_REG_XPSR = 16,
  XRELAYARM_CM_REG_MSP = 17,
  XRELAYARM_CM_REG_PSP = 18,
  XRELAYARM_CM_REG_RAZ = 19,
  XRELAYARM_CM_REG_CFBP = 20,
  XRELAYARM_CM_REG_APSR = 21,
  XRELAYARM_CM_REG_EPSR = 22,
  XRELAYARM_CM_REG_IPSR = 23,
  XRELAYARM_CM_REG_PRIMASK = 24,
  XRELAYARM_CM_REG_BASEPRI = 25,
  XRELAYARM_CM_REG_FAULTMASK = 26,
  XRELAYARM_CM_REG_CONTROL = 27,
  XRELAYARM_CM_REG_BASEPRI_MAX = 28,
  XRELAYARM_CM_REG_IAPSR = 29,
  XRELAYARM_CM_REG_EAPSR = 30,
  XRELAYARM_CM_REG_IEPSR = 31,
  XRELAYARM_CM_NUM_REGS = 32,
  /* FPU and ARMv8-M registers */
  XRELAYARM_CM_REG_FPSCR = 32,
  XRELAYARM_CM_REG_S0 = 33, /* ... S31 = 64 */
  XRELAYARM_CM_REG_VPR = 65,
  XRELAYARM_CM_REG_MSP_NS = 66,
  XRELAYARM_CM_REG_PSP_NS = 67,
  XRELAYARM_CM_REG_MSP_S = 68,
  XRELAYARM_CM_REG_PSP_S = 69,
  XRELAYARM_CM_REG_MSPLIM_S = 70,
  XRELAYARM_CM_REG_PSPLIM_S = 71,
  XRELAYARM_CM_REG_MSPLIM_NS = 72,
  XRELAYARM_CM_REG_PSPLIM_NS = 73,
  XRELAYARM_CM_REG_CONTROL_NS = 74,
  XRELAYARM_CM_REG_PRIMASK_NS = 75,
  XRELAYARM_CM_NUM_REGS_EX = 76
};

/* XRELAY_GetpFunc indices served, and the functions behind them. */
#define XRELAY_PFUNC_ALGO_INFO 14
#define XRELAY_PFUNC_BEFORE_FLASH 19
#define XRELAY_PFUNC_AFTER_FLASH 20
#define XRELAY_PFUNC_FOLDER_LIST 50
#define XRELAY_PFUNC_FILE_MOVE 51
#define XRELAY_PFUNC_LOADER_DESC 59
#define XRELAY_PFUNC_SCRIPT_TRANSLATE 61
#define XRELAY_PFUNC_SCRIPT_LOAD 62
#define XRELAY_PFUNC_SCRIPT_UNLOAD 63
#define XRELAY_PFUNC_SCRIPT_HAS_FUNC 64
#define XRELAY_PFUNC_SCRIPT_CALL 65
/* 14: the library's own algorithm information for a flash bank of the core at BankAddr
   (pOrganisation: four bytes of the bank's organisation, may be null); null when the library
   has none, as for every device of the simulator. */
typedef const void* XRELAY_ALGO_INFO_FUNC(uint32_t Core, uint32_t BankAddr, const uint8_t* pOrganisation);
/* 19 and 20: run without arguments before (19) and after (20) the program flashes through
   RAMCode; 0 or negative. */
typedef int XRELAY_FLASH_HOOK_FUNC(void);
/* 61: compiles the loader script file sScriptFile into a buffer of the caller's allocator
   (*ppCompiled, *pNumBytes; the caller frees it); 0, or negative with an error text naming
   the line. The text form is described in xrelay/README.md. */
typedef int XRELAY_SCRIPT_TRANSLATE_FUNC(const char* sScriptFile, void* (*pfAlloc)(uint32_t NumBytes),
                                         uint8_t** ppCompiled, uint32_t* pNumBytes);
/* 62: loads a compiled script (copied); a handle > 0, or <= 0 on failure. */
typedef int XRELAY_SCRIPT_LOAD_FUNC(const uint8_t* pCompiled, uint32_t NumBytes);
/* 63: forgets a loaded script; 0 or negative. */
typedef int XRELAY_SCRIPT_UNLOAD_FUNC(int Handle);
/* 64: 1 when the script defines the function (any case), 0 when not, negative for a bad handle. */
typedef int XRELAY_SCRIPT_HAS_FUNC_FUNC(int Handle, const char* sFunction);
/* 65: runs a script function on the connected target: 0 with its result in *pResult, or
   negative when it is not there or a target access fails. */
typedef int XRELAY_SCRIPT_CALL_FUNC(int Handle, const char* sFunction, int32_t* pResult);
/* 50: lists sFolder (backslashes or slashes) into at most MaxEntries entries; the number of
   entries the folder holds (may exceed MaxEntries), or negative. */
typedef int XRELAY_FOLDER_LIST_FUNC(const char* sFolder, XRELAYARM_FOLDER_ENTRY* paEntries, int MaxEntries);
/* 51: moves or renames a file or folder; 0 or negative. */
typedef int XRELAY_FILE_MOVE_FUNC(const char* sOldPath, const char* sNewPath);
/* 59: the descriptor of the loader sLoaderName ("Default": the bank's first) of the bank at
   BankAddr of device DeviceIndex; Flags 0. 0, or negative for an unknown device, bank or loader. */
typedef int XRELAY_LOADER_DESC_FUNC(int DeviceIndex, uint32_t BankAddr, uint32_t Flags,
                                    const char* sLoaderName, XRELAYARM_LOADER_DESC* pDesc);

/* ---------------------------------------------------------------------------------------
 * Probe
 */

/* Version as major * 10000 + minor * 100 + revision (revision 1..26 = 'a'..'z'). */
XRELAY_API int XRELAYARM_GetDLLVersion(void);
/* Compile date and time of the library, e.g. "Dec 10 2026 12:00:00". */
XRELAY_API const char* XRELAYARM_GetCompileDateTime(void);
/* Executes a command string; 0 on success, negative with an error text in sError otherwise. */
XRELAY_API int XRELAYARM_ExecCommand(const char* sIn, char* sError, int BufferSize);
XRELAY_API void XRELAYARM_SetErrorOutHandler(XRELAYARM_LOG_FUNC* pfErrorOut);
/* Every later call is recorded in this file with its arguments and result; null stops it. */
XRELAY_API void XRELAYARM_SetLogFile(const char* sFilename);
/* 1 while a connection to a probe is open, else 0. */
XRELAY_API char XRELAYARM_IsOpen(void);
XRELAY_API void XRELAYARM_Close(void);
/* 0, or negative when the status cannot be read. */
XRELAY_API int XRELAYARM_GetHWStatus(XRELAYARM_HW_STATUS* pStat);

/* Selects the probe at USB port Port (0..) for the next OpenEx; 0 or negative. */
XRELAY_API int XRELAYARM_SelectUSB(int Port);
/* Selects the probe with this serial number; its port (0..), or -1 when there is none. */
XRELAY_API int XRELAYARM_EMU_SelectByUSBSN(uint32_t SerialNo);
/* Selects a probe reached over TCP/IP (host name, port 0 = default); 0 or negative. */
XRELAY_API int XRELAYARM_SelectIP(const char* sHost, int Port);
/* Opens the selected probe; null on success, else the error text (owned by the library). */
XRELAY_API const char* XRELAYARM_OpenEx(XRELAYARM_LOG_FUNC* pfLog, XRELAYARM_LOG_FUNC* pfErrorOut);
/* Serial number of the open probe, or negative. */
XRELAY_API int XRELAYARM_GetSN(void);
/* Firmware text of the open probe into sBuffer (always terminated); its length, or negative. */
XRELAY_API int XRELAYARM_GetFirmwareString(char* sBuffer, int BufferSize);
/* Product id of the open probe (41/42 gang programmers; 10, 14, 15, 34 with RS232 signals). */
XRELAY_API int XRELAYARM_EMU_GetProductId(void);
/* 1 when the open probe has capability CapEx (XRELAYARM_CAP_EX_*), else 0. */
XRELAY_API int XRELAYARM_EMU_HasCapEx(int CapEx);
/* Licensed features, comma separated, into sBuffer; the length, or negative. */
XRELAY_API int XRELAYARM_GetFeatureString(char* sBuffer, int BufferSize);
/* JTAG position configured by ConfigJTAG: IR bits and devices before the target; 0 or negative. */
XRELAY_API int XRELAYARM_GetConfigData(int* pIRPre, int* pDRPre);
/* Reads NumBytes of the probe's configuration memory from Offset (80: 32-byte nickname). */
XRELAY_API int XRELAYARM_ReadEmuConfigMem(uint8_t* pData, uint32_t Offset, uint32_t NumBytes);
/* Sets NumStates indicator states (LEDs, RS232 signals); 0 or negative. */
XRELAY_API int XRELAYARM_INDICATORS_SetState(const XRELAYARM_INDICATOR_STATE* paStates, int NumStates);

/* ---------------------------------------------------------------------------------------
 * Interface and JTAG chain
 */

/* Selects the target interface (XRELAYARM_TIF_*); 0 or negative. */
XRELAY_API int XRELAYARM_TIF_Select(int Interface);
/* Sets the interface speed in kHz (XRELAYARM_SPEED_ADAPTIVE for adaptive clocking); 0 or negative.
   A probe without adaptive clocking keeps its fixed speed when asked for it (no error). */
XRELAY_API int XRELAYARM_SetSpeed(uint32_t Speed);
/* Selects the highest speed the probe and target allow; 0 or negative. */
XRELAY_API int XRELAYARM_SetMaxSpeed(void);
/* Speed in kHz, -1 for adaptive clocking, or -2 without an open probe. */
XRELAY_API int XRELAYARM_GetSpeed(void);
/* Position of the target in a simple JTAG chain: IR bits and devices before it; 0 or negative. */
XRELAY_API int XRELAYARM_ConfigJTAG(int IRPre, int DRPre);
/* Declares the whole chain; 0 or negative. */
XRELAY_API int XRELAYARM_JTAG_ConfigDevices(uint32_t NumDevices, const XRELAYARM_JTAG_DEVICE_CONF* paConf);
/* ID of chain device DeviceIndex, 0 when there is none. */
XRELAY_API uint32_t XRELAYARM_JTAG_GetDeviceId(uint32_t DeviceIndex);
/* Name of chain device DeviceIndex into sName; its IR length, or negative. */
XRELAY_API int XRELAYARM_JTAG_GetDeviceInfo(uint32_t DeviceIndex, char* sName, int BufferSize);
/* Scans the interface; 0 or negative. */
XRELAY_API int XRELAYARM_GetIdData(XRELAYARM_ID_DATA* pIdData);
/* Queues an IR command; the bit position reached, or negative. */
XRELAY_API int XRELAYARM_StoreCmd(uint8_t Cmd);
/* Queues NumBits data bits (1..32, least significant first) from *pData; bit position or negative. */
XRELAY_API int XRELAYARM_StoreData(const uint32_t* pData, int NumBits);
/* Shifts what was queued; 0 or negative. */
XRELAY_API int XRELAYARM_WriteBits(void);

/* ---------------------------------------------------------------------------------------
 * Core and reset
 */

/* Selects the core by its core word; 0 or negative. */
XRELAY_API int XRELAYARM_CORE_Select(uint32_t Core);
/* Connects to the target CPU; 0 or negative. */
XRELAY_API int XRELAYARM_Connect(void);
/* Core ID of the connected target (debug port IDCODE), 0 when not connected. */
XRELAY_API uint32_t XRELAYARM_GetId(void);
/* Core family: top byte of the core word of the connected (or selected) core; negative when none. */
XRELAY_API int XRELAYARM_GetDeviceFamily(void);
/* Name of a core word (or of a family 0..0xFF) into sBuffer; the length, or negative. */
XRELAY_API int XRELAYARM_Core2CoreName(uint32_t Core, char* sBuffer, int BufferSize);
/* Target byte order, 1 big endian; the previous setting, or negative. */
XRELAY_API int XRELAYARM_SetEndian(int BigEndian);
/* CPU clock in Hz, measured with RAM at RAMAddr, halted or running (the core runs on); 0 when
   the probe cannot measure, negative on failure. */
XRELAY_API int XRELAYARM_MeasureCPUSpeed(uint32_t RAMAddr, int PreserveMem);
/* As MeasureCPUSpeed; AllowFail 1: a core that cannot be measured gives 0, not an error. */
XRELAY_API int XRELAYARM_MeasureCPUSpeedEx(uint32_t RAMAddr, int PreserveMem, int AllowFail);
/* Halts the CPU; 0 or negative. */
XRELAY_API int XRELAYARM_Halt(void);
/* 1 halted, 0 running, negative on failure. */
XRELAY_API int XRELAYARM_IsHalted(void);
/* Lets the CPU run from its PC (GoIntDis: with interrupts masked); 0 or negative. */
XRELAY_API int XRELAYARM_Go(void);
XRELAY_API int XRELAYARM_GoIntDis(void);
/* Sets hardware breakpoint BPIndex (0..5) at Addr; 0 or negative. */
XRELAY_API int XRELAYARM_SetBP(uint32_t BPIndex, uint32_t Addr);
/* 1 when an error occurred since the last Connect (bus fault, lost probe, ...), else 0. */
XRELAY_API int XRELAYARM_HasError(void);
/* Resets the target and halts it at the reset vector; 0 or negative. */
XRELAY_API int XRELAYARM_Reset(void);
/* Resets the target and lets it run; 0 or negative. */
XRELAY_API int XRELAYARM_ResetNoHalt(void);
/* Whether Reset also pulls the reset pin (1) or not (0); the previous setting. */
XRELAY_API int XRELAYARM_ResetPullsRESET(int OnOff);
/* Reset type 0..0xFF (all types reset the simulated core alike); the previous type. */
XRELAY_API int XRELAYARM_SetResetType(int ResetType);
/* Delay in ms after a reset; the previous delay. */
XRELAY_API int XRELAYARM_SetResetDelay(int Delay);
/* Releases (SetRESET) or pulls (ClrRESET) the reset pin; 0 or negative. */
XRELAY_API int XRELAYARM_SetRESET(void);
XRELAY_API int XRELAYARM_ClrRESET(void);

/* ---------------------------------------------------------------------------------------
 * Memory and registers. Addresses are target addresses; a range that leaves the memory
 * map fails as a whole with an error text naming the first address that failed.
 */

/* Reads NumBytes; 0 or negative. */
XRELAY_API int XRELAYARM_ReadMem(uint32_t Addr, uint32_t NumBytes, void* pData);
/* Reads NumBytes (Flags 0); the number read, or negative. */
XRELAY_API int XRELAYARM_ReadMemEx(uint32_t Addr, uint32_t NumBytes, void* pData, uint32_t Flags);
/* Reads NumItems units; per item a status byte (0 ok) when pStatus is given; items read or negative. */
XRELAY_API int XRELAYARM_ReadMemU8(uint32_t Addr, uint32_t NumItems, uint8_t* pData, uint8_t* pStatus);
XRELAY_API int XRELAYARM_ReadMemU16(uint32_t Addr, uint32_t NumItems, uint16_t* pData, uint8_t* pStatus);
XRELAY_API int XRELAYARM_ReadMemU32(uint32_t Addr, uint32_t NumItems, uint32_t* pData, uint8_t* pStatus);
/* Writes NumBytes; 0 or negative. Flash is written through its controller like the CPU does. */
XRELAY_API int XRELAYARM_WriteMem(uint32_t Addr, uint32_t NumBytes, const void* pData);
/* Writes NumBytes (Flags 0); the number written, or negative. */
XRELAY_API int XRELAYARM_WriteMemEx(uint32_t Addr, uint32_t NumBytes, const void* pData, uint32_t Flags);
/* Writes one unit; 0 or negative. */
XRELAY_API int XRELAYARM_WriteU8(uint32_t Addr, uint8_t Data);
XRELAY_API int XRELAYARM_WriteU16(uint32_t Addr, uint16_t Data);
XRELAY_API int XRELAYARM_WriteU32(uint32_t Addr, uint32_t Data);
/* Saves target memory now, to be put back by WA_Restore; 0 or negative. */
XRELAY_API int XRELAYARM_WA_AddRange(uint32_t Addr, uint32_t NumBytes);
/* Writes every saved range back and forgets them; 0 or negative. */
XRELAY_API int XRELAYARM_WA_Restore(void);
/* Reads register RegIndex (Cortex-M numbering above); 0 or negative. The core must be halted. */
XRELAY_API int XRELAYARM_ReadReg(uint32_t RegIndex, uint32_t* pData);
/* Writes register RegIndex; 0 or negative. */
XRELAY_API int XRELAYARM_WriteReg(uint32_t RegIndex, uint32_t Data);
/* Reads / writes NumRegs registers; per register a status byte (0 ok) when paStatus is given.
   0, or negative when any failed. */
XRELAY_API int XRELAYARM_ReadRegs(const uint32_t* paRegIndex, uint32_t* paData, uint8_t* paStatus,
                                  uint32_t NumRegs);
XRELAY_API int XRELAYARM_WriteRegs(const uint32_t* paRegIndex, const uint32_t* paData, uint8_t* paStatus,
                                   uint32_t NumRegs);
XRELAY_API int XRELAY_ReadRegs_64(const uint32_t* paRegIndex, uint64_t* paData, uint8_t* paStatus,
                                  uint32_t NumRegs);
XRELAY_API int XRELAY_WriteRegs_64(const uint32_t* paRegIndex, const uint64_t* paData, uint8_t* paStatus,
                                   uint32_t NumRegs);
/* EmbeddedICE register of ARM7/ARM9 cores; 0 or negative (not present on Cortex-M). */
XRELAY_API int XRELAYARM_WriteICEReg(uint32_t RegIndex, uint32_t Value, int AllowDelay);
/* Debug register of the core (Cortex-M: the address of a debug register); 0 or negative. */
XRELAY_API int XRELAYARM_WriteDebugReg(uint32_t RegIndex, uint32_t Data);
/* CP15 register of ARM7/ARM9/Cortex-A/R cores; 0 or negative (not present on Cortex-M). */
XRELAY_API int XRELAYARM_CP15_ReadReg(uint32_t RegIndex, uint32_t* pData);
XRELAY_API int XRELAYARM_CP15_WriteReg(uint32_t RegIndex, uint32_t Data);

/* ---------------------------------------------------------------------------------------
 * Device database
 */

/* Index of a device by name ("AT32F425C8T7" or "ArteryTek AT32F425C8T7", any case), or -1. */
XRELAY_API int XRELAYARM_DEVICE_GetIndex(const char* sDeviceName);
/* DeviceIndex -1: the number of devices. Otherwise fills *pInfo: 0, or negative past the end. */
XRELAY_API int XRELAYARM_DEVICE_GetInfo(int DeviceIndex, XRELAYARM_DEVICE_INFO* pInfo);
XRELAY_API int XRELAY_DEVICE_GetInfo(int DeviceIndex, XRELAYARM_DEVICE_INFO* pInfo);
/* Name of loader LoaderIndex (0..) of the bank at BankAddr (Flags 0), or null when there is none. */
XRELAY_API const char* XRELAY_DEVICE_GetLoaderName(int DeviceIndex, uint32_t BankAddr, uint32_t Flags,
                                                   int LoaderIndex);

/* ---------------------------------------------------------------------------------------
 * Programmer files (paths with backslashes or slashes, relative to the programmer's root)
 */

/* Writes NumBytes at Offset (null data, offset = size, count 0: create); the number written or negative. */
XRELAY_API int XRELAYARM_EMU_FILE_Write(const char* sFile, const uint8_t* pData, uint32_t Offset,
                                        uint32_t NumBytes);
/* Reads at most NumBytes from Offset; the number read, or negative. */
XRELAY_API int XRELAYARM_EMU_FILE_Read(const char* sFile, uint8_t* pData, uint32_t Offset, uint32_t NumBytes);
/* Size of a file; negative when the name is not a file. */
XRELAY_API int XRELAYARM_EMU_FILE_GetSize(const char* sFile);
/* Deletes a file (or a folder with all it holds); 0 or negative. */
XRELAY_API int XRELAYARM_EMU_FILE_Delete(const char* sFile);

/* Further entry points by index (XRELAY_PFUNC_*); null when not supported. */
XRELAY_API void* XRELAY_GetpFunc(int Index);

/* ---------------------------------------------------------------------------------------
 * Simulator
 */

/* Virtual time in microseconds that the simulated probe and target have spent since the
   library was loaded: transfers by interface speed, flash operations by the chip's program
   and erase times, CPU work by the modelled clock. */
XRELAY_API int64_t XRELAYARM_SIM_GetVirtualTimeUs(void);
/* Round trips between host and probe since the library was loaded: one for every call that
   talks to the probe. Each costs the configured round-trip time (RoundTripUs) on the virtual
   clock, its transfer the bytes at the interface speed; a running core goes on meanwhile. */
XRELAY_API int64_t XRELAYARM_SIM_GetNumRoundTrips(void);
/* How often the function behind XRELAY_GetpFunc(Index) has run since the library was loaded
   (19, 20 and the script functions 61-65), so that a test sees what a flash loader called. */
XRELAY_API int64_t XRELAYARM_SIM_GetNumPFuncCalls(int Index);
/* The command "SetSimVTarget = <mV>" (XRELAYARM_ExecCommand) moves the simulated target's
   supply while a probe is open, as editing VTarget in the simulator configuration does. */

#ifdef __cplusplus
}
#endif

#endif /* XRELAYARM_H */
