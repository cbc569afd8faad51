/*
 * FLASHCSV - reader of the flash device list (grammar in FLASHCSV.h).
 */
#include "mcudb/FLASHCSV.h"

#include <cstring>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

struct FLASHCSV_LIST {
  // Node-based sets: the texts stay where they are while the pools grow.
  std::unordered_set<std::string> ManuPool, NamePool;
  std::vector<FLASH_DEVICE> aDevice;
};

namespace {

enum { COL_MANU, COL_NAME, COL_ID16, COL_ID8, COL_SKIP, COL_BYTES, COL_LAYOUT = 21 };
enum { MAX_SECTOR_SIZE = 0x10000000, DEVICES_PER_PAGE = 4096 / sizeof(FLASH_DEVICE) + 1 };

bool _IsBlank(char c) {
  return c == ' ' || c == '\t';
}
bool _IsLineEnd(char c) {
  return c == '\n' || c == '\r';
}

int _HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Hexadecimal number at *ps up to the first non-hex character (an "0x" in front is allowed);
// a missing number is 0. Digits beyond 32 bits saturate.
uint32_t _ParseHex(const char** ps) {
  const char* s = *ps;
  if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && _HexDigit(s[2]) >= 0) s += 2;
  uint64_t v = 0;
  for (int d; (d = _HexDigit(*s)) >= 0; s++) {
    v = v * 16 + uint64_t(d);
    if (v > 0xFFFFFFFFu) v = 0xFFFFFFFFu;
  }
  *ps = s;
  return uint32_t(v);
}

uint32_t _ParseDec(const char** ps) {
  const char* s = *ps;
  uint64_t v = 0;
  for (; *s >= '0' && *s <= '9'; s++) {
    v = v * 10 + uint64_t(*s - '0');
    if (v > 0xFFFFFFFFu) v = 0xFFFFFFFFu;
  }
  *ps = s;
  return uint32_t(v);
}

// Byte columns: decimal, or hexadecimal with "0x".
uint8_t _ParseByte(const std::string& s) {
  const char* p = s.c_str();
  uint32_t v = (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) ? _ParseHex(&p) : _ParseDec(&p);
  return static_cast<uint8_t>(v);
}

uint32_t _ParseHexField(const std::string& s) {
  const char* p = s.c_str();
  return _ParseHex(&p);
}

// Splits one line [p, pEnd) into fields.
void _SplitFields(const char* p, const char* pEnd, std::vector<std::string>& aField) {
  aField.clear();
  for (;;) {
    std::string Field;
    while (p < pEnd && _IsBlank(*p))
      p++;
    if (p < pEnd && *p == '"') {
      p++;
      while (p < pEnd) {
        if (*p == '"') {
          if (p + 1 < pEnd && p[1] == '"') {
            Field += '"';
            p += 2;
            continue;
          }
          p++;
          break;
        }
        Field += *p++;
      }
      while (p < pEnd && *p != ';')
        p++; // whatever follows the closing quote up to the separator
    } else {
      while (p < pEnd && *p != ';')
        Field += *p++;
      while (!Field.empty() && _IsBlank(Field.back()))
        Field.pop_back();
    }
    aField.push_back(std::move(Field));
    if (p >= pEnd) return;
    p++; // the separator
  }
}

const char* _Pool(std::unordered_set<std::string>& Pool, const std::string& s) {
  return Pool.insert(s).first->c_str();
}

} // namespace

FLASHCSV_LIST* FLASHCSV_Create(void) {
  return new (std::nothrow) FLASHCSV_LIST;
}

void FLASHCSV_Delete(FLASHCSV_LIST* pList) {
  delete pList;
}

