/*
 * FLASH - the flash modules: one constant table of operations per way of programming a bank,
 * picked by the bank's algorithm kind; opening and closing a bank, the prepare and restore
 * brackets, the host functions that every module calls back, and the loader scripts that may
 * come with a bank's loader.
 *
 * Order: FLASH_SetHooks at start-up; per job step FLASH_OpenBank, FLASH_PrepareBank, the
 * module's operations through pBank->pModule with a FlashModuleHandle on pBank->pState,
 * FLASH_RestoreBank, FLASH_CloseBank. Terms: kind = the bank's algorithm kind (8 CMSIS
 * algorithm file, 12 flash-loader image in memory, ...); module state = what a module's Open
 * creates; its first six words are the host functions (FLASH_HOST_FUNCS).
 */
#pragma once

#include <cstdint>

#include "mcudb/BANK.h"
#include "mcudb/MCUDB_Loader.h"

/*********************************************************************
 * Host functions (what a module calls back)
 */
typedef void FLASH_PROGRESS_FUNC(int Level, const char* sText0, const char* sText1, uint32_t NumBytes);
typedef void FLASH_LOG_FUNC(const char* sText);
typedef void FLASH_ERROR_FUNC(const char* sText);
typedef int FLASH_READMEM_FUNC(uint32_t Addr, uint32_t NumBytes, void* pData); // bytes read, or < 0
typedef int FLASH_ABORT_FUNC(void);                                            // non-zero: the user cancelled

// What the target-information function fills.
struct FLASH_TARGET_INFO {
  uint8_t BigEndian; // the byte of target settings: non-zero = big-endian target
  uint32_t Core;     // core word of the device (top byte: core family)
  uint32_t RAMAddr;  // work RAM
  uint32_t RAMSize;
  uint32_t AddMemAddr; // additional memory to preserve (this host: 0)
  uint32_t AddMemSize;
  uint32_t MaxRAMUsage; // RAM-usage limit (this host: 0 = none)
  uint32_t BufferSize;  // requested buffer size (this host: 0 = by the data)
};
typedef void FLASH_TARGETINFO_FUNC(FLASH_TARGET_INFO* pInfo);

// The first six words of every module state, in this order.
struct FLASH_HOST_FUNCS {
  FLASH_PROGRESS_FUNC* pfProgress;
  FLASH_LOG_FUNC* pfLog;
  FLASH_ERROR_FUNC* pfErrorOut;
  FLASH_READMEM_FUNC* pfReadMem;
  FLASH_ABORT_FUNC* pfIsAborted;
  FLASH_TARGETINFO_FUNC* pfGetTargetInfo;
};

/*********************************************************************
 * What the operations receive
 */
enum {
  FLASH_OP_PREPARE = 0,
  FLASH_OP_READ = 1,
  FLASH_OP_ERASE = 3, // erase or blank check
  FLASH_OP_PROGRAM = 4,
  FLASH_OP_VERIFY = 5,
  FLASH_OP_RESTORE = 6,
};

struct FlashModuleHandle {
  uint32_t NoSaveRegs;        // non-zero: the module leaves the CPU registers alone
  uint32_t NoSaveRAM;         // non-zero: the module leaves target RAM alone
  uint32_t OpCode;            // FLASH_OP_*
  uint8_t ProgramBlank;       // program chunks that hold only the empty value, too
  uint8_t SkipRAMCodeRestore; // leave the RAMCode-side restore out
  uint32_t BankAddr;
  uint32_t BankSize;
  void* pState; // module state
};

// Program: NumSectors sectors from FirstSector; pData holds their bytes from the first sector's
// address on (gaps between regions included), or is null (the sectors are filled with the
// empty value).
struct FLASH_PROG_REQUEST {
  uint32_t FirstSector;
  const uint8_t* pData;
  uint32_t NumSectors;
};
struct FLASH_BUFFER_REQUEST { // ProgramBuffer (no caller in this system)
  const uint8_t* pData;
  const uint32_t* paSector;
  uint32_t NumBytes;
};
struct FLASH_WRITE_REQUEST { // WriteBuffer
  const uint8_t* pData;
  uint32_t Offset;
  uint32_t NumBytes;
};

