/*
 * UTIL - bounded text helpers and the program's own formatter.
 */
#include "sys/UTIL.h"

#include <cstring>

static char _Lower(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c + 32) : c; }
static char _Upper(char c) { return (c >= 'a' && c <= 'z') ? (char)(c - 32) : c; }

void UTIL_strcpy(char* sDest, const char* sSrc, int DestSize) {
  if (sDest == nullptr || sSrc == nullptr || DestSize <= 0) return;
  int i = 0;
  // Source and destination may overlap when the destination starts at or before the source.
  for (; i < DestSize - 1 && sSrc[i]; i++) sDest[i] = sSrc[i];
  sDest[i] = 0;
}

void UTIL_strcat(char* sDest, const char* sSrc, int DestSize) {
  if (sDest == nullptr || sSrc == nullptr || DestSize <= 0) return;
  int n = (int)strnlen(sDest, (size_t)DestSize);
  if (n >= DestSize) {
    sDest[DestSize - 1] = 0;
    return;
  }
  UTIL_strcpy(sDest + n, sSrc, DestSize - n);
}

void UTIL_strncat(char* sDest, const char* sSrc, int n, int DestSize) {
  if (sDest == nullptr || sSrc == nullptr || DestSize <= 0 || n <= 0) return;
  int len = (int)strnlen(sDest, (size_t)DestSize);
  if (len >= DestSize) {
    sDest[DestSize - 1] = 0;
    return;
  }
  int i = 0;
  for (; i < n && len + i < DestSize - 1 && sSrc[i]; i++) sDest[len + i] = sSrc[i];
  sDest[len + i] = 0;
}

int UTIL_strlen(const char* s) { return s ? (int)std::strlen(s) : 0; }

int UTIL_stricmp(const char* s0, const char* s1) {
  for (;; s0++, s1++) {
    char c0 = _Lower(*s0), c1 = _Lower(*s1);
    if (c0 != c1) return (unsigned char)c0 - (unsigned char)c1;
    if (c0 == 0) return 0;
  }
}

int UTIL_strnicmp(const char* s0, const char* s1, int n) {
  // Stops early at the end of the first string, so that a prefix compares equal.
  for (int i = 0; i < n && s0[i]; i++) {
    char c0 = _Lower(s0[i]), c1 = _Lower(s1[i]);
    if (c0 != c1) return (unsigned char)c0 - (unsigned char)c1;
  }
  return 0;
}

int UTIL_strchr(const char* s, char c) {
  const char* p = s ? std::strchr(s, c) : nullptr;
  return (p && c) ? (int)(p - s) : -1;
}

void UTIL_ReplaceChar(char* s, char cOld, char cNew) {
  for (; s && *s; s++) {
    if (*s == cOld) *s = cNew;
  }
}

void UTIL_ToUpper(char* s) {
  for (; s && *s; s++) *s = _Upper(*s);
}

void UTIL_ToLower(char* s) {
  for (; s && *s; s++) *s = _Lower(*s);
}

void UTIL_SkipSpaces(const char** ps) {
  while (**ps == ' ' || **ps == '\t' || **ps == '\r' || **ps == '\n') (*ps)++;
}

static int _HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = _Lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

int64_t UTIL_ParseU32(const char* s) {
  if (s == nullptr) return -1;
  uint32_t v = 0;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s += 2;
    if (_HexDigit(*s) < 0) return -1;
    for (; _HexDigit(*s) >= 0; s++) v = (v << 4) | (uint32_t)_HexDigit(*s);
    return v;
  }
  if (*s < '0' || *s > '9') return -1;
  for (; *s >= '0' && *s <= '9'; s++) v = v * 10u + (uint32_t)(*s - '0');
  return v;
}

int UTIL_ParseInt(const char** ps, int64_t* pValue, bool IsHex) {
  const char* s = *ps;
  UTIL_SkipSpaces(&s);
  bool neg = false;
  if (*s == '-') {
    neg = true;
    s++;
  }
  uint64_t v = 0;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && _HexDigit(s[2]) >= 0) {
    s += 2;
    IsHex = true;
  }
  if (IsHex) {
    if (_HexDigit(*s) < 0) return -1;
    for (; _HexDigit(*s) >= 0; s++) v = (v << 4) | (uint64_t)_HexDigit(*s);
  } else {
    if (*s < '0' || *s > '9') return -1;
    for (; *s >= '0' && *s <= '9'; s++) v = v * 10u + (uint64_t)(*s - '0');
  }
  *pValue = neg ? -(int64_t)v : (int64_t)v;
  *ps = s;
  return 0;
}

