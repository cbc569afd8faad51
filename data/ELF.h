/*
 * ELF - a small reader for little-endian ELF32 and ELF64 files: ELF data files (their program
 * image at its load addresses) and CMSIS flash algorithms (sections and symbols).
 *
 * ELF_Open / ELF_OpenMem read the whole file, check the header, locate the section table, the
 * symbol table and ".strtab", and compute the application-image ranges: the loadable sections
 * with their virtual (link) and physical (load) addresses, contiguous ones merged. The
 * instance lives until ELF_Close. Every operation checks the instance first and returns -2
 * for one that is not open; lookups that find nothing return -3. Names compare exactly.
 */
#pragma once

#include <cstdint>

#include "data/DATAIMAGE.h"

struct ElfFile;

// Callbacks of ELF_Open; each may be null. Texts are formatted into 1024 characters.
struct ElfReportConfig {
  uint32_t SizeOfStruct; // sizeof(ElfReportConfig)
  void (*pfError)(const char* sText);
  void (*pfWarn)(const char* sText);
  void (*pfInfo)(const char* sText);
};

struct ElfSectionInfo {
  uint32_t SizeOfStruct; // set by the caller; no more than this is filled, the rest is cleared
  uint64_t Addr;         // sh_addr
  uint64_t Size;         // sh_size
  uint64_t Flags;        // sh_flags
  const char* sName;     // into the section-name table
};

struct ElfSymbolInfo {
  const char* sName; // into the symbol string table; null without one
  uint64_t Value;
  uint64_t Size;
  uint32_t Type;    // 1 object, 2 function, 0 anything else
  uint32_t Binding; // 1 local, 2 global, 3 weak, 0 anything else
};

struct ElfRangeInfo {
  uint32_t SizeOfStruct; // as with ElfSectionInfo
  uint64_t VAddr;        // link address
  uint64_t PAddr;        // load address
  uint64_t NumBytes;
  uint64_t Index;
};

// One loadable piece of the image, as the reader keeps it.
struct _APP_IMG_RANGE_INFO {
  uint64_t VAddr;
  uint64_t PAddr;
  uint64_t NumBytes;
  uint64_t FileOff;
  uint64_t SegVAddr; // virtual address of the program header that holds it
  const char* sName; // of its first section
};

ElfFile* ELF_Open(const char* sPath, const ElfReportConfig* pConfig);                     // instance, or null
ElfFile* ELF_OpenMem(const void* pData, uint64_t NumBytes, const ElfReportConfig* pConfig); // copies the data
int ELF_Close(ElfFile* pElf);                                                              // 0, or -2
int ELF_GetClass(ElfFile* pElf);      // 1 ELF32, 2 ELF64, 0 invalid instance
int ELF_IsBigEndian(ElfFile* pElf);   // 0 or 1; -2
int ELF_GetNumSections(ElfFile* pElf, uint64_t* pNumSections);                     // 0 / -2
int ELF_GetSectionInfo(ElfFile* pElf, uint64_t Index, ElfSectionInfo* pInfo);      // 0 / -3 / -2
int ELF_FindSection(ElfFile* pElf, const char* sName, ElfSectionInfo* pInfo);      // 0 / -3 / -2
// Copies NumBytes from Offset of the section (zeros for NOBITS); 0 / -3 outside the section / -2.
int ELF_ReadSection(ElfFile* pElf, uint64_t Index, void* pDest, uint64_t Offset, uint64_t NumBytes);
int ELF_FindSymbol(ElfFile* pElf, const char* sName, ElfSymbolInfo* pInfo); // 0 / -3 / -2
// Total number of ranges, filling min(NumEntries, total) entries in order; -2.
int ELF_GetAppImgRanges(ElfFile* pElf, ElfRangeInfo* paInfo, uint64_t NumEntries);
// Copies min(DestSize, NumBytes) bytes of range pInfo->Index; 0 / -1 bad index / -2.
int ELF_ReadAppImgRange(ElfFile* pElf, const ElfRangeInfo* pInfo, void* pDest, uint64_t DestSize);
// 0 when all bytes at VAddr ... were found in application-image ranges; -3 otherwise; -2.
int ELF_ReadMem(ElfFile* pElf, uint64_t VAddr, uint64_t NumBytes, void* pDest);

// Loads the program image of an ELF data file at its load addresses: 0, or -1 (reported at
// level 2; ranges added before stay in the image). Change counter 0 afterwards.
int ELF_LoadDataFile(DataImage* pImage, const char* sPath, DataFileMsgFunc* pfMsg, void* pContext);
