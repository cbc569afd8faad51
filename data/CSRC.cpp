/*
 * CSRC - header comment box, array declaration, bytes, trailer; lines end in CR LF.
 */
#include "data/CSRC.h"

#include <cstring>
#include <string>

#include "data/OUTFILE.h"
#include "data/RECTEXT.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"

namespace {
struct Job {
  uint32_t First;
  uint32_t Last;
  const char* sPath;
};

void _Line(OutFile* pFile, const char* sText) {
  OUTFILE_Write(pFile, sText, std::strlen(sText));
  OUTFILE_Write(pFile, "\r\n", 2);
}

void _WriteBody(DataImage* pImage, OutFile* pFile, void* pUser) {
  const Job& j = *static_cast<const Job*>(pUser);
  char ac[600];
  std::string box(71, ' ');
  _Line(pFile, ("/" + std::string(72, '*')).c_str());
  _Line(pFile, ("*" + box + "*").c_str());
  _Line(pFile, "*               Generated C-File                                        *");
  _Line(pFile, ("*" + box + "*").c_str());
  _Line(pFile, ("*" + box + "*").c_str());
  _Line(pFile, std::string(73, '*').c_str());
  _Line(pFile, "");
  _Line(pFile, "Please note:");
  _Line(pFile, "");
  _Line(pFile, "KORVEN Microcontroller has provided the feature of being able to save a file");
  _Line(pFile, "in ANSI \"C\" format as convenience feature.");
  _Line(pFile, "You may use this feature at your own risc, KORVEN assumes no liability");
  _Line(pFile, "in any form.");
  _Line(pFile, "");
  UTIL_sprintf(ac, sizeof(ac), "Memory image: 0x%.4X - 0x%.4X", j.First, j.Last);
  _Line(pFile, ac);
  _Line(pFile, "*/");
  _Line(pFile, "");
  char acName[512];
  SYS_PATH_GetName(acName, sizeof(acName), j.sPath);
  UTIL_sprintf(ac, sizeof(ac), "static const unsigned char _ac%s[0x%X] = {", acName,
               (unsigned)((uint64_t)j.Last - j.First + 1));
  _Line(pFile, ac);
  // Patches are folded already, so block reads give exactly the bytes GetByte would.
  uint8_t ab[4096];
  uint64_t end = (uint64_t)j.Last + 1;
  for (uint64_t a = j.First; a < end;) {
    uint32_t n = (uint32_t)std::min<uint64_t>(sizeof(ab), end - a);
    DATAIMAGE_Read(pImage, (uint32_t)a, n, ab, 0xFF);
    for (uint32_t i = 0; i < n; i += 16) {
      char* p = OUTFILE_Reserve(pFile, 16 * 6 + 3);
      char* q = p;
      *q++ = ' ';
      for (uint32_t k = i; k < n && k < i + 16; k++) {
        *q++ = ' ';
        *q++ = '0';
        *q++ = 'x';
        q = RECTEXT_PutHex(q, ab + k, 1);
        if (a + k + 1 < end) *q++ = ',';
      }
      *q++ = '\r';
      *q++ = '\n';
      OUTFILE_Commit(pFile, (uint32_t)(q - p));
    }
    a += n;
  }
  _Line(pFile, "};");
  _Line(pFile, "");
  _Line(pFile, "/*** end of file ***/");
}
} // namespace

int CSRC_Write(DataImage* pImage, const char* sPath, uint32_t First, uint32_t Last, DataFileMsgFunc* pfMsg,
               void* pContext) {
  Job j{First, Last < First ? First : Last, sPath};
  return OUTFILE_SaveImage(pImage, sPath, _WriteBody, &j, pfMsg, pContext);
}
