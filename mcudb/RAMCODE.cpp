/*
 * RAMCODE - unpacker of the packed image stream (format in RAMCODE.h).
 */
#include "mcudb/RAMCODE.h"

namespace {

// Bits least significant first; missing bits read as 0 and are remembered, so the token that
// needed them fails as a whole.
struct BitReader {
  const uint8_t* pIn;
  uint64_t TotalBits;
  uint64_t Pos;
  bool Over;
  uint32_t Get(int k) {
    uint32_t v = 0;
    for (int i = 0; i < k; i++, Pos++) {
      if (Pos >= TotalBits) {
        Over = true;
      } else if ((pIn[Pos >> 3] >> (Pos & 7)) & 1u) {
        v |= 1u << i;
      }
    }
    return v;
  }
};

uint32_t _ReadLength(BitReader& r) {
  if (r.Get(1) == 0) return 2 + r.Get(1);
  if (r.Get(1) == 1) return 4 + r.Get(1);
  uint32_t Value = 0, Weight = 1;
  for (;;) {
    if (r.Get(1)) Value += Weight;
    Weight *= 2;
    if (Weight == 128 || r.Get(1)) break;
  }
  return 4 + Weight + Value;
}

} // namespace

int RAMCODE_Decompress(const uint8_t* pIn, uint32_t NumBytesIn, uint8_t* pOut, uint32_t OutSize) {
  if (pIn == nullptr || NumBytesIn == 0) return RAMCODE_ERR_INPUT_END;
  uint32_t w = pIn[0] & 7u;
  if (w == 7) return RAMCODE_ERR_PARAMETER;
  if (pOut == nullptr) OutSize = 0;
  if (OutSize > 0x7FFFFFFFu) OutSize = 0x7FFFFFFFu; // the count must fit the result
  int W = static_cast<int>(w) + 2;
  BitReader r{pIn, uint64_t(NumBytesIn) * 8, 3, false};
  uint32_t NumOut = 0;
  uint32_t PrevDist = 0; // 0: no distance read yet, so "the previous one" cannot be repeated
  for (;;) {
    if (r.Get(1) == 0) {
      uint32_t Literal = r.Get(8);
      if (r.Over) return RAMCODE_ERR_INPUT_END;
      if (NumOut >= OutSize) return RAMCODE_ERR_OUTPUT_FULL;
      pOut[NumOut++] = static_cast<uint8_t>(Literal);
      continue;
    }
    uint32_t Len = _ReadLength(r);
    if (r.Over) return RAMCODE_ERR_INPUT_END;
    if (Len == 259) return static_cast<int>(NumOut);
    uint32_t c = r.Get(3), Dist;
    if (c == 0) {
      Dist = PrevDist;
    } else if (c == 1) {
      Dist = r.Get(W) + 1;
    } else {
      int k = static_cast<int>(c) + W - 2; // at most 13
      Dist = (1u << k) + r.Get(k) + 1;
    }
    if (r.Over) return RAMCODE_ERR_INPUT_END;
    if (Dist == 0 || Dist > NumOut) return RAMCODE_ERR_DISTANCE;
    PrevDist = Dist;
    if (Len > OutSize - NumOut) return RAMCODE_ERR_OUTPUT_FULL;
    // Byte by byte: a match may overlap what it writes (distance 1 repeats the last byte).
    for (uint32_t i = 0; i < Len; i++, NumOut++)
      pOut[NumOut] = pOut[NumOut - Dist];
  }
}
