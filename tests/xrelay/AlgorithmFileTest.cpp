/* The shipped flash algorithm files: their ELF layout as readelf shows it, their FlashDevice
   descriptors, and the packed loader image that the device database hands over in memory. */
#include "SimHarness.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>

using namespace xrt;

namespace {

struct AlgorithmFile {
  const char* file;
  const char* devName;
  uint32_t devAdr, szDev, toProg, toErase, sectorSize;
  bool hasBlankCheck;
};

const AlgorithmFile kFiles[] = {
    {"flm_main_32k.flm", "AT32F425 Int.Flash", 0x08000000, 0x8000, 1000, 10000, 0x400, false},
    {"flm_main_16k.flm", "AT32F425 Int.Flash", 0x08000000, 0x4000, 1000, 10000, 0x400, false},
    {"flm_main_64k.flm", "AT32F425 Int.Flash", 0x08000000, 0x10000, 1000, 10000, 0x400, false},
    {"flm_bootmem.flm", "AT32F425 BOOTMEM AP.Flash", 0x1FFFE400, 0x1000, 1000, 10000, 0x400, false},
    {"flm_usersys.flm", "AT32F425 Flash user system data", 0x1FFFF800, 0x200, 40000, 1000, 0x200, true},
};

class AlgorithmLayout : public ::testing::TestWithParam<AlgorithmFile> {};

std::string RunCommand(const std::string& cmd) {
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0)
    out.append(buf, n);
  pclose(p);
  return out;
}

TEST_P(AlgorithmLayout, ReadelfShowsTheSectionsSegmentsAndSymbols) {
  std::string path = ProgramDir() + "/" + GetParam().file;
  std::string out = RunCommand("LC_ALL=C readelf -W -S -s -l '" + path + "' 2>&1");
  ASSERT_NE(out.find("Section Headers"), std::string::npos) << out;
  std::smatch m;
  /* [Nr] Name Type Addr Off Size ES Flg ... */
  ASSERT_TRUE(
      std::regex_search(out, m, std::regex(R"(PrgCode\s+PROGBITS\s+00000000\s+\w+\s+(\w+)\s+\w+\s+AX\b)")))
      << out;
  uint32_t codeSize = static_cast<uint32_t>(std::stoul(m[1], nullptr, 16));
  ASSERT_TRUE(
      std::regex_search(out, m, std::regex(R"(PrgData\s+PROGBITS\s+(\w+)\s+\w+\s+000004\s+\w+\s+WA\b)")))
      << out;
  uint32_t dataAddr = static_cast<uint32_t>(std::stoul(m[1], nullptr, 16));
  EXPECT_EQ(dataAddr, (codeSize + 3) & ~3u) << "PrgData follows PrgCode";
  ASSERT_TRUE(
      std::regex_search(out, m, std::regex(R"(DevDscr\s+PROGBITS\s+(\w+)\s+\w+\s+0010a0\s+\w+\s+A\b)")))
      << out;
  EXPECT_EQ(std::stoul(m[1], nullptr, 16), dataAddr + 4) << "DevDscr follows PrgData";
  EXPECT_EQ(out.find(".data"), std::string::npos);
  EXPECT_EQ(out.find(".bss"), std::string::npos);

  EXPECT_NE(out.find("There are 2 program headers"), std::string::npos) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(\n\s+00\s+PrgCode PrgData\s*\n)"))) << out;
  EXPECT_TRUE(std::regex_search(out, std::regex(R"(\n\s+01\s+DevDscr\s*\n)"))) << out;

  EXPECT_TRUE(std::regex_search(out, std::regex(R"(\s4256 OBJECT\s+GLOBAL\s+DEFAULT\s+\d+ FlashDevice\n)")))
      << out;
  std::vector<std::string> functions = {"init_clk",  "uninit_clk",  "Init",       "UnInit",
                                        "EraseChip", "EraseSector", "ProgramPage"};
  for (const auto& f : functions)
    EXPECT_TRUE(std::regex_search(out, std::regex("FUNC\\s+GLOBAL\\s+DEFAULT\\s+\\d+ " + f + "\n"))) << f;
  EXPECT_EQ(std::regex_search(out, std::regex(R"(FUNC\s+GLOBAL\s+DEFAULT\s+\d+ BlankCheck\n)")),
            GetParam().hasBlankCheck);
}

TEST_P(AlgorithmLayout, FlashDeviceHoldsTheTableValues) {
  const AlgorithmFile& f = GetParam();
  Algorithm a = Algorithm::Load(ProgramDir() + "/" + f.file);
  ASSERT_EQ(a.flashDeviceBytes.size(), 4256u);
  const uint8_t* d = a.flashDeviceBytes.data();
  auto u16 = [&](size_t o) { return static_cast<uint32_t>(d[o] | d[o + 1] << 8); };
  auto u32 = [&](size_t o) {
    uint32_t v;
    memcpy(&v, d + o, 4);
    return v;
  };
  EXPECT_EQ(u16(0), 0x0101u);
  EXPECT_STREQ(reinterpret_cast<const char*>(d + 2), f.devName);
  EXPECT_EQ(u16(130), 1u) << "on-chip flash";
  EXPECT_EQ(u32(132), f.devAdr);
  EXPECT_EQ(u32(136), f.szDev);
  EXPECT_EQ(u32(140), 0x400u) << "page size";
  EXPECT_EQ(u32(144), 0u);
  EXPECT_EQ(d[148], 0xFF);
  EXPECT_EQ(u32(152), f.toProg);
  EXPECT_EQ(u32(156), f.toErase);
  EXPECT_EQ(u32(160), f.sectorSize);
  EXPECT_EQ(u32(164), 0u);
  EXPECT_EQ(u32(168), 0xFFFFFFFFu);
  EXPECT_EQ(u32(172), 0xFFFFFFFFu);
  EXPECT_EQ(a.prgData + 4, a.flashDevice);
}

