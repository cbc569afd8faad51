/*
 * SREC - record parser on the reading window, and the record writer.
 */
#include "data/SREC.h"


#include "data/OUTFILE.h"
#include "data/RECTEXT.h"
#include "sys/UTIL.h"

namespace {

// Address bytes of each record type; S4 has no defined layout.
const int _aAddrLen[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

void _SkipSpace(RecTextWindow* pWin, uint32_t* pLine) {
  RecTextWindow& w = *pWin;
  const char* t = w.pText;
  for (;;) {
    if (w.NumChars - w.Pos < RECTEXT_REFILL_MARGIN) RECTEXT_Refill(&w);
    char c = t[w.Pos];
    if (c == '\n') {
      (*pLine)++;
    } else if (c != ' ' && c != '\t' && c != '\r') {
      return;
    }
    w.Pos++;
  }
}

void _PutRecord(OutFile* pFile, char Type, uint32_t Addr, int AddrLen, const uint8_t* pData, uint32_t NumBytes) {
  uint8_t ab[1 + 4 + 255];
  uint32_t n = 0;
  ab[n++] = (uint8_t)(AddrLen + NumBytes + 1);
  for (int i = AddrLen - 1; i >= 0; i--) ab[n++] = (uint8_t)(Addr >> (8 * i));
  for (uint32_t i = 0; i < NumBytes; i++) ab[n++] = pData[i];
  uint8_t sum = 0;
  for (uint32_t i = 0; i < n; i++) sum = (uint8_t)(sum + ab[i]);
  ab[n++] = (uint8_t)~sum;
  char* p = OUTFILE_Reserve(pFile, 2 + 2 * n + 2);
  char* q = p;
  *q++ = 'S';
  *q++ = Type;
  q = RECTEXT_PutHex(q, ab, n);
  *q++ = '\r';
  *q++ = '\n';
  OUTFILE_Commit(pFile, (uint32_t)(q - p));
}

void _PutPiece(void* pUser, uint32_t Addr, const uint8_t* pData, uint32_t NumBytes) {
  OutFile* pFile = static_cast<OutFile*>(pUser);
  uint32_t last = Addr + NumBytes - 1;
  if (last <= 0xFFFF) {
    _PutRecord(pFile, '1', Addr, 2, pData, NumBytes);
  } else if (last <= 0xFFFFFF) {
    _PutRecord(pFile, '2', Addr, 3, pData, NumBytes);
  } else {
    _PutRecord(pFile, '3', Addr, 4, pData, NumBytes);
  }
}

// Records of 32 bytes with the shortest address that holds their last byte.
void _WriteBody(DataImage* pImage, OutFile* pFile, void*) {
  RECTEXT_ForEachPiece(pImage, 32, false, _PutPiece, pFile);
  _PutRecord(pFile, '9', 0, 2, nullptr, 0);
}

// One record from 'S' to its last byte.
const char* _ParseRecord(RecTextWindow* pWin, uint32_t* pLine, DataImage* pImage, void*, char* sError,
                         int ErrSize) {
  if (pWin->pText[pWin->Pos] != 'S') return "Unexpected character";
  pWin->Pos++;
  _SkipSpace(pWin, pLine);
  char c = pWin->pText[pWin->Pos];
  if (c < '0' || c > '9') return (c == 0 && RECTEXT_IsCut(pWin)) ? RECTEXT_TOO_LONG : "Unexpected character";
  int type = c - '0';
  uint32_t pos = pWin->Pos + 1;
  uint8_t abRec[1 + 255];
  uint8_t sum;
  if (const char* s = RECTEXT_ReadBytes(pWin, &pos, abRec, 1, &sum)) return s; // the count, then its bytes
  pWin->Pos = pos;
  uint32_t count = abRec[0];
  if (count == 0 || (int)count < _aAddrLen[type] + 1) { // no room for the address and the checksum
    UTIL_sprintf(sError, ErrSize, "Record count 0x%.2X too small for the address of an S%d record", count, type);
    return sError;
  }
  if (sum != 0xFF) {
    uint8_t found = abRec[count];
    UTIL_sprintf(sError, ErrSize, "Checksum error! Checksum in file: 0x%.2X, checksum calculated 0x%.2X",
                 (unsigned)found, (unsigned)(uint8_t) ~(uint8_t)(sum - found));
    return sError;
  }
  if (type >= 1 && type <= 3) {
    int addrLen = _aAddrLen[type];
    uint32_t addr = 0;
    for (int i = 0; i < addrLen; i++) addr = addr << 8 | abRec[1 + i];
    uint32_t n = count - 1 - (uint32_t)addrLen;
    if ((uint64_t)addr + n > 0x100000000ull) return "Data beyond address 0xFFFFFFFF";
    if (DATAIMAGE_AddData(pImage, addr, n, abRec + 1 + addrLen) < 0) return "Areas overlap";
  }
  return nullptr;
}

const RECTEXT_FORMAT _Format = {'S', "Malloc problem", "Not a mot file", _SkipSpace, _ParseRecord};

} // namespace

static_assert((int)SREC_ERR_OPEN == (int)RECTEXT_ERR_OPEN && (int)SREC_ERR_MEMORY == (int)RECTEXT_ERR_MEMORY &&
              (int)SREC_ERR_NOT_SREC == (int)RECTEXT_ERR_FORMAT && (int)SREC_ERR_SYNTAX == (int)RECTEXT_ERR_SYNTAX);

int SREC_Read(DataImage* pImage, const char* sPath, DataFileMsgFunc* pfMsg, void* pContext) {
  return RECTEXT_ReadImage(pImage, sPath, pfMsg, pContext, &_Format, nullptr);
}

int SREC_Write(DataImage* pImage, const char* sPath, DataFileMsgFunc* pfMsg, void* pContext) {
  return OUTFILE_SaveImage(pImage, sPath, _WriteBody, nullptr, pfMsg, pContext);
}
