/*
 * PROD_SN - the serial numbers of production programming (see PROD_SN.h for the claims).
 */
#include "target/PROD_SN.h"
#include "core/APP.h"
#include "core/APP_GUI.h"
#include "core/APP_Log.h"
#include "data/CRC32.h"
#include "data/DATAIMAGE.h"
#include "data/DATAJOBS.h"
#include "project/PROJECT.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int _HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

constexpr int _LOCK_TIMEOUT_MS = 10000;
constexpr uint32_t _LIST_LINE_MAX = 256; // bytes read from the start of a list line

struct Claim {
  uint32_t Value;
  uint32_t ProcessId;
};

bool _HasClaim; // this process holds a claim in the claims file

std::string _SerialPath(void) {
  char ac[512];
  PROJECT_GetSerialFileName(ac, sizeof(ac));
  return ac;
}

// "<project>_Serial.claims" beside the serial file.
std::string _ClaimsPath(const std::string& SerialPath) {
  std::string s = SerialPath;
  size_t Dot = s.rfind('.');
  size_t Slash = s.rfind('/');
  if (Dot != std::string::npos && (Slash == std::string::npos || Dot > Slash)) s.resize(Dot);
  return s + ".claims";
}

// Digits of a serial file or a claims line: decimal, or hexadecimal after "0x". Stops at the first
// character that is not a digit; a text without digits gives 0.
uint32_t _ParseNumber(const char* s, const char** psEnd = nullptr) {
  uint32_t Base = 10;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    Base = 16;
    s += 2;
  }
  uint32_t v = 0;
  for (;; s++) {
    int d = _HexDigit(*s);
    if (d < 0 || (uint32_t)d >= Base) break;
    v = v * Base + (uint32_t)d;
  }
  if (psEnd) *psEnd = s;
  return v;
}

// The serial file's number; false when it cannot be read.
bool _ReadSerialFile(const std::string& Path, uint32_t* pValue) {
  int h = SYS_FILE_Open(Path.c_str(), SYS_FILE_FLAG_READ | SYS_FILE_FLAG_SHARE_READ);
  if (h < 0) return false;
  char ac[64] = {};
  int n = SYS_FILE_Read(h, ac, sizeof(ac) - 1);
  SYS_FILE_Close(h);
  if (n < 0) return false;
  ac[n] = 0;
  *pValue = _ParseNumber(ac);
  return true;
}

// Replaces a small text file as a whole; 0, or -1 with the old file unchanged.
int _WriteTextFile(const std::string& Path, const std::string& Text) {
  SYS_ATOMIC_FILE File;
  if (SYS_FILE_BeginReplace(&File, Path.c_str()) != 0) return -1;
  if (SYS_FILE_Write(File.hFile, Text.data(), (uint32_t)Text.size()) != (int)Text.size()) {
    SYS_FILE_AbortReplace(&File);
    return -1;
  }
  return SYS_FILE_CommitReplace(&File);
}

// The claims of other processes that still run (this process's own are dropped).
std::vector<Claim> _ReadClaims(const std::string& Path) {
  std::vector<Claim> a;
  int h = SYS_FILE_Open(Path.c_str(), SYS_FILE_FLAG_READ | SYS_FILE_FLAG_SHARE_READ);
  if (h < 0) return a;
  std::string Text;
  char ac[4096];
  for (int n; (n = SYS_FILE_Read(h, ac, sizeof(ac))) > 0;) Text.append(ac, (size_t)n);
  SYS_FILE_Close(h);
  uint32_t Self = SYS_PROCESS_GetId();
  for (size_t Pos = 0; Pos < Text.size();) {
    size_t End = Text.find('\n', Pos);
    if (End == std::string::npos) End = Text.size();
    std::string Line = Text.substr(Pos, End - Pos);
    Pos = End + 1;
    const char* s = Line.c_str();
    if (_HexDigit(*s) < 0 || *s > '9') continue;
    Claim c;
    c.Value = _ParseNumber(s, &s);
    if (*s != ' ') continue;
    c.ProcessId = _ParseNumber(s + 1);
    if (c.ProcessId != Self && SYS_PROCESS_IsRunning(c.ProcessId)) a.push_back(c);
  }
  return a;
}

