/*
 * HexLayout - the text of the data window's lines and its column arithmetic, without a widget.
 *
 * One line shows 16 bytes: the address as "%.04X_%.04X" and two blanks, the items (1-byte
 * items "%.02X " with one more blank between the two halves of the line; 2- and 4-byte items
 * "%.04X " / "%.08X " in the chosen byte order), a blank and the 16 characters. Bytes without
 * data show two dots per byte and "." as character. The layout maps between byte offsets in a
 * line and text columns, and builds the texts of the copy formats from bytes already read;
 * the widget reads the image and draws.
 */
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One byte as read through the access table: its value and whether it exists, came from a patch.
struct HexByte {
  uint8_t Value;
  uint8_t HasData;  // 0: no data at the address
  uint8_t Modified; // the value comes from a patch (an unsaved edit)
};

class HexLayout {
public:
  enum { BYTES_PER_LINE = 16, ADDR_CHARS = 11 }; // "0000_0000" and two blanks

  HexLayout(int ItemWidth = 1, bool BigEndian = false) { Set(ItemWidth, BigEndian); }
  void Set(int ItemWidth, bool BigEndian); // item width 1, 2 or 4 (others count as 1)
  int GetItemWidth() const { return _ItemWidth; }
  bool IsBigEndian() const { return _BigEndian; }
  int GetItemsPerLine() const { return BYTES_PER_LINE / _ItemWidth; }

  // Columns of the line text.
  int ItemColumn(int Item) const; // first column of item number Item (0 … items per line − 1)
  int ItemChars() const { return 2 * _ItemWidth; }
  int ItemsEndColumn() const; // column after the last item's trailing blank
  int CharColumn(int Offset) const { return ItemsEndColumn() + 1 + Offset; } // character of byte Offset
  int LineChars() const { return CharColumn(BYTES_PER_LINE); }
  // The column of the byte's two digits inside its item (byte order decides which pair).
  int ByteDigitColumn(int Offset) const;
  // The byte offset (0…15) that a text column falls on: an item's first byte for item columns
  // (the blank after an item belongs to it), the byte itself in the character column; -1 elsewhere.
  int OffsetAtColumn(int Column, bool* pInChars = nullptr) const;

  // The whole line for 16 bytes starting at Addr (no line feed).
  std::string FormatLine(uint32_t Addr, const HexByte* pBytes) const;
  // The item columns of bytes First…Last of one line (offsets, whole items), trailing blank dropped.
  std::string FormatItems(const HexByte* pLine, int First, int Last) const;
  static char CharOf(const HexByte& b);

  // Copy formats of the selection FirstAddr…LastAddr (whole items; aBytes holds its bytes in
  // address order, starting at FirstAddr). Lines are the display lines the selection touches.
  std::string CopyHex(uint32_t FirstAddr, uint32_t LastAddr, const std::vector<HexByte>& aBytes) const;
  std::string CopyText(uint32_t FirstAddr, uint32_t LastAddr, const std::vector<HexByte>& aBytes) const;
  std::string CopyCInitializer(uint32_t FirstAddr, uint32_t LastAddr,
                               const std::vector<HexByte>& aBytes) const;

  // The value of the item whose bytes (in address order) start at pItemBytes, in the byte order.
  uint32_t ItemValue(const HexByte* pItemBytes) const;
  // The bytes of an item value in address order.
  void SplitValue(uint32_t Value, uint8_t* pDest) const;

private:
  template <class F>
  void _ForEachLine(uint32_t FirstAddr, uint32_t LastAddr, const std::vector<HexByte>& aBytes, F f) const;
  int _ItemWidth = 1;
  bool _BigEndian = false;
};
