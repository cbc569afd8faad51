/*
 * HexLayout - line text, columns and copy formats of the data window.
 */
#include "gui/HexLayout.h"

#include <algorithm>

#include "sys/UTIL.h"

namespace {

const char _acHex[] = "0123456789ABCDEF";

void _PutHex(std::string& s, uint8_t v) {
  s += _acHex[v >> 4];
  s += _acHex[v & 15];
}

} // namespace

void HexLayout::Set(int ItemWidth, bool BigEndian) {
  _ItemWidth = (ItemWidth == 2 || ItemWidth == 4) ? ItemWidth : 1;
  _BigEndian = BigEndian;
}

int HexLayout::ItemColumn(int Item) const {
  int Col = ADDR_CHARS + Item * (ItemChars() + 1);
  if (_ItemWidth == 1 && Item >= BYTES_PER_LINE / 2) Col++; // the blank between the halves
  return Col;
}

int HexLayout::ItemsEndColumn() const {
  return ItemColumn(GetItemsPerLine() - 1) + ItemChars() + 1;
}

int HexLayout::ByteDigitColumn(int Offset) const {
  int InItem = Offset % _ItemWidth;
  int Pos = _BigEndian ? InItem : (_ItemWidth - 1 - InItem); // digits run from the most significant byte
  return ItemColumn(Offset / _ItemWidth) + 2 * Pos;
}

int HexLayout::OffsetAtColumn(int Column, bool* pInChars) const {
  if (pInChars) *pInChars = false;
  int CharsStart = CharColumn(0);
  if (Column >= CharsStart && Column < CharsStart + BYTES_PER_LINE) {
    if (pInChars) *pInChars = true;
    return Column - CharsStart;
  }
  for (int i = 0; i < GetItemsPerLine(); i++) {
    int c = ItemColumn(i);
    if (Column >= c && Column <= c + ItemChars()) {
      // Inside the digits the byte under the pointer counts; its trailing blank belongs to the item.
      if (Column < c + ItemChars()) {
        int Pos = (Column - c) / 2;
        int InItem = _BigEndian ? Pos : (_ItemWidth - 1 - Pos);
        return i * _ItemWidth + InItem;
      }
      return i * _ItemWidth;
    }
  }
  return -1;
}

char HexLayout::CharOf(const HexByte& b) {
  uint8_t c = b.Value;
  if (!b.HasData || c <= 32 || c == 127 || (c >= 0x80 && c <= 0xA0) || c == 0xAD) return '.';
  return (char)c;
}

uint32_t HexLayout::ItemValue(const HexByte* p) const {
  uint32_t v = 0;
  for (int i = 0; i < _ItemWidth; i++) {
    int k = _BigEndian ? i : (_ItemWidth - 1 - i);
    v = (v << 8) | p[k].Value;
  }
  return v;
}

void HexLayout::SplitValue(uint32_t Value, uint8_t* pDest) const {
  for (int i = 0; i < _ItemWidth; i++) {
    int Shift = 8 * (_BigEndian ? (_ItemWidth - 1 - i) : i);
    pDest[i] = (uint8_t)(Value >> Shift);
  }
}

std::string HexLayout::FormatItems(const HexByte* pLine, int First, int Last) const {
  std::string s;
  int FirstItem = First / _ItemWidth, LastItem = Last / _ItemWidth;
  for (int i = FirstItem; i <= LastItem; i++) {
    if (i != FirstItem) s.append((size_t)(ItemColumn(i) - ItemColumn(i - 1) - ItemChars()), ' ');
    const HexByte* p = pLine + i * _ItemWidth;
    for (int k = 0; k < _ItemWidth; k++) {
      const HexByte& b = p[_BigEndian ? k : (_ItemWidth - 1 - k)];
      if (b.HasData) {
        _PutHex(s, b.Value);
      } else {
        s += "..";
      }
    }
  }
  return s;
}

std::string HexLayout::FormatLine(uint32_t Addr, const HexByte* pBytes) const {
  char ac[16];
  UTIL_sprintf(ac, sizeof(ac), "%.04X_%.04X  ", Addr >> 16, Addr & 0xFFFF);
  std::string s(ac);
  s += FormatItems(pBytes, 0, BYTES_PER_LINE - 1);
  s += "  ";
  for (int i = 0; i < BYTES_PER_LINE; i++)
    s += CharOf(pBytes[i]);
  return s;
}

// Calls f(line bytes, first offset, last offset, is first line) for every display line that
// FirstAddr…LastAddr touches; the line holds the selected bytes at their offsets, no data elsewhere.
template <class F>
void HexLayout::_ForEachLine(uint32_t FirstAddr, uint32_t LastAddr, const std::vector<HexByte>& aBytes,
                             F f) const {
  uint64_t Addr = FirstAddr;
  bool First = true;
  while (Addr <= LastAddr) {
    uint64_t LineStart = Addr & ~(uint64_t)(BYTES_PER_LINE - 1);
    uint64_t LineLast = std::min<uint64_t>(LineStart + BYTES_PER_LINE - 1, LastAddr);
    HexByte aLine[BYTES_PER_LINE] = {};
    for (uint64_t a = Addr; a <= LineLast; a++) {
      uint64_t i = a - FirstAddr;
      if (i < aBytes.size()) aLine[a - LineStart] = aBytes[i];
    }
    f(aLine, (int)(Addr - LineStart), (int)(LineLast - LineStart), First);
    First = false;
    Addr = LineLast + 1;
  }
}

std::string HexLayout::CopyHex(uint32_t FirstAddr, uint32_t LastAddr,
                               const std::vector<HexByte>& aBytes) const {
  std::string s;
  _ForEachLine(FirstAddr, LastAddr, aBytes, [&](const HexByte* pLine, int a, int b, bool First) {
    if (!First) s += '\n';
    s += FormatItems(pLine, a, b);
  });
  return s;
}

std::string HexLayout::CopyText(uint32_t FirstAddr, uint32_t LastAddr,
                                const std::vector<HexByte>& aBytes) const {
  std::string s;
  for (uint64_t i = 0; i <= (uint64_t)LastAddr - FirstAddr && i < aBytes.size(); i++)
    s += CharOf(aBytes[i]);
  return s;
}

std::string HexLayout::CopyCInitializer(uint32_t FirstAddr, uint32_t LastAddr,
                                        const std::vector<HexByte>& aBytes) const {
  // Items separated by ", "; each display line ends with its comma and a line break, except the last.
  std::string s;
  _ForEachLine(FirstAddr, LastAddr, aBytes, [&](const HexByte* pLine, int a, int b, bool First) {
    if (!First) s += ",\n";
    for (int i = a / _ItemWidth; i <= b / _ItemWidth; i++) {
      if (i != a / _ItemWidth) s += ", ";
      s += "0x";
      uint32_t v = ItemValue(pLine + i * _ItemWidth);
      for (int k = _ItemWidth - 1; k >= 0; k--)
        _PutHex(s, (uint8_t)(v >> (8 * k)));
    }
  });
  return s;
}
