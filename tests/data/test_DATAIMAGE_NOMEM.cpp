/*
 * The data image when memory runs out part-way through an operation: the image is left as it
 * was (a merge) or reads as it did with its patches kept (folding patches). The allocations of
 * the data sources are wrapped at link time (-Wl,--wrap), so that a chosen kind of block fails.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "DataTestUtil.h"
#include "data/DATAFILE.h"
#include "data/DATAIMAGE.h"

using namespace dt;

// The linker wraps the symbol of SYS_MEM_Alloc(size_t, const char*): calls from the data sources
// reach the wrapper, which reaches the real function under its __real_ name.
#define TFORGE_ALLOC_SYMBOL "_Z13SYS_MEM_AllocmPKc"
static_assert(sizeof(size_t) == sizeof(unsigned long), "the symbol names size_t as unsigned long");
void* RealAlloc(size_t NumBytes, const char* sTag) __asm__("__real_" TFORGE_ALLOC_SYMBOL);
void* WrapAlloc(size_t NumBytes, const char* sTag) __asm__("__wrap_" TFORGE_ALLOC_SYMBOL);

namespace {
const char* _sFailTag = nullptr; // allocations with this tag fail
} // namespace

void* WrapAlloc(size_t NumBytes, const char* sTag) {
  if (_sFailTag && sTag && std::strcmp(sTag, _sFailTag) == 0) return nullptr;
  return RealAlloc(NumBytes, sTag);
}

namespace {

struct FailAllocs {
  explicit FailAllocs(const char* sTag) { _sFailTag = sTag; }
  ~FailAllocs() { _sFailTag = nullptr; }
};

TEST(DataImageNoMemory, MergeWhosePatchesCannotBeAddedChangesNothing) {
  ImagePtr dst(FromMap({{0x1000, Bytes{1, 2}}}));
  DATAIMAGE_SetChangeCounter(dst.get(), 0);
  ImagePtr src(FromMap({{0x2000, Bytes{3, 4}}}));
  DATAIMAGE_SetPatch8(src.get(), 0x2001, 0x44);
  {
    FailAllocs fail("DATAIMAGE: patches");
    EXPECT_EQ(DATAIMAGE_Merge(dst.get(), src.get()), 1);
  }
  EXPECT_EQ(ToMap(dst.get()), (ImageMap{{0x1000, Bytes{1, 2}}}));
  EXPECT_EQ(DATAIMAGE_GetNumPatches(dst.get()), 0u);
  EXPECT_FALSE(DATAIMAGE_IsModified(dst.get()));
}

TEST(DataImageNoMemory, MergeUndoesPatchesThatHidOthers) {
  // The source patches an address the destination patches too, then one the destination does
  // not know, for which the patch index needs a new chunk of nodes; the merge fails there and
  // must bring back the value its first patch hid.
  ImagePtr dst(FromMap({{0x1000, Bytes{1, 2}}}));
  DATAIMAGE_SetPatch8(dst.get(), 0x3000, 0x11);
  for (uint32_t i = 0; DATAIMAGE_GetNumPatches(dst.get()) < 256; i++) { // a full chunk of 256
    DATAIMAGE_SetPatch8(dst.get(), 0x100000 + i, 0);
  }
  ImagePtr src(FromMap({{0x3000, Bytes{5}}, {0x5000, Bytes{6}}}));
  DATAIMAGE_SetPatch8(src.get(), 0x3000, 0x22);
  DATAIMAGE_SetPatch8(src.get(), 0x5000, 0x33);
  uint32_t counter = DATAIMAGE_GetChangeCounter(dst.get());
  ImageMap before = ToMap(dst.get());
  {
    FailAllocs fail("DATAIMAGE: patch index");
    EXPECT_EQ(DATAIMAGE_Merge(dst.get(), src.get()), 1);
  }
  EXPECT_EQ(ToMap(dst.get()), before);
  EXPECT_EQ(DATAIMAGE_GetNumPatches(dst.get()), 256u);
  EXPECT_EQ(DATAIMAGE_GetChangeCounter(dst.get()), counter);
  uint8_t v = 0;
  EXPECT_EQ(DATAIMAGE_GetByte(dst.get(), 0x3000, &v), 1);
  EXPECT_EQ(v, 0x11);
  EXPECT_EQ(DATAIMAGE_GetByte(dst.get(), 0x5000, &v), -1);
}

TEST(DataImageNoMemory, FoldThatCannotAddARangeKeepsThePatches) {
  ImagePtr img(FromMap({{0x100, Bytes{1, 2, 3, 4}}}));
  DATAIMAGE_SetPatch8(img.get(), 0x101, 0x21);
  DATAIMAGE_SetPatch8(img.get(), 0x200, 0x55); // no range there: the fold must add one
  uint32_t counter = DATAIMAGE_GetChangeCounter(img.get());
  {
    FailAllocs fail("DATAIMAGE: range data");
    EXPECT_EQ(DATAIMAGE_ApplyPatches(img.get()), -1);
  }
  EXPECT_EQ(DATAIMAGE_GetNumPatches(img.get()), 2u);
  EXPECT_EQ(DATAIMAGE_GetChangeCounter(img.get()), counter);
  uint8_t v = 0;
  EXPECT_EQ(DATAIMAGE_GetByte(img.get(), 0x200, &v), 1);
  EXPECT_EQ(v, 0x55);
  // With memory back the fold goes through.
  ASSERT_EQ(DATAIMAGE_ApplyPatches(img.get()), 0);
  EXPECT_FALSE(DATAIMAGE_IsModified(img.get()));
  EXPECT_EQ(ToMap(img.get()), (ImageMap{{0x100, Bytes{1, 0x21, 3, 4}}, {0x200, Bytes{0x55}}}));
}

using DataImageNoMemorySave = TempDirTest;

TEST_F(DataImageNoMemorySave, SaveWhosePatchesCannotBeFoldedWritesNothing) {
  ImagePtr img(FromMap({{0x100, Bytes{1, 2, 3, 4}}}));
  DATAIMAGE_SetPatch8(img.get(), 0x200, 0x55); // outside every range: lost if not folded
  WriteFile(Path("old.bin"), "old contents");
  MsgLog log;
  {
    FailAllocs fail("DATAIMAGE: range data");
    EXPECT_EQ(DATAFILE_Write(img.get(), Path("new.hex").c_str(), 0, 0, &MsgLog::Func, &log), -1);
    EXPECT_EQ(DATAFILE_Write(img.get(), Path("old.bin").c_str(), 0, 0, &MsgLog::Func, &log), -1);
  }
  EXPECT_FALSE(std::filesystem::exists(Path("new.hex")));
  EXPECT_EQ(ReadFile(Path("old.bin")), "old contents");
  EXPECT_EQ(log.Errors(), "Insufficient memory!|Insufficient memory!");
  EXPECT_TRUE(DATAIMAGE_IsModified(img.get()));
}

} // namespace
