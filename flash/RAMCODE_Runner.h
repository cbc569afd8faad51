/*
 * RAMCODE_Runner - runs a flash algorithm in target RAM. It lays out the work RAM (image, stack,
 * breakpoint word, data buffers, command blocks), downloads the image and checks it, plants the
 * breakpoint word that every entry returns to, and calls one entry point at a time (direct mode)
 * or feeds a running Start entry through two command blocks (background mode, double buffering).
 *
 * Order: RAMCODE_Init -> RAMCODE_SetCore -> RAMCODE_CalcLayout -> RAMCODE_Download ->
 * RAMCODE_Call ... RAMCODE_Sync -> RAMCODE_Stop; RAMCODE_Reset before the next download.
 * All target access goes through the probe binding. Terms: S is the offset of the breakpoint word
 * from the work RAM base, S' its address; B the size of one data buffer; a slot is one of the two
 * requests that may be under way in background mode (direct mode uses slot 0 only).
 */
#pragma once

#include <cstdint>

#include "mcudb/MCUDB_Loader.h"

struct RAMCodeRunner;
struct RAMCODE_REQUEST;

// Host functions: non-zero once the user cancelled; an error text; a target read (bytes read or < 0).
typedef int RAMCODE_ABORT_FUNC(void);
typedef void RAMCODE_ERROR_FUNC(const char* sText);
typedef int RAMCODE_READMEM_FUNC(uint32_t Addr, uint32_t NumBytes, void* pData);
// Runs before the call (after the input data is in the buffer) or after it (after the output was
// read back): 0, or < 0 to fail the request.
typedef int RAMCODE_HOOK(RAMCodeRunner* pRunner, RAMCODE_REQUEST* pReq);

// Operation codes of a request, and of word 11 of a command block.
enum {
  RAMCODE_OP_BLANK_CHECK = 2, // CheckBlank / BlankCheck (base + offset, length, value byte)
  RAMCODE_OP_CALC_CRC = 3,    // CalcCRC (start CRC, base + offset, length, extra value)
  RAMCODE_OP_FLASH_INFO = 4,  // GetFlashInfo (buffer 0, work RAM base + B)
  RAMCODE_OP_READ = 5,        // reads flash into the buffer; only RAMCODE_ReadFlash uses it
  RAMCODE_OP_PROGRAM = 6,     // Program / ProgramPage (base + offset, length, buffer 0)
  RAMCODE_OP_ERASE = 7,       // length 0: EraseChip; else Erase / EraseSector (base + offset, value, length)
  RAMCODE_OP_PREPARE = 8,     // Prepare (no arguments) / Init (bank base, clock, Init code)
  RAMCODE_OP_RESTORE = 9,     // Restore (no arguments) / UnInit (Init code)
  RAMCODE_OP_VERIFY = 11,     // Verify (extended) / Verify (base + offset, length, buffer 0)
};

// Core families of the runner (RAMCODE_FamilyOf). Only the ones with a breakpoint word run code.
enum {
  RAMCODE_FAMILY_ARM = 0,        // ARM7/ARM9: EmbeddedICE watchpoint on S'
  RAMCODE_FAMILY_CORTEX_M = 1,   // the only family that runs a Start entry in the background
  RAMCODE_FAMILY_CORTEX_R = 5,   // device family 12
  RAMCODE_FAMILY_CORTEX_A = 6,   // device families 8 and 15
  RAMCODE_FAMILY_RISCV = 9,      // device family 19
  RAMCODE_FAMILY_ARMV8A = 11,    // device family 20, AArch64 or AArch32 state
  RAMCODE_FAMILY_UNSUPPORTED_2 = 2,
  RAMCODE_FAMILY_UNSUPPORTED_3 = 3,
  RAMCODE_FAMILY_UNSUPPORTED_4 = 4,
  RAMCODE_FAMILY_UNSUPPORTED_7 = 7,
  RAMCODE_FAMILY_UNSUPPORTED_8 = 8,
  RAMCODE_FAMILY_UNSUPPORTED_10 = 10,
};

// Runner flags (RAMCodeRunner::Flags): the module's flags, of which the runner reads these.
enum { RAMCODE_FLAG_INT_ENABLED = 0x4000 }; // run with XRELAYARM_Go, else XRELAYARM_GoIntDis

// Status word (word 10) of a command block while a request is posted or running.
enum : uint32_t { RAMCODE_STATUS_POSTED = 0x7FFFFFFEu, RAMCODE_STATUS_BUSY = 0x7FFFFFFFu };

