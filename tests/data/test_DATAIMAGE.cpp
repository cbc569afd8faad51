/*
 * The data image: adds and joins, deletes, block search, eliminate, patches, merges, relocation,
 * the image lock, and a random sequence of operations held against a plain byte map.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "DataTestUtil.h"
#include "data/CRC32.h"
#include "data/DATAIMAGE.h"
#include "sys/SYS.h"

using namespace dt;

namespace {

struct Span {
  uint32_t Start;
  uint32_t NumBytes;
  bool operator==(const Span&) const = default;
};
std::ostream& operator<<(std::ostream& o, const Span& s) {
  return o << std::hex << "0x" << s.Start << "+0x" << s.NumBytes;
}

std::vector<Span> Spans(DataImage* p) {
  std::vector<Span> v;
  for (uint32_t i = 0; i < DATAIMAGE_GetNumRanges(p); i++) {
    Span s{};
    EXPECT_NE(DATAIMAGE_GetRange(p, i, &s.Start, &s.NumBytes), nullptr);
    v.push_back(s);
  }
  return v;
}

Bytes Pattern(uint32_t n, uint32_t seed) {
  Bytes b(n);
  for (uint32_t i = 0; i < n; i++) b[i] = (uint8_t)(seed * 31 + i * 7 + (i >> 8));
  return b;
}

} // namespace

// Each case adds blocks in order; the last column is the expected result of the final add.
struct AddCase {
  const char* sName;
  std::vector<Span> aAdd;
  int LastResult;
  std::vector<Span> aExpect;
};

class DataImageAdd : public ::testing::TestWithParam<AddCase> {};

TEST_P(DataImageAdd, RangesAfterAdds) {
  const AddCase& c = GetParam();
  ImagePtr img(DATAIMAGE_Create());
  ImageMap ref;
  int r = 0;
  for (size_t i = 0; i < c.aAdd.size(); i++) {
    Bytes b = Pattern(c.aAdd[i].NumBytes, (uint32_t)i);
    r = DATAIMAGE_AddData(img.get(), c.aAdd[i].Start, c.aAdd[i].NumBytes, b.data());
    if (i + 1 < c.aAdd.size()) {
      ASSERT_EQ(r, 0) << "add " << i;
    }
    if (r == 0) {
      for (uint32_t k = 0; k < b.size(); k++) ref[c.aAdd[i].Start + k] = Bytes{b[k]};
    }
  }
  EXPECT_EQ(r, c.LastResult);
  EXPECT_EQ(Spans(img.get()), c.aExpect);
  // The bytes of every add are where they were put, whatever joins happened.
  for (auto& kv : ref) {
    uint8_t v = 0;
    ASSERT_EQ(DATAIMAGE_GetByte(img.get(), kv.first, &v), 0);
    ASSERT_EQ(v, kv.second[0]) << std::hex << kv.first;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DataImageAdd,
    ::testing::Values(
        AddCase{"AppendJoins", {{0x1000, 0x100}, {0x1100, 0x100}}, 0, {{0x1000, 0x200}}},
        AddCase{"PrependJoins", {{0x1000, 0x100}, {0x1100, 0x100}, {0x0F00, 0x100}}, 0, {{0x0F00, 0x300}}},
        AddCase{"FillsGapJoinsBoth", {{0x1000, 0x10}, {0x1020, 0x1000}, {0x1010, 0x10}}, 0, {{0x1000, 0x1020}}},
        AddCase{"FillsGapLongerFirst", {{0x1000, 0x1000}, {0x2010, 0x10}, {0x2000, 0x10}}, 0, {{0x1000, 0x1020}}},
        AddCase{"OverlapByOneByteFails", {{0x1000, 0x100}, {0x10FF, 0x10}}, -1, {{0x1000, 0x100}}},
        AddCase{"OverlapFromBelowFails", {{0x1000, 0x100}, {0x0FF0, 0x11}}, -1, {{0x1000, 0x100}}},
        AddCase{"InsideFails", {{0x1000, 0x100}, {0x1010, 0x10}}, -1, {{0x1000, 0x100}}},
        AddCase{"SeparateStaySeparate", {{0x3000, 0x10}, {0x1000, 0x10}, {0x2000, 0x10}}, 0,
                {{0x1000, 0x10}, {0x2000, 0x10}, {0x3000, 0x10}}},
        AddCase{"TopOfAddressSpace", {{0xFFFFFFF0, 0x10}}, 0, {{0xFFFFFFF0, 0x10}}},
        AddCase{"WrapPastTopFails", {{0xFFFFFFF0, 0x11}}, -1, {}}),
    [](const auto& info) { return std::string(info.param.sName); });

// Data-less ranges reach the top of the address space without 4 GiB of memory: every way of
// joining (append to the last range, prepend, fill the gap between two) refuses a range that
// would cover all 4 GiB, whose length does not fit.
class DataImageWholeSpace : public ::testing::TestWithParam<AddCase> {};

TEST_P(DataImageWholeSpace, NoRangeCoversAll4GiB) {
  const AddCase& c = GetParam();
  ImagePtr img(DATAIMAGE_Create());
  int r = 0;
  for (const Span& s : c.aAdd) r = DATAIMAGE_AddData(img.get(), s.Start, s.NumBytes, nullptr);
  EXPECT_EQ(r, c.LastResult);
  EXPECT_EQ(Spans(img.get()), c.aExpect);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DataImageWholeSpace,
    ::testing::Values(
        AddCase{"AppendToLast", {{0, 0xFFFFFFFF}, {0xFFFFFFFF, 1}}, -1, {{0, 0xFFFFFFFF}}},
        AddCase{"PrependToFirst", {{1, 0xFFFFFFFF}, {0, 1}}, -1, {{1, 0xFFFFFFFF}}},
        AddCase{"FillTheGap", {{0, 0x80000000}, {0x80000001, 0x7FFFFFFF}, {0x80000000, 1}}, -1,
                {{0, 0x80000000}, {0x80000001, 0x7FFFFFFF}}},
        AddCase{"OneByteShortJoins", {{0, 0x80000000}, {0x80000000, 0x7FFFFFFF}}, 0, {{0, 0xFFFFFFFF}}}),
    [](const auto& info) { return std::string(info.param.sName); });

TEST(DataImage, DataLessAndDataRangesDoNotMix) {
  ImagePtr img(DATAIMAGE_Create());
  ASSERT_EQ(DATAIMAGE_AddData(img.get(), 0x1000, 0x100, nullptr), 0);
  uint8_t b = 1;
  EXPECT_EQ(DATAIMAGE_AddData(img.get(), 0x1100, 1, &b), -1);
  EXPECT_EQ(DATAIMAGE_AddData(img.get(), 0x1100, 0x100, nullptr), 0);
  EXPECT_EQ(Spans(img.get()), (std::vector<Span>{{0x1000, 0x200}}));
  EXPECT_EQ(DATAIMAGE_GetByte(img.get(), 0x1000, &b), -2);
  EXPECT_EQ(DATAIMAGE_GetByte(img.get(), 0x0FFF, &b), -1);
}

struct DeleteCase {
  const char* sName;
  uint32_t First, Last;
  std::vector<Span> aExpect;
};
class DataImageDelete : public ::testing::TestWithParam<DeleteCase> {};

TEST_P(DataImageDelete, FromTwoRanges) {
  const DeleteCase& c = GetParam();
  Bytes a = Pattern(0x200, 1), b = Pattern(0x100, 2);
  ImagePtr img(FromMap({{0x1000, a}, {0x2000, b}}));
  ASSERT_EQ(DATAIMAGE_DeleteRange(img.get(), c.First, c.Last), 0);
  EXPECT_EQ(Spans(img.get()), c.aExpect);
  for (const Span& s : c.aExpect) { // what is left keeps its bytes
    for (uint32_t k = 0; k < s.NumBytes; k++) {
      uint8_t v;
      uint32_t addr = s.Start + k;
      ASSERT_EQ(DATAIMAGE_GetByte(img.get(), addr, &v), 0);
      ASSERT_EQ(v, addr < 0x2000 ? a[addr - 0x1000] : b[addr - 0x2000]);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DataImageDelete,
    ::testing::Values(DeleteCase{"SplitsRange", 0x1080, 0x10FF, {{0x1000, 0x80}, {0x1100, 0x100}, {0x2000, 0x100}}},
                      DeleteCase{"TrimsStart", 0x0F00, 0x107F, {{0x1080, 0x180}, {0x2000, 0x100}}},
                      DeleteCase{"TrimsEnd", 0x1180, 0x1FFF, {{0x1000, 0x180}, {0x2000, 0x100}}},
                      DeleteCase{"AcrossTwo", 0x1100, 0x207F, {{0x1000, 0x100}, {0x2080, 0x80}}},
                      DeleteCase{"Everything", 0, 0xFFFFFFFF, {}},
                      DeleteCase{"Nothing", 0x3000, 0x4000, {{0x1000, 0x200}, {0x2000, 0x100}}}),
    [](const auto& info) { return std::string(info.param.sName); });

struct BlockCase {
  const char* sName;
  std::vector<Span> aRanges;
  uint32_t Addr, Last, MaxGap, MaxSize;
  int StartBits, SizeBits;
  uint32_t ExpectAddr, ExpectLen;
};
class DataImageBlock : public ::testing::TestWithParam<BlockCase> {};

TEST_P(DataImageBlock, BlockAndMask) {
  const BlockCase& c = GetParam();
  ImageMap m;
  for (size_t i = 0; i < c.aRanges.size(); i++) m[c.aRanges[i].Start] = Pattern(c.aRanges[i].NumBytes, (uint32_t)i);
  ImagePtr img(FromMap(m));
  Bytes data(0x20000, 0), mask(0x20000, 7);
  uint32_t addr = 0xDEAD;
  uint32_t n = DATAIMAGE_GetBlock(img.get(), c.Addr, c.Last, c.MaxGap, 0xA5, data.data(), mask.data(), &addr,
                                  c.MaxSize, c.StartBits, c.SizeBits);
  ASSERT_EQ(n, c.ExpectLen);
  if (n == 0) return;
  EXPECT_EQ(addr, c.ExpectAddr);
  for (uint32_t k = 0; k < n; k++) { // data where a range is, the fill value elsewhere
    uint8_t v;
    bool has = DATAIMAGE_GetByte(img.get(), addr + k, &v) == 0;
    ASSERT_EQ(mask[k], has ? 1 : 0) << k;
    ASSERT_EQ(data[k], has ? v : 0xA5) << k;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DataImageBlock,
    ::testing::Values(
        BlockCase{"FirstRangeNoGap", {{0x1000, 0x80}, {0x1100, 0x100}}, 0, 0xFFFFFFFF, 0, 0x10000, 0, 0, 0x1000, 0x80},
        BlockCase{"GapBridged", {{0x1000, 0x80}, {0x1100, 0x100}}, 0, 0xFFFFFFFF, 0x80, 0x10000, 0, 0, 0x1000, 0x200},
        BlockCase{"GapTooWide", {{0x1000, 0x80}, {0x1100, 0x100}}, 0, 0xFFFFFFFF, 0x7F, 0x10000, 0, 0, 0x1000, 0x80},
        BlockCase{"InsideRange", {{0x1000, 0x100}}, 0x1040, 0xFFFFFFFF, 0, 0x10000, 0, 0, 0x1040, 0xC0},
        BlockCase{"CutAtLast", {{0x1000, 0x100}}, 0, 0x107F, 0, 0x10000, 0, 0, 0x1000, 0x80},
        BlockCase{"CutAtMaxSize", {{0x1000, 0x100}}, 0, 0xFFFFFFFF, 0, 0x20, 0, 0, 0x1000, 0x20},
        BlockCase{"Aligned", {{0x1001, 6}}, 0, 0xFFFFFFFF, 0, 0x10000, 2, 2, 0x1000, 8},
        BlockCase{"AlignedCutKeepsEnd", {{0x1002, 0x100}}, 0, 0xFFFFFFFF, 0, 0x20, 2, 3, 0x1000, 0x20},
        BlockCase{"AlignedCutOddStart", {{0x1004, 0x100}}, 0, 0xFFFFFFFF, 0, 0x22, 2, 3, 0x1004, 0x1C},
        BlockCase{"NothingAfter", {{0x1000, 0x100}}, 0x1100, 0xFFFFFFFF, 0, 0x10000, 0, 0, 0, 0},
        BlockCase{"NothingBeforeLast", {{0x1000, 0x100}}, 0, 0xFFF, 0, 0x10000, 0, 0, 0, 0},
        BlockCase{"TopOfSpace", {{0xFFFFFF00, 0x100}}, 0xFFFFFF80, 0xFFFFFFFF, 0, 0x10000, 0, 0, 0xFFFFFF80, 0x80}),
    [](const auto& info) { return std::string(info.param.sName); });

TEST(DataImage, BlockWalkIsSequentialOverManyRanges) {
  // Walking with the block search from address to address visits every range once, in order.
  ImagePtr img(DATAIMAGE_Create());
  for (uint32_t i = 0; i < 2000; i++) DATAIMAGE_Fill(img.get(), i * 0x40, 0x20, (uint8_t)i);
  uint64_t a = 0;
  uint32_t numBlocks = 0;
  for (;;) {
    uint32_t addr;
    uint8_t ab[0x20];
    uint32_t n = DATAIMAGE_GetBlock(img.get(), (uint32_t)a, 0xFFFFFFFF, 0, 0xFF, ab, nullptr, &addr, 0x20, 0, 0);
    if (n == 0) break;
    ASSERT_EQ(addr, numBlocks * 0x40u);
    ASSERT_EQ(ab[0], (uint8_t)numBlocks);
    numBlocks++;
    a = (uint64_t)addr + n;
  }
  EXPECT_EQ(numBlocks, 2000u);
}

TEST(DataImage, EliminateRemovesRunsOfMinimumLength) {
  // Runs of exactly 64 bytes of 0xFF go, a run of 63 stays.
  Bytes b(0x400, 0x11);
  std::fill(b.begin() + 0x100, b.begin() + 0x140, 0xFF); // 64 bytes at 0x1100
  std::fill(b.begin() + 0x200, b.begin() + 0x23F, 0xFF); // 63 bytes at 0x1200
  std::fill(b.begin() + 0x3C0, b.end(), 0xFF);           // 64 bytes at the end
  ImagePtr img(FromMap({{0x1000, b}}));
  ASSERT_EQ(DATAIMAGE_EliminateBlank(img.get(), 64, 2, 2), 0);
  EXPECT_EQ(Spans(img.get()), (std::vector<Span>{{0x1000, 0x100}, {0x1140, 0x280}}));
}

TEST(DataImage, EliminateDoesNotJoinRunsAcrossGaps) {
  // 40 bytes of 0xFF before a gap and 40 after it are two runs below the minimum.
  ImagePtr img(DATAIMAGE_Create());
  DATAIMAGE_Fill(img.get(), 0x1000, 0x28, 0xFF);
  DATAIMAGE_Fill(img.get(), 0x8000, 0x28, 0xFF);
  DATAIMAGE_Fill(img.get(), 0x8028, 0x10, 0x00);
  ASSERT_EQ(DATAIMAGE_EliminateBlank(img.get(), 64, 2, 2), 0);
  EXPECT_EQ(Spans(img.get()), (std::vector<Span>{{0x1000, 0x28}, {0x8000, 0x38}}));
}

TEST(DataImage, PatchesLayerOverRangesUntilApplied) {
  ImagePtr img(FromMap({{0x100, Bytes{1, 2, 3, 4}}}));
  uint8_t v = 0;
  DATAIMAGE_SetPatch8(img.get(), 0x200, 0x55); // no data there
  EXPECT_EQ(DATAIMAGE_GetByte(img.get(), 0x200, &v), 1);
  EXPECT_EQ(v, 0x55);
  EXPECT_EQ(DATAIMAGE_SetPatch8(img.get(), 0x101, 0x20), 1);
  EXPECT_EQ(DATAIMAGE_SetPatch8(img.get(), 0x101, 0x21), 2); // the later one counts
  EXPECT_EQ(DATAIMAGE_GetByte(img.get(), 0x101, &v), 1);
  EXPECT_EQ(v, 0x21);
  uint32_t w = 0;
  EXPECT_EQ(DATAIMAGE_GetU32(img.get(), 0x100, &w), 1);
  EXPECT_EQ(w, 0x04032101u);
  EXPECT_EQ(DATAIMAGE_GetU32(img.get(), 0x101, &w), -1); // 0x104 has no data
  EXPECT_EQ(DATAIMAGE_SetPatch16(img.get(), 0x102, 0xBBAA), 3);
  uint16_t h = 0;
  EXPECT_EQ(DATAIMAGE_GetU16(img.get(), 0x102, &h), 1);
  EXPECT_EQ(h, 0xBBAA);
  Bytes r(6);
  DATAIMAGE_Read(img.get(), 0xFF, 6, r.data(), 0xEE);
  EXPECT_EQ(r, (Bytes{0xEE, 1, 0x21, 0xAA, 0xBB, 0xEE}));
  uint32_t crcPatched = DATAIMAGE_CalcCRC(img.get());
  ASSERT_EQ(DATAIMAGE_ApplyPatches(img.get()), 0);
  EXPECT_FALSE(DATAIMAGE_IsModified(img.get()));
  EXPECT_EQ(DATAIMAGE_GetNumPatches(img.get()), 0u);
  EXPECT_EQ(DATAIMAGE_GetByte(img.get(), 0x200, &v), 0);
  EXPECT_EQ(v, 0x55);
  EXPECT_EQ(ToMap(img.get()), (ImageMap{{0x100, Bytes{1, 0x21, 0xAA, 0xBB}}, {0x200, Bytes{0x55}}}));
  // The CRC counts patches inside ranges, not the one that had no range yet.
  ImagePtr ref(FromMap({{0x100, Bytes{1, 0x21, 0xAA, 0xBB}}}));
  EXPECT_EQ(crcPatched, DATAIMAGE_CalcCRC(ref.get()));
}

TEST(DataImage, PatchesThatCannotBeFoldedStay) {
  // A data-less image cannot take a data byte for a patch outside its ranges: the fold fails,
  // and the edit must not vanish while the image claims to be unmodified.
  ImagePtr img(DATAIMAGE_Create());
  ASSERT_EQ(DATAIMAGE_AddData(img.get(), 0x1000, 0x10, nullptr), 0);
  DATAIMAGE_SetPatch8(img.get(), 0x2000, 0x55);
  uint32_t counter = DATAIMAGE_GetChangeCounter(img.get());
  EXPECT_EQ(DATAIMAGE_ApplyPatches(img.get()), -1);
  EXPECT_EQ(DATAIMAGE_GetNumPatches(img.get()), 1u);
  EXPECT_EQ(DATAIMAGE_GetChangeCounter(img.get()), counter);
  uint8_t v = 0;
  EXPECT_EQ(DATAIMAGE_GetByte(img.get(), 0x2000, &v), 1);
  EXPECT_EQ(v, 0x55);
  EXPECT_EQ(Spans(img.get()), (std::vector<Span>{{0x1000, 0x10}}));
}

TEST(DataImage, RemovePatchAndWritePatched) {
  ImagePtr img(FromMap({{0x10, Bytes{1, 2, 3}}}));
  DATAIMAGE_SetPatch8(img.get(), 0x11, 9);
  DATAIMAGE_SetPatch8(img.get(), 0x11, 8);
  DATAIMAGE_RemovePatch(img.get(), 0x11);
  uint8_t v = 0;
  EXPECT_EQ(DATAIMAGE_GetByte(img.get(), 0x11, &v), 0);
  EXPECT_EQ(v, 2);
  uint8_t same[] = {1, 2, 3};
  EXPECT_FALSE(DATAIMAGE_WritePatched(img.get(), 0x10, 3, same));
  uint8_t other[] = {1, 7, 3, 4, 5};
  EXPECT_TRUE(DATAIMAGE_WritePatched(img.get(), 0x10, 5, other));
  EXPECT_EQ(DATAIMAGE_GetNumPatches(img.get()), 1u);                         // 0x11 differs
  EXPECT_EQ(Spans(img.get()), (std::vector<Span>{{0x10, 5}}));               // 0x13, 0x14 added
  EXPECT_EQ(DATAIMAGE_GetByte(img.get(), 0x11, &v), 1);
}

TEST(DataImage, MergeRefusesOverlapAndLeavesDestination) {
  ImagePtr dst(FromMap({{0x1000, Pattern(0x100, 1)}}));
  ImagePtr src(FromMap({{0x0800, Pattern(0x10, 2)}, {0x10FF, Pattern(2, 3)}}));
  ImageMap before = ToMap(dst.get());
  EXPECT_EQ(DATAIMAGE_Merge(dst.get(), src.get()), 1);
  EXPECT_EQ(ToMap(dst.get()), before);
  EXPECT_TRUE(DATAIMAGE_Overlaps(dst.get(), src.get()));
}

TEST(DataImage, MergeAddsRangesAndPatchesInsideThem) {
  ImagePtr dst(FromMap({{0x1000, Bytes{1, 2}}}));
  ImagePtr src(DATAIMAGE_Create());
  DATAIMAGE_AddData(src.get(), 0x1002, 2, Bytes{3, 4}.data());
  DATAIMAGE_SetPatch8(src.get(), 0x1003, 0x44); // inside a source range: merged
  DATAIMAGE_SetPatch8(src.get(), 0x5000, 0x55); // outside: dropped
  EXPECT_FALSE(DATAIMAGE_Overlaps(dst.get(), src.get()));
  ASSERT_EQ(DATAIMAGE_Merge(dst.get(), src.get()), 0);
  EXPECT_EQ(ToMap(dst.get()), (ImageMap{{0x1000, Bytes{1, 2, 3, 0x44}}}));
  uint8_t v;
  EXPECT_EQ(DATAIMAGE_GetByte(dst.get(), 0x5000, &v), -1);
  // A data-less source becomes 0xFF bytes.
  ImagePtr sectors(DATAIMAGE_Create());
  DATAIMAGE_AddData(sectors.get(), 0x2000, 4, nullptr);
  ASSERT_EQ(DATAIMAGE_Merge(dst.get(), sectors.get()), 0);
  EXPECT_EQ(ToMap(dst.get())[0x2000], (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(DataImage, MergeMaskedCutsToTheMask) {
  ImagePtr src(FromMap({{0x0F00, Pattern(0x300, 5)}, {0x3000, Pattern(0x10, 6)}}));
  DATAIMAGE_SetPatch8(src.get(), 0x1010, 0xAB); // inside the mask
  DATAIMAGE_SetPatch8(src.get(), 0x0F00, 0xCD); // outside
  ImagePtr mask(DATAIMAGE_Create());
  DATAIMAGE_AddData(mask.get(), 0x1000, 0x100, nullptr);
  DATAIMAGE_AddData(mask.get(), 0x1180, 0x1000, nullptr);
  DATAIMAGE_SetPatch8(mask.get(), 0x3004, 0); // the source's byte there becomes a patch
  ImagePtr dst(DATAIMAGE_Create());
  EXPECT_EQ(DATAIMAGE_MergeMasked(dst.get(), src.get(), mask.get()), 0x100 + 0x80);
  EXPECT_EQ(Spans(dst.get()), (std::vector<Span>{{0x1000, 0x100}, {0x1180, 0x80}}));
  EXPECT_EQ(DATAIMAGE_GetNumPatches(dst.get()), 2u);
  uint8_t v;
  EXPECT_EQ(DATAIMAGE_GetByte(dst.get(), 0x1010, &v), 1);
  EXPECT_EQ(v, 0xAB);
  EXPECT_EQ(DATAIMAGE_GetByte(dst.get(), 0x3004, &v), 1);
  EXPECT_EQ(v, Pattern(0x10, 6)[4]);
}

TEST(DataImage, RelocateMovesRangesAndPatchesButNeverAcrossTheEnds) {
  ImagePtr img(FromMap({{0x1000, Bytes{1, 2}}, {0x2000, Bytes{3}}}));
  DATAIMAGE_SetPatch8(img.get(), 0x2000, 9);
  ASSERT_EQ(DATAIMAGE_Relocate(img.get(), 0x08000000), 0);
  EXPECT_EQ(Spans(img.get()), (std::vector<Span>{{0x08001000, 2}, {0x08002000, 1}}));
  uint8_t v;
  EXPECT_EQ(DATAIMAGE_GetByte(img.get(), 0x08002000, &v), 1);
  ASSERT_EQ(DATAIMAGE_Relocate(img.get(), -0x08000000), 0);
  EXPECT_EQ(DATAIMAGE_Relocate(img.get(), -0x1001), -1);
  EXPECT_EQ(DATAIMAGE_Relocate(img.get(), (int32_t)(0xFFFFF000u - 0x1000u)), -1);
  EXPECT_EQ(Spans(img.get()), (std::vector<Span>{{0x1000, 2}, {0x2000, 1}}));
}

TEST(DataImage, ContainmentQueries) {
  ImagePtr sectors(DATAIMAGE_Create());
  DATAIMAGE_AddData(sectors.get(), 0x08000000, 0x10000, nullptr);
  ImagePtr data(FromMap({{0x100, Pattern(0x100, 1)}, {0xF000, Pattern(0x1000, 2)}}));
  EXPECT_EQ(DATAIMAGE_FindUncontained(sectors.get(), data.get(), 0), 0);
  EXPECT_EQ(DATAIMAGE_FindUncontained(sectors.get(), data.get(), 0x08000000), -1);
  EXPECT_EQ(DATAIMAGE_FindUncontained(sectors.get(), data.get(), 0x08000001), 1);
  EXPECT_TRUE(DATAIMAGE_ContainsBlock(data.get(), 0x100, 0x100));
  EXPECT_FALSE(DATAIMAGE_ContainsBlock(data.get(), 0x100, 0x101));
  EXPECT_TRUE(DATAIMAGE_IntersectsRange(data.get(), 0x1FF, 0x1FF));
  EXPECT_FALSE(DATAIMAGE_IntersectsRange(data.get(), 0x200, 0xEFFF));
  ImagePtr empty(DATAIMAGE_Create());
  EXPECT_EQ(DATAIMAGE_FindUncontained(sectors.get(), empty.get(), 0), -1);
  EXPECT_EQ(DATAIMAGE_GetStartAddr(empty.get()), 0u);
  EXPECT_EQ(DATAIMAGE_GetEndAddr(data.get()), 0xFFFFu);
  EXPECT_EQ(DATAIMAGE_GetNumBytes(data.get()), 0x1100u);
}

TEST(DataImage, ChangeCounter) {
  ImagePtr img(DATAIMAGE_Create());
  EXPECT_TRUE(DATAIMAGE_IsModified(img.get()));
  DATAIMAGE_SetChangeCounter(img.get(), 0);
  EXPECT_FALSE(DATAIMAGE_IsModified(img.get()));
  DATAIMAGE_Fill(img.get(), 0, 1, 0);
  EXPECT_TRUE(DATAIMAGE_IsModified(img.get()));
  EXPECT_EQ(DataImageAccessTable()->pfGetByte, &DATAIMAGE_GetByte);
  EXPECT_EQ(DataImageAccessTable()->pfSetPatch32, &DATAIMAGE_SetPatch32);
}

TEST(DataImage, OperationsLeaveTheImageAloneWithoutTheLock) {
  ImagePtr img(FromMap({{0x1000, Bytes{1, 2, 3}}}));
  DATAIMAGE_SetLockTimeout(50);
  std::atomic<bool> held{false}, release{false};
  std::thread t([&] {
    DATAIMAGE_Lock(img.get());
    held = true;
    while (!release) std::this_thread::yield();
    DATAIMAGE_Unlock(img.get());
  });
  while (!held) std::this_thread::yield();
  uint8_t b = 9;
  EXPECT_EQ(DATAIMAGE_AddData(img.get(), 0x1003, 1, &b), DATAIMAGE_ERR_LOCK);
  EXPECT_EQ(DATAIMAGE_DeleteRange(img.get(), 0, 0xFFFFFFFF), DATAIMAGE_ERR_LOCK);
  EXPECT_EQ(DATAIMAGE_GetByte(img.get(), 0x1000, &b), -1);
  EXPECT_EQ(DATAIMAGE_GetBlock(img.get(), 0, 0xFFFFFFFF, 0, 0xFF, nullptr, nullptr, nullptr, 0x100, 0, 0), 0u);
  release = true;
  t.join();
  DATAIMAGE_SetLockTimeout(DATAIMAGE_LOCK_TIMEOUT_MS);
  EXPECT_EQ(ToMap(img.get()), (ImageMap{{0x1000, Bytes{1, 2, 3}}}));
}

TEST(DataImage, CrosswiseMergesDoNotBlockEachOther) {
  // One thread merges B into A while another merges A into B. The second thread already holds A
  // (as a merge does while it works) when the first starts; a lock taken in argument order would
  // let the first hold B and wait for A, and both would time out.
  ImagePtr a(FromMap({{0x1000, Bytes{1}}}));
  ImagePtr b(DATAIMAGE_Create()); // created after A
  ImagePtr empty(DATAIMAGE_Create());
  DATAIMAGE_SetLockTimeout(1000);
  std::atomic<bool> held{false};
  int resultA = -1, resultB = -1;
  std::thread t([&] {
    DATAIMAGE_Lock(a.get());
    held = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // the other merge is waiting now
    resultA = DATAIMAGE_Merge(a.get(), b.get());
    DATAIMAGE_Unlock(a.get());
  });
  while (!held) std::this_thread::yield();
  resultB = DATAIMAGE_Merge(b.get(), a.get());
  t.join();
  DATAIMAGE_SetLockTimeout(DATAIMAGE_LOCK_TIMEOUT_MS);
  EXPECT_EQ(resultA, 0);
  EXPECT_EQ(resultB, 0);
  EXPECT_EQ(ToMap(b.get()), (ImageMap{{0x1000, Bytes{1}}}));
  // An image named twice is locked once.
  EXPECT_EQ(DATAIMAGE_Merge(empty.get(), empty.get()), 0);
  EXPECT_FALSE(DATAIMAGE_Overlaps(empty.get(), empty.get()));
}

TEST(DataImage, DeleteLeavesAnImageInUseAlone) {
  const char* sTag = "DATAIMAGE: image";
  int numImages = SYS_MEM_CountBlocks(sTag);
  DataImage* p = FromMap({{0x1000, Bytes{1, 2, 3}}});
  uint32_t start = 0, len = 0;
  // What GetRange hands out stays valid after the lock is given back: it is not the range.
  EXPECT_EQ(DATAIMAGE_GetRange(p, 0, &start, &len), static_cast<const void*>(p));
  DATAIMAGE_SetLockTimeout(50);
  std::atomic<bool> held{false}, deleted{false};
  uint32_t numBytes = 0;
  std::thread t([&] {
    DATAIMAGE_Lock(p);
    held = true;
    while (!deleted) std::this_thread::yield();
    numBytes = DATAIMAGE_GetNumBytes(p); // still this thread's image
    DATAIMAGE_Unlock(p);
  });
  while (!held) std::this_thread::yield();
  DATAIMAGE_Delete(p); // times out: must not free
  EXPECT_EQ(SYS_MEM_CountBlocks(sTag), numImages + 1);
  deleted = true;
  t.join();
  DATAIMAGE_SetLockTimeout(DATAIMAGE_LOCK_TIMEOUT_MS);
  EXPECT_EQ(numBytes, 3u);
  DATAIMAGE_Delete(p);
  EXPECT_EQ(SYS_MEM_CountBlocks(sTag), numImages);
}

TEST(DataImage, RandomOperationsMatchAByteMap) {
  // Adds, fills, writes, deletes and patches in random order against a plain map of bytes.
  std::mt19937 rng(1234);
  ImagePtr img(DATAIMAGE_Create());
  std::map<uint32_t, uint8_t> ref;
  std::map<uint32_t, uint8_t> patches;
  auto rnd = [&](uint32_t n) { return (uint32_t)(rng() % n); };
  for (int step = 0; step < 3000; step++) {
    uint32_t a = rnd(0x4000), n = 1 + rnd(0x80);
    Bytes b = Pattern(n, (uint32_t)step);
    switch (rnd(5)) {
    case 0:
    case 1: {
      bool free = true;
      for (uint32_t k = 0; k < n; k++) free = free && !ref.count(a + k);
      ASSERT_EQ(DATAIMAGE_AddData(img.get(), a, n, b.data()), free ? 0 : -1);
      if (free) {
        for (uint32_t k = 0; k < n; k++) ref[a + k] = b[k];
      }
      break;
    }
    case 2:
      ASSERT_EQ(DATAIMAGE_WriteBytes(img.get(), a, n, b.data()), 0);
      for (uint32_t k = 0; k < n; k++) ref[a + k] = b[k];
      break;
    case 3:
      ASSERT_EQ(DATAIMAGE_DeleteRange(img.get(), a, a + n - 1), 0);
      for (uint32_t k = 0; k < n; k++) ref.erase(a + k);
      break;
    case 4:
      DATAIMAGE_SetPatch8(img.get(), a, (uint8_t)step);
      patches[a] = (uint8_t)step;
      break;
    }
  }
  // Ranges never touch and hold exactly the reference bytes.
  std::vector<Span> spans = Spans(img.get());
  for (size_t i = 1; i < spans.size(); i++) ASSERT_LT((uint64_t)spans[i - 1].Start + spans[i - 1].NumBytes, spans[i].Start);
  size_t numBytes = 0;
  for (const Span& s : spans) numBytes += s.NumBytes;
  ASSERT_EQ(numBytes, ref.size());
  for (uint32_t a = 0; a < 0x4100; a++) {
    uint8_t v = 0;
    int r = DATAIMAGE_GetByte(img.get(), a, &v);
    if (patches.count(a)) {
      ASSERT_EQ(r, 1);
      ASSERT_EQ(v, patches[a]);
    } else if (ref.count(a)) {
      ASSERT_EQ(r, 0) << a;
      ASSERT_EQ(v, ref[a]) << a;
    } else {
      ASSERT_EQ(r, -1) << a;
    }
  }
  ASSERT_EQ(DATAIMAGE_ApplyPatches(img.get()), 0);
  for (auto& kv : patches) ref[kv.first] = kv.second;
  Bytes all(0x4100);
  DATAIMAGE_Read(img.get(), 0, (uint32_t)all.size(), all.data(), 0xEE);
  for (uint32_t a = 0; a < all.size(); a++) ASSERT_EQ(all[a], ref.count(a) ? ref[a] : 0xEE) << a;
}

TEST(DataImage, DescendingAndRandomLoadsJoinIntoOneRange) {
  // Records of 16 bytes in descending and in shuffled order end as one range of the right bytes.
  const uint32_t N = 5000;
  Bytes all = Pattern(N * 16, 9);
  std::vector<uint32_t> order(N);
  for (uint32_t i = 0; i < N; i++) order[i] = N - 1 - i;
  for (int pass = 0; pass < 2; pass++) {
    if (pass == 1) std::shuffle(order.begin(), order.end(), std::mt19937(7));
    ImagePtr img(DATAIMAGE_Create());
    for (uint32_t i : order) ASSERT_EQ(DATAIMAGE_AddData(img.get(), 0x20000000 + i * 16, 16, &all[i * 16]), 0);
    EXPECT_EQ(ToMap(img.get()), (ImageMap{{0x20000000, all}}));
  }
}

TEST(Crc32, KnownValuesAndChaining) {
  EXPECT_EQ(CRC32_Update(0, "abc", 3), 0xCA6598D0u);
  EXPECT_EQ(CRC32_Update(0, "", 0), 0u);
  EXPECT_EQ(CRC32_Update(CRC32_Update(0, "a", 1), "bc", 2), 0xCA6598D0u);
  // Every length and alignment around the fast paths' block sizes gives the byte-wise result.
  Bytes b = Pattern(4096 + 64, 3);
  for (size_t off = 0; off < 17; off++) {
    for (size_t n = 0; n < 400; n += (n < 140 ? 1 : 37)) {
      ASSERT_EQ(CRC32_Update(0x12345678, b.data() + off, n), CRC32_UpdateBytewise(0x12345678, b.data() + off, n))
          << off << " " << n;
    }
  }
  EXPECT_EQ(CRC32_Update(0, b.data(), b.size()), CRC32_UpdateBytewise(0, b.data(), b.size()));
  Bytes ff(10000, 0xFF);
  EXPECT_EQ(CRC32_UpdateFill(5, 0xFF, ff.size()), CRC32_UpdateBytewise(5, ff.data(), ff.size()));
}

TEST(Crc32, ImageCrcIgnoresWhereTheBytesLie) {
  ImagePtr one(FromMap({{0x100, Bytes{'a', 'b', 'c'}}}));
  ImagePtr two(FromMap({{0x08000000, Bytes{'a'}}, {0xF0000000, Bytes{'b', 'c'}}}));
  ImagePtr empty(DATAIMAGE_Create());
  EXPECT_EQ(DATAIMAGE_CalcCRC(one.get()), 0xCA6598D0u);
  EXPECT_EQ(DATAIMAGE_CalcCRC(two.get()), 0xCA6598D0u);
  EXPECT_EQ(DATAIMAGE_CalcCRC(empty.get()), 0u);
}
