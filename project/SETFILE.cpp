/*
 * SETFILE - the sectioned settings text: finding, reading, rewriting, loading and saving.
 */
#include "project/SETFILE.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "core/APP_Log.h"
#include "sys/SYS.h"
#include "sys/UTIL.h"

namespace {

constexpr uint32_t kNone = 0xFFFFFFFFu;
constexpr uint32_t kGrowStep = 8192;
constexpr int kLineSize = 2048;
constexpr int kListLineSize = 4096;
// Range bounds: a bank has up to 65536 sectors, so every sector number must be readable.
constexpr int kMaxRangeBound = 0xFFFF;

enum { STATE_NONE = 0, STATE_READY = 1, STATE_SHUT_DOWN = 2 };

struct Document {
  int State = STATE_NONE;
  SYS_MUTEX* pLock = nullptr;
  bool IsOpen = false;
  char acPath[SETFILE_PATH_SIZE] = "";
  char* pText = nullptr;
  uint32_t Capacity = 0; // a multiple of kGrowStep
  uint32_t Length = 0;
  int ChangeCount = 0;
};
Document _Doc;
std::once_flag _InitOnce;

void _Init() {
  _Doc.pLock = SYS_MUTEX_Create(nullptr);
  _Doc.State = STATE_READY;
  std::atexit(SETFILE_Shutdown);
}

// Holds the module lock for a scope; Ok is false after shut-down.
class Lock {
public:
  Lock() {
    std::call_once(_InitOnce, _Init);
    if (_Doc.State != STATE_READY) return;
    SYS_MUTEX_Lock(_Doc.pLock, -1);
    Ok = _Doc.State == STATE_READY;
    if (!Ok) SYS_MUTEX_Unlock(_Doc.pLock);
  }
  ~Lock() {
    if (Ok) SYS_MUTEX_Unlock(_Doc.pLock);
  }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  bool Ok = false;
};

void _FreeText() {
  SYS_MEM_Free(_Doc.pText);
  _Doc.pText = nullptr;
  _Doc.Capacity = 0;
  _Doc.Length = 0;
}

void _MarkOpen(const char* sPath, int ChangeCount) {
  UTIL_strcpy(_Doc.acPath, sPath, sizeof(_Doc.acPath));
  _Doc.IsOpen = true;
  _Doc.ChangeCount = ChangeCount;
}

void _CloseDoc() {
  _FreeText();
  _Doc.acPath[0] = 0;
  _Doc.IsOpen = false;
  _Doc.ChangeCount = 0;
}

// Room for NumChars characters and the terminating NUL; new space is zeroed.
bool _Reserve(uint32_t NumChars) {
  if ((uint64_t)NumChars + 1 <= _Doc.Capacity) return true;
  uint64_t Want = ((uint64_t)NumChars + 1 + kGrowStep - 1) / kGrowStep * kGrowStep;
  if (Want > 0x7FFFFFFF) return false;
  char* p = static_cast<char*>(SYS_MEM_Realloc(_Doc.pText, (size_t)Want));
  if (p == nullptr) return false;
  std::memset(p + _Doc.Capacity, 0, (size_t)(Want - _Doc.Capacity));
  _Doc.pText = p;
  _Doc.Capacity = (uint32_t)Want;
  return true;
}

bool _RequireOpen() {
  if (_Doc.IsOpen) return true;
  APP_ErrorOut("No project file opened.");
  return false;
}

/*********************************************************************
 * Scanning the text
 */
char _At(uint32_t p) {
  return p < _Doc.Length ? _Doc.pText[p] : 0;
}
bool _IsBlank(char c) {
  return c == ' ' || c == '\t';
}
char _Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

uint32_t _SkipBlanks(uint32_t p) {
  while (p < _Doc.Length && _IsBlank(_Doc.pText[p]))
    p++;
  return p;
}

// Start of the next line (or the end of the text).
uint32_t _NextLine(uint32_t p) {
  while (p < _Doc.Length && _Doc.pText[p] != '\n')
    p++;
  return p < _Doc.Length ? p + 1 : _Doc.Length;
}

// Compares the text at p with the first n characters of sName, without regard to case;
// characters beyond the text count as smaller than any letter.
int _CompareName(uint32_t p, const char* sName, size_t n) {
  for (size_t i = 0; i < n; i++) {
    char c = _Lower(_At(p + (uint32_t)i));
    char k = _Lower(sName[i]);
    if (c != k) return (unsigned char)c < (unsigned char)k ? -1 : 1;
  }
  return 0;
}

bool _IsSectionLine(uint32_t p) {
  return _At(_SkipBlanks(p)) == '[';
}

// Start of the section's body, or kNone; the section-less area starts at 0. A header counts
// only when its line ends with a line feed.
uint32_t _FindSection(const char* sSection) {
  if (sSection == nullptr) return 0;
  size_t n = std::strlen(sSection);
  for (uint32_t p = 0; p < _Doc.Length; p = _NextLine(p)) {
    uint32_t q = _SkipBlanks(p);
    if (_At(q) != '[' || _CompareName(q + 1, sSection, n) != 0 || _At(q + 1 + (uint32_t)n) != ']') continue;
    uint32_t e = _NextLine(q);
    if (e > q && _Doc.pText[e - 1] == '\n') return e;
  }
  return kNone;
}

uint32_t _SectionEnd(uint32_t Body) {
  uint32_t p = Body;
  while (p < _Doc.Length && !_IsSectionLine(p))
    p = _NextLine(p);
  return p;
}

// Start of the key's line in the section body, or kNone. The name must be followed by '=' or
// '[', so that Speed does not find a line of Speed0.
uint32_t _FindKey(uint32_t Body, const char* sKey) {
  size_t n = std::strlen(sKey);
  uint32_t End = _SectionEnd(Body);
  for (uint32_t p = Body; p < End; p = _NextLine(p)) {
    uint32_t q = _SkipBlanks(p);
    if (_CompareName(q, sKey, n) != 0) continue;
    char c = _At(_SkipBlanks(q + (uint32_t)n));
    if (c == '=' || c == '[') return p;
  }
  return kNone;
}

uint32_t _FindKeyLine(const char* sSection, const char* sKey) {
  uint32_t Body = _FindSection(sSection);
  return Body == kNone ? kNone : _FindKey(Body, sKey);
}

/*********************************************************************
 * Writing
 */
// Replaces the characters [First, Last) by sNew; false when out of memory.
bool _Replace(uint32_t First, uint32_t Last, const std::string& New) {
  uint32_t Removed = Last - First;
  uint64_t NewLength = (uint64_t)_Doc.Length - Removed + New.size();
  if (NewLength >= 0x7FFFFFFF || !_Reserve((uint32_t)NewLength)) {
    APP_ErrorOut("Insufficient memory!");
    return false;
  }
  std::memmove(_Doc.pText + First + New.size(), _Doc.pText + Last, _Doc.Length - Last);
  std::memcpy(_Doc.pText + First, New.data(), New.size());
  _Doc.Length = (uint32_t)NewLength;
  _Doc.pText[_Doc.Length] = 0;
  _Doc.ChangeCount++;
  return true;
}

// Inserting at the end of a text whose last line has no line feed first ends that line.
std::string _AtLineStart(uint32_t Pos, const std::string& s) {
  if (Pos == _Doc.Length && Pos > 0 && _Doc.pText[Pos - 1] != '\n') return "\r\n" + s;
  return s;
}

void _WriteLine(const char* sSection, const char* sKey, const char* sLine) {
  Lock l;
  if (!l.Ok || !_RequireOpen()) return;
  std::string Line = std::string(sLine) + "\r\n";
  uint32_t Body = _FindSection(sSection);
  if (Body != kNone) {
    uint32_t p = _FindKey(Body, sKey);
    if (p != kNone) {
      _Replace(p, _NextLine(p), Line);
      return;
    }
  } else {
    // An unterminated last line is ended first; if it was the header, it counts from now on.
    if (_AtLineStart(_Doc.Length, "").size() && !_Replace(_Doc.Length, _Doc.Length, "\r\n")) return;
    Body = _FindSection(sSection);
    if (Body == kNone) {
      if (!_Replace(_Doc.Length, _Doc.Length, std::string("[").append(sSection).append("]\r\n"))) return;
      Body = _Doc.Length;
    }
  }
  uint32_t End = _SectionEnd(Body);
  uint32_t Pos = End;
  // A section-less key goes to the end of the section-less area, before the first section:
  // anywhere later it would belong to that section when read again.
  if (sSection != nullptr && UTIL_stricmp(sSection, "CPU") != 0) {
    size_t n = std::strlen(sKey);
    for (uint32_t p = Body; p < End; p = _NextLine(p)) {
      if (_CompareName(_SkipBlanks(p), sKey, n) >= 0) {
        Pos = p;
        break;
      }
    }
  }
  _Replace(Pos, Pos, _AtLineStart(Pos, Line));
}

/*********************************************************************
 * Reading
 */
void _ReportParseError(const char* sFormat, long long v) {
  char ac[128];
  UTIL_sprintf(ac, sizeof(ac), sFormat, v);
  APP_ErrorOut(ac);
}

// The found character as the messages show it: line ends and the end of the text as a blank.
char _Shown(char c) {
  return (c == 0 || c == '\r' || c == '\n') ? ' ' : c;
}

bool _Expect(uint32_t* pp, char c) {
  uint32_t p = _SkipBlanks(*pp);
  if (_At(p) != c) {
    char ac[64];
    UTIL_sprintf(ac, sizeof(ac), "Expected '%c', got '%c'", c, _Shown(_At(p)));
    APP_ErrorOut(ac);
    return false;
  }
  *pp = p + 1;
  return true;
}

// Decimal digits at *pp, saturated far beyond every limit; false when there are none.
bool _ParseDecimal(uint32_t* pp, int64_t* pValue) {
  uint32_t p = *pp;
  int64_t v = 0;
  while (_At(p) >= '0' && _At(p) <= '9') {
    if (v < 0x10000000000ll) v = v * 10 + (_At(p) - '0');
    p++;
  }
  if (p == *pp) return false;
  *pp = p;
  *pValue = v;
  return true;
}

// One list element: blanks, an optional sign, digits. Below Min is an error, above Max is Max.
bool _ParseElement(uint32_t* pp, int Min, int Max, int* pValue) {
  uint32_t p = _SkipBlanks(*pp);
  bool Negative = false;
  if (_At(p) == '+' || _At(p) == '-') Negative = _At(p++) == '-';
  int64_t v;
  if (!_ParseDecimal(&p, &v)) {
    APP_ErrorOut("Expecting a number");
    return false;
  }
  if (Negative) v = -v;
  if (v < Min) {
    _ReportParseError("Expected a value >= %lld", Min);
    return false;
  }
  *pValue = v > Max ? Max : (int)v;
  *pp = p;
  return true;
}

// Elements are separated by commas with optional blanks.
void _SkipSeparator(uint32_t* pp) {
  uint32_t p = _SkipBlanks(*pp);
  if (_At(p) == ',') p++;
  *pp = p;
}

// Finds the key and reads its line up to the equals sign: *pp behind it, *pCount the count
// in brackets (0 when absent). 0, 1 when the key is missing, -1 on a parse error (reported).
int _BeginValue(const char* sSection, const char* sKey, uint32_t* pp, int* pCount) {
  if (!_RequireOpen()) return -1;
  uint32_t p = _FindKeyLine(sSection, sKey);
  if (p == kNone) return 1;
  p = _SkipBlanks(p);
  size_t n = std::strlen(sKey);
  if (_CompareName(p, sKey, n) != 0) {
    char ac[300];
    UTIL_sprintf(ac, sizeof(ac), "Expected \"%s\"", sKey);
    APP_ErrorOut(ac);
    return -1;
  }
  p = _SkipBlanks(p + (uint32_t)n);
  int Count = 0;
  if (_At(p) == '[') {
    p++;
    if (!_ParseElement(&p, 0, SETFILE_MAX_COUNT, &Count) || !_Expect(&p, ']')) return -1;
  }
  if (!_Expect(&p, '=')) return -1;
  *pp = p;
  *pCount = Count > 0 ? Count : 0;
  return 0;
}

// Reads the value of the key under the lock with Parse(position behind '=', count in brackets):
// its result, or -1 when the key is missing or its line unreadable.
template <typename F> int _ReadValue(const char* sSection, const char* sKey, F Parse) {
  Lock l;
  if (!l.Ok) return -1;
  uint32_t p;
  int Count;
  if (_BeginValue(sSection, sKey, &p, &Count) != 0) return -1;
  return Parse(p, Count);
}

// Reads up to NumElements list elements of 0 ... 255 and hands each to Store(index, value).
template <typename F> int _ReadElements(uint32_t p, int NumElements, F Store) {
  for (int i = 0; i < NumElements; i++) {
    int v;
    if (!_ParseElement(&p, 0, 255, &v)) return -1;
    Store(i, v);
    _SkipSeparator(&p);
  }
  return 0;
}

} // namespace

