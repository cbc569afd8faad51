/*
 * kflc_pack - turns a CMSIS flash algorithm (ELF32, little endian) into a compressed
 * flash-loader image: the "KFLC" header, the table of entry words and the loadable image
 * packed with the LZ77 bit stream the host unpacks.
 *
 *   kflc_pack <algorithm.elf> <image.kflc>
 *
 * Stream: a parameter byte (bits 0-2 w, the base distance width W = w + 2; bits 3-7 the first
 * bits of the stream), then bits least significant first. Token 0 + 8 bits: a literal.
 * Token 1: a match, its length (2-3: 0 + 1 bit; 4-5: 1 1 + 1 bit; 6-259: 1 0 + gamma code),
 * then 3 bits c for the distance (0: the previous one; 1: W bits + 1; 2-7: k = c + W - 2 bits
 * b, 2^k + b + 1). Length 259 ends the stream. The tool unpacks its own result and compares
 * before writing, so a faulty image never reaches the build.
 */
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Bits {
  std::vector<uint8_t> out;
  size_t n = 0; /* bits written */
  void Put(uint32_t v, int k) {
    for (int i = 0; i < k; i++) {
      size_t pos = n + 3; /* the first five bits share byte 0 with w */
      if (pos / 8 >= out.size()) out.push_back(0);
      if ((v >> i) & 1u) out[pos / 8] |= static_cast<uint8_t>(1u << (pos % 8));
      n++;
    }
  }
};

void PutLength(Bits& b, uint32_t len) {
  if (len < 4) {
    b.Put(0, 1);
    b.Put(len - 2, 1);
  } else if (len < 6) {
    b.Put(3, 2); /* 1, 1 */
    b.Put(len - 4, 1);
  } else {
    b.Put(1, 2); /* 1, 0 */
    uint32_t rest = len - 4;
    int k = 1;
    while ((2u << k) <= rest)
      k++;
    uint32_t value = rest - (1u << k);
    for (int i = 0; i < k; i++) {
      b.Put((value >> i) & 1u, 1);
      if ((2u << i) != 128) b.Put(i == k - 1 ? 1 : 0, 1);
    }
  }
}

int LengthBits(uint32_t len) {
  if (len < 6) return len < 4 ? 2 : 3;
  uint32_t rest = len - 4;
  int k = 1;
  while ((2u << k) <= rest)
    k++;
  return 2 + k + (k < 7 ? k : 6);
}

/* Distance code c and its bits for distance d; false when d is out of reach. */
bool DistanceCode(uint32_t d, int W, uint32_t& c, int& k, uint32_t& b) {
  if (d >= 1 && d <= (1u << W)) {
    c = 1;
    k = W;
    b = d - 1;
    return true;
  }
  for (c = 2; c <= 7; c++) {
    k = static_cast<int>(c) + W - 2;
    if (d >= (1u << k) + 1 && d <= (2u << k)) {
      b = d - (1u << k) - 1;
      return true;
    }
  }
  return false;
}

std::vector<uint8_t> Pack(const std::vector<uint8_t>& in, int w) {
  int W = w + 2;
  Bits bits;
  bits.out.push_back(static_cast<uint8_t>(w));
  uint32_t prevDist = 0;
  size_t i = 0;
  while (i < in.size()) {
    uint32_t bestLen = 0, bestDist = 0;
    uint32_t maxDist = std::min<size_t>(i, 2u << (W + 5));
    for (uint32_t d = 1; d <= maxDist; d++) {
      uint32_t l = 0;
      while (l < 258 && i + l < in.size() && in[i + l] == in[i + l - d])
        l++;
      bool better = l > bestLen || (l == bestLen && l >= 2 && d == prevDist);
      if (better) {
        bestLen = l;
        bestDist = d;
      }
    }
    int matchBits = 0;
    uint32_t c = 0, b = 0;
    int k = 0;
    if (bestLen >= 2) {
      if (bestDist == prevDist) {
        matchBits = 1 + LengthBits(bestLen) + 3;
      } else if (DistanceCode(bestDist, W, c, k, b)) {
        matchBits = 1 + LengthBits(bestLen) + 3 + k;
      } else {
        bestLen = 0;
      }
    }
    if (bestLen >= 2 && matchBits < static_cast<int>(9 * bestLen)) {
      bits.Put(1, 1);
      PutLength(bits, bestLen);
      if (bestDist == prevDist) {
        bits.Put(0, 3);
      } else {
        bits.Put(c, 3);
        bits.Put(b, k);
      }
      prevDist = bestDist;
      i += bestLen;
    } else {
      bits.Put(0, 1);
      bits.Put(in[i], 8);
      i++;
    }
  }
  bits.Put(1, 1);
  PutLength(bits, 259);
  return bits.out;
}

