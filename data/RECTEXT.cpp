/*
 * RECTEXT - reading window and hex digits of the record formats.
 */
#include "data/RECTEXT.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "data/DATAFILE.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"

static constexpr std::array<int8_t, 256> _MakeHexValues() {
  std::array<int8_t, 256> a{};
  for (int i = 0; i < 256; i++) a[i] = -1;
  for (int i = 0; i < 10; i++) a['0' + i] = (int8_t)i;
  for (int i = 0; i < 6; i++) {
    a['A' + i] = (int8_t)(10 + i);
    a['a' + i] = (int8_t)(10 + i);
  }
  return a;
}
constexpr std::array<int8_t, 256> RECTEXT_aHexValue = _MakeHexValues();
constexpr char RECTEXT_acHexDigit[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                                     '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};

static void _Fill(RecTextWindow* p) {
  while (!p->AtEof && p->NumChars < RECTEXT_WINDOW_SIZE) {
    int n = SYS_FILE_Read(p->hFile, p->pText + p->NumChars, RECTEXT_WINDOW_SIZE - p->NumChars);
    if (n < 0) p->ReadFailed = true;
    if (n <= 0) {
      p->AtEof = true;
      break;
    }
    p->NumChars += (uint32_t)n;
  }
  p->pText[p->NumChars] = 0;
}

int RECTEXT_Open(RecTextWindow* p, const char* sPath, char* sErr, int ErrSize) {
  std::memset(p, 0, sizeof(*p));
  p->hFile = SYS_FILE_Open(sPath, SYS_FILE_FLAG_READ | SYS_FILE_FLAG_SHARE_READ);
  if (p->hFile < 0) {
    DATAFILE_FormatOpenError(sErr, ErrSize, sPath);
    return -1;
  }
  p->pText = static_cast<char*>(SYS_MEM_Alloc(RECTEXT_WINDOW_SIZE + 1, "RECTEXT: text buffer"));
  if (p->pText == nullptr) {
    SYS_FILE_Close(p->hFile);
    p->hFile = -1;
    return -3;
  }
  _Fill(p);
  return 0;
}

void RECTEXT_Close(RecTextWindow* p) {
  if (p->hFile >= 0) SYS_FILE_Close(p->hFile);
  p->hFile = -1;
  SYS_MEM_Free(p->pText);
  p->pText = nullptr;
}

void RECTEXT_Refill(RecTextWindow* p) {
  uint32_t rest = p->NumChars - p->Pos;
  if (p->AtEof || rest >= RECTEXT_REFILL_MARGIN) return;
  std::memmove(p->pText, p->pText + p->Pos, rest);
  p->NumChars = rest;
  p->Pos = 0;
  _Fill(p);
}

// Both digits of every byte value, so that a byte costs one lookup and one 2-byte store.
static constexpr std::array<std::array<char, 2>, 256> _MakeHexPairs() {
  std::array<std::array<char, 2>, 256> a{};
  for (int i = 0; i < 256; i++) a[i] = {RECTEXT_acHexDigit[i >> 4], RECTEXT_acHexDigit[i & 0xF]};
  return a;
}
static constexpr std::array<std::array<char, 2>, 256> _aHexPair = _MakeHexPairs();

char* RECTEXT_PutHex(char* pDest, const uint8_t* pBytes, uint32_t NumBytes) {
  for (uint32_t i = 0; i < NumBytes; i++) std::memcpy(pDest + 2 * i, _aHexPair[pBytes[i]].data(), 2);
  return pDest + 2 * NumBytes;
}

char RECTEXT_Printable(char c) { return (c >= 0x20 && c < 0x7F) ? c : '?'; }

void RECTEXT_ReportLineError(DataFileMsgFunc* pfMsg, void* pContext, uint32_t LineIndex, const char* sError) {
  if (pfMsg == nullptr) return;
  char ac[256];
  UTIL_sprintf(ac, sizeof(ac), "Error in line %d: %s", (int)(LineIndex + 1), sError);
  pfMsg(pContext, 2, ac);
}

// The common case: the whole record lies in the window and every digit is good. The digits are
// checked together after the loop; false sends the record to the careful loop below, which
// finds the offending character.
static bool _ReadBytesFast(const RecTextWindow* pWin, uint32_t* pPos, uint8_t* pDest, uint32_t NumFixed,
                           uint8_t* pSum) {
  const uint8_t* t = reinterpret_cast<const uint8_t*>(pWin->pText) + *pPos;
  uint64_t avail = pWin->NumChars - *pPos;
  if (avail < 2) return false;
  int hi = RECTEXT_aHexValue[t[0]], lo = RECTEXT_aHexValue[t[1]];
  if ((hi | lo) < 0) return false;
  uint32_t numBytes = NumFixed + (uint32_t)(hi << 4 | lo);
  if (2ull * numBytes > avail) return false;
  int bad = 0;
  unsigned sum = 0;
  for (uint32_t i = 0; i < numBytes; i++) {
    int h = RECTEXT_aHexValue[t[2 * i]], l = RECTEXT_aHexValue[t[2 * i + 1]];
    bad |= h | l;
    pDest[i] = (uint8_t)(h << 4 | l);
    sum += pDest[i];
  }
  if (bad < 0) return false;
  *pPos += 2 * numBytes;
  *pSum = (uint8_t)sum;
  return true;
}

const char* RECTEXT_ReadBytes(RecTextWindow* pWin, uint32_t* pPos, uint8_t* pDest, uint32_t NumFixed, uint8_t* pSum) {
  if (_ReadBytesFast(pWin, pPos, pDest, NumFixed, pSum)) return nullptr;
  const char* t = pWin->pText;
  uint32_t pos = *pPos;
  uint32_t numBytes = 1; // the count decides how many bytes follow
  uint8_t sum = 0;
  for (uint32_t i = 0; i < numBytes; i++) {
    int hi = RECTEXT_aHexValue[(uint8_t)t[pos]];
    int lo = hi < 0 ? -1 : RECTEXT_aHexValue[(uint8_t)t[pos + 1]];
    if (lo < 0) {
      pWin->Pos = pos;
      return (pos + (hi >= 0) >= pWin->NumChars && !pWin->AtEof) ? RECTEXT_TOO_LONG
                                                                  : "Expected Hex character : 0..9, A..F";
    }
    pos += 2;
    pDest[i] = (uint8_t)(hi << 4 | lo);
    if (i == 0) numBytes = NumFixed + pDest[0];
    sum = (uint8_t)(sum + pDest[i]);
  }
  *pPos = pos;
  *pSum = sum;
  return nullptr;
}

int RECTEXT_ReadImage(DataImage* pImage, const char* sPath, DataFileMsgFunc* pfMsg, void* pContext,
                      const RECTEXT_FORMAT* pFormat, void* pState) {
  bool locked = DATAIMAGE_Lock(pImage) == 0;
  RecTextWindow w;
  char acErr[600];
  acErr[0] = 0;
  int r = RECTEXT_Open(&w, sPath, acErr, sizeof(acErr));
  if (r == -1) {
    if (pfMsg) pfMsg(pContext, 2, acErr);
    DATAIMAGE_SetChangeCounter(pImage, 0);
    if (locked) DATAIMAGE_Unlock(pImage);
    return RECTEXT_ERR_OPEN;
  }
  uint32_t line = 0;
  const char* sError = nullptr;
  char acError[128];
  int result = 0;
  if (r == -3) {
    sError = pFormat->sNoMemory;
    result = RECTEXT_ERR_MEMORY;
  } else if (w.pText[0] != pFormat->cStart) {
    sError = pFormat->sWrongFormat;
    result = RECTEXT_ERR_FORMAT;
  }
  while (sError == nullptr) {
    pFormat->pfSkipSpace(&w, &line);
    char c = w.pText[w.Pos];
    if ((c == 0 && w.Pos >= w.NumChars) || c == 0x1A) break;
    sError = pFormat->pfParseRecord(&w, &line, pImage, pState, acError, sizeof(acError));
  }
  if (sError == nullptr && w.ReadFailed) sError = "Could not read file.";
  if (sError && result == 0) result = RECTEXT_ERR_SYNTAX;
  if (sError) RECTEXT_ReportLineError(pfMsg, pContext, line, sError);
  RECTEXT_Close(&w);
  DATAIMAGE_SetChangeCounter(pImage, 0);
  if (locked) DATAIMAGE_Unlock(pImage);
  return result;
}

void RECTEXT_ForEachPiece(DataImage* pImage, uint32_t MaxPiece, bool Split64K,
                          void (*pfPiece)(void* pUser, uint32_t Addr, const uint8_t* pData, uint32_t NumBytes),
                          void* pUser) {
  // One block search per 64 KB gives the same pieces as searching MaxPiece bytes at a time.
  std::vector<uint8_t> buf(0x10000);
  uint64_t addr = 0;
  while (addr <= 0xFFFFFFFFull) {
    uint32_t blockAddr = 0;
    uint32_t len = DATAIMAGE_GetBlock(pImage, (uint32_t)addr, 0xFFFFFFFF, 0, 0xFF, buf.data(), nullptr, &blockAddr,
                                      0x10000, 0, 0);
    if (len == 0) break;
    for (uint32_t done = 0; done < len;) {
      uint32_t a = blockAddr + done;
      uint32_t n = std::min<uint32_t>(MaxPiece, len - done);
      uint32_t offset = a & 0xFFFF;
      if (Split64K && offset + n > 0x10000) n = 0x10000 - offset;
      pfPiece(pUser, a, buf.data() + done, n);
      done += n;
    }
    addr = (uint64_t)blockAddr + len;
  }
}
