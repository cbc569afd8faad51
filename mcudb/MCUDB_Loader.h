/*
 * MCUDB_Loader - turns a flash-loader image into the CMSISInfo the flash-loader engine works
 * from: CMSIS flash algorithms (ELF32/ELF64 with "PrgCode", "PrgData", "DevDscr" and the data
 * object "FlashDevice"), compressed images ("KFLC" header, entry words, packed stream), and the
 * data entries of compiled loader scripts ("PCV2").
 *
 * Every check reports one text through the error handler (MCUDB_SetLoaderErrorHandler) and
 * makes the parse return -1; the CMSISInfo and an image already stored in it stay with the
 * caller (MCUDB_FreeCMSISInfo). Terms: a run is a stretch of equal sectors of the FlashDevice
 * sector table; a SectorRegion is a run with its sector count. Nothing here reads outside the
 * buffer or file it was given.
 */
#pragma once

#include <cstdint>

struct ElfFile;

enum {
  MCUDB_MAX_REGIONS = 8,            // SectorRegion entries of a layout
  MCUDB_MAX_SECTOR_ENTRIES = 512,   // FlashDevice.sectors[] entries
  MCUDB_MAX_RAMCODE_SIZE = 0x80000, // bytes of a RAMCode image
  MCUDB_FLASHDEVICE_HEAD = 160,     // bytes of FlashDevice before sectors[]
};

enum { MCUDB_LOADER_KIND_CMSIS_FILE = 8, MCUDB_LOADER_KIND_CMSIS_IMAGE = 12 };

// MCUDB_ParseFlashLoader flags: take the layout from the device sector list, not FlashDevice.
enum { MCUDB_PARSE_FLAG_DEVICE_LAYOUT = 1u << 0 };

// One run of equal sectors of a bank; a list ends at NumSectors 0 or after eight entries.
struct SectorRegion {
  uint32_t NumSectors;
  uint32_t SectorSize;
  uint32_t Offset; // start of the run relative to the bank base
};

// Entry points of a flash algorithm, in CMSISInfo order.
enum {
  MCUDB_ENTRY_INIT,
  MCUDB_ENTRY_UNINIT,
  MCUDB_ENTRY_PREPARE,
  MCUDB_ENTRY_RESTORE,
  MCUDB_ENTRY_ERASE_SECTOR,
  MCUDB_ENTRY_ERASE,
  MCUDB_ENTRY_PROGRAM_PAGE,
  MCUDB_ENTRY_PROGRAM,
  MCUDB_ENTRY_ERASE_CHIP,
  MCUDB_ENTRY_ERASE_CHIP_EX,
  MCUDB_ENTRY_BLANK_CHECK,
  MCUDB_ENTRY_CHECK_BLANK,
  MCUDB_ENTRY_VERIFY,
  MCUDB_ENTRY_VERIFY_EX,
  MCUDB_ENTRY_READ,
  MCUDB_ENTRY_CALC_CRC,
  MCUDB_ENTRY_START,
  MCUDB_ENTRY_GET_FLASH_INFO,
  MCUDB_NUM_ENTRIES
};

// The parsed description of one flash algorithm. Zeroed before filling; the caller owns it
// and the image block in it.
struct CMSISInfo {
  uint8_t* pImage;         // host copy of the RAMCode image (tag "MCUDB.c: CMSIS Info RAM Code")
  uint32_t ImageSize;      // at most MCUDB_MAX_RAMCODE_SIZE
  const char* sScriptFile; // loader script path from the loader descriptor, or null
  uint32_t PageSize;
  uint8_t ImageSlot;  // 0: filed as the 32-bit RAMCode; always 0 here
  uint8_t Is64;       // AArch64 code
  uint8_t IntEnabled; // the algorithm runs with interrupts enabled
  uint8_t LayoutCut;  // the device sector list's size cut the algorithm's layout
  uint32_t EmptyValue;
  SectorRegion aRegion[MCUDB_MAX_REGIONS];
  int32_t aEntryOffset[MCUDB_NUM_ENTRIES]; // from the RAMCode start (Thumb bit kept); -1 absent
  uint32_t PrgDataAddr;
  uint32_t TimeoutProgram; // ms
  uint32_t TimeoutErase;   // ms
};

// Run of the FlashDevice sector table: sector size and start offset from DevAdr.
struct MCUDB_SECTOR_RUN {
  uint32_t SectorSize;
  uint32_t Start;
};

