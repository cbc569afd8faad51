/*
 * BIN - read in pieces of 32 KB, written in blocks of at most 64 KB.
 */
#include "data/BIN.h"

#include <algorithm>

#include "data/DATAFILE.h"
#include "data/OUTFILE.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"

namespace {
struct Range {
  uint32_t First;
  uint32_t Last;
};

void _WriteBody(DataImage* pImage, OutFile* pFile, void* pUser) {
  const Range& r = *static_cast<const Range*>(pUser);
  uint8_t* pBuf = static_cast<uint8_t*>(SYS_MEM_Alloc(0x10000, "BIN: write buffer"));
  if (pBuf == nullptr) {
    OUTFILE_SetError(pFile, "Could not write file. Out of memory.");
    return;
  }
  uint64_t a = r.First;
  while (a <= r.Last) {
    uint64_t maxSize = std::min<uint64_t>((uint64_t)r.Last - a + 1, 0x10000);
    uint32_t blockAddr = 0;
    uint32_t n = DATAIMAGE_GetBlock(pImage, (uint32_t)a, r.Last, 0xFFFFFF, 0xFF, pBuf, nullptr, &blockAddr,
                                    (uint32_t)maxSize, 0, 0);
    if (n == 0) break;
    if (blockAddr > a) {
      OUTFILE_Write(pFile, nullptr, blockAddr - a);
      a = blockAddr;
    }
    OUTFILE_Write(pFile, pBuf, n);
    a += n;
  }
  SYS_MEM_Free(pBuf);
}
} // namespace

int BIN_Read(DataImage* pImage, const char* sPath, uint32_t StartAddr, DataFileMsgFunc* pfMsg, void* pContext) {
  bool locked = DATAIMAGE_Lock(pImage) == 0;
  char ac[600];
  ac[0] = 0;
  int hFile = SYS_FILE_Open(sPath, SYS_FILE_FLAG_READ | SYS_FILE_FLAG_SHARE_READ);
  uint8_t* pBuf = nullptr;
  if (hFile < 0) {
    DATAFILE_FormatOpenError(ac, sizeof(ac), sPath);
  } else if ((pBuf = static_cast<uint8_t*>(SYS_MEM_Alloc(0x8000, "BIN: read buffer"))) == nullptr) {
    UTIL_strcpy(ac, "Could not read file. Out of memory.", sizeof(ac));
  } else {
    int64_t size = SYS_FILE_GetSize64(hFile);
    if (size > 0 && (uint64_t)StartAddr + (uint64_t)size > 0x100000000ull) {
      UTIL_sprintf(ac, sizeof(ac), "Could not read file. File does not fit into the address space at 0x%X.",
                   StartAddr);
    }
    uint64_t numRead = 0;
    while (ac[0] == 0) {
      int n = SYS_FILE_Read(hFile, pBuf, 0x8000);
      if (n < 0) {
        UTIL_strcpy(ac, "Could not read file.", sizeof(ac));
      } else if (n == 0) {
        break;
      } else if (numRead + StartAddr + (uint64_t)n > 0x100000000ull) { // the file grew while being read
        UTIL_sprintf(ac, sizeof(ac), "Could not read file. File does not fit into the address space at 0x%X.",
                     StartAddr);
      } else if (DATAIMAGE_AddData(pImage, (uint32_t)(StartAddr + numRead), (uint32_t)n, pBuf) < 0) {
        UTIL_strcpy(ac, "Could not read file. Out of memory.", sizeof(ac));
      }
      numRead += (uint64_t)(n > 0 ? n : 0);
    }
  }
  SYS_MEM_Free(pBuf);
  if (hFile >= 0) SYS_FILE_Close(hFile);
  DATAIMAGE_SetChangeCounter(pImage, 0);
  if (locked) DATAIMAGE_Unlock(pImage);
  if (ac[0] == 0) return 0;
  if (pfMsg) pfMsg(pContext, 2, ac);
  return -1;
}

int BIN_Write(DataImage* pImage, const char* sPath, uint32_t First, uint32_t Last, DataFileMsgFunc* pfMsg,
              void* pContext) {
  Range r{First, Last};
  return OUTFILE_SaveImage(pImage, sPath, _WriteBody, &r, pfMsg, pContext);
}
