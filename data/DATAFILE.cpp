/*
 * DATAFILE - extension table and dispatch.
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
struct ExtEntry {
  const char* sExt;
  int Type;
};
const ExtEntry _aExt[] = {
    {".mot", DATAFILE_TYPE_SREC}, {".srec", DATAFILE_TYPE_SREC}, {".s19", DATAFILE_TYPE_SREC},
    {".s28", DATAFILE_TYPE_SREC}, {".s37", DATAFILE_TYPE_SREC},  {".s", DATAFILE_TYPE_SREC},
    {".hex", DATAFILE_TYPE_HEX},  {".mcs", DATAFILE_TYPE_HEX},   {".elf", DATAFILE_TYPE_ELF},
    {".bin", DATAFILE_TYPE_BIN},  {".raw", DATAFILE_TYPE_BIN},   {".c", DATAFILE_TYPE_C},
};

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
  for (const ExtEntry& e : _aExt) {
    if (UTIL_stricmp(acExt, e.sExt) == 0) return e.Type;
  }
  return DATAFILE_TYPE_NONE;
}

bool DATAFILE_CanRead(int Type) { return Type >= DATAFILE_TYPE_SREC && Type <= DATAFILE_TYPE_BIN; }
bool DATAFILE_CanWrite(int Type) {
  return Type == DATAFILE_TYPE_SREC || Type == DATAFILE_TYPE_HEX || Type == DATAFILE_TYPE_BIN || Type == DATAFILE_TYPE_C;
}
bool DATAFILE_NeedsStartAddr(int Type) { return Type == DATAFILE_TYPE_BIN; }
bool DATAFILE_NeedsAddrRange(int Type) { return Type == DATAFILE_TYPE_BIN || Type == DATAFILE_TYPE_C; }

int DATAFILE_Read(DataFileMsgFunc* pfMsg, void* pContext, DataImage* pImage, const char* sPath, uint32_t StartAddr) {
  switch (DATAFILE_GetType(sPath)) {
  case DATAFILE_TYPE_SREC:
    return SREC_Read(pImage, sPath, pfMsg, pContext);
  case DATAFILE_TYPE_HEX:
    return HEX_Read(pImage, sPath, pfMsg, pContext);
  case DATAFILE_TYPE_ELF:
    return ELF_LoadDataFile(pImage, sPath, pfMsg, pContext);
  case DATAFILE_TYPE_BIN:
    return BIN_Read(pImage, sPath, StartAddr, pfMsg, pContext);
  default:
    _ReportUnsupported(pfMsg, pContext, sPath);
    return DATAFILE_ERR_UNSUPPORTED;
  }
}

int DATAFILE_Write(DataImage* pImage, const char* sPath, uint32_t First, uint32_t Last, DataFileMsgFunc* pfMsg,
                   void* pContext) {
  int Type = DATAFILE_GetType(sPath);
  if (DATAFILE_NeedsAddrRange(Type) && First > Last) {
    // Not an empty file reported as saved: the range was mistyped.
    char ac[128];
    DATAFILE_FormatInvalidRange(ac, sizeof(ac), First, Last);
    if (pfMsg) pfMsg(pContext, 2, ac);
    return -1;
  }
  switch (Type) {
  case DATAFILE_TYPE_SREC:
    return SREC_Write(pImage, sPath, pfMsg, pContext);
  case DATAFILE_TYPE_HEX:
    return HEX_Write(pImage, sPath, pfMsg, pContext);
  case DATAFILE_TYPE_BIN:
    return BIN_Write(pImage, sPath, First, Last, pfMsg, pContext);
  case DATAFILE_TYPE_C:
    return CSRC_Write(pImage, sPath, First, Last, pfMsg, pContext);
  default:
    _ReportUnsupported(pfMsg, pContext, sPath);
    return DATAFILE_ERR_UNSUPPORTED;
  }
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