int _WriteClaims(const std::string& Path, const std::vector<Claim>& a) {
  if (a.empty()) {
    if (SYS_FILE_IsFile(Path.c_str())) SYS_FILE_Delete(Path.c_str());
    return 0;
  }
  std::string Text;
  char ac[32];
  for (const Claim& c : a) {
    UTIL_sprintf(ac, sizeof(ac), "%u %u\n", c.Value, c.ProcessId);
    Text += ac;
  }
  return _WriteTextFile(Path, Text);
}

// The lock that every process programming from the same serial file takes around the files.
class SerialLock {
public:
  explicit SerialLock(const std::string& SerialPath) {
    char acName[32];
    UTIL_sprintf(acName, sizeof(acName), "TForge-SN-%.8X",
                  CRC32_Update(0, SerialPath.data(), SerialPath.size()));
    _pMutex = SYS_MUTEX_Create(acName);
    _IsLocked = _pMutex && SYS_MUTEX_Lock(_pMutex, _LOCK_TIMEOUT_MS) == 0;
  }
  ~SerialLock() {
    if (_IsLocked) SYS_MUTEX_Unlock(_pMutex);
    SYS_MUTEX_Delete(&_pMutex);
  }
  SerialLock(const SerialLock&) = delete;
  SerialLock& operator=(const SerialLock&) = delete;
  bool IsLocked() const { return _IsLocked; }

private:
  SYS_MUTEX* _pMutex = nullptr;
  bool _IsLocked = false;
};

// Takes the next number no running process has claimed, from the serial file or SNValue.
int _ClaimNumber(const PROJECT_PRODUCTION& Prod, uint32_t* pValue) {
  std::string SerialPath = _SerialPath();
  std::string ClaimsPath = _ClaimsPath(SerialPath);
  SerialLock Lock(SerialPath);
  if (!Lock.IsLocked()) {
    APP_ErrorOutf("Could not lock the serial number file [%s]", SerialPath.c_str());
    return -1;
  }
  uint32_t Value = Prod.SNValue;
  _ReadSerialFile(SerialPath, &Value);
  std::vector<Claim> aClaim = _ReadClaims(ClaimsPath);
  if (Prod.SNInc != 0) { // an increment of 0 gives every board the same number on purpose
    for (size_t i = 0; i <= aClaim.size(); i++) {
      bool Taken = false;
      for (const Claim& c : aClaim) Taken |= c.Value == Value;
      if (!Taken) break;
      Value += Prod.SNInc;
    }
  }
  aClaim.push_back({Value, SYS_PROCESS_GetId()});
  if (_WriteClaims(ClaimsPath, aClaim) != 0) {
    APP_ErrorOutf("Could not write the serial number claims file [%s]", ClaimsPath.c_str());
    return -1;
  }
  _HasClaim = true;
  *pValue = Value;
  return 0;
}

// Reads up to _LIST_LINE_MAX bytes of line Index of the list file into Line.
// 1 read, 0 no list file, -1 read error.
int _ReadListLine(const char* sPath, uint32_t Index, std::string* pLine) {
  int h = SYS_FILE_Open(sPath, SYS_FILE_FLAG_READ | SYS_FILE_FLAG_SHARE_READ);
  if (h < 0) return 0;
  char ac[65536];
  uint32_t Line = 0;
  int Result = 1;
  for (;;) {
    int n = SYS_FILE_Read(h, ac, sizeof(ac));
    if (n < 0) {
      APP_ErrorOutf("Could not read file [%s]", sPath);
      Result = -1;
      break;
    }
    if (n == 0) break;
    for (int i = 0; i < n; i++) {
      if (Line == Index) {
        if (pLine->size() >= _LIST_LINE_MAX) break;
        pLine->push_back(ac[i]);
      } else if (ac[i] == '\n') {
        Line++;
      }
    }
    if (pLine->size() >= _LIST_LINE_MAX) break;
  }
  SYS_FILE_Close(h);
  return Result;
}

} // namespace

