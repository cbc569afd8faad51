// Test data: what fits into the selected sectors, the counting words in both byte orders, the
// start-up stubs, and the job with its messages.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "data/DATAIMAGE.h"
#include "data/DATAJOBS.h"
#include "project/PROJECT.h"
#include "project/SETFILE.h"
#include "project/TESTDATA.h"
#include "sys/UTIL.h"
#include "tests/FakeGUI.h"

namespace {

struct Range {
  uint32_t Start, Len;
  bool operator==(const Range& o) const { return Start == o.Start && Len == o.Len; }
};

DataImage* Layout(const std::vector<Range>& a) {
  DataImage* p = DATAIMAGE_Create();
  for (const Range& r : a)
    DATAIMAGE_AddData(p, r.Start, r.Len, nullptr);
  return p;
}

std::vector<Range> Ranges(DataImage* p) {
  std::vector<Range> a;
  for (uint32_t i = 0; i < DATAIMAGE_GetNumRanges(p); i++) {
    Range r;
    DATAIMAGE_GetRange(p, i, &r.Start, &r.Len);
    a.push_back(r);
  }
  return a;
}

std::vector<uint8_t> Bytes(DataImage* p, uint32_t Addr, uint32_t n) {
  std::vector<uint8_t> v(n);
  DATAIMAGE_Read(p, Addr, n, v.data(), 0xEE);
  return v;
}

TEST(TestData, LayoutIsCutToStartAndSize) {
  const std::vector<Range> Sectors = {{0x1000, 0x1000}, {0x3000, 0x800}};
  struct {
    uint32_t Start, Size;
    int Result;
    std::vector<Range> Left;
  } aCase[] = {
      {0, 0x1800, 0, {{0x1000, 0x1000}, {0x3000, 0x800}}},
      {0, 0x1000, 0, {{0x1000, 0x1000}}},
      {0, 0x1001, 0, {{0x1000, 0x1000}, {0x3000, 1}}},
      {0, 0x100000, 1, {{0x1000, 0x1000}, {0x3000, 0x800}}},
      {0x1800, 0x400, 0, {{0x1800, 0x400}}},
      {0x3400, 0x1000, 1, {{0x3400, 0x400}}},
      {0x4000, 0x100, -1, {}},
  };
  for (const auto& c : aCase) {
    DataImage* p = Layout(Sectors);
    EXPECT_EQ(TESTDATA_FitLayout(p, c.Start, c.Size), c.Result) << std::hex << c.Start << " " << c.Size;
    EXPECT_TRUE(Ranges(p) == c.Left) << std::hex << c.Start << " " << c.Size;
    DATAIMAGE_Delete(p);
  }
  DataImage* p = Layout({});
  EXPECT_EQ(TESTDATA_FitLayout(p, 0, 0x100), -1) << "no sector selected";
  DATAIMAGE_Delete(p);
}

TEST(TestData, WordsCountAcrossRangesInTheProjectsByteOrder) {
  for (bool Big : {false, true}) {
    DataImage* pLayout = Layout({{0x100, 6}, {0x200, 8}, {0x20000, 0x10008}});
    DataImage* pResult = DATAIMAGE_Create();
    ASSERT_EQ(TESTDATA_Fill(pLayout, pResult, Big, 0xFFFFFFF0, TESTDATA_STUB_NONE, nullptr, nullptr), 0);
    auto Word = [&](uint32_t v) {
      std::vector<uint8_t> b(4);
      for (int i = 0; i < 4; i++)
        b[i] = (uint8_t)(v >> (Big ? 24 - 8 * i : 8 * i));
      return b;
    };
    std::vector<uint8_t> First = Word(0), Second = Word(1);
    First.insert(First.end(), Second.begin(), Second.begin() + 2); // the last word is cut, yet counts
    EXPECT_EQ(Bytes(pResult, 0x100, 6), First) << Big;
    EXPECT_EQ(Bytes(pResult, 0x200, 4), Word(2)) << Big;
    EXPECT_EQ(Bytes(pResult, 0x204, 4), Word(3)) << Big;
    EXPECT_EQ(Bytes(pResult, 0x20000, 4), Word(4)) << Big;
    EXPECT_EQ(Bytes(pResult, 0x30000, 4), Word(4 + 0x4000)) << "the next block goes on counting";
    EXPECT_EQ(DATAIMAGE_GetNumBytes(pResult), 6u + 8u + 0x10008u);
    DATAIMAGE_Delete(pLayout);
    DATAIMAGE_Delete(pResult);
  }
}

TEST(TestData, StartupStubs) {
  struct {
    uint32_t CoreID;
    int Kind;
  } aKind[] = {{0x0E0000FF, TESTDATA_STUB_CORTEX_M}, {0x060000FF, TESTDATA_STUB_CORTEX_M},
               {0x07000000, TESTDATA_STUB_ARM},      {0x00000000, TESTDATA_STUB_ARM},
               {0x10000000, TESTDATA_STUB_POWERPC},  {0x13000000, TESTDATA_STUB_NONE},
               {0x0D09FFFF, TESTDATA_STUB_NONE},     {0x16040000, TESTDATA_STUB_ARM}};
  for (const auto& c : aKind)
    EXPECT_EQ(TESTDATA_GetStubKind(c.CoreID), c.Kind) << std::hex << c.CoreID;

  uint8_t ab[TESTDATA_MAX_STUB];
  ASSERT_EQ(TESTDATA_GetStub(TESTDATA_STUB_CORTEX_M, false, 0x08000000, ab), 3072);
  EXPECT_EQ(UTIL_Load32(ab, false), 0x20000800u);
  EXPECT_EQ(UTIL_Load32(ab + 4, false), 0x08000401u) << "vectors 0 and 1 lead to stub 0";
  EXPECT_EQ(UTIL_Load32(ab + 8, false), 0x08000411u);
  EXPECT_EQ(UTIL_Load32(ab + 0x3FC, false), 0x08000BF1u) << "vector 255: stub 127";
  EXPECT_EQ(UTIL_Load16(ab + 0x400, false), 0x2600);
  EXPECT_EQ(UTIL_Load16(ab + 0x406, false), 0xE7FD);
  EXPECT_EQ(UTIL_Load16(ab + 0xBFE, false), 0xBF00);
  ASSERT_EQ(TESTDATA_GetStub(TESTDATA_STUB_CORTEX_M, true, 0, ab), 3072);
  EXPECT_EQ(ab[0x400], 0x26) << "halfwords in the target's byte order";
  ASSERT_EQ(TESTDATA_GetStub(TESTDATA_STUB_ARM, false, 0, ab), 48);
  EXPECT_EQ(std::vector<uint8_t>(ab, ab + 8),
            (std::vector<uint8_t>{0x06, 0, 0, 0xEA, 0xFE, 0xFF, 0xFF, 0xEA}));
  EXPECT_EQ(std::vector<uint8_t>(ab + 20, ab + 24), (std::vector<uint8_t>{0x06, 0, 0, 0x94}));
  ASSERT_EQ(TESTDATA_GetStub(TESTDATA_STUB_ARM, true, 0, ab), 48);
  EXPECT_EQ(std::vector<uint8_t>(ab + 44, ab + 48), (std::vector<uint8_t>{0xEA, 0xFF, 0xFF, 0xFD}));
  ASSERT_EQ(TESTDATA_GetStub(TESTDATA_STUB_POWERPC, true, 0, ab), 8);
  EXPECT_EQ(ab[7], 0xFF);
  EXPECT_EQ(TESTDATA_GetStub(TESTDATA_STUB_POWERPC, false, 0, ab), 0) << "no stub in little-endian mode";

  // The stub goes over the range at the first bank's base, when it fits there.
  DataImage* pLayout = Layout({{0x08000000, 0x1000}, {0x08002000, 0x100}});
  DataImage* pResult = DATAIMAGE_Create();
  ASSERT_EQ(TESTDATA_Fill(pLayout, pResult, false, 0x08000000, TESTDATA_STUB_CORTEX_M, nullptr, nullptr), 0);
  EXPECT_EQ(Bytes(pResult, 0x08000000, 4), (std::vector<uint8_t>{0x00, 0x08, 0x00, 0x20}));
  EXPECT_EQ(Bytes(pResult, 0x08000C00, 4), (std::vector<uint8_t>{0x00, 0x03, 0, 0}))
      << "words after the stub";
  DATAIMAGE_Delete(pResult);
  pResult = DATAIMAGE_Create();
  ASSERT_EQ(TESTDATA_Fill(pLayout, pResult, false, 0x08002000, TESTDATA_STUB_CORTEX_M, nullptr, nullptr), 0);
  EXPECT_EQ(Bytes(pResult, 0x08002000, 4), (std::vector<uint8_t>{0x00, 0x04, 0, 0}))
      << "too short for the stub";
  DATAIMAGE_Delete(pResult);
  DATAIMAGE_Delete(pLayout);
}

// The job on a project whose banks select what the test puts in Selected.
std::vector<Range> _Selected;
int _GetSelected(DataImage* p, int* pNumSelected, int* pNumSectors) {
  for (const Range& r : _Selected)
    DATAIMAGE_AddData(p, r.Start, r.Len, nullptr);
  *pNumSelected = (int)_Selected.size();
  *pNumSectors = 8;
  return (int)_Selected.size();
}

class TestDataJob : public ::testing::Test {
protected:
  void SetUp() override {
    char ac[] = "/tmp/tforge-testdata-XXXXXX";
    Dir = mkdtemp(ac);
    APP_SetGUI(&Gui);
    PROJECT_DEVICE_HOOKS h{};
    h.pfGetSelectedRanges = _GetSelected;
    PROJECT_SetDeviceHooks(&h);
    ASSERT_EQ(SETFILE_Create((Dir + "/p.tforge").c_str()), 0);
    PROJECT_New((Dir + "/p.tforge").c_str());
  }
  void TearDown() override {
    PROJECT_Close();
    SETFILE_Close();
    PROJECT_SetDeviceHooks(nullptr);
    APP_SetGUI(nullptr);
    std::system(("rm -rf '" + Dir + "'").c_str());
  }
  bool Shown(const std::string& s) const {
    for (const std::string& l : Gui.Lines) {
      if (l.find(s) != std::string::npos) return true;
    }
    return false;
  }
  FakeGUI Gui;
  std::string Dir;
};

TEST_F(TestDataJob, MessagesAndTheNewWindow) {
  struct {
    std::vector<Range> Selected;
    int64_t Size;
    int Result;
    const char* sText;
  } aCase[] = {
      {{{0, 0x100}}, 0, -1, "Requested test data size (0) is invalid."},
      {{}, 0x100, -1, "Failed to generate test data. No space available."},
      {{{0, 0x10}, {0x40, 8}}, 0x100, 0, "Requested size does not fit in available space. Truncating..."},
      {{{0, 0x10}, {0x40, 8}}, 0x14, 0, "2 of 8 sectors selected, 2 ranges, 0x0 - 0xF, 0x40 - 0x43"},
      {{{0, 0x10}, {0x40, 8}}, 0x14, 0, "Test data generated successfully. (20 bytes, 2 ranges)"},
  };
  for (const auto& c : aCase) {
    _Selected = c.Selected;
    Gui.Lines.clear();
    Gui.EditValues = {0, c.Size};
    int NumWindows = DATAJOBS_GetNumWindows();
    EXPECT_EQ(TESTDATA_Run(), c.Result) << c.sText;
    EXPECT_TRUE(Shown(c.sText)) << c.sText;
    EXPECT_EQ(DATAJOBS_GetNumWindows(), NumWindows + (c.Result == 0 ? 1 : 0)) << c.sText;
  }
  Gui.EditValues.clear();
  EXPECT_EQ(TESTDATA_Run(), 1) << "the dialog was cancelled";
}

} // namespace
