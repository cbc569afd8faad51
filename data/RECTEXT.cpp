/*
 * RECTEXT - reading window and hex digits of the record formats.
 */
#include "data/RECTEXT.h"

#include <array>
#include <cstring>

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
const char RECTEXT_acHexDigit[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
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

char* RECTEXT_PutHex(char* pDest, const uint8_t* pBytes, uint32_t NumBytes) {
  for (uint32_t i = 0; i < NumBytes; i++) {
    *pDest++ = RECTEXT_acHexDigit[pBytes[i] >> 4];
    *pDest++ = RECTEXT_acHexDigit[pBytes[i] & 0xF];
  }
  return pDest;
}

char RECTEXT_Printable(char c) { return (c >= 0x20 && c < 0x7F) ? c : '?'; }

void RECTEXT_ReportLineError(DataFileMsgFunc* pfMsg, void* pContext, uint32_t LineIndex, const char* sError) {
  if (pfMsg == nullptr) return;
  char ac[256];
  UTIL_sprintf(ac, sizeof(ac), "Error in line %d: %s", (int)(LineIndex + 1), sError);
  pfMsg(pContext, 2, ac);
}