// Words of a 48-byte command block.
enum {
  RAMCODE_BLOCK_BUFFER_ADDR,
  RAMCODE_BLOCK_BUFFER_SIZE,
  RAMCODE_BLOCK_BANK_BASE,
  RAMCODE_BLOCK_OFFSET,
  RAMCODE_BLOCK_LENGTH,
  RAMCODE_BLOCK_VALUE,
  RAMCODE_BLOCK_EXTRA_VALUE,
  RAMCODE_BLOCK_AUX,
  RAMCODE_BLOCK_STATUS_ADDR,
  RAMCODE_BLOCK_NEXT_BLOCK,
  RAMCODE_BLOCK_STATUS,
  RAMCODE_BLOCK_OP,
  RAMCODE_BLOCK_NUM_WORDS
};
enum { RAMCODE_BLOCK_SIZE = 4 * RAMCODE_BLOCK_NUM_WORDS }; // 48

enum {
  RAMCODE_NUM_SLOTS = 2,
  RAMCODE_STACK_SIZE = 512,       // below the breakpoint word
  RAMCODE_STACK_SIZE_SHORT = 256, // when the work RAM cannot hold the full stack and one page
  RAMCODE_MAX_PRESERVED_REGS = 64,
};

// One call: what the CMSIS module passes. The runner keeps a copy; pInData is written to the
// target before RAMCODE_Call returns, pOutData must stay valid until the slot is done.
struct RAMCODE_REQUEST {
  const char* sActivity; // "%s" of the messages, e.g. "preparing target"
  uint32_t TimeoutMs;
  uint32_t Op;           // RAMCODE_OP_*
  uint32_t BankBase;
  uint32_t Offset;
  uint32_t Length;
  uint32_t Value;
  uint32_t ExtraValue;
  uint32_t Aux;          // word 7 of the command block; not passed in direct mode
  const void* pInData;   // written to the slot's buffer before the call
  uint32_t NumBytesIn;
  void* pOutData;        // read back from the slot's buffer after the call
  uint32_t NumBytesOut;
  RAMCODE_HOOK* pfBefore;
  RAMCODE_HOOK* pfAfter;
  void* pContext;        // for the hooks
  int32_t Result;        // set when the request is done (direct mode: on return)
};

// Work RAM layout (RAMCODE_CalcLayout); offsets from the work RAM base.
struct RAMCODE_LAYOUT {
  uint32_t ImageSize;  // image rounded up to 8 (16 for AArch64)
  uint32_t StackSize;  // RAMCODE_STACK_SIZE or RAMCODE_STACK_SIZE_SHORT
  uint32_t BPOffset;   // S = image + stack: breakpoint word, initial SP and return address
  uint32_t BufferSize; // B
  uint32_t NumBuffers; // 2 in background mode, else 1
  uint32_t RAMUsage;   // S + 8 + B, or S + 120 + 2B in background mode
};

enum { RAMCODE_SLOT_FREE, RAMCODE_SLOT_POSTED, RAMCODE_SLOT_DONE };

struct RAMCODE_SLOT {
  RAMCODE_REQUEST Req; // the copy; Req.Result once done
  uint8_t State;       // RAMCODE_SLOT_*
  uint32_t StartMs;    // when it was posted (its timeout runs from there)
};

struct RAMCodeRunner {
  // Host functions of the flash module; pfReadMem null: the probe is read directly.
  RAMCODE_ABORT_FUNC* pfAbort;
  RAMCODE_ERROR_FUNC* pfErrorOut;
  RAMCODE_READMEM_FUNC* pfReadMem;
  // Algorithm: entries, PrgData, page size; the image to download (RAMCODE_Init takes the
  // CMSISInfo's, the module may choose another; null: "No matching RAMCode found").
  const CMSISInfo* pInfo;
  const uint8_t* pImage;
  uint32_t ImageSize;
  uint32_t Flags; // RAMCODE_FLAG_*
  uint32_t WorkRAMAddr;
  RAMCODE_LAYOUT Layout;
  uint32_t CPUClockHz; // passed to Init
  uint32_t InitCode;   // the Init function code in force, passed to Init and UnInit
  int Family;          // RAMCODE_FAMILY_*
  uint32_t CoreId;
  uint8_t IsAArch64;
  uint8_t IsBackground; // Start entry on a Cortex-M core
  uint8_t IsRunning;    // the Start entry runs
  uint8_t IsDownloaded;
  RAMCODE_SLOT aSlot[RAMCODE_NUM_SLOTS];
  uint32_t SlotCounter; // the next background request goes to slot SlotCounter & 1
};