/*********************************************************************
 * Documents
 */
int SETFILE_Create(const char* sPath) {
  Lock l;
  if (!l.Ok) return -1;
  _CloseDoc();
  if (sPath == nullptr || std::strlen(sPath) >= SETFILE_PATH_SIZE) {
    APP_ErrorOut("Insufficient memory for filename.");
    return -1;
  }
  if (SYS_FILE_GetAttributes(sPath) >= 0) {
    char ac[700];
    UTIL_sprintf(ac, sizeof(ac), "File already exist:\n%s", sPath);
    APP_ErrorOut(ac);
    return -1;
  }
  if (!_Reserve(0)) {
    APP_ErrorOut("Insufficient memory!");
    return -1;
  }
  _MarkOpen(sPath, 1);
  return 0;
}

int SETFILE_Open(const char* sPath) {
  Lock l;
  if (!l.Ok) return -1;
  _CloseDoc();
  if (sPath == nullptr || sPath[0] == 0) {
    APP_ErrorOut("Unable to open project file. No filename specified.");
    return -1;
  }
  if (std::strlen(sPath) >= SETFILE_PATH_SIZE) {
    APP_ErrorOut("Insufficient memory for filename.");
    return -1;
  }
  char ac[800];
  int hFile = SYS_FILE_Open(sPath, SYS_FILE_FLAG_READ | SYS_FILE_FLAG_SHARE_READ);
  if (hFile < 0) {
    APP_FormatFileError(sPath, "open", ac, sizeof(ac));
    APP_ErrorOut(ac);
    return -1;
  }
  int64_t Size = SYS_FILE_GetSize64(hFile);
  if (Size < 0 || Size >= 0x7FFFFFFF - (int64_t)kGrowStep || !_Reserve((uint32_t)Size)) {
    SYS_FILE_Close(hFile);
    _FreeText();
    UTIL_sprintf(ac, sizeof(ac), "Could not open project file [%s]\nUnable to create file buffer!", sPath);
    APP_ErrorOut(ac);
    return -1;
  }
  int n = Size ? SYS_FILE_Read(hFile, _Doc.pText, (uint32_t)Size) : 0;
  SYS_FILE_Close(hFile);
  if (n != (int)Size) {
    _FreeText();
    UTIL_sprintf(ac, sizeof(ac), "Could not open project file [%s]\nFailed to read data!", sPath);
    APP_ErrorOut(ac);
    return -1;
  }
  _Doc.Length = (uint32_t)Size;
  _Doc.pText[_Doc.Length] = 0;
  _MarkOpen(sPath, 0);
  return 0;
}

