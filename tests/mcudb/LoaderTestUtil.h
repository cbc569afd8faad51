/*
 * Helpers of the loader tests: the shipped algorithm files, the parse messages, a packer that
 * writes literal-only streams, and compressed images and compiled scripts built in memory.
 */
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "mcudb/MCUDB_Loader.h"
#include "tests/data/DataTestUtil.h"

namespace lt {

using Bytes = std::vector<uint8_t>;

inline std::string ProgramFile(const char* sName) {
  return std::string(TFORGE_PROGRAM_DIR) + sName;
}

inline Bytes ReadBytes(const std::string& sPath) {
  std::string s = dt::ReadFile(sPath);
  return Bytes(s.begin(), s.end());
}

// Collects the parse messages for one test.
struct Messages {
  static std::vector<std::string>& List() {
    static std::vector<std::string> a;
    return a;
  }
  static void Func(const char* sText) { List().push_back(sText); }
  Messages() {
    List().clear();
    MCUDB_SetLoaderErrorHandler(Func);
  }
  ~Messages() { MCUDB_SetLoaderErrorHandler(nullptr); }
  std::string Joined() const {
    std::string s;
    for (const std::string& m : List())
      s += (s.empty() ? "" : "|") + m;
    return s;
  }
};

inline void Put32(Bytes& b, size_t Off, uint32_t v, bool BigEndian = false) {
  if (b.size() < Off + 4) b.resize(Off + 4);
  for (int i = 0; i < 4; i++)
    b[Off + i] = static_cast<uint8_t>(v >> (BigEndian ? 24 - 8 * i : 8 * i));
}
inline void Put16(Bytes& b, size_t Off, uint16_t v, bool BigEndian = false) {
  if (b.size() < Off + 2) b.resize(Off + 2);
  b[Off + (BigEndian ? 1 : 0)] = static_cast<uint8_t>(v);
  b[Off + (BigEndian ? 0 : 1)] = static_cast<uint8_t>(v >> 8);
}

// A packed stream of literals only, ended by the end token; the low bits of the parameter byte are w.
struct BitWriter {
  Bytes Out;
  size_t NumBits = 0;
  explicit BitWriter(uint8_t w) { Out.push_back(w); }
  void Put(uint32_t v, int k) {
    for (int i = 0; i < k; i++, NumBits++) {
      size_t Pos = NumBits + 3;
      if (Pos / 8 >= Out.size()) Out.push_back(0);
      if ((v >> i) & 1u) Out[Pos / 8] |= static_cast<uint8_t>(1u << (Pos % 8));
    }
  }
  void Literal(uint8_t b) {
    Put(0, 1);
    Put(b, 8);
  }
  void End() {
    Put(1, 1);
    Put(1, 2); // 1, 0: gamma code
    for (int i = 0; i < 7; i++) {
      Put(1, 1);            // data bit: value 127
      if (i < 6) Put(0, 1); // stop bit, not after weight 128
    }
  }
};
inline Bytes PackLiterals(const Bytes& In) {
  BitWriter w(2);
  for (uint8_t b : In)
    w.Literal(b);
  w.End();
  return w.Out;
}

// A FlashDevice of NumEntries sector entries: the given {size, address} pairs, then the end marker.
struct FdSpec {
  uint16_t Vers = 0x0101;
  uint32_t DevAdr = 0x08000000, szDev = 0x10000, szPage = 0x400, toProg = 100, toErase = 500;
  uint8_t valEmpty = 0xFF;
  std::vector<std::pair<uint32_t, uint32_t>> aSector{{0x400, 0}};
  uint32_t NumEntries = 512;
};
inline Bytes MakeFlashDevice(const FdSpec& s, bool BigEndian = false) {
  Bytes b(160 + 8 * s.NumEntries, 0);
  Put16(b, 0, s.Vers, BigEndian);
  std::memcpy(&b[2], "Test flash", 10);
  Put32(b, 132, s.DevAdr, BigEndian);
  Put32(b, 136, s.szDev, BigEndian);
  Put32(b, 140, s.szPage, BigEndian);
  b[148] = s.valEmpty;
  Put32(b, 152, s.toProg, BigEndian);
  Put32(b, 156, s.toErase, BigEndian);
  size_t i = 0;
  for (; i < s.aSector.size() && i < s.NumEntries; i++) {
    Put32(b, 160 + 8 * i, s.aSector[i].first, BigEndian);
    Put32(b, 164 + 8 * i, s.aSector[i].second, BigEndian);
  }
  if (i < s.NumEntries) Put32(b, 160 + 8 * i, 0xFFFFFFFFu, BigEndian);
  return b;
}

// A compressed image: 0x100 bytes of code, a PrgData word, the FlashDevice; entry words as given.
inline Bytes MakeKflc(const Bytes& FlashDevice, const std::vector<uint32_t>& aWord, uint16_t Flags = 0,
                      uint32_t LinkAddr = 0) {
  Bytes Img(0x104, 0);
  for (size_t i = 0; i < 0x100; i++)
    Img[i] = static_cast<uint8_t>(i * 7);
  uint32_t FdOff = static_cast<uint32_t>(Img.size());
  Img.insert(Img.end(), FlashDevice.begin(), FlashDevice.end());
  Bytes k = {'K', 'F', 'L', 'C', 0, 0};
  Put16(k, 6, Flags);
  Put32(k, 8, LinkAddr);
  Put32(k, 12, static_cast<uint32_t>(Img.size()));
  Put32(k, 16, FdOff);
  Put32(k, 20, static_cast<uint32_t>(FlashDevice.size()));
  Put32(k, 24, 0x100);
  Put32(k, 28, static_cast<uint32_t>(aWord.size()));
  for (size_t i = 0; i < aWord.size(); i++)
    Put32(k, 32 + 4 * i, aWord[i]);
  Bytes Stream = PackLiterals(Img);
  k.insert(k.end(), Stream.begin(), Stream.end());
  return k;
}

// A compiled loader script with one entry per {name, data}; the size attribute (tag 6) as given.
struct ScriptEntry {
  std::string sName;
  Bytes Data;
  int SizeAttr = -1; // -1: the data's size
};
inline Bytes MakeScript(const std::vector<ScriptEntry>& aEntry) {
  Bytes Names, Data;
  std::vector<std::pair<uint32_t, uint32_t>> aOff;
  for (const ScriptEntry& e : aEntry) {
    aOff.push_back({static_cast<uint32_t>(Names.size()), static_cast<uint32_t>(Data.size())});
    Names.insert(Names.end(), e.sName.begin(), e.sName.end());
    Names.push_back(0);
    Names.push_back(3); // an attribute that is skipped
    Names.push_back(1);
    Names.push_back(0x55);
    uint32_t Size = e.SizeAttr < 0 ? static_cast<uint32_t>(e.Data.size()) : static_cast<uint32_t>(e.SizeAttr);
    Names.push_back(6);
    Names.push_back(2);
    Names.push_back(static_cast<uint8_t>(Size));
    Names.push_back(static_cast<uint8_t>(Size >> 8));
    Names.push_back(0);
    Data.insert(Data.end(), e.Data.begin(), e.Data.end());
  }
  Bytes s = {'P', 'C', 'V', '2'};
  s.resize(32, 0);
  Put32(s, 12, static_cast<uint32_t>(aEntry.size()));
  uint32_t DataArea = static_cast<uint32_t>(32 + 8 * aEntry.size() + Names.size());
  Put32(s, 16, DataArea);
  for (size_t i = 0; i < aOff.size(); i++) {
    Put32(s, 32 + 8 * i, aOff[i].first);
    Put32(s, 36 + 8 * i, aOff[i].second);
  }
  s.insert(s.end(), Names.begin(), Names.end());
  s.insert(s.end(), Data.begin(), Data.end());
  return s;
}

} // namespace lt
