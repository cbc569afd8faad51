/*
 * SREC - record parser on the reading window, and the record writer.
 */
#include "data/SREC.h"

#include <algorithm>
#include <vector>

#include "data/OUTFILE.h"
#include "data/RECTEXT.h"
#include "sys/UTIL.h"

namespace {

// Address bytes of each record type; S4 has no defined layout.
const int _aAddrLen[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

void _SkipSpace(RecTextWindow& w, uint32_t& Line) {
  const char* t = w.pText;
  for (;;) {
    if (w.NumChars - w.Pos < RECTEXT_REFILL_MARGIN) RECTEXT_Refill(&w);
    char c = t[w.Pos];
    if (c == '\n') {
      Line++;
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

// Blocks of 64 KB are cut into records of 32 bytes: the same records as asking the block
// search for 32 bytes at a time, with one search per 64 KB.
void _WriteBody(DataImage* pImage, OutFile* pFile, void*) {
  std::vector<uint8_t> buf(0x10000);
  uint64_t addr = 0;
  while (addr <= 0xFFFFFFFFull) {
    uint32_t blockAddr = 0;
    uint32_t len = DATAIMAGE_GetBlock(pImage, (uint32_t)addr, 0xFFFFFFFF, 0, 0xFF, buf.data(), nullptr, &blockAddr,
                                      0x10000, 0, 0);
    if (len == 0) break;
    for (uint32_t done = 0; done < len;) {
      uint32_t a = blockAddr + done;
      uint32_t n = std::min<uint32_t>(32, len - done);
      uint32_t last = a + n - 1;
      if (last <= 0xFFFF) {
        _PutRecord(pFile, '1', a, 2, buf.data() + done, n);
      } else if (last <= 0xFFFFFF) {
        _PutRecord(pFile, '2', a, 3, buf.data() + done, n);
      } else {
        _PutRecord(pFile, '3', a, 4, buf.data() + done, n);
      }
      done += n;
    }
    addr = (uint64_t)blockAddr + len;
  }
  _PutRecord(pFile, '9', 0, 2, nullptr, 0);
}

} // namespace

int SREC_Read(DataImage* pImage, const char* sPath, DataFileMsgFunc* pfMsg, void* pContext) {
  bool locked = DATAIMAGE_Lock(pImage) == 0;
  RecTextWindow w;
  char acErr[600];
  acErr[0] = 0;
  int r = RECTEXT_Open(&w, sPath, acErr, sizeof(acErr));
  if (r == -1) {
    if (pfMsg) pfMsg(pContext, 2, acErr);
    DATAIMAGE_SetChangeCounter(pImage, 0);
    if (locked) DATAIMAGE_Unlock(pImage);
    return SREC_ERR_OPEN;
  }
  uint32_t line = 0;
  const char* sError = nullptr;
  char acError[128];
  int result = 0;
  if (r == -3) {
    sError = "Malloc problem";
    result = SREC_ERR_MEMORY;
  } else if (w.pText[0] != 'S') {
    sError = "Not a mot file";
    result = SREC_ERR_NOT_SREC;
  }
  const auto& hex = RECTEXT_aHexValue;
  uint8_t abRec[1 + 255];
  while (sError == nullptr) {
    _SkipSpace(w, line);
    const char* t = w.pText;
    char c = t[w.Pos];
    if ((c == 0 && w.Pos >= w.NumChars) || c == 0x1A) break;
    if (c != 'S') {
      sError = "Unexpected character";
      break;
    }
    w.Pos++;
    _SkipSpace(w, line);
    c = t[w.Pos];
    if (c < '0' || c > '9') {
      sError = (c == 0 && RECTEXT_IsCut(&w)) ? RECTEXT_TOO_LONG : "Unexpected character";
      break;
    }
    int type = c - '0';
    uint32_t pos = w.Pos + 1;
    uint32_t numBytes = 1; // the count, then as many bytes as it says
    uint8_t sum = 0;
    for (uint32_t i = 0; i < numBytes; i++) {
      int hi = hex[(uint8_t)t[pos]];
      int lo = hi < 0 ? -1 : hex[(uint8_t)t[pos + 1]];
      if (lo < 0) {
        w.Pos = pos;
        sError = (pos + (hi >= 0) >= w.NumChars && !w.AtEof) ? RECTEXT_TOO_LONG : "Expected Hex character : 0..9, A..F";
        break;
      }
      pos += 2;
      abRec[i] = (uint8_t)(hi << 4 | lo);
      if (i == 0) numBytes = 1u + abRec[0];
      sum = (uint8_t)(sum + abRec[i]);
    }
    if (sError) break;
    w.Pos = pos;
    uint32_t count = abRec[0];
    if (count == 0 || (int)count < _aAddrLen[type] + 1) { // no room for the address and the checksum
      UTIL_sprintf(acError, sizeof(acError), "Record count 0x%.2X too small for the address of an S%d record",
                   count, type);
      sError = acError;
      break;
    }
    if (sum != 0xFF) {
      uint8_t found = abRec[count];
      UTIL_sprintf(acError, sizeof(acError), "Checksum error! Checksum in file: 0x%.2X, checksum calculated 0x%.2X",
                   (unsigned)found, (unsigned)(uint8_t) ~(uint8_t)(sum - found));
      sError = acError;
      break;
    }
    if (type >= 1 && type <= 3) {
      int addrLen = _aAddrLen[type];
      uint32_t addr = 0;
      for (int i = 0; i < addrLen; i++) addr = addr << 8 | abRec[1 + i];
      uint32_t n = count - 1 - (uint32_t)addrLen;
      if ((uint64_t)addr + n > 0x100000000ull) {
        sError = "Data beyond address 0xFFFFFFFF";
        break;
      }
      if (DATAIMAGE_AddData(pImage, addr, n, abRec + 1 + addrLen) < 0) {
        sError = "Areas overlap";
        break;
      }
    }
  }
  if (sError == nullptr && w.ReadFailed) sError = "Could not read file.";
  if (sError && result == 0) result = SREC_ERR_SYNTAX;
  if (sError) RECTEXT_ReportLineError(pfMsg, pContext, line, sError);
  RECTEXT_Close(&w);
  DATAIMAGE_SetChangeCounter(pImage, 0);
  if (locked) DATAIMAGE_Unlock(pImage);
  return result;
}

int SREC_Write(DataImage* pImage, const char* sPath, DataFileMsgFunc* pfMsg, void* pContext) {
  return OUTFILE_SaveImage(pImage, sPath, _WriteBody, nullptr, pfMsg, pContext);
}
