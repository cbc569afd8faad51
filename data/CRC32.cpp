/*
 * CRC32 - table method for short pieces, slicing-by-16 for longer ones and carry-less
 * multiplication folding (PCLMULQDQ) where the processor has it. All three compute the same
 * register update; tests hold the fast paths against the byte-wise one.
 */
#include "data/CRC32.h"

#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

struct Tables {
  uint32_t a[16][256];
  Tables() {
    for (uint32_t i = 0; i < 256; i++) {
      uint32_t r = i;
      for (int k = 0; k < 8; k++) r = (r >> 1) ^ (0xEDB88320u & (0u - (r & 1u)));
      a[0][i] = r;
    }
    for (uint32_t i = 0; i < 256; i++) {
      for (int t = 1; t < 16; t++) a[t][i] = (a[t - 1][i] >> 8) ^ a[0][a[t - 1][i] & 0xFF];
    }
  }
};

const Tables& _GetTables() {
  static const Tables t; // built on first use, thread-safe
  return t;
}

inline uint32_t _Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v; // little-endian host
}

uint32_t _Bytewise(uint32_t Crc, const uint8_t* p, size_t n) {
  const auto& T = _GetTables().a[0];
  while (n--) Crc = T[(Crc ^ *p++) & 0xFF] ^ (Crc >> 8);
  return Crc;
}

uint32_t _Slice16(uint32_t Crc, const uint8_t* p, size_t n) {
  const auto& T = _GetTables().a;
  while (n >= 16) {
    uint32_t w0 = _Load32(p) ^ Crc, w1 = _Load32(p + 4), w2 = _Load32(p + 8), w3 = _Load32(p + 12);
    Crc = T[15][w0 & 0xFF] ^ T[14][(w0 >> 8) & 0xFF] ^ T[13][(w0 >> 16) & 0xFF] ^ T[12][w0 >> 24] ^
          T[11][w1 & 0xFF] ^ T[10][(w1 >> 8) & 0xFF] ^ T[9][(w1 >> 16) & 0xFF] ^ T[8][w1 >> 24] ^
          T[7][w2 & 0xFF] ^ T[6][(w2 >> 8) & 0xFF] ^ T[5][(w2 >> 16) & 0xFF] ^ T[4][w2 >> 24] ^
          T[3][w3 & 0xFF] ^ T[2][(w3 >> 8) & 0xFF] ^ T[1][(w3 >> 16) & 0xFF] ^ T[0][w3 >> 24];
    p += 16;
    n -= 16;
  }
  return _Bytewise(Crc, p, n);
}