INSTANTIATE_TEST_SUITE_P(At32f425, AlgorithmLayout, ::testing::ValuesIn(kFiles), [](const auto& info) {
  std::string n = info.param.file;
  return n.substr(0, n.find('.'));
});

/* An unpacker written from the stream's description, independent of the packer. */
long Unpack(const uint8_t* in, size_t inSize, uint8_t* out, size_t cap) {
  if (inSize == 0) return -101;
  int w = in[0] & 7;
  if (w == 7) return -104;
  int W = w + 2;
  size_t pos = 3;
  bool short_ = false;
  auto bits = [&](int k) {
    uint32_t v = 0;
    for (int i = 0; i < k; i++, pos++) {
      if (pos >= inSize * 8)
        short_ = true;
      else
        v |= static_cast<uint32_t>((in[pos / 8] >> (pos % 8)) & 1) << i;
    }
    return v;
  };
  size_t n = 0;
  long prev = -1;
  for (;;) {
    if (short_) return -101;
    if (bits(1) == 0) {
      uint32_t b = bits(8);
      if (short_) return -101;
      if (n == cap) return -100;
      out[n++] = static_cast<uint8_t>(b);
      continue;
    }
    uint32_t len;
    if (bits(1) == 0)
      len = 2 + bits(1);
    else if (bits(1) == 1)
      len = 4 + bits(1);
    else {
      uint32_t value = 0, weight = 1;
      for (;;) {
        if (bits(1)) value += weight;
        weight <<= 1;
        if (weight == 128 || bits(1) == 1) break;
      }
      len = 4 + weight + value;
    }
    if (len == 259) return static_cast<long>(n);
    uint32_t c = bits(3);
    long dist = c == 0   ? prev
                : c == 1 ? static_cast<long>(bits(W)) + 1
                         : (1L << (c + W - 2)) + bits(c + W - 2) + 1;
    if (short_) return -101;
    if (dist <= 0 || static_cast<size_t>(dist) > n) return -105;
    prev = dist;
    if (len > cap - n) return -100;
    for (uint32_t i = 0; i < len; i++, n++)
      out[n] = out[n - dist];
  }
}

TEST(PackedLoader, DeviceHandsOverAnImageThatUnpacksToTheAlgorithm) {
  int idx = XRELAYARM_DEVICE_GetIndex("AT32F425R8T7");
  ASSERT_GE(idx, 0);
  auto* loaderDesc = reinterpret_cast<XRELAY_LOADER_DESC_FUNC*>(XRELAY_GetpFunc(XRELAY_PFUNC_LOADER_DESC));
  XRELAYARM_LOADER_DESC desc{};
  desc.SizeOfStruct = sizeof desc;
  ASSERT_EQ(loaderDesc(idx, 0x08000000, 0, "Default", &desc), 0);
  ASSERT_EQ(desc.LoaderKind, 12u);
  ASSERT_NE(desc.pImage, nullptr);
  ASSERT_GT(desc.ImageSize, 32u);
  const uint8_t* img = desc.pImage;
  auto u32 = [&](size_t o) {
    uint32_t v;
    memcpy(&v, img + o, 4);
    return v;
  };
  ASSERT_EQ(memcmp(img, "KFLC", 4), 0);
  EXPECT_EQ(img[6] | img[7] << 8, 0) << "32-bit code, little endian";
  uint32_t size = u32(12), devOff = u32(16), devSize = u32(20), prgData = u32(24), n = u32(28);

  Algorithm elf = Algorithm::Load(ProgramDir() + "/flm_main_64k.flm");
  EXPECT_EQ(u32(8), 0u);
  EXPECT_EQ(devOff, elf.flashDevice);
  EXPECT_EQ(devSize, 4256u);
  EXPECT_EQ(prgData, elf.prgData);
  EXPECT_LT(desc.ImageSize, size) << "the stream is smaller than what it unpacks to";

  std::vector<uint8_t> unpacked(size);
  ASSERT_EQ(Unpack(img + 32 + 4 * n, desc.ImageSize - 32 - 4 * n, unpacked.data(), size),
            static_cast<long>(size));
  std::vector<uint8_t> head(unpacked.begin(), unpacked.begin() + static_cast<long>(elf.image.size()));
  EXPECT_EQ(head, elf.image);
  EXPECT_EQ(std::vector<uint8_t>(unpacked.begin() + devOff, unpacked.end()), elf.flashDeviceBytes);
  EXPECT_EQ(Unpack(img + 32 + 4 * n, desc.ImageSize - 32 - 4 * n, unpacked.data(), size - 1), -100);

  const std::pair<uint32_t, const char*> kinds[] = {
      {0, "Init"}, {1, "UnInit"}, {2, "EraseSector"}, {3, "ProgramPage"}, {4, "EraseChip"}};
  for (const auto& [kind, name] : kinds) {
    bool found = false;
    for (uint32_t i = 0; i < n; i++)
      if (u32(32 + 4 * i) >> 24 == kind) {
        found = true;
        EXPECT_EQ(u32(32 + 4 * i) & 0xFFFFFFu, static_cast<uint32_t>(elf.Entry(name))) << name;
      }
    EXPECT_TRUE(found) << name;
  }
}

} // namespace