/* The host's unpacker, to check the packer against. */
long Unpack(const std::vector<uint8_t>& in, size_t outSize, std::vector<uint8_t>& out) {
  if (in.empty()) return -101;
  uint32_t w = in[0] & 7u;
  if (w == 7) return -104;
  int W = static_cast<int>(w) + 2;
  size_t bitPos = 3, totalBits = in.size() * 8;
  bool over = false;
  auto get = [&](int k) {
    uint32_t v = 0;
    for (int i = 0; i < k; i++, bitPos++) {
      if (bitPos >= totalBits)
        over = true;
      else if ((in[bitPos / 8] >> (bitPos % 8)) & 1u)
        v |= 1u << i;
    }
    return v;
  };
  out.clear();
  uint32_t prev = 0;
  for (;;) {
    if (!get(1)) {
      uint32_t lit = get(8);
      if (over) return -101;
      if (out.size() >= outSize) return -100;
      out.push_back(static_cast<uint8_t>(lit));
      continue;
    }
    uint32_t len;
    if (!get(1))
      len = 2 + get(1);
    else if (get(1))
      len = 4 + get(1);
    else {
      uint32_t value = 0, weight = 1;
      for (;;) {
        if (get(1)) value += weight;
        weight *= 2;
        if (weight == 128 || get(1)) break;
      }
      len = 4 + weight + value;
    }
    if (over) return -101;
    if (len == 259) return static_cast<long>(out.size());
    uint32_t c = get(3), dist;
    if (c == 0)
      dist = prev;
    else if (c == 1)
      dist = get(W) + 1;
    else {
      int k = static_cast<int>(c) + W - 2;
      dist = (1u << k) + get(k) + 1;
    }
    if (over) return -101;
    if (dist == 0 || dist > out.size()) return -105;
    prev = dist;
    if (len > outSize - out.size()) return -100;
    for (uint32_t j = 0; j < len; j++)
      out.push_back(out[out.size() - dist]);
  }
}

template <typename T> T Get(const std::vector<uint8_t>& f, size_t off) {
  T v{};
  if (off + sizeof(T) <= f.size()) memcpy(&v, &f[off], sizeof(T));
  return v;
}

