/*
 * HEX - record parser on the reading window, and the record writer.
 */
#include "data/HEX.h"


#include "data/OUTFILE.h"
#include "data/RECTEXT.h"
#include "sys/UTIL.h"

namespace {

void _SkipSpace(RecTextWindow* pWin, uint32_t* pLine) {
  RecTextWindow& w = *pWin;
  const char* t = w.pText;
  for (;;) {
    if (w.NumChars - w.Pos < RECTEXT_REFILL_MARGIN) RECTEXT_Refill(&w);
    char c = t[w.Pos];
    if (c == ' ' || c == '\t') {
      w.Pos++;
    } else if (c == '\n') {
      (*pLine)++;
      w.Pos++;
    } else if (c == '\r') {
      w.Pos++;
      if (t[w.Pos] != '\n') (*pLine)++;
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

struct WriteState {
  OutFile* pFile;
  uint64_t WindowBase; // the 64 KB window that the last address record opened
};

void _PutPiece(void* pUser, uint32_t Addr, const uint8_t* pData, uint32_t NumBytes) {
  WriteState& st = *static_cast<WriteState*>(pUser);
  if (Addr > st.WindowBase + 0xFFFF) {
    uint8_t abExt[2] = {(uint8_t)(Addr >> 24), (uint8_t)(Addr >> 16)};
    _PutRecord(st.pFile, 4, 0, abExt, 2);
    st.WindowBase = Addr & 0xFFFF0000u;
  }
  _PutRecord(st.pFile, 0, Addr & 0xFFFF, pData, NumBytes);
}

// Records of 32 bytes; no record crosses a 64 KB boundary, the rest goes behind the next
// address record.
void _WriteBody(DataImage* pImage, OutFile* pFile, void*) {
  WriteState st{pFile, 0};
  RECTEXT_ForEachPiece(pImage, 32, true, _PutPiece, &st);
  _PutRecord(pFile, 1, 0, nullptr, 0);
}

// One record from ':' to its line end. pState: the extended address.
const char* _ParseRecord(RecTextWindow* pWin, uint32_t* pLine, DataImage* pImage, void* pState, char* sError,
                         int ErrSize) {
  uint64_t& ext = *static_cast<uint64_t*>(pState);
  const char* t = pWin->pText;
  char c = t[pWin->Pos];
  if (c != ':') {
    UTIL_sprintf(sError, ErrSize, "Unexpected character (Expected: %c, Found: %c)", ':', RECTEXT_Printable(c));
    return sError;
  }
  // Count, address, type, data and checksum.
  uint32_t pos = pWin->Pos + 1;
  uint8_t abRec[4 + 255 + 1];
  uint8_t total;
  if (const char* s = RECTEXT_ReadBytes(pWin, &pos, abRec, 5, &total)) return s;
  uint32_t n = abRec[0];
  uint8_t found = abRec[4 + n];
  if (total != 0) {
    UTIL_sprintf(sError, ErrSize, "Checksum error !\nExpected: 0x%.2X, found: 0x%.2X",
                 (unsigned)(uint8_t)(found - total), (unsigned)found);
    return sError;
  }
  const uint8_t* pData = abRec + 4;
  uint8_t type = abRec[3];
  if (type == 0) {
    uint64_t addr = ext + ((uint32_t)abRec[1] << 8 | abRec[2]);
    if (addr + n > 0x100000000ull) return "Data beyond address 0xFFFFFFFF";
    if (DATAIMAGE_AddData(pImage, (uint32_t)addr, n, pData) < 0) return "Areas overlap";
  } else if (type == 2 || type == 4 || type == 0xFF) {
    // The address would otherwise be read from bytes the record does not have.
    if (n != 2) return "Extended address record without its two address bytes";
    uint64_t v = (uint32_t)pData[0] << 8 | pData[1];
    ext = (type == 2) ? v << 4 : v << 16;
  }
  c = t[pos];
  if (c == '\r' || c == '\n') {
    // CR LF and LF CR end one line; a second CR or LF of the same kind is a blank line of
    // its own and is counted by the blank skipping, so that line numbers stay right.
    pos++;
    if (t[pos] == (c == '\r' ? '\n' : '\r')) pos++;
    (*pLine)++;
  } else if (!((c == 0 && pos >= pWin->NumChars) || c == 0x1A)) {
    pWin->Pos = pos;
    return "Expected CR or LF";
  }
  pWin->Pos = pos;
  return nullptr;
}

const RECTEXT_FORMAT _Format = {':', "malloc Problem", "Not a hex file", _SkipSpace, _ParseRecord};

} // namespace

static_assert((int)HEX_ERR_OPEN == (int)RECTEXT_ERR_OPEN && (int)HEX_ERR_MEMORY == (int)RECTEXT_ERR_MEMORY &&
              (int)HEX_ERR_NOT_HEX == (int)RECTEXT_ERR_FORMAT && (int)HEX_ERR_SYNTAX == (int)RECTEXT_ERR_SYNTAX);

int HEX_Read(DataImage* pImage, const char* sPath, DataFileMsgFunc* pfMsg, void* pContext) {
  uint64_t ext = 0;
  return RECTEXT_ReadImage(pImage, sPath, pfMsg, pContext, &_Format, &ext);
}

int HEX_Write(DataImage* pImage, const char* sPath, DataFileMsgFunc* pfMsg, void* pContext) {
  return OUTFILE_SaveImage(pImage, sPath, _WriteBody, nullptr, pfMsg, pContext);
}