int UTIL_ParseHex(const char** ps, int64_t* pValue) { return UTIL_ParseInt(ps, pValue, true); }

/*********************************************************************
 * Formatter
 */
namespace {

struct Out {
  char* p;
  int Size;
  int Pos;
  void Put(char c) {
    if (Pos < Size - 1) p[Pos++] = c;
  }
};

// Digits of v in the given base, at least MinDigits of them, padded to Width with blanks.
void _PutNumber(Out& o, uint64_t v, bool Neg, int Base, bool Upper, int Width, int MinDigits, bool Left) {
  char acDigits[24];
  int n = 0;
  const char* sDigits = Upper ? "0123456789ABCDEF" : "0123456789abcdef";
  do {
    acDigits[n++] = sDigits[v % (unsigned)Base];
    v /= (unsigned)Base;
  } while (v && n < (int)sizeof(acDigits));
  int numZeros = MinDigits > n ? MinDigits - n : 0;
  int len = n + numZeros + (Neg ? 1 : 0);
  if (!Left) {
    for (int i = len; i < Width; i++) o.Put(' ');
  }
  if (Neg) o.Put('-');
  for (int i = 0; i < numZeros; i++) o.Put('0');
  while (n) o.Put(acDigits[--n]);
  if (Left) {
    for (int i = len; i < Width; i++) o.Put(' ');
  }
}

} // namespace

int UTIL_vsprintf(char* sDest, int DestSize, const char* sFormat, va_list Args) {
  if (sDest == nullptr || DestSize <= 0) return 0;
  Out o{sDest, DestSize, 0};
  for (const char* f = sFormat ? sFormat : ""; *f; f++) {
    if (*f != '%') {
      o.Put(*f);
      continue;
    }
    f++;
    if (*f == '%') {
      o.Put('%');
      continue;
    }
    bool Left = false;
    while (*f == '-') {
      Left = true;
      f++;
    }
    int Width = 0, MinDigits = -1, NumL = 0;
    while (*f >= '0' && *f <= '9') Width = Width * 10 + (*f++ - '0');
    if (*f == '.') {
      MinDigits = 0;
      for (f++; *f >= '0' && *f <= '9'; f++) MinDigits = MinDigits * 10 + (*f - '0');
    }
    while (*f == 'l') {
      NumL++;
      f++;
    }
    if (*f == 0) break;
    switch (*f) {
    case 'c': {
      char c = (char)va_arg(Args, int);
      if (!Left) {
        for (int i = 1; i < Width; i++) o.Put(' ');
      }
      o.Put(c);
      if (Left) {
        for (int i = 1; i < Width; i++) o.Put(' ');
      }
      break;
    }
    case 'd':
    case 'i': {
      int64_t v = (NumL >= 2) ? va_arg(Args, long long) : (NumL == 1) ? (int32_t)va_arg(Args, long) : va_arg(Args, int);
      uint64_t mag = v < 0 ? (uint64_t)0 - (uint64_t)v : (uint64_t)v;
      _PutNumber(o, mag, v < 0, 10, false, Width, MinDigits, Left);
      break;
    }
    case 'u':
    case 'x':
    case 'X': {
      uint64_t v = (NumL >= 2)   ? va_arg(Args, unsigned long long)
                   : (NumL == 1) ? (uint32_t)va_arg(Args, unsigned long)
                                 : va_arg(Args, unsigned);
      _PutNumber(o, v, false, *f == 'u' ? 10 : 16, *f == 'X', Width, MinDigits, Left);
      break;
    }
    case 'p': {
      uint64_t v = (uint64_t)(uintptr_t)va_arg(Args, void*);
      _PutNumber(o, v, false, 16, false, Width > 8 ? Width : 8, MinDigits, Left);
      break;
    }
    case 's': {
      const char* s = va_arg(Args, const char*);
      if (s == nullptr) s = "(null)";
      int len = (MinDigits >= 0) ? (int)strnlen(s, (size_t)MinDigits) : (int)std::strlen(s);
      if (!Left) {
        for (int i = len; i < Width; i++) o.Put(' ');
      }
      // Read each character before the one at the same place is written: the destination may
      // be this very string when it is the leading conversion.
      for (int i = 0; i < len; i++) o.Put(s[i]);
      if (Left) {
        for (int i = len; i < Width; i++) o.Put(' ');
      }
      break;
    }
    default:
      break; // an unknown conversion is dropped with its percent sign
    }
  }
  sDest[o.Pos] = 0;
  return o.Pos;
}

