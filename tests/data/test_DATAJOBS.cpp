/*
 * The data-file jobs at job level, without a GUI (as the command line runs them headless):
 * open, save as, merge, relocate, delete range, eliminate, outside changes, the window limit.
 */
#include <gtest/gtest.h>

#include <thread>

#include "DataTestUtil.h"
#include "app/APP.h"
#include "data/DATAJOBS.h"

using namespace dt;

namespace {
class DataJobs : public TempDirTest {
protected:
  void TearDown() override {
    while (DATAJOBS_GetNumWindows() > 0) CloseAll();
    TempDirTest::TearDown();
  }
  static void CloseAll() {
    // Without a GUI there are no window handles: entries are found by their null window.
    while (DATAJOBS_OnWindowClosed(nullptr) == 0) {
    }
  }
};
} // namespace

TEST_F(DataJobs, OpenSaveAsAndEdit) {
  WriteFile(Path("in.hex"), ":020000040800F2\r\n:0400000001020304F2\r\n:00000001FF\r\n");
  ASSERT_EQ(DATAJOBS_OpenFile(Path("in.hex").c_str(), 0, false), 0);
  ASSERT_EQ(DATAJOBS_GetNumWindows(), 1);
  ASSERT_EQ(DATAJOBS_SaveFile(Path("out.s37").c_str(), 0, 0, false), 0);
  EXPECT_EQ(ReadFile(Path("out.s37")), "S3090800000001020304E4\r\nS9030000FC\r\n");
  ASSERT_EQ(DATAJOBS_Relocate(-0x08000000), 0);
  ASSERT_EQ(DATAJOBS_DeleteRange(1, 2), 0);
  ASSERT_EQ(DATAJOBS_SaveFile(Path("out.bin").c_str(), 0, 3, true), 0);
  EXPECT_EQ(ReadFile(Path("out.bin")), std::string("\x01\xFF\xFF\x04", 4));
  EXPECT_EQ(DATAJOBS_Relocate(-1), -1); // would leave the address space
  // -save writes to the window's own path, which is now out.bin.
  ASSERT_EQ(DATAJOBS_SaveFile(nullptr, 0, 0, false), 0);
  EXPECT_EQ(ReadFile(Path("out.bin")), std::string("\x01\xFF\xFF\x04", 4));
  EXPECT_EQ(DATAJOBS_SaveFile(Path("out.elf").c_str(), 0, 0, false), -1);
}

TEST_F(DataJobs, FailuresLeaveNoWindow) {
  WriteFile(Path("bad.hex"), ":0400000001020304F3\r\n");
  EXPECT_EQ(DATAJOBS_OpenFile(Path("bad.hex").c_str(), 0, false), -1);
  EXPECT_EQ(DATAJOBS_OpenFile(Path("x.bin").c_str(), 0, false), -1); // no start address, nobody to ask
  EXPECT_EQ(DATAJOBS_GetNumWindows(), 0);
  EXPECT_EQ(DATAJOBS_Eliminate(), -1);
}

TEST_F(DataJobs, MergeAndEliminate) {
  Bytes b(0x200, 0xFF);
  b[0] = 1;
  b[0x1FF] = 2;
  WriteFile(Path("a.bin"), b);
  WriteFile(Path("b.s19"), "S1060000010203F3\r\n");
  ASSERT_EQ(DATAJOBS_OpenFile(Path("a.bin").c_str(), 0x1000, true), 0);
  ASSERT_EQ(DATAJOBS_MergeFile(Path("b.s19").c_str(), 0, false), 0);
  ASSERT_EQ(DATAJOBS_Eliminate(), 0);
  ImageMap m = ToMap(DATAJOBS_GetCurImage());
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m.begin()->second, (Bytes{1, 2, 3}));
}

TEST_F(DataJobs, ThirtyThirdWindowIsRefused) {
  WriteFile(Path("one.hex"), ":0100000001FE\r\n");
  for (int i = 0; i < DATAJOBS_MAX_WINDOWS; i++) ASSERT_EQ(DATAJOBS_OpenFile(Path("one.hex").c_str(), 0, false), 0);
  EXPECT_EQ(DATAJOBS_OpenFile(Path("one.hex").c_str(), 0, false), -1);
  EXPECT_EQ(DATAJOBS_GetNumWindows(), DATAJOBS_MAX_WINDOWS);
}

TEST_F(DataJobs, OutsideChangeReloadsTheImage) {
  WriteFile(Path("w.hex"), ":0100000001FE\r\n");
  ASSERT_EQ(DATAJOBS_OpenFile(Path("w.hex").c_str(), 0, false), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  WriteFile(Path("w.hex"), ":0100000002FD\r\n"); // newer time stamp; the default answer reloads
  ASSERT_EQ(DATAJOBS_CheckModifications(nullptr), 0);
  uint8_t v = 0;
  EXPECT_EQ(DATAIMAGE_GetByte(DATAJOBS_GetCurImage(), 0, &v), 0);
  EXPECT_EQ(v, 2);
}