int Fail(const std::string& msg) {
  fprintf(stderr, "kflc_pack: %s\n", msg.c_str());
  return 1;
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 3) return Fail("usage: kflc_pack <algorithm.elf> <image.kflc>");
  FILE* f = fopen(argv[1], "rb");
  if (!f) return Fail(std::string("cannot open ") + argv[1]);
  std::vector<uint8_t> elf;
  uint8_t buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0)
    elf.insert(elf.end(), buf, buf + n);
  fclose(f);
  if (elf.size() < 52 || memcmp(elf.data(), "\177ELF\1\1", 6) != 0)
    return Fail("not a little-endian ELF32 file");
  uint32_t shoff = Get<uint32_t>(elf, 32);
  uint16_t shentsize = Get<uint16_t>(elf, 46), shnum = Get<uint16_t>(elf, 48),
           shstrndx = Get<uint16_t>(elf, 50);
  if (shentsize != 40 || static_cast<size_t>(shoff) + 40u * shnum > elf.size())
    return Fail("bad section table");
  auto sh = [&](int i, int field) { return Get<uint32_t>(elf, shoff + 40u * i + 4u * field); };
  uint32_t strOff = sh(shstrndx, 4);
  auto secName = [&](int i) { return std::string(reinterpret_cast<const char*>(&elf[strOff + sh(i, 0)])); };

  /* Image: every allocated section at its address (the algorithm links at 0). */
  uint32_t lo = 0xFFFFFFFFu, hi = 0, prgData = 0;
  int symtab = -1;
  for (int i = 1; i < shnum; i++) {
    if (sh(i, 1) == 2) symtab = i;
    if ((sh(i, 2) & 2u) && sh(i, 5)) {
      lo = std::min(lo, sh(i, 3));
      hi = std::max(hi, sh(i, 3) + sh(i, 5));
    }
    if (secName(i) == "PrgData") prgData = sh(i, 3);
  }
  if (symtab < 0 || lo != 0 || hi == 0 || hi > 0x80000) return Fail("unexpected layout of the algorithm");
  std::vector<uint8_t> image(hi, 0);
  for (int i = 1; i < shnum; i++)
    if ((sh(i, 2) & 2u) && sh(i, 5) && sh(i, 1) != 8) memcpy(&image[sh(i, 3)], &elf[sh(i, 4)], sh(i, 5));

  struct Entry {
    const char* name;
    uint32_t kind;
  } const kEntries[] = {{"Init", 0},      {"UnInit", 1},     {"EraseSector", 2}, {"ProgramPage", 3},
                        {"EraseChip", 4}, {"BlankCheck", 5}, {"Verify", 6}};
  std::vector<uint32_t> words;
  uint32_t devOff = 0, devSize = 0;
  uint32_t symOff = sh(symtab, 4), symSize = sh(symtab, 5), symStr = sh(sh(symtab, 6), 4);
  for (uint32_t s = 16; s + 16 <= symSize; s += 16) {
    uint32_t nameOff = Get<uint32_t>(elf, symOff + s), value = Get<uint32_t>(elf, symOff + s + 4);
    uint32_t size = Get<uint32_t>(elf, symOff + s + 8);
    uint8_t info = elf[symOff + s + 12];
    std::string name(reinterpret_cast<const char*>(&elf[symStr + nameOff]));
    if (name == "FlashDevice") {
      devOff = value;
      devSize = size;
    }
    if ((info & 0xF) != 2) continue;
    for (const auto& e : kEntries)
      if (name == e.name) words.push_back(e.kind << 24 | (value & 0xFFFFFFu));
  }
  if (!devSize) return Fail("no FlashDevice in the algorithm");

  std::vector<uint8_t> best;
  for (int w = 0; w < 7; w++) {
    std::vector<uint8_t> packed = Pack(image, w), check;
    if (Unpack(packed, image.size(), check) != static_cast<long>(image.size()) || check != image)
      return Fail("the packed stream does not unpack to the image");
    if (best.empty() || packed.size() < best.size()) best = packed;
  }

  std::vector<uint8_t> out = {'K', 'F', 'L', 'C', 0, 0, 0, 0};
  auto put32 = [&](uint32_t v) {
    for (int i = 0; i < 4; i++)
      out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  put32(0); /* link address */
  put32(static_cast<uint32_t>(image.size()));
  put32(devOff);
  put32(devSize);
  put32(prgData);
  put32(static_cast<uint32_t>(words.size()));
  for (uint32_t wd : words)
    put32(wd);
  out.insert(out.end(), best.begin(), best.end());

  std::string tmp = std::string(argv[2]) + ".tmp";
  FILE* o = fopen(tmp.c_str(), "wb");
  if (!o || fwrite(out.data(), 1, out.size(), o) != out.size() || fclose(o) != 0)
    return Fail(std::string("cannot write ") + argv[2]);
  if (rename(tmp.c_str(), argv[2]) != 0) return Fail(std::string("cannot write ") + argv[2]);
  return 0;
}
