/*
 * DATAFILE - the table of data-file formats and the dispatch by extension.
 */
#include "data/DATAFILE.h"

#include "data/BIN.h"
#include "data/CSRC.h"
#include "data/ELF.h"
#include "data/HEX.h"
#include "data/SREC.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"

namespace {

typedef int READ_FUNC(DataImage* pImage, const char* sPath, uint32_t StartAddr, DataFileMsgFunc* pfMsg,
                      void* pContext);
typedef int WRITE_FUNC(DataImage* pImage, const char* sPath, uint32_t First, uint32_t Last,
                       DataFileMsgFunc* pfMsg, void* pContext);

// The formats whose reader or writer needs no address take the common signature here.
int _ReadSrec(DataImage* p, const char* s, uint32_t, DataFileMsgFunc* f, void* c) {
  return SREC_Read(p, s, f, c);
}
int _ReadHex(DataImage* p, const char* s, uint32_t, DataFileMsgFunc* f, void* c) {
  return HEX_Read(p, s, f, c);
}
int _ReadElf(DataImage* p, const char* s, uint32_t, DataFileMsgFunc* f, void* c) {
  return ELF_LoadDataFile(p, s, f, c);
}
int _WriteSrec(DataImage* p, const char* s, uint32_t, uint32_t, DataFileMsgFunc* f, void* c) {
  return SREC_Write(p, s, f, c);
}
int _WriteHex(DataImage* p, const char* s, uint32_t, uint32_t, DataFileMsgFunc* f, void* c) {
  return HEX_Write(p, s, f, c);
}

// One entry per format: a new format is one more line here.
struct FormatEntry {
  int Type;
  const char* asExt[7]; // compared without regard to case; ends at the first null
  READ_FUNC* pfRead;    // null: not read
  WRITE_FUNC* pfWrite;  // null: not written
  bool NeedsStartAddr;  // read at a start address
  bool NeedsAddrRange;  // written for an address range
};

// clang-format off
const FormatEntry _aFormat[] = {
  // type               extensions                                        reader     writer      start  range
  {DATAFILE_TYPE_SREC, {".mot", ".srec", ".s19", ".s28", ".s37", ".s"},  _ReadSrec, _WriteSrec, false, false},
  {DATAFILE_TYPE_HEX,  {".hex", ".mcs"},                                  _ReadHex,  _WriteHex,  false, false},
  {DATAFILE_TYPE_ELF,  {".elf"},                                          _ReadElf,  nullptr,    false, false},
  {DATAFILE_TYPE_BIN,  {".bin", ".raw"},                                  BIN_Read,  BIN_Write,  true,  true},
  {DATAFILE_TYPE_C,    {".c"},                                            nullptr,   CSRC_Write, false, true},
};
// clang-format on

const FormatEntry* _FindType(int Type) {
  for (const FormatEntry& e : _aFormat) {
    if (e.Type == Type) return &e;
  }
  return nullptr;
}

void _ReportUnsupported(DataFileMsgFunc* pfMsg, void* pContext, const char* sPath) {
  char ac[600];
  DATAFILE_FormatUnsupported(ac, sizeof(ac), sPath);
  if (pfMsg) pfMsg(pContext, 2, ac);
}
} // namespace

int DATAFILE_GetType(const char* sPath) {
  if (sPath == nullptr) return DATAFILE_TYPE_NONE;
  char acExt[64];
  SYS_PATH_GetExt(acExt, sizeof(acExt), sPath);
  for (const FormatEntry& e : _aFormat) {
    for (const char* sExt : e.asExt) {
      if (sExt == nullptr) break;
      if (UTIL_stricmp(acExt, sExt) == 0) return e.Type;
    }
  }
  return DATAFILE_TYPE_NONE;
}

bool DATAFILE_CanRead(int Type) {
  const FormatEntry* p = _FindType(Type);
  return p && p->pfRead;
}
bool DATAFILE_CanWrite(int Type) {
  const FormatEntry* p = _FindType(Type);
  return p && p->pfWrite;
}
bool DATAFILE_NeedsStartAddr(int Type) {
  const FormatEntry* p = _FindType(Type);
  return p && p->NeedsStartAddr;
}
bool DATAFILE_NeedsAddrRange(int Type) {
  const FormatEntry* p = _FindType(Type);
  return p && p->NeedsAddrRange;
}

int DATAFILE_Read(DataFileMsgFunc* pfMsg, void* pContext, DataImage* pImage, const char* sPath,
                  uint32_t StartAddr) {
  const FormatEntry* p = _FindType(DATAFILE_GetType(sPath));
  if (p == nullptr || p->pfRead == nullptr) {
    _ReportUnsupported(pfMsg, pContext, sPath);
    return DATAFILE_ERR_UNSUPPORTED;
  }
  return p->pfRead(pImage, sPath, StartAddr, pfMsg, pContext);
}

int DATAFILE_Write(DataImage* pImage, const char* sPath, uint32_t First, uint32_t Last,
                   DataFileMsgFunc* pfMsg, void* pContext) {
  const FormatEntry* p = _FindType(DATAFILE_GetType(sPath));
  if (p && p->NeedsAddrRange && First > Last) {
    // Not an empty file reported as saved: the range was mistyped.
    char ac[128];
    DATAFILE_FormatInvalidRange(ac, sizeof(ac), First, Last);
    if (pfMsg) pfMsg(pContext, 2, ac);
    return -1;
  }
  if (p == nullptr || p->pfWrite == nullptr) {
    _ReportUnsupported(pfMsg, pContext, sPath);
    return DATAFILE_ERR_UNSUPPORTED;
  }
  return p->pfWrite(pImage, sPath, First, Last, pfMsg, pContext);
}

void DATAFILE_FormatOpenError(char* sDest, int DestSize, const char* sPath) {
  const char* sReason;
  switch (SYS_GetLastError()) {
  case SYS_ERR_FILE_NOT_FOUND:
    sReason = "File not found!";
    break;
  case SYS_ERR_PATH_NOT_FOUND:
    sReason = "Path not found!";
    break;
  case SYS_ERR_ACCESS_DENIED:
    sReason = "Access is denied!";
    break;
  case SYS_ERR_INVALID_DRIVE:
    sReason = "Invalid drive!";
    break;
  case SYS_ERR_INVALID_NAME:
    sReason = "The filename syntax is incorrect!";
    break;
  default:
    sReason = "Invalid file handle!";
    break;
  }
  UTIL_sprintf(sDest, DestSize, "Could not open file [%s]\n%s", sPath ? sPath : "", sReason);
}

void DATAFILE_FormatUnsupported(char* sDest, int DestSize, const char* sPath) {
  char acExt[64];
  SYS_PATH_GetExt(acExt, sizeof(acExt), sPath ? sPath : "");
  UTIL_sprintf(sDest, DestSize, "Unsupported file type (*%s)", acExt);
}

void DATAFILE_FormatInvalidRange(char* sDest, int DestSize, uint32_t First, uint32_t Last) {
  UTIL_sprintf(sDest, DestSize, "Invalid address range 0x%X - 0x%X: start address above end address", First, Last);
}