// The static or dynamically determined layout of a bank (GetFunc 6).
struct FLASH_LAYOUT {
  uint32_t EmptyValue;
  SectorRegion aRegion[MCUDB_MAX_REGIONS];
};

/*
 * What Open receives (zeroed first). CMSIS: the whole CMSISInfo (its image stays with the
 * bank); External: the four organisation bytes or the "FLASH_CFIConfig" words; RAMLess: its
 * algorithm information. Open stores its module state in pState.
 */
struct FLASH_BANK_CONTEXT {
  int Kind;
  uint32_t BankAddr;
  const SectorRegion* paSectors;
  MCUDB_ALGO_INFO* pAlgoInfo;
  CMSISInfo CMSIS;
  uint8_t abOrg[4];
  MCUDB_CFI_CONFIG CFIConfig;
  void* pState;
};

/*********************************************************************
 * The operation table of one module. Null slots: not offered.
 */
struct FlashModule {
  const char* sName;
  void* (*pfGetFunc)(FlashModuleHandle* pHandle, int FuncId); // FLASH_FUNC_*: function, or null
  int (*pfProgram)(FlashModuleHandle* pHandle, const FLASH_PROG_REQUEST* pReq);
  int (*pfEraseSectors)(FlashModuleHandle* pHandle, uint32_t FirstSector, uint32_t NumSectors);
  int (*pfEraseChip)(FlashModuleHandle* pHandle);
  // Address and size of sector Index and the number of sectors; 0, or -1 past the last.
  int (*pfGetSectorInfo)(FlashModuleHandle* pHandle, uint32_t Index, uint32_t* pAddr, uint32_t* pSize,
                         uint32_t* pNumSectors);
  int (*pfOpen)(FLASH_BANK_CONTEXT* pContext, FLASH_ERROR_FUNC* pfErrorOut);
  int (*pfClose)(FlashModuleHandle* pHandle);
  int (*pfPrepare)(FlashModuleHandle* pHandle, uint32_t Arg, uint32_t Zero);
  int (*pfRestore)(FlashModuleHandle* pHandle);
  int (*pfProgramBuffer)(FlashModuleHandle* pHandle, const FLASH_BUFFER_REQUEST* pReq);
  int (*pfWriteBuffer)(FlashModuleHandle* pHandle, const FLASH_WRITE_REQUEST* pReq);
  int (*pfGetCPUSpeed)(FlashModuleHandle* pHandle, uint32_t* pHz);
  int (*pfSetProgressFunc)(FlashModuleHandle* pHandle, FLASH_PROGRESS_FUNC* pf);
  int (*pfSetLogFunc)(FlashModuleHandle* pHandle, FLASH_LOG_FUNC* pf);
  int (*pfSetErrorFunc)(FlashModuleHandle* pHandle, FLASH_ERROR_FUNC* pf);
  int (*pfSetAbortFunc)(FlashModuleHandle* pHandle, FLASH_ABORT_FUNC* pf);
  int (*pfSetReadMemFunc)(FlashModuleHandle* pHandle, FLASH_READMEM_FUNC* pf);
  int (*pfSetTargetInfoFunc)(FlashModuleHandle* pHandle, FLASH_TARGETINFO_FUNC* pf);
  int (*pfGetEmptyValue)(FlashModuleHandle* pHandle, uint32_t BankAddr); // 0...255, or < 0
};

/*
 * Slots 0 and 1 of the algorithm API record that a CMSIS bank's algorithm information carries
 * (its loader script's "FLASH_Prepare" and "FLASH_Restore"): the information they belong to,
 * the bank base and the CPU clock; the result (a positive one is a new clock), or negative.
 */
