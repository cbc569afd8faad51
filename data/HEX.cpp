/*
 * HEX - record parser on the reading window, and the record writer.
 */
#include "data/HEX.h"

#include <algorithm>
#include <vector>

#include "data/OUTFILE.h"
#include "data/RECTEXT.h"
#include "sys/UTIL.h"

namespace {

void _SkipSpace(RecTextWindow& w, uint32_t& Line) {
  const char* t = w.pText;
  for (;;) {
    if (w.NumChars - w.Pos < RECTEXT_REFILL_MARGIN) RECTEXT_Refill(&w);
    char c = t[w.Pos];
    if (c == ' ' || c == '\t') {
      w.Pos++;
    } else if (c == '\n') {
      Line++;
      w.Pos++;
    } else if (c == '\r') {
      w.Pos++;
      if (t[w.Pos] != '\n') Line++;
    } else {
      return;
    }
  }
}

void _PutRecord(OutFile* pFile, uint8_t Type, uint32_t Addr16, const uint8_t* pData, uint32_t NumBytes) {
  uint8_t ab[4 + 255 + 1];
  ab[0] = (uint8_t)NumBytes;
  ab[1] = (uint8_t)(Addr16 >> 8);
  ab[2] = (uint8_t)Addr16;
  ab[3] = Type;
  uint8_t sum = (uint8_t)(ab[0] + ab[1] + ab[2] + ab[3]);
  for (uint32_t i = 0; i < NumBytes; i++) {
    ab[4 + i] = pData[i];
    sum = (uint8_t)(sum + pData[i]);
  }
  ab[4 + NumBytes] = (uint8_t)(0u - sum);
  char* p = OUTFILE_Reserve(pFile, 1 + 2 * (5 + NumBytes) + 2);
  char* q = p;
  *q++ = ':';
  q = RECTEXT_PutHex(q, ab, 5 + NumBytes);
  *q++ = '\r';
  *q++ = '\n';
  OUTFILE_Commit(pFile, (uint32_t)(q - p));
}

// Blocks of 64 KB are cut into records of 32 bytes: the same records as asking the block
// search for 32 bytes at a time, with one search per 64 KB.
void _WriteBody(DataImage* pImage, OutFile* pFile, void*) {
  std::vector<uint8_t> buf(0x10000);
  uint64_t addr = 0, windowBase = 0;
  while (addr <= 0xFFFFFFFFull) {
    uint32_t blockAddr = 0;
    uint32_t len = DATAIMAGE_GetBlock(pImage, (uint32_t)addr, 0xFFFFFFFF, 0, 0xFF, buf.data(), nullptr, &blockAddr,
                                      0x10000, 0, 0);
    if (len == 0) break;
    for (uint32_t done = 0; done < len;) {
      uint32_t a = blockAddr + done;
      uint32_t n = std::min<uint32_t>(32, len - done);
      uint32_t offset = a & 0xFFFF;
      if (offset + n > 0x10000) n = 0x10000 - offset; // the rest goes behind the next address record
      if (a > windowBase + 0xFFFF) {
        uint8_t abExt[2] = {(uint8_t)(a >> 24), (uint8_t)(a >> 16)};
        _PutRecord(pFile, 4, 0, abExt, 2);
        windowBase = a & 0xFFFF0000u;
      }
      _PutRecord(pFile, 0, offset, buf.data() + done, n);
      done += n;
    }
    addr = (uint64_t)blockAddr + len;
  }
  _PutRecord(pFile, 1, 0, nullptr, 0);
}

} // namespace