#if defined(__x86_64__)
// Folding by four 128-bit lanes with the constants of the reflected polynomial, then Barrett
// reduction. Takes at least 64 bytes and a multiple of 16.
__attribute__((target("pclmul,sse4.1"))) uint32_t _Clmul(uint32_t Crc, const uint8_t* p, size_t n) {
  alignas(16) static const uint64_t k1k2[] = {0x0154442bd4, 0x01c6e41596};
  alignas(16) static const uint64_t k3k4[] = {0x01751997d0, 0x00ccaa009e};
  alignas(16) static const uint64_t k5k0[] = {0x0163cd6124, 0x0000000000};
  alignas(16) static const uint64_t poly[] = {0x01db710641, 0x01f7011641};
  __m128i x0, x1, x2, x3, x4, x5, x6, x7, x8, y5, y6, y7, y8;
  x1 = _mm_loadu_si128((const __m128i*)(p + 0x00));
  x2 = _mm_loadu_si128((const __m128i*)(p + 0x10));
  x3 = _mm_loadu_si128((const __m128i*)(p + 0x20));
  x4 = _mm_loadu_si128((const __m128i*)(p + 0x30));
  x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128((int)Crc));
  x0 = _mm_load_si128((const __m128i*)k1k2);
  p += 64;
  n -= 64;
  while (n >= 64) {
    x5 = _mm_clmulepi64_si128(x1, x0, 0x00);
    x6 = _mm_clmulepi64_si128(x2, x0, 0x00);
    x7 = _mm_clmulepi64_si128(x3, x0, 0x00);
    x8 = _mm_clmulepi64_si128(x4, x0, 0x00);
    x1 = _mm_clmulepi64_si128(x1, x0, 0x11);
    x2 = _mm_clmulepi64_si128(x2, x0, 0x11);
    x3 = _mm_clmulepi64_si128(x3, x0, 0x11);
    x4 = _mm_clmulepi64_si128(x4, x0, 0x11);
    y5 = _mm_loadu_si128((const __m128i*)(p + 0x00));
    y6 = _mm_loadu_si128((const __m128i*)(p + 0x10));
    y7 = _mm_loadu_si128((const __m128i*)(p + 0x20));
    y8 = _mm_loadu_si128((const __m128i*)(p + 0x30));
    x1 = _mm_xor_si128(_mm_xor_si128(x1, x5), y5);
    x2 = _mm_xor_si128(_mm_xor_si128(x2, x6), y6);
    x3 = _mm_xor_si128(_mm_xor_si128(x3, x7), y7);
    x4 = _mm_xor_si128(_mm_xor_si128(x4, x8), y8);
    p += 64;
    n -= 64;
  }
  x0 = _mm_load_si128((const __m128i*)k3k4);
  x5 = _mm_clmulepi64_si128(x1, x0, 0x00);
  x1 = _mm_clmulepi64_si128(x1, x0, 0x11);
  x1 = _mm_xor_si128(_mm_xor_si128(x1, x2), x5);
  x5 = _mm_clmulepi64_si128(x1, x0, 0x00);
  x1 = _mm_clmulepi64_si128(x1, x0, 0x11);
  x1 = _mm_xor_si128(_mm_xor_si128(x1, x3), x5);
  x5 = _mm_clmulepi64_si128(x1, x0, 0x00);
  x1 = _mm_clmulepi64_si128(x1, x0, 0x11);
  x1 = _mm_xor_si128(_mm_xor_si128(x1, x4), x5);
  while (n >= 16) {
    x2 = _mm_loadu_si128((const __m128i*)p);
    x5 = _mm_clmulepi64_si128(x1, x0, 0x00);
    x1 = _mm_clmulepi64_si128(x1, x0, 0x11);
    x1 = _mm_xor_si128(_mm_xor_si128(x1, x2), x5);
    p += 16;
    n -= 16;
  }
  x2 = _mm_clmulepi64_si128(x1, x0, 0x10);
  x3 = _mm_setr_epi32(~0, 0, ~0, 0);
  x1 = _mm_srli_si128(x1, 8);
  x1 = _mm_xor_si128(x1, x2);
  x0 = _mm_loadl_epi64((const __m128i*)k5k0);
  x2 = _mm_srli_si128(x1, 4);
  x1 = _mm_and_si128(x1, x3);
  x1 = _mm_clmulepi64_si128(x1, x0, 0x00);
  x1 = _mm_xor_si128(x1, x2);
  x0 = _mm_load_si128((const __m128i*)poly);
  x2 = _mm_and_si128(x1, x3);
  x2 = _mm_clmulepi64_si128(x2, x0, 0x10);
  x2 = _mm_and_si128(x2, x3);
  x2 = _mm_clmulepi64_si128(x2, x0, 0x00);
  x1 = _mm_xor_si128(x1, x2);
  return (uint32_t)_mm_extract_epi32(x1, 1);
}

bool _HasClmul() {
  static const bool b = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return b;
}
#endif

} // namespace

uint32_t CRC32_Update(uint32_t Crc, const void* pData, size_t NumBytes) {
  if (pData == nullptr || NumBytes == 0) return Crc;
  const uint8_t* p = static_cast<const uint8_t*>(pData);
#if defined(__x86_64__)
  if (NumBytes >= 64 && _HasClmul()) {
    size_t n = NumBytes & ~(size_t)15;
    Crc = _Clmul(Crc, p, n);
    return _Bytewise(Crc, p + n, NumBytes - n);
  }
#endif
  return _Slice16(Crc, p, NumBytes);
}

uint32_t CRC32_UpdateFill(uint32_t Crc, uint8_t Value, uint64_t NumBytes) {
  uint8_t ab[4096];
  std::memset(ab, Value, sizeof(ab));
  while (NumBytes) {
    size_t n = NumBytes < sizeof(ab) ? (size_t)NumBytes : sizeof(ab);
    Crc = CRC32_Update(Crc, ab, n);
    NumBytes -= n;
  }
  return Crc;
}

uint32_t CRC32_UpdateBytewise(uint32_t Crc, const void* pData, size_t NumBytes) {
  if (pData == nullptr) return Crc;
  return _Bytewise(Crc, static_cast<const uint8_t*>(pData), NumBytes);
}
