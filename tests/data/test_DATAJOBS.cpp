/*
 * The data-file jobs at job level, without a GUI (as the command line runs them headless):
 * open, save as, merge, relocate, delete range, eliminate, outside changes, the window limit;
 * and with a scripted GUI the menu's save of a file that was changed outside.
 */
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "core/APP.h"
#include "core/APP_GUI.h"
#include "core/APP_Job.h"
#include "data/DATAJOBS.h"
#include "DataTestUtil.h"
#include "project/SETTINGS.h"
#include "tests/NullGUI.h"

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

/*********************************************************************
 * The menu's "Save data file" after the user declined to reload an outside change
 */
namespace {

// One data window at a time, scripted answers for the boxes, a file dialog that picks Chosen.
class ScriptedGUI : public NullGUI {
public:
  std::vector<int> Answers; // per box: a button, or -1 for closing the box
  std::vector<std::string> BoxTitles;
  std::string DialogStart, Chosen;
  CHexEditor* pWin = reinterpret_cast<CHexEditor*>(0x1000);

  CHexEditor* CreateDataWindow(DataImage*, const char*) override { return pWin; }
  CHexEditor* GetCurDataWindow() override { return pWin; }
  int ShowFileDialogSave(char* sPath, int PathSize, const char*, const char*, const char*) override {
    DialogStart = sPath;
    if (Chosen.empty()) return -1;
    snprintf(sPath, (size_t)PathSize, "%s", Chosen.c_str());
    return 0;
  }
  void ShowMsgBox(MsgBoxRequest* p) override {
    BoxTitles.push_back(p->sTitle ? p->sTitle : "");
    int a = Answers.empty() ? p->DefaultResult : Answers.front();
    if (!Answers.empty()) Answers.erase(Answers.begin());
    p->Rejected = a < 0;
    p->Result = a < 0 ? p->DefaultResult : a;
  }
};

class SaveModified : public TempDirTest {
protected:
  void SetUp() override {
    TempDirTest::SetUp();
    setenv("XDG_CONFIG_HOME", Path("config").c_str(), 1);
    setenv("TFORGE_SETTINGS_DIR", Path("settings").c_str(), 1);
    SETTINGS_Init(SETTINGS_FILE_NAME);
    APP_SetGUI(&Gui);
  }
  void TearDown() override {
    DATAJOBS_OnWindowClosed(Gui.pWin);
    APP_SetGUI(nullptr);
    SETTINGS_Exit();
    TempDirTest::TearDown();
  }
  // Opens w.hex, changes it outside and declines the reload.
  void OpenAndDeclineReload() {
    WriteFile(Path("w.hex"), ":0100000001FE\r\n:00000001FF\r\n");
    ASSERT_EQ(DATAJOBS_OpenFile(Path("w.hex").c_str(), 0, false), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    WriteFile(Path("w.hex"), "changed outside");
    Gui.Answers = {1}; // "Do not reload"
    ASSERT_EQ(DATAJOBS_CheckModifications(nullptr), 0);
  }
  void RunMenuSave() {
    JobContext c{};
    c.JobId = JOB_SAVE_DATA_FILE;
    APP_GetJobTable()[JOB_SAVE_DATA_FILE].pfHandler(&c); // no params: the menu's "Save data file"
  }
  ScriptedGUI Gui;
};

} // namespace

TEST_F(SaveModified, OverwriteSaveElsewhereOrCloseTheBox) {
  DATAJOBS_Init();
  struct {
    int Answer;
    const char* sFileAfter; // w.hex afterwards
    bool WritesOther;
  } aCase[] = {
      {0, ":0100000001FE\r\n:00000001FF\r\n", false}, // "Overwrite"
      {1, "changed outside", true},                   // "Save as different file"
      {-1, "changed outside", false},                 // box closed: nothing happens
  };
  for (const auto& c : aCase) {
    SCOPED_TRACE(c.Answer);
    std::remove(Path("sub/other.hex").c_str());
    OpenAndDeclineReload();
    Gui.BoxTitles.clear();
    Gui.Answers = {c.Answer};
    Gui.Chosen = Path("sub/other.hex");
    std::filesystem::create_directories(Path("sub"));
    RunMenuSave();
    ASSERT_EQ(Gui.BoxTitles.size(), 1u);
    EXPECT_EQ(Gui.BoxTitles[0], "Save modified data file");
    EXPECT_EQ(ReadFile(Path("w.hex")), c.sFileAfter);
    EXPECT_EQ(std::filesystem::exists(Path("sub/other.hex")), c.WritesOther);
    if (c.WritesOther) {
      // The dialog started in the DataFiles directory, which now is the one chosen.
      char acDir[512];
      SETTINGS_GetDataFilesDir(acDir, sizeof(acDir));
      EXPECT_EQ(std::string(acDir), Path("sub") + "/");
      EXPECT_NE(Gui.DialogStart, "");
    }
    DATAJOBS_OnWindowClosed(Gui.pWin);
  }
}