typedef int FLASH_ALGO_HOOK(MCUDB_ALGO_INFO* pInfo, uint32_t BankAddr, uint32_t Clock);
enum { FLASH_API_SLOT_PREPARE = 0, FLASH_API_SLOT_RESTORE = 1, FLASH_API_SLOT_SECURE = 8 };

// Function ids of GetFunc and the optional operations behind them (addresses are absolute).
enum {
  FLASH_FUNC_CRC = 2,
  FLASH_FUNC_GET_FLASH_INFO = 6,
  FLASH_FUNC_CHECKSUM = 9,
  FLASH_FUNC_SYNC = 12,
  FLASH_FUNC_BLANK_CHECK = 16,
  FLASH_FUNC_READ = 17,
  FLASH_FUNC_VERIFY = 20,
};
// 2: CRC of the target's bytes into *pCRC (start value 0); with pCompare the host's bytes are
// compared by their CRC: 0 equal, 1 different; -1 failure (reported).
typedef int FLASH_CRC_FUNC(FlashModuleHandle* pHandle, uint32_t Addr, uint32_t NumBytes, const void* pCompare,
                           uint32_t* pCRC);
// 6: fills *pLayout with the layout the target reports (or the static one); 0, or -1 (reported).
typedef int FLASH_FLASHINFO_FUNC(FlashModuleHandle* pHandle, FLASH_LAYOUT* pLayout);
typedef int FLASH_SYNC_FUNC(FlashModuleHandle* pHandle); // 12: 0, or -1 (reported)
// 16: 0 blank, 1 not blank, -1 failure (reported).
typedef int FLASH_BLANKCHECK_FUNC(FlashModuleHandle* pHandle, uint32_t Addr, uint32_t NumBytes);
// 17: 0, or -1 (reported).
typedef int FLASH_READ_FUNC(FlashModuleHandle* pHandle, uint32_t Addr, uint32_t NumBytes, void* pDest);
// 20: 0 equal, 1 different (*pMismatch: the first different address), -1 failure (reported).
typedef int FLASH_VERIFY_FUNC(FlashModuleHandle* pHandle, uint32_t Addr, uint32_t NumBytes, const void* pData,
                              uint32_t* pMismatch);

// The setters and Close that every module shares (they work on FLASH_HOST_FUNCS).
int FLASH_SetProgressFunc(FlashModuleHandle* pHandle, FLASH_PROGRESS_FUNC* pf); // 0, or -1 without state
int FLASH_SetLogFunc(FlashModuleHandle* pHandle, FLASH_LOG_FUNC* pf);
int FLASH_SetErrorFunc(FlashModuleHandle* pHandle, FLASH_ERROR_FUNC* pf);
int FLASH_SetAbortFunc(FlashModuleHandle* pHandle, FLASH_ABORT_FUNC* pf);
int FLASH_SetReadMemFunc(FlashModuleHandle* pHandle, FLASH_READMEM_FUNC* pf);
int FLASH_SetTargetInfoFunc(FlashModuleHandle* pHandle, FLASH_TARGETINFO_FUNC* pf);

/*********************************************************************
 * Algorithm kinds and the module table
 */
enum {
  FLASH_KIND_INTERNAL = 1, // 1-4: the probe library's built-in algorithm (2, 4: background use)
  FLASH_KIND_INTERNAL_BG = 2,
  FLASH_KIND_EXTERNAL = 5,
  FLASH_KIND_EXTERNAL_BG = 6,
  FLASH_KIND_CMSIS_FILE = 8,
  FLASH_KIND_RAMLESS = 11,
  FLASH_KIND_CMSIS_IMAGE = 12,
  FLASH_KIND_EXTERNAL_SCRIPT = 13,
};
extern const FlashModule FLASH_ModuleCMSIS;
// The module of a kind, or null when no module serves it (the bank then fails).
const FlashModule* FLASH_GetModule(int Kind);
/*
 * Kinds 1-4 move between normal and background use: background (2, 4) needs more than 2048
 * bytes of work RAM and a RAMCode for background use in the algorithm information.
 */