int SETFILE_Save(const char* sPath) {
  Lock l;
  if (!l.Ok || !_RequireOpen()) return -1;
  bool OtherPath = sPath && sPath[0] && std::strcmp(sPath, _Doc.acPath) != 0;
  // Saving under another name always writes: the new file must exist afterwards.
  if (_Doc.ChangeCount == 0 && !OtherPath) return 0;
  char acPath[SETFILE_PATH_SIZE];
  UTIL_strcpy(acPath, OtherPath ? sPath : _Doc.acPath, sizeof(acPath));
  char ac[800];
  if (acPath[0] == 0) {
    APP_ErrorOut("Unable to save project file. No filename specified.");
    return -1;
  }
  if (sPath && std::strlen(sPath) >= SETFILE_PATH_SIZE) {
    APP_ErrorOut("Insufficient memory for filename.");
    return -1;
  }
  if (_Doc.pText == nullptr) {
    UTIL_sprintf(ac, sizeof(ac), "Could not save project file [%s]\nInvalid file content buffer!", acPath);
    APP_ErrorOut(ac);
    return -1;
  }
  SYS_ATOMIC_FILE File;
  if (SYS_FILE_BeginReplace(&File, acPath) < 0) {
    int ReadOnly = APP_FormatFileError(acPath, "save", ac, sizeof(ac));
    APP_ErrorOut(ac);
    return ReadOnly ? -2 : -1;
  }
  bool Written = _Doc.Length == 0 || SYS_FILE_Write(File.hFile, _Doc.pText, _Doc.Length) == (int)_Doc.Length;
  if (!Written) SYS_FILE_AbortReplace(&File);
  if (!Written || SYS_FILE_CommitReplace(&File) < 0) {
    UTIL_sprintf(ac, sizeof(ac), "Could not save project file [%s]\nFailed to write data!", acPath);
    APP_ErrorOut(ac);
    return -1;
  }
  UTIL_strcpy(_Doc.acPath, acPath, sizeof(_Doc.acPath));
  _Doc.ChangeCount = 0;
  return 0;
}