void UTIL_vOutf(void (*pfOut)(const char* sText), const char* sFormat, va_list Args) {
  if (pfOut == nullptr) return;
  char ac[1024];
  UTIL_vsprintf(ac, sizeof(ac), sFormat, Args);
  pfOut(ac);
}

int UTIL_sprintf(char* sDest, int DestSize, const char* sFormat, ...) {
  va_list Args;
  va_start(Args, sFormat);
  int r = UTIL_vsprintf(sDest, DestSize, sFormat, Args);
  va_end(Args);
  return r;
}

/*********************************************************************
 * Byte order and bit fields
 */
uint16_t UTIL_Load16(const void* pv, bool IsBigEndian) {
  const uint8_t* p = static_cast<const uint8_t*>(pv);
  return IsBigEndian ? (uint16_t)((p[0] << 8) | p[1]) : (uint16_t)((p[1] << 8) | p[0]);
}

uint32_t UTIL_Load32(const void* pv, bool IsBigEndian) {
  const uint8_t* p = static_cast<const uint8_t*>(pv);
  if (IsBigEndian) return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
  return ((uint32_t)p[3] << 24) | ((uint32_t)p[2] << 16) | ((uint32_t)p[1] << 8) | p[0];
}

void UTIL_Store16(void* pv, uint16_t v, bool IsBigEndian) {
  uint8_t* p = static_cast<uint8_t*>(pv);
  p[IsBigEndian ? 0 : 1] = (uint8_t)(v >> 8);
  p[IsBigEndian ? 1 : 0] = (uint8_t)v;
}

void UTIL_Store32(void* pv, uint32_t v, bool IsBigEndian) {
  uint8_t* p = static_cast<uint8_t*>(pv);
  for (int i = 0; i < 4; i++) p[IsBigEndian ? 3 - i : i] = (uint8_t)(v >> (8 * i));
}

uint16_t UTIL_Swap16(uint16_t v) { return (uint16_t)((v << 8) | (v >> 8)); }

uint32_t UTIL_Swap32(uint32_t v) {
  return (v << 24) | ((v & 0xFF00u) << 8) | ((v >> 8) & 0xFF00u) | (v >> 24);
}

void UTIL_Swap32Array(uint32_t* p, int NumItems) {
  for (int i = 0; i < NumItems; i++) p[i] = UTIL_Swap32(p[i]);
}

void UTIL_SetBits(uint8_t* p, int FirstBit, int NumBits) {
  for (int b = FirstBit; b < FirstBit + NumBits; b++) p[b >> 3] |= (uint8_t)(1u << (b & 7));
}

void UTIL_ClrBits(uint8_t* p, int FirstBit, int NumBits) {
  for (int b = FirstBit; b < FirstBit + NumBits; b++) p[b >> 3] &= (uint8_t) ~(1u << (b & 7));
}

void UTIL_InvertBits(uint8_t* p, int FirstBit, int NumBits) {
  for (int b = FirstBit; b < FirstBit + NumBits; b++) p[b >> 3] ^= (uint8_t)(1u << (b & 7));
}

bool UTIL_TestBit(const uint8_t* p, int Bit) { return (p[Bit >> 3] >> (Bit & 7)) & 1u; }

int UTIL_CountBits(const uint8_t* p, int NumBytes) {
  int n = 0;
  for (int i = 0; i < NumBytes; i++) n += __builtin_popcount(p[i]);
  return n;
}

int UTIL_FindLowestBit(uint32_t v) { return v ? __builtin_ctz(v) : -1; }

int UTIL_FindHighestBit(uint32_t v) { return v ? 31 - __builtin_clz(v) : -1; }