int PROD_BuildSerialNumber(uint32_t Value, uint32_t SNLen, const char* sLine, uint32_t LineLen,
                           uint8_t abOut[PROD_SN_MAX_LEN]) {
  uint32_t NumBytes = SNLen < (uint32_t)PROD_SN_MAX_LEN ? SNLen : (uint32_t)PROD_SN_MAX_LEN;
  memset(abOut, 0, PROD_SN_MAX_LEN);
  if (sLine == nullptr) {
    uint32_t aWord[2] = {Value, ~Value};
    for (int i = 0; i < 8; i++) abOut[i] = (uint8_t)(aWord[i / 4] >> (8 * (i % 4)));
    return (int)NumBytes;
  }
  for (uint32_t i = 0; i < NumBytes; i++) {
    int Hi = 2 * i < LineLen ? _HexDigit(sLine[2 * i]) : -1;
    int Lo = 2 * i + 1 < LineLen ? _HexDigit(sLine[2 * i + 1]) : -1;
    if (Hi < 0 || Lo < 0) return -1;
    abOut[i] = (uint8_t)(Hi << 4 | Lo);
  }
  return (int)NumBytes;
}

int PROD_PrepareSerialNumber(DataImage* pImage) {
  PROJECT_PRODUCTION Prod;
  if (PROJECT_GetProduction(&Prod) != 0 || !Prod.ProgramSN) return 0;
  PROD_ReleaseSerialNumber();
  uint32_t Value = 0;
  if (_ClaimNumber(Prod, &Value) != 0) return -1;
  Prod.SNValue = Value;
  PROJECT_SetProduction(&Prod);
  char acList[512];
  PROJECT_GetSNListFileName(acList, sizeof(acList));
  std::string Line;
  int r = _ReadListLine(acList, Value, &Line);
  if (r == 0) APP_LogOut("No SN list file detected.");
  uint8_t ab[PROD_SN_MAX_LEN];
  int NumBytes = r < 0 ? -1 : PROD_BuildSerialNumber(Value, Prod.SNLen, r > 0 ? Line.data() : nullptr,
                                                      (uint32_t)Line.size(), ab);
  if (NumBytes < 0) {
    if (r > 0) APP_ErrorOutf("Could not read data for SN=%d from file [%s]", (int)Value, acList);
    PROD_ReleaseSerialNumber();
    return -1;
  }
  if (NumBytes > 0) {
    if (DATAIMAGE_Lock(pImage) != 0 || DATAIMAGE_WriteBytes(pImage, Prod.SNAddr, (uint32_t)NumBytes, ab) != 0) {
      DATAIMAGE_Unlock(pImage);
      APP_ErrorOut("Could not write the serial number into the data");
      PROD_ReleaseSerialNumber();
      return -1;
    }
    DATAIMAGE_Unlock(pImage);
  }
  if (APP_GUI_REQUESTS* pGUI = APP_GetGUI()) {
    if (CHexEditor* pWin = pGUI->GetCurDataWindow()) pGUI->UpdateDataWindow(pWin, pImage);
  }
  return 0;
}

void PROD_AdvanceSerialNumber(void) {
  PROJECT_PRODUCTION Prod;
  if (PROJECT_GetProduction(&Prod) != 0 || !Prod.ProgramSN) return;
  uint32_t Next = Prod.SNValue + Prod.SNInc;
  std::string SerialPath = _SerialPath();
  std::string ClaimsPath = _ClaimsPath(SerialPath);
  SerialLock Lock(SerialPath);
  // Another process may have finished a later number meanwhile: the file never moves back.
  uint32_t InFile;
  if (Prod.SNInc != 0 && _ReadSerialFile(SerialPath, &InFile) && (int32_t)(InFile - Next) > 0) Next = InFile;
  char ac[16];
  UTIL_sprintf(ac, sizeof(ac), "%u", Next);
  if (_WriteTextFile(SerialPath, ac) != 0) APP_ErrorOutf("Could not write serial number file [%s]", SerialPath.c_str());
  if (_HasClaim && Lock.IsLocked()) _WriteClaims(ClaimsPath, _ReadClaims(ClaimsPath));
  _HasClaim = false;
  Prod.SNValue = Next;
  PROJECT_SetProduction(&Prod);
}

void PROD_ReleaseSerialNumber(void) {
  if (!_HasClaim) return;
  _HasClaim = false;
  std::string SerialPath = _SerialPath();
  std::string ClaimsPath = _ClaimsPath(SerialPath);
  SerialLock Lock(SerialPath);
  if (Lock.IsLocked()) _WriteClaims(ClaimsPath, _ReadClaims(ClaimsPath));
}
