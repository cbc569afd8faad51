/*
 * OUTFILE - writes through SYS_FILE_BeginReplace / SYS_FILE_CommitReplace, or in place where
 * the directory refuses the temporary file.
 */
#include "data/OUTFILE.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

#include "sys/SYS.h"
#include "sys/UTIL.h"

struct OutFile {
  SYS_ATOMIC_FILE File;
  uint8_t* pBuf;
  uint32_t NumInBuf;
  bool Failed;
  char* sErr;
  int ErrSize;
  // In place: the directory refuses the temporary file, the file itself may be written. The
  // whole text is collected here first, so that a writer that fails never touches the file.
  bool InPlace;
  char acPath[512];
  uint8_t* pAll;
  uint64_t NumAll;
  uint64_t AllSize;
};

static void _SetError(OutFile* p, const char* sText) {
  if (p->sErr && p->ErrSize > 0 && p->sErr[0] == 0) UTIL_strcpy(p->sErr, sText, p->ErrSize);
}

// Appends the buffer to the text collected for an in-place write.
static void _Collect(OutFile* p) {
  if (p->NumAll + p->NumInBuf > p->AllSize) {
    uint64_t Size = p->AllSize ? 2 * p->AllSize : 4 * (uint64_t)OUTFILE_BUFFER_SIZE;
    while (Size < p->NumAll + p->NumInBuf) Size *= 2;
    void* pNew = Size <= SIZE_MAX ? SYS_MEM_Realloc(p->pAll, (size_t)Size) : nullptr;
    if (pNew == nullptr) {
      p->Failed = true;
      _SetError(p, "Could not write file. Out of memory.");
      return;
    }
    p->pAll = static_cast<uint8_t*>(pNew);
    p->AllSize = Size;
  }
  std::memcpy(p->pAll + p->NumAll, p->pBuf, p->NumInBuf);
  p->NumAll += p->NumInBuf;
}

// Replaces the file's contents by the collected text: 0, or -1. Without a temporary file there
// is no second copy: only a disk that fails during this one write can still cut the file short.
static int _WriteInPlace(OutFile* p) {
  int hFile = SYS_FILE_Open(p->acPath, SYS_FILE_FLAG_WRITE | SYS_FILE_FLAG_TRUNCATE);
  if (hFile < 0) return -1;
  int r = 0;
  for (uint64_t Done = 0; Done < p->NumAll && r == 0;) {
    uint32_t n = (uint32_t)std::min<uint64_t>(p->NumAll - Done, 0x40000000);
    if (SYS_FILE_Write(hFile, p->pAll + Done, n) != (int)n) r = -1;
    Done += n;
  }
  SYS_FILE_Close(hFile);
  return r;
}

static void _Flush(OutFile* p) {
  if (p->NumInBuf && !p->Failed && p->InPlace) {
    _Collect(p);
  } else if (p->NumInBuf && !p->Failed) {
    int r = SYS_FILE_Write(p->File.hFile, p->pBuf, p->NumInBuf);
    if (r != (int)p->NumInBuf) {
      p->Failed = true;
      _SetError(p, "Error writing file.");
    }
  }
  p->NumInBuf = 0;
}

OutFile* OUTFILE_Create(const char* sPath, char* sErr, int ErrSize) {
  if (sErr && ErrSize > 0) sErr[0] = 0;
  auto fail = [&](const char* sText) -> OutFile* {
    if (sErr && ErrSize > 0 && sErr[0] == 0) UTIL_strcpy(sErr, sText, ErrSize);
    return nullptr;
  };
  void* pMem = SYS_MEM_Alloc(sizeof(OutFile), "OUTFILE: output file");
  uint8_t* pBuf = static_cast<uint8_t*>(SYS_MEM_Alloc(OUTFILE_BUFFER_SIZE, "OUTFILE: output buffer"));
  if (pMem == nullptr || pBuf == nullptr) {
    SYS_MEM_Free(pMem);
    SYS_MEM_Free(pBuf);
    return fail("Could not write file. Out of memory.");
  }
  OutFile* p = new (pMem) OutFile{};
  p->pBuf = pBuf;
  p->sErr = sErr;
  p->ErrSize = ErrSize;
  if (sPath == nullptr || sPath[0] == 0) {
    SYS_MEM_Free(pBuf);
    SYS_MEM_Free(pMem);
    return fail("Could not write file. Invalid filename.");
  }
  if (SYS_FILE_IsDir(sPath)) {
    // A folder is no file to write; renaming over it would fail only after all the work.
    char ac[600];
    UTIL_sprintf(ac, sizeof(ac), "Could not write file.\n%s", sPath);
    SYS_MEM_Free(pBuf);
    SYS_MEM_Free(pMem);
    return fail(ac);
  }
  if (SYS_FILE_BeginReplace(&p->File, sPath) != 0) {
    // No temporary file beside it (the folder refuses one, or its longer name does not fit),
    // yet the file itself may be written.
    if (SYS_FILE_IsFile(sPath) && !SYS_FILE_IsReadOnly(sPath) && std::strlen(sPath) < sizeof(p->acPath)) {
      p->InPlace = true;
      UTIL_strcpy(p->acPath, sPath, sizeof(p->acPath));
      return p;
    }
    char ac[600];
    if (SYS_GetLastError() == SYS_ERR_ACCESS_DENIED) {
      UTIL_sprintf(ac, sizeof(ac),
                   SYS_FILE_IsReadOnly(sPath) ? "Could not write file. File has read only attribute.\n%s"
                                              : "Could not write file. Access denied.\n%s",
                   sPath);
    } else {
      UTIL_sprintf(ac, sizeof(ac), "Could not write file.\n%s", sPath);
    }
    SYS_MEM_Free(pBuf);
    SYS_MEM_Free(pMem);
    return fail(ac);
  }
  return p;
}