// Zeroes the runner and takes the algorithm (image, entries, PrgData) from *pInfo, which must
// outlive the runner.
void RAMCODE_Init(RAMCodeRunner* pRunner, const CMSISInfo* pInfo);
// Core family of a device family code of the probe library (XRELAYARM_GetDeviceFamily).
int RAMCODE_FamilyOf(int DeviceFamilyCode);
// Sets family, core id and state; background mode when the algorithm has Start and the family is 1.
void RAMCODE_SetCore(RAMCodeRunner* pRunner, int DeviceFamilyCode, uint32_t CoreId, bool IsAArch64);
// Breakpoint word of a family (AArch64 chooses within family 11); false when it has none.
bool RAMCODE_GetBreakpointWord(int Family, bool IsAArch64, uint32_t* pWord);

// Lays out RAMSize bytes of work RAM (the caller caps it): RAM usage, or -1 when even the short
// stack and one page do not fit. *pBufferAddr: address of buffer 0; *pBufferSize: B (both may be
// null). RequestedBufferSize 0: chosen from NumBytesToProgram (algorithms with a Start entry only).
int RAMCODE_CalcLayout(RAMCodeRunner* pRunner, uint32_t RAMSize, uint32_t NumBytesToProgram,
                       uint32_t RequestedBufferSize, uint32_t* pBufferAddr, uint32_t* pBufferSize);
// Addresses of the layout: buffer of a slot, command block of a slot, breakpoint word (S').
uint32_t RAMCODE_GetBufferAddr(const RAMCodeRunner* pRunner, int Slot);
uint32_t RAMCODE_GetBlockAddr(const RAMCodeRunner* pRunner, int Slot);
uint32_t RAMCODE_GetBPAddr(const RAMCodeRunner* pRunner);

// Halts a Start entry still running, downloads the image to WorkRAMAddr, reads it back and
// compares, plants the breakpoint word at S'.
// 0, or -1 (reported).
int RAMCODE_Download(RAMCodeRunner* pRunner, uint32_t WorkRAMAddr);

// One request in the runner's mode: direct mode runs the entry to its breakpoint and fills
// pReq->Result; background mode posts it to the next slot and returns at once (the result is the
// slot's, RAMCODE_GetResult, and the after-hook's). The slot used, or < 0 (reported; an abort
// is not reported). A timeout or abort leaves the core halted.
int RAMCODE_Call(RAMCodeRunner* pRunner, RAMCODE_REQUEST* pReq);
// Waits until both slots are done, the older first: 0, or -1 (reported).
int RAMCODE_Sync(RAMCodeRunner* pRunner);
// Result of a done slot: 0 and *pResult, or -1 when the slot holds no finished request.
int RAMCODE_GetResult(const RAMCodeRunner* pRunner, int Slot, int32_t* pResult);
// Waits for the slot, then reads NumBytes from Offset of its buffer: bytes read, or < 0.
int RAMCODE_ReadBuffer(RAMCodeRunner* pRunner, int Slot, uint32_t Offset, uint32_t NumBytes, void* pDest);
// Reads NumBytes of flash at Base + Addr through the Read entry (directly when there is none).
// 0, or -1 (reported).
int RAMCODE_ReadFlash(RAMCodeRunner* pRunner, uint32_t TimeoutMs, uint32_t Base, uint32_t Addr,
                      uint32_t NumBytes, void* pDest);
// Halts a running Start entry and drops what is pending.
void RAMCODE_Stop(RAMCodeRunner* pRunner);
// Stops and forgets the download: the next use downloads again.
void RAMCODE_Reset(RAMCodeRunner* pRunner);

/*
 * CPU registers preserved around flash programming, by core id: the list of the core (count, 0
 * when the core is not supported). Save reads them into paCache (XRELAY_ReadRegs_64 for an
 * AArch64 core in AArch64 state, else XRELAYARM_ReadRegs), Restore writes them back.
 * Count of registers, or RAMCODE_REGS_* (nothing reported: the module has the texts).
 */
enum { RAMCODE_REGS_NOT_SUPPORTED = -1, RAMCODE_REGS_CACHE_FULL = -2, RAMCODE_REGS_FAILED = -3 };
int RAMCODE_GetPreservedRegs(uint32_t CoreId, const uint32_t** ppaRegIndex);
int RAMCODE_SaveRegs(uint32_t CoreId, bool IsAArch64, uint64_t* paCache, uint32_t CacheSize);
int RAMCODE_RestoreRegs(uint32_t CoreId, bool IsAArch64, const uint64_t* paCache, uint32_t CacheSize);