void SETFILE_Close(void) {
  Lock l;
  if (l.Ok) _CloseDoc();
}

int SETFILE_IsOpen(void) {
  Lock l;
  if (!l.Ok) return -1;
  return _Doc.IsOpen ? 1 : 0;
}

const char* SETFILE_GetPath(void) {
  Lock l;
  if (!l.Ok || !_Doc.IsOpen) return nullptr;
  return _Doc.acPath;
}

void SETFILE_Clear(void) {
  Lock l;
  if (!l.Ok || !_RequireOpen()) return;
  _Doc.Length = 0;
  if (_Doc.pText) std::memset(_Doc.pText, 0, _Doc.Capacity);
  _Doc.ChangeCount++;
}

int SETFILE_GetChangeCount(void) {
  Lock l;
  return l.Ok ? _Doc.ChangeCount : -1;
}

int SETFILE_GetText(char* sDest, int DestSize) {
  Lock l;
  if (!l.Ok || !_Doc.IsOpen || sDest == nullptr || DestSize <= 0) return -1;
  uint32_t n = _Doc.Length < (uint32_t)DestSize - 1 ? _Doc.Length : (uint32_t)DestSize - 1;
  if (n) std::memcpy(sDest, _Doc.pText, n);
  sDest[n] = 0;
  return (int)n;
}