void OUTFILE_Write(OutFile* p, const void* pData, uint64_t NumBytes) {
  if (p == nullptr) return;
  const uint8_t* pSrc = static_cast<const uint8_t*>(pData);
  while (NumBytes) {
    if (p->Failed) return; // the buffer stays empty after a failed write
    uint32_t n = OUTFILE_BUFFER_SIZE - p->NumInBuf;
    if (n > NumBytes) n = (uint32_t)NumBytes;
    if (pSrc) {
      std::memcpy(p->pBuf + p->NumInBuf, pSrc, n);
      pSrc += n;
    } else {
      std::memset(p->pBuf + p->NumInBuf, 0xFF, n);
    }
    p->NumInBuf += n;
    NumBytes -= n;
    if (p->NumInBuf == OUTFILE_BUFFER_SIZE) _Flush(p);
  }
}

char* OUTFILE_Reserve(OutFile* p, uint32_t NumBytes) {
  static char acDiscard[OUTFILE_BUFFER_SIZE]; // where a failed file's text goes
  if (p == nullptr || NumBytes > OUTFILE_BUFFER_SIZE) return nullptr;
  if (OUTFILE_BUFFER_SIZE - p->NumInBuf < NumBytes) _Flush(p);
  if (p->Failed) return acDiscard;
  return reinterpret_cast<char*>(p->pBuf + p->NumInBuf);
}

void OUTFILE_Commit(OutFile* p, uint32_t NumBytes) {
  if (p == nullptr || p->Failed) return;
  p->NumInBuf += NumBytes;
  if (p->NumInBuf == OUTFILE_BUFFER_SIZE) _Flush(p);
}

void OUTFILE_SetError(OutFile* p, const char* sText) {
  if (p == nullptr) return;
  _SetError(p, sText);
  p->Failed = true;
  p->NumInBuf = 0;
}

int OUTFILE_Close(OutFile* p) {
  if (p == nullptr) return -1;
  _Flush(p);
  if (p->InPlace) {
    if (!p->Failed && _WriteInPlace(p) != 0) {
      p->Failed = true;
      _SetError(p, "Error writing file.");
    }
  } else if (p->Failed) {
    SYS_FILE_AbortReplace(&p->File);
  } else if (SYS_FILE_CommitReplace(&p->File) != 0) {
    p->Failed = true;
    _SetError(p, "Error writing file.");
  }
  int r = p->Failed ? -1 : 0;
  SYS_MEM_Free(p->pAll);
  SYS_MEM_Free(p->pBuf);
  p->~OutFile();
  SYS_MEM_Free(p);
  return r;
}

int OUTFILE_SaveImage(DataImage* pImage, const char* sPath, OUTFILE_BODY* pfBody, void* pUser,
                      DataFileMsgFunc* pfMsg, void* pContext) {
  bool locked = DATAIMAGE_Lock(pImage) == 0; // nobody edits the image while it is written
  uint32_t counter = DATAIMAGE_GetChangeCounter(pImage);
  char acErr[600];
  acErr[0] = 0;
  // Patches outside every range are written only once folded into ranges: a fold that fails
  // would leave them out of the file, so nothing is written then.
  OutFile* pFile = nullptr;
  if (DATAIMAGE_ApplyPatches(pImage) < 0) {
    UTIL_strcpy(acErr, "Insufficient memory!", sizeof(acErr));
  } else {
    pFile = OUTFILE_Create(sPath, acErr, sizeof(acErr));
  }
  if (pFile) {
    pfBody(pImage, pFile, pUser);
    OUTFILE_Close(pFile);
  }
  if (acErr[0]) DATAIMAGE_SetChangeCounter(pImage, counter);
  if (locked) DATAIMAGE_Unlock(pImage);
  if (acErr[0] == 0) return 0;
  if (pfMsg) pfMsg(pContext, 2, acErr);
  return -1;
}