int HEX_Read(DataImage* pImage, const char* sPath, DataFileMsgFunc* pfMsg, void* pContext) {
  bool locked = DATAIMAGE_Lock(pImage) == 0;
  RecTextWindow w;
  char acErr[600];
  acErr[0] = 0;
  int r = RECTEXT_Open(&w, sPath, acErr, sizeof(acErr));
  if (r == -1) {
    if (pfMsg) pfMsg(pContext, 2, acErr);
    DATAIMAGE_SetChangeCounter(pImage, 0);
    if (locked) DATAIMAGE_Unlock(pImage);
    return HEX_ERR_OPEN;
  }
  uint32_t line = 0;
  const char* sError = nullptr;
  char acError[128];
  int result = 0;
  if (r == -3) {
    sError = "malloc Problem";
    result = HEX_ERR_MEMORY;
  } else if (w.pText[0] != ':') {
    sError = "Not a hex file";
    result = HEX_ERR_NOT_HEX;
  }
  const auto& hex = RECTEXT_aHexValue;
  uint64_t ext = 0;
  uint8_t abRec[4 + 255 + 1];
  while (sError == nullptr) {
    _SkipSpace(w, line);
    const char* t = w.pText;
    char c = t[w.Pos];
    if ((c == 0 && w.Pos >= w.NumChars) || c == 0x1A) break;
    if (c != ':') {
      UTIL_sprintf(acError, sizeof(acError), "Unexpected character (Expected: %c, Found: %c)", ':',
                   RECTEXT_Printable(c));
      sError = acError;
      break;
    }
    uint32_t pos = w.Pos + 1;
    // Count, address, type, data and checksum: the count decides how many bytes follow.
    uint32_t numBytes = 5;
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
      if (i == 0) numBytes = 5u + abRec[0];
      if (i + 1 < numBytes) sum = (uint8_t)(sum + abRec[i]);
    }
    if (sError) break;
    uint32_t n = abRec[0];
    uint8_t found = abRec[4 + n];
    if ((uint8_t)(sum + found) != 0) {
      UTIL_sprintf(acError, sizeof(acError), "Checksum error !\nExpected: 0x%.2X, found: 0x%.2X",
                   (unsigned)(uint8_t)(0u - sum), (unsigned)found);
      sError = acError;
      break;
    }
    const uint8_t* pData = abRec + 4;
    uint8_t type = abRec[3];
    if (type == 0) {
      uint64_t addr = ext + ((uint32_t)abRec[1] << 8 | abRec[2]);
      if (addr + n > 0x100000000ull) {
        sError = "Data beyond address 0xFFFFFFFF";
        break;
      }
      if (DATAIMAGE_AddData(pImage, (uint32_t)addr, n, pData) < 0) {
        sError = "Areas overlap";
        break;
      }
    } else if (type == 2 || type == 4 || type == 0xFF) {
      if (n != 2) { // the address would be read from bytes the record does not have
        sError = "Extended address record without its two address bytes";
        break;
      }
      uint64_t v = (uint32_t)pData[0] << 8 | pData[1];
      ext = (type == 2) ? v << 4 : v << 16;
    }
    c = t[pos];
    if (c == '\r' || c == '\n') {
      // CR LF and LF CR end one line; a second CR or LF of the same kind is a blank line of
      // its own and is counted by the blank skipping, so that line numbers stay right.
      pos++;
      if (t[pos] == (c == '\r' ? '\n' : '\r')) pos++;
      line++;
    } else if (!((c == 0 && pos >= w.NumChars) || c == 0x1A)) {
      w.Pos = pos;
      sError = "Expected CR or LF";
      break;
    }
    w.Pos = pos;
  }
  if (sError == nullptr && w.ReadFailed) sError = "Could not read file.";
  if (sError && result == 0) result = HEX_ERR_SYNTAX;
  if (sError) RECTEXT_ReportLineError(pfMsg, pContext, line, sError);
  RECTEXT_Close(&w);
  DATAIMAGE_SetChangeCounter(pImage, 0);
  if (locked) DATAIMAGE_Unlock(pImage);
  return result;
}

int HEX_Write(DataImage* pImage, const char* sPath, DataFileMsgFunc* pfMsg, void* pContext) {
  return OUTFILE_SaveImage(pImage, sPath, _WriteBody, nullptr, pfMsg, pContext);
}