void SETFILE_Shutdown(void) {
  std::call_once(_InitOnce, _Init);
  if (_Doc.State != STATE_READY) return;
  SYS_MUTEX_Lock(_Doc.pLock, -1);
  _Doc.State = STATE_SHUT_DOWN;
  _CloseDoc();
  SYS_MUTEX_Unlock(_Doc.pLock);
  SYS_MUTEX_Delete(&_Doc.pLock);
}

/*********************************************************************
 * Reads
 */
namespace {

// A number: "0x" and hexadecimal digits, or an optional sign and decimal digits, within
// -4294967296 ... 4294967295; the low 32 bits are stored.
int _ParseU32(uint32_t p, uint32_t* pValue) {
  p = _SkipBlanks(p);
  int64_t v = 0;
  if (_At(p) == '0' && (_At(p + 1) == 'x' || _At(p + 1) == 'X')) {
    uint32_t q = p + 2;
    while (true) {
      char c = _Lower(_At(q));
      int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : -1;
      if (d < 0) break;
      if (v < 0x10000000000ll) v = v * 16 + d;
      q++;
    }
    if (q == p + 2) {
      APP_ErrorOut("Expecting a number");
      return -1;
    }
  } else {
    bool Negative = false;
    if (_At(p) == '+' || _At(p) == '-') Negative = _At(p++) == '-';
    if (!_ParseDecimal(&p, &v)) {
      APP_ErrorOut("Expecting a number");
      return -1;
    }
    if (Negative) v = -v;
  }
  if (v < -4294967296ll) {
    _ReportParseError("Expected a value >= %lld", -4294967296ll);
    return -1;
  }
  if (v > 4294967295ll) {
    _ReportParseError("Expected a value <= %lld", 4294967295ll);
    return -1;
  }
  *pValue = (uint32_t)(uint64_t)v;
  return 0;
}

} // namespace

int SETFILE_ReadU32(const char* sSection, const char* sKey, uint32_t* pValue) {
  return _ReadValue(sSection, sKey, [&](uint32_t p, int) { return _ParseU32(p, pValue); });
}

int SETFILE_ReadString(const char* sSection, const char* sKey, char* sDest, int DestSize) {
  return _ReadValue(sSection, sKey, [&](uint32_t p, int) {
    p = _SkipBlanks(p);
    int n = 0;
    bool Ok = _At(p) == '"';
    if (Ok) {
      // The string ends at its line: a missing quote must not swallow the keys below.
      for (p++; p < _Doc.Length && _At(p) != '"' && _At(p) != '\r' && _At(p) != '\n'; p++) {
        if (n + 1 >= DestSize) break;
        sDest[n++] = _At(p);
      }
      Ok = _At(p) == '"';
    }
    if (DestSize > 0) sDest[n < DestSize ? n : DestSize - 1] = 0;
    if (!Ok) {
      char ac[400];
      UTIL_sprintf(ac, sizeof(ac), "Failed to read '%s' in section '%s'.", sKey, sSection ? sSection : "");
      APP_ErrorOut(ac);
      return -1;
    }
    return 0;
  });
}