// Where the parse texts go (default: nowhere); the program installs APP_ErrorOut.
void MCUDB_SetLoaderErrorHandler(void (*pfError)(const char* sText));

// kind 12 + "KFLC": compressed image; otherwise a CMSIS ELF (kind 12 from the buffer, any other
// kind from sPath). paDevSectors: the device's layout or null. 0, or -1 (reported).
int MCUDB_ParseFlashLoader(int Kind, const uint8_t* pImage, uint32_t ImageSize, const char* sPath,
                           const SectorRegion* paDevSectors, const char* sScriptFile, CMSISInfo* pInfo,
                           uint32_t Flags);
int MCUDB_ParseCMSISAlgo(int Kind, const uint8_t* pImage, uint32_t ImageSize, const char* sPath,
                         const SectorRegion* paDevSectors, const char* sScriptFile, CMSISInfo* pInfo,
                         uint32_t Flags);
int MCUDB_ParseCompressedLoader(int Kind, const uint8_t* pImage, uint32_t ImageSize, const char* sPath,
                                const SectorRegion* paDevSectors, const char* sScriptFile, CMSISInfo* pInfo,
                                uint32_t Flags);
void MCUDB_FreeCMSISInfo(CMSISInfo* pInfo); // frees the image and zeroes the record

/*
 * The sector table of a FlashDevice: pSectors holds NumEntries entries of {szSector, AddrSector}
 * in the algorithm's byte order (Swap: big-endian). Fills at most MaxRuns runs (more are counted
 * only); *pNumRuns gets the run count and *pNumUsed the entries before the end marker.
 * 0, or -1 (reported).
 */
int MCUDB_ConvertSectorInfo(const uint8_t* pSectors, uint32_t NumEntries, uint32_t DevAdr, bool Swap,
                            MCUDB_SECTOR_RUN* paRun, uint32_t MaxRuns, uint32_t* pNumRuns,
                            uint32_t* pNumUsed);
// Runs -> SectorRegion list up to szDev, cut at MaxSize bytes (0xFFFFFFFFFFFFFFFF: no limit).
// *pCut is set when MaxSize cut the layout. 0, or -1 (reported).
int MCUDB_CountSectors(const MCUDB_SECTOR_RUN* paRun, uint32_t NumRuns, uint32_t szDev, uint64_t MaxSize,
                       SectorRegion* paRegion, bool* pCut);

// Function symbol value minus the PrgCode address, or -1 when absent (or not a function).
int32_t MCUDB_GetEntryOffset(ElfFile* pElf, const char* sName, uint64_t PrgCodeAddr);
// 0 read, 1 absent (or not a data object), -1 error (reported).
int MCUDB_ReadOFLVar(ElfFile* pElf, const char* sName, uint64_t ExpectedSize, void* pDest);

/*
 * Compiled loader scripts. Readers: 0, -1 bad magic, -2 no entries, -3 entry absent (or its
 * records lie outside the script), -4 data smaller than required.
 */
struct MCUDB_ALGO_API {
  void* apFunc[16]; // filled by the flash modules that use the algorithm
};
struct MCUDB_ALGO_INFO {
  uint32_t aWord[8]; // words 1-8 of "FLASH_AlgoParams"
  uint32_t Flags;    // word 9 with 0x2000 set
  const uint8_t* pImage;
  uint32_t ImageSize;
  const uint8_t* pCompiledScript;
  uint32_t CompiledScriptSize;
  MCUDB_ALGO_API* pAPI; // tag "MCUDB.c: Algo API"
};
struct MCUDB_CFI_CONFIG {
  uint32_t aWord[3]; // words 2, 3 and 4 of "FLASH_CFIConfig"
  uint8_t IsSet;
};
int MCUDB_FindScriptEntry(const uint8_t* pScript, uint32_t ScriptSize, const char* sName); // index or -1
// *ppInfo: new record (tag "MCUDB.c: Algo info") with the image pointers given; MCUDB_FreeAlgoInfo.
int MCUDB_ReadAlgoParams(const uint8_t* pScript, uint32_t ScriptSize, const uint8_t* pImage,
                         uint32_t ImageSize, MCUDB_ALGO_INFO** ppInfo);
void MCUDB_FreeAlgoInfo(MCUDB_ALGO_INFO** ppInfo);
int MCUDB_ReadCFIConfig(const uint8_t* pScript, uint32_t ScriptSize, MCUDB_CFI_CONFIG* pConfig);