int FLASH_AdjustKind(int Kind, uint32_t WorkRAMSize, bool HasBackgroundRAMCode);
/*
 * The regions of a bank as its FlashBank holds them: the sector list (at most eight, up to a
 * zero count) with counts and offsets multiplied by the number of chips (when 2 or more), or
 * without a list one sector of BankSize / NumChips bytes, multiplied the same way.
 */
void FLASH_BuildRegions(const SectorRegion* paList, uint32_t BankSize, int NumChips,
                        SectorRegion aRegion[MCUDB_MAX_REGIONS]);
/*
 * Text of a status code of the non-CMSIS modules into sDest: 1-8 the fixed texts, negative
 * "Unspecified error #%d" with its magnitude; 0 and above 8: "" and false (the operation says
 * "(unspecified error)" in its own message).
 */
bool FLASH_GetStatusText(int Code, char* sDest, int DestSize);

/*********************************************************************
 * Banks
 */
struct FLASH_SCRIPT; // the loader-script object of a bank

// One open bank (for one job step).
struct FlashBank {
  void* pState;
  int Kind;
  uint32_t Size;
  // What the operations receive as the bank:
  uint8_t EmptyValueKnown;
  uint8_t EmptyValue;
  uint32_t BaseAddr;
  int Kind2;
  SectorRegion aRegion[MCUDB_MAX_REGIONS];
  MCUDB_ALGO_INFO* pAlgoInfo;
  MCUDB_ALGO_INFO* pAlgoInfo2;
  const FlashModule* pModule;
  FLASH_SCRIPT* pScript;
  // Owned by the bank: the parsed algorithm of kinds 8 and 12 and the algorithm information
  // whose API runs the loader script.
  CMSISInfo CMSIS;
  MCUDB_ALGO_INFO* pOwnAlgoInfo;
};

// What the layers above hand down at start-up (null members: the defaults said).
struct FLASH_HOOKS {
  // The project's bank BankIndex and the device of the project; 0, or -1 when there is none.
  int (*pfGetBank)(int BankIndex, BANK_INFO* pBank, int* pDevice);
  void (*pfGetTargetInfo)(FLASH_TARGET_INFO* pInfo); // default: all 0
  bool (*pfIsAborted)(void);                         // default: never
  FLASH_PROGRESS_FUNC* pfProgress;                   // default: none
  uint32_t (*pfGetSecureValue)(void);                // the project's value for secure chip
};
void FLASH_SetHooks(const FLASH_HOOKS* pHooks); // null: the defaults

// Opens bank BankIndex of the project: 0, or -1 (the module and the device database report
// their failures; everything taken is given back).
int FLASH_OpenBank(FlashBank* pBank, int BankIndex, uint32_t BankSize, bool DetermineLayout);
void FLASH_CloseBank(FlashBank* pBank);
int FLASH_PrepareBank(FlashModuleHandle* pHandle, FlashBank* pBank, uint32_t Arg); // 0, or -1
int FLASH_RestoreBank(FlashModuleHandle* pHandle, FlashBank* pBank);               // 0, or -1
void FLASH_SetHostFuncs(FlashBank* pBank, FlashModuleHandle* pHandle);
void FLASH_LogCPUSpeed(FlashBank* pBank, FlashModuleHandle* pHandle);
void FLASH_LogBankInfo(const FlashBank* pBank);
int FLASH_SecureChip(FlashModuleHandle* pHandle, FlashBank* pBank); // 0, or -1 (reported)

// Loader-script hooks: the script function's result, 0 when the script lacks the function, -1
// on failure (reported once per bank opening).
int FLASH_ScriptPrepare(FLASH_SCRIPT* pScript);
int FLASH_ScriptRestore(FLASH_SCRIPT* pScript);
