/*
 * APP_File - file routines on top of SYS_FILE with the texts of the data-file readers.
 */
#include "data/APP_File.h"

#include <algorithm>

#include "core/APP_Log.h"
#include "data/CRC32.h"
#include "data/DATAFILE.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"

static void _ReportFileError(const char* sPath, const char* sVerb) {
  char ac[1024];
  APP_FormatFileError(sPath, sVerb, ac, sizeof(ac));
  APP_ErrorOut(ac);
}

int APP_OpenFile(const char* sPath, unsigned Flags) {
  int hFile = SYS_FILE_Open(sPath, Flags);
  if (hFile < 0) _ReportFileError(sPath, "open");
  return hFile;
}

int APP_ReadFile(int hFile, const char* sPath, void* pBuffer, uint32_t NumBytes) {
  if (hFile < 0 || sPath == nullptr || pBuffer == nullptr) {
    APP_ErrorOut("Failed to read file!");
    return -1;
  }
  uint32_t got = 0;
  while (got < NumBytes) {
    int n = SYS_FILE_Read(hFile, static_cast<uint8_t*>(pBuffer) + got, NumBytes - got);
    if (n < 0) {
      APP_ErrorOutf("Could not read file [%s]\nFailed to read data!", sPath);
      return -1;
    }
    if (n == 0) break;
    got += (uint32_t)n;
  }
  return (int)got;
}

void* APP_LoadFileEx(const char* sPath, uint64_t FileOffset, void* pBuffer, uint32_t BufferSize, int64_t NumBytes,
                     uint32_t* pNumBytesRead, bool ReportMissing) {
  if (pNumBytesRead) *pNumBytesRead = 0;
  if (sPath == nullptr || sPath[0] == 0) {
    APP_ErrorOut("Unable to open file. No filename specified.");
    return nullptr;
  }
  int hFile = SYS_FILE_Open(sPath, SYS_FILE_FLAG_READ | SYS_FILE_FLAG_SHARE_READ);
  if (hFile < 0) {
    if (SYS_GetLastError() != SYS_ERR_FILE_NOT_FOUND || ReportMissing) {
      char ac[1024];
      DATAFILE_FormatOpenError(ac, sizeof(ac), sPath);
      APP_ErrorOut(ac);
    }
    return nullptr;
  }
  int64_t size = SYS_FILE_GetSize64(hFile);
  uint64_t want = 0;
  if (NumBytes < 0) {
    want = (size > (int64_t)FileOffset) ? (uint64_t)size - FileOffset : 0;
  } else {
    want = (uint64_t)NumBytes;
  }
  if (size < 0 || want > 0xFFFFFFFFull || SYS_FILE_Seek(hFile, (int64_t)FileOffset, 0) < 0) {
    APP_ErrorOutf("Could not open file [%s]\nFailed to read data!", sPath);
    SYS_FILE_Close(hFile);
    return nullptr;
  }
  void* pDest = pBuffer;
  bool allocated = false;
  if (pDest == nullptr || BufferSize < want) {
    pDest = SYS_MEM_Alloc(want ? (size_t)want : 1, "APP_LoadFileEx(): temp. file buffer");
    if (pDest == nullptr) {
      APP_ErrorOutf("Could not open file [%s]\nUnable to create file buffer!", sPath);
      SYS_FILE_Close(hFile);
      return nullptr;
    }
    allocated = true;
  }
  uint64_t got = 0;
  while (got < want) {
    int n = SYS_FILE_Read(hFile, static_cast<uint8_t*>(pDest) + got, (uint32_t)std::min<uint64_t>(want - got, 0x40000000));
    if (n <= 0) break;
    got += (uint64_t)n;
  }
  SYS_FILE_Close(hFile);
  if (got != want) {
    APP_ErrorOutf("Could not open file [%s]\nFailed to read data!", sPath);
    if (allocated) SYS_MEM_Free(pDest);
    return nullptr;
  }
  if (pNumBytesRead) *pNumBytesRead = (uint32_t)got;
  return pDest;
}

int APP_SaveFile(const char* sPath, const void* pData, uint32_t NumBytes) {
  if (sPath == nullptr || sPath[0] == 0 || pData == nullptr || NumBytes == 0) {
    APP_ErrorOut("Unable to save file. No filename specified.");
    return -1;
  }
  SYS_ATOMIC_FILE f;
  if (SYS_FILE_BeginReplace(&f, sPath) != 0) {
    _ReportFileError(sPath, "save");
    return -1;
  }
  if (SYS_FILE_Write(f.hFile, pData, NumBytes) != (int)NumBytes) {
    SYS_FILE_AbortReplace(&f);
    APP_ErrorOutf("Could not save file [%s]\nFailed to write data!", sPath);
    return -1;
  }
  if (SYS_FILE_CommitReplace(&f) != 0) {
    APP_ErrorOutf("Could not save file [%s]\nFailed to write data!", sPath);
    return -1;
  }
  return 0;
}

int APP_CalcFileCRC(const char* sPath, uint32_t* pCrc) {
  if (pCrc) *pCrc = 0;
  int hFile = SYS_FILE_Open(sPath, SYS_FILE_FLAG_READ | SYS_FILE_FLAG_SHARE_READ);
  if (hFile < 0) {
    _ReportFileError(sPath, "open");
    return -1;
  }
  uint8_t* pBuf = static_cast<uint8_t*>(SYS_MEM_Alloc(0x10000, "APP: file CRC buffer"));
  if (pBuf == nullptr) {
    SYS_FILE_Close(hFile);
    return -1;
  }
  uint32_t crc = 0;
  int r = 0;
  for (;;) {
    int n = SYS_FILE_Read(hFile, pBuf, 0x10000);
    if (n < 0) {
      APP_ErrorOutf("Could not read file [%s]\nFailed to read data!", sPath);
      r = -1;
      break;
    }
    if (n == 0) break;
    crc = CRC32_Update(crc, pBuf, (size_t)n);
  }
  SYS_MEM_Free(pBuf);
  SYS_FILE_Close(hFile);
  if (r == 0 && pCrc) *pCrc = crc;
  return r;
}