int FLASHCSV_ParseLayout(const char* s, SectorRegion* paRegion) {
  std::memset(paRegion, 0, sizeof(SectorRegion) * MCUDB_MAX_REGIONS);
  int n = 0;
  uint64_t Pos = 0;
  while (n < MCUDB_MAX_REGIONS) {
    while (_IsBlank(*s))
      s++;
    if (*s == 0) break;
    uint32_t Size = _ParseHex(&s);
    if (Size > MAX_SECTOR_SIZE) Size = MAX_SECTOR_SIZE;
    uint32_t Count = 1;
    if (*s == '[') {
      s++;
      Count = _ParseDec(&s);
      if (Count == 0) Count = 1;
      while (*s && *s != ']' && *s != ';')
        s++;
      if (*s == ']') s++;
    }
    if (*s == ',') {
      s++;
      Pos = _ParseHex(&s);
    }
    while (*s && *s != ';')
      s++; // anything else up to the end of the entry
    if (*s == ';') s++;
    // A region that would end beyond the 32-bit space is left out with all after it.
    if (Size == 0 || Pos > 0xFFFFFFFFu || Pos + uint64_t(Size) * Count > 0x100000000ull) break;
    paRegion[n++] = SectorRegion{Count, Size, uint32_t(Pos)};
    Pos += uint64_t(Size) * Count;
  }
  return n;
}

int FLASHCSV_Parse(FLASHCSV_LIST* pList, const char* pText, uint32_t NumBytes) {
  if (pList == nullptr) return -1;
  try {
    const char* p = pText;
    const char* pEnd = pText + NumBytes;
    std::vector<std::string> aField;
    int NumAdded = 0;
    bool Header = true;
    while (p < pEnd) {
      const char* pLine = p;
      while (p < pEnd && !_IsLineEnd(*p))
        p++;
      const char* pLineEnd = p;
      if (p < pEnd && *p == '\r') p++;
      if (p < pEnd && *p == '\n') p++;
      if (Header) {
        Header = false;
        continue;
      }
      if (pLineEnd == pLine) continue;
      _SplitFields(pLine, pLineEnd, aField);
      if (aField.size() <= COL_NAME || aField[COL_NAME].empty()) continue; // no device on this line
      aField.resize(std::max<size_t>(aField.size(), COL_LAYOUT + 1));
      if (_ParseByte(aField[COL_SKIP]) != 0) continue;
      // The layout is the last column; its entries end with ";", so an unquoted one was split.
      std::string Layout = aField[COL_LAYOUT];
      for (size_t i = COL_LAYOUT + 1; i < aField.size(); i++)
        Layout += ";" + aField[i];
      FLASH_DEVICE d{};
      d.sManu = _Pool(pList->ManuPool, aField[COL_MANU]);
      d.sName = _Pool(pList->NamePool, aField[COL_NAME]);
      d.Id16 = _ParseHexField(aField[COL_ID16]);
      d.Id8 = _ParseHexField(aField[COL_ID8]);
      d.aAlgoSel[0] = _ParseByte(aField[COL_BYTES]);
      d.aAlgoSel[1] = _ParseByte(aField[COL_BYTES + 1]);
      d.BusWidth = _ParseByte(aField[COL_BYTES + 2]);
      d.aOption[0] = _ParseByte(aField[COL_BYTES + 5]); // column 11
      d.aOption[1] = _ParseByte(aField[COL_BYTES + 3]); // column 9
      d.aOption[2] = _ParseByte(aField[COL_BYTES + 4]); // column 10
      d.aOption[3] = _ParseByte(aField[COL_BYTES + 6]); // column 12
      FLASHCSV_ParseLayout(Layout.c_str(), d.aRegion);
      if (pList->aDevice.size() == pList->aDevice.capacity()) {
        pList->aDevice.reserve(pList->aDevice.size() + DEVICES_PER_PAGE);
      }
      pList->aDevice.push_back(d);
      NumAdded++;
    }
    return NumAdded;
  } catch (const std::bad_alloc&) {
    return -1;
  }
}

int FLASHCSV_GetNumDevices(const FLASHCSV_LIST* pList) {
  return pList ? int(pList->aDevice.size()) : 0;
}

const FLASH_DEVICE* FLASHCSV_GetDevice(const FLASHCSV_LIST* pList, int Index) {
  if (pList == nullptr || Index < 0 || size_t(Index) >= pList->aDevice.size()) return nullptr;
  return &pList->aDevice[size_t(Index)];
}