int SETFILE_ReadBytes(const char* sSection, const char* sKey, uint8_t* pDest, int Capacity) {
  return _ReadValue(sSection, sKey, [&](uint32_t p, int Count) {
    if (Capacity > 0) std::memset(pDest, 0, (size_t)Capacity);
    return _ReadElements(p, Count < Capacity ? Count : Capacity,
                         [&](int i, int v) { pDest[i] = (uint8_t)v; });
  });
}

int SETFILE_ReadBits(const char* sSection, const char* sKey, uint8_t* pBits, int NumBits) {
  return _ReadValue(sSection, sKey, [&](uint32_t p, int Count) {
    if (NumBits > 0) std::memset(pBits, 0, (size_t)(NumBits + 7) / 8);
    return _ReadElements(p, Count < NumBits ? Count : NumBits, [&](int i, int v) {
      if (v) UTIL_SetBits(pBits, i, 1);
    });
  });
}

int SETFILE_ReadRanges(const char* sSection, const char* sKey, uint8_t* pBits, int NumBits) {
  return _ReadValue(sSection, sKey, [&](uint32_t p, int Count) {
    if (NumBits > 0) std::memset(pBits, 0, (size_t)(NumBits + 7) / 8);
    for (int i = 0; i < Count; i++) {
      int First, Last;
      if (!_ParseElement(&p, 0, kMaxRangeBound, &First)) return -1;
      Last = First;
      uint32_t q = _SkipBlanks(p);
      if (_At(q) == '-') {
        p = q + 1;
        if (!_ParseElement(&p, 0, kMaxRangeBound, &Last)) return -1;
        if (Last < First) Last = First;
      }
      if (First >= NumBits) break;
      if (Last >= NumBits) Last = NumBits - 1;
      UTIL_SetBits(pBits, First, Last - First + 1);
      _SkipSeparator(&p);
    }
    return 0;
  });
}

/*********************************************************************
 * Writes
 */
void SETFILE_WriteInt(const char* sSection, const char* sKey, int Value) {
  char ac[kLineSize];
  UTIL_sprintf(ac, sizeof(ac), "  %s = %d", sKey, Value);
  _WriteLine(sSection, sKey, ac);
}

void SETFILE_WriteHex(const char* sSection, const char* sKey, uint32_t Value) {
  char ac[kLineSize];
  UTIL_sprintf(ac, sizeof(ac), "  %s = 0x%.8X", sKey, Value);
  _WriteLine(sSection, sKey, ac);
}

void SETFILE_WriteString(const char* sSection, const char* sKey, const char* sText) {
  if (sText == nullptr) return;
  char ac[kLineSize];
  UTIL_sprintf(ac, sizeof(ac), "  %s = \"%s\"", sKey, sText);
  // A line break inside the value would start a line of its own in the file.
  for (char* p = ac; *p; p++) {
    if (*p == '\r' || *p == '\n') *p = ' ';
  }
  _WriteLine(sSection, sKey, ac);
}

void SETFILE_WriteBytes(const char* sSection, const char* sKey, const uint8_t* pData, int NumBytes) {
  if (pData == nullptr || NumBytes <= 0) return;
  std::string Values;
  int n = 0;
  for (; n < NumBytes && n < SETFILE_MAX_COUNT; n++) {
    std::string v = n ? "," : "";
    v += std::to_string(pData[n]);
    if (Values.size() + v.size() > SETFILE_MAX_LIST_TEXT) break;
    Values += v;
  }
  char ac[kListLineSize];
  UTIL_sprintf(ac, sizeof(ac), "  %s[%d] = %s", sKey, n, Values.c_str());
  _WriteLine(sSection, sKey, ac);
}

void SETFILE_WriteRanges(const char* sSection, const char* sKey, const uint8_t* pBits, int NumBits) {
  std::string Values;
  int NumRuns = 0;
  for (int i = 0; pBits && i < NumBits;) {
    if (!UTIL_TestBit(pBits, i)) {
      i++;
      continue;
    }
    int Last = i;
    while (Last + 1 < NumBits && UTIL_TestBit(pBits, Last + 1))
      Last++;
    const char* sSep = NumRuns ? "," : "";
    std::string Run = sSep;
    Run += std::to_string(i);
    if (Last != i) Run.append("-").append(std::to_string(Last));
    if (Values.size() + Run.size() > SETFILE_MAX_LIST_TEXT) break; // the list ends where a run does not fit
    Values += Run;
    NumRuns++;
    i = Last + 1;
  }
  char ac[kListLineSize];
  UTIL_sprintf(ac, sizeof(ac), "  %s[%d] = %s", sKey, NumRuns, Values.c_str());
  _WriteLine(sSection, sKey, ac);
}
