/*
 * The flash jobs with the parameter blocks the menu posts, against the simulated AT32F425: a
 * project with its banks from the device database, a simulator folder of the test's own, the
 * data windows the read jobs open recorded by the GUI.
 */
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/APP.h"
#include "core/APP_JobParams.h"
#include "core/APP_Log.h"
#include "data/DATAIMAGE.h"
#include "data/DATAJOBS.h"
#include "probe/PROBE.h"
#include "project/PROJECT.h"
#include "target/PROG.h"
#include "target/TARGET.h"
#include "tests/NullGUI.h"
#include "tests/SimProject.h"
#include "tests/TestFiles.h"

// The emulator under the probe library keeps bookkeeping until the process ends; the leak check
// tells it apart by its library's name only while the library stays mapped.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libunicorn.so\n";
}

namespace {

void* g_pPinnedLibrary = dlopen(TFORGE_PROGRAM_DIR "libxrelayarm.so", RTLD_NOW);

class WindowGUI : public NullGUI {
public:
  std::mutex Lock;
  std::string Log;
  std::vector<std::string> Titles; // of the data windows opened
  void AppendLog(const char* sLine) override {
    char ac[2048];
    APP_StripEscapes(ac, sizeof(ac), sLine);
    std::lock_guard<std::mutex> g(Lock);
    Log += ac;
  }
  int Answer = -1; // of the questions: -1 the default, else the button
  std::vector<std::string> Questions;
  void ShowMsgBox(MsgBoxRequest* p) override {
    if (p->sButton1) Questions.push_back(p->sText); // boxes with a choice only
    p->Result = Answer < 0 ? p->DefaultResult : Answer;
  }
  CHexEditor* CreateDataWindow(DataImage*, const char* sTitle) override {
    Titles.push_back(sTitle);
    return nullptr;
  }
};

class ProgJobTest : public SimProjectTest<WindowGUI> {
protected:
  ProgJobTest() : SimProjectTest("p", /*MeasureClock=*/true) {}

  void SetUp() override {
    SimProjectTest::SetUp();
    if (HasFatalFailure()) return;
    PROJECT_FLASH F;
    PROJECT_GetFlash(&F);
    F.NumBanks = 1; // the main flash alone
    F.aBank[0].IsInternal = 1;
    F.aBank[0].HasLayout = 1;
    F.aBank[0].AutoDetect = 0;
    F.aBank[0].BaseAddr = 0x08000000;
    F.aBank[0].BankSelMode = 1;
    std::memset(F.aBank[0].abSectorSel, 0, sizeof(F.aBank[0].abSectorSel));
    F.aBank[0].abSectorSel[0] = 0x03; // sectors 0 and 1 of 64
    std::snprintf(F.aBank[0].acLoaderName, sizeof(F.aBank[0].acLoaderName), "Default");
    PROJECT_SetFlash(&F);
    PROG_InstallJobs();
  }
  int RunJob(uint32_t JobId, void* pParams) {
    JobContext c{};
    c.JobId = JobId;
    c.pParams = pParams;
    APP_GetJobTable()[JobId].pfHandler(&c);
    return c.Result;
  }
  bool LogHas(const std::string& s) {
    std::lock_guard<std::mutex> g(Gui.Lock);
    return Gui.Log.find(s) != std::string::npos;
  }
};

} // namespace

TEST_F(ProgJobTest, MenuJobsEraseProgramVerifyAndReadIntoTitledWindows) {
  uint32_t EraseChip = APP_ERASE_CHIP;
  // Not every sector is selected: the question's default answer erases anyway.
  ASSERT_EQ(RunJob(JOB_ERASE, &EraseChip), 0) << Gui.Log;
  EXPECT_TRUE(LogHas("Erase operation completed successfully")) << Gui.Log;

  DataImage* pImage = DATAIMAGE_Create();
  std::vector<uint8_t> Bytes(0x600, 0x5C);
  ASSERT_EQ(DATAIMAGE_AddData(pImage, 0x08000100, uint32_t(Bytes.size()), Bytes.data()), 0);
  APP_PROGRAM_PARAMS Program{pImage, 1};
  EXPECT_EQ(RunJob(JOB_PROGRAM, &Program), 0) << Gui.Log;
  EXPECT_TRUE(LogHas("Target programmed and verified successfully")) << Gui.Log;
  APP_IMAGE_PARAMS Verify{pImage};
  EXPECT_EQ(RunJob(JOB_VERIFY, &Verify), 0) << Gui.Log;
  EXPECT_TRUE(LogHas("Target verified successfully")) << Gui.Log;

  int Windows = DATAJOBS_GetNumWindows();
  for (uint32_t Kind : {uint32_t(APP_READ_SELECTED_SECTORS), uint32_t(APP_READ_CHIP)}) {
    EXPECT_EQ(RunJob(JOB_READ, &Kind), 0) << Gui.Log;
  }
  EXPECT_EQ(Gui.Titles, (std::vector<std::string>{"Target memory (Selected sectors)",
                                                  "Target memory (Entire flash chip)"}));
  EXPECT_TRUE(LogHas("Target memory read successfully. (2048 bytes, 1 range)")) << Gui.Log;
  EXPECT_TRUE(LogHas("Target memory read successfully. (65536 bytes, 1 range)")) << Gui.Log;
  EXPECT_EQ(DATAJOBS_GetNumWindows(), Windows + 2);
  DATAIMAGE_Delete(pImage);
}

TEST_F(ProgJobTest, BlankCheckJobFailsOnTheFirstByteThatIsNotBlank) {
  uint32_t EraseSectors = APP_ERASE_SELECTED_SECTORS;
  ASSERT_EQ(RunJob(JOB_ERASE, &EraseSectors), 0) << Gui.Log;
  EXPECT_EQ(RunJob(JOB_CHECK_BLANK, nullptr), 0) << Gui.Log;
  EXPECT_TRUE(LogHas("Target is blank")) << Gui.Log;

  DataImage* pImage = DATAIMAGE_Create();
  uint8_t b = 0x11;
  ASSERT_EQ(DATAIMAGE_AddData(pImage, 0x08000402, 1, &b), 0);
  APP_PROGRAM_PARAMS Program{pImage, 0};
  ASSERT_EQ(RunJob(JOB_PROGRAM, &Program), 0) << Gui.Log;
  EXPECT_EQ(RunJob(JOB_CHECK_BLANK, nullptr), -1);
  EXPECT_TRUE(LogHas("Blank check failed @ addr 0x08000402 (Read: 0x11, Expected: 0xFFFFFFFF)")) << Gui.Log;
  DATAIMAGE_Delete(pImage);
}

// A bank detected automatically skips the fit check: data that no bank takes must still fail
// programming and verifying, never end with the success line.
TEST_F(ProgJobTest, DataThatNoBankTakesFailsTheOperation) {
  std::vector<uint8_t> Bytes(16, 0x21);
  DataImage* pInBank = DATAIMAGE_Create();
  ASSERT_EQ(DATAIMAGE_AddData(pInBank, 0x08000000, 16, Bytes.data()), 0);
  uint32_t EraseSectors = APP_ERASE_SELECTED_SECTORS;
  ASSERT_EQ(RunJob(JOB_ERASE, &EraseSectors), 0) << Gui.Log;
  APP_PROGRAM_PARAMS ProgramInBank{pInBank, 0};
  ASSERT_EQ(RunJob(JOB_PROGRAM, &ProgramInBank), 0) << Gui.Log;

  PROJECT_FLASH F;
  PROJECT_GetFlash(&F);
  F.NumBanks = 2;
  F.aBank[1] = PROJECT_BANK{};
  std::snprintf(F.aBank[1].acLoaderName, sizeof(F.aBank[1].acLoaderName), "Default");
  F.aBank[1].Device = -1;
  F.aBank[1].BaseAddr = 0x60000000;
  F.aBank[1].AutoDetect = 1;
  F.aBank[1].OrgNumBits = 16;
  F.aBank[1].OrgNumChips = 1;
  PROJECT_SetFlash(&F);

  // Each with 16 bytes outside every bank: new bytes for an erased sector to program, and the
  // bytes programmed above to verify.
  DataImage* pNew = DATAIMAGE_Create();
  ASSERT_EQ(DATAIMAGE_AddData(pNew, 0x08000400, 16, Bytes.data()), 0);
  ASSERT_EQ(DATAIMAGE_AddData(pNew, 0x50000000, 16, Bytes.data()), 0);
  DataImage* pOld = DATAIMAGE_Create();
  ASSERT_EQ(DATAIMAGE_AddData(pOld, 0x08000000, 16, Bytes.data()), 0);
  ASSERT_EQ(DATAIMAGE_AddData(pOld, 0x50000000, 16, Bytes.data()), 0);
  APP_PROGRAM_PARAMS Program{pNew, 0};
  APP_IMAGE_PARAMS Verify{pOld};
  struct Case {
    uint32_t JobId;
    void* pParams;
    const char* sLeftOut;
    const char* sFailed;
    const char* sSuccess;
  };
  for (const Case& c : {
           Case{JOB_PROGRAM, &Program, "16 bytes could not be programmed.", "Failed to program target",
                "Target programmed successfully"},
           Case{JOB_VERIFY, &Verify, "16 bytes could not be verified.", "Failed to verify target",
                "Target verified successfully"},
       }) {
    SCOPED_TRACE(c.sFailed);
    Gui.Log.clear();
    EXPECT_EQ(RunJob(c.JobId, c.pParams), -1) << Gui.Log;
    EXPECT_TRUE(LogHas(c.sLeftOut)) << Gui.Log;
    EXPECT_TRUE(LogHas(c.sFailed)) << Gui.Log;
    EXPECT_FALSE(LogHas(c.sSuccess)) << Gui.Log;
  }
  DATAIMAGE_Delete(pNew);
  DATAIMAGE_Delete(pOld);
  DATAIMAGE_Delete(pInBank);
}

// Data beside the selected sectors (0x08000000 - 0x080007FF) is offered a move onto them; the
// user's Yes moves it and programs it there, No leaves it and the target alone.
TEST_F(ProgJobTest, RelocationOfferFollowsTheAnswer) {
  struct Case {
    uint32_t Addr;
    int Answer;
    const char* sOffer;
    const char* sResult;
  };
  for (const Case& c : {
           Case{0x07FFFF00, 0, "Relocating it by 0x100 bytes would fix this problem.",
                "Program relocated for programming by 0x100 bytes"},
           Case{0x08000900, 0, "Relocating it by -0x900 bytes would fix this problem.",
                "Program relocated for programming by -0x900 bytes"},
           Case{0x07FFFF00, 1, "Relocating it by 0x100 bytes would fix this problem.",
                "Programming cannot be done without relocation of selected data."},
       }) {
    SCOPED_TRACE(testing::Message() << std::hex << c.Addr << " " << c.Answer);
    Gui.Log.clear();
    Gui.Questions.clear();
    Gui.Answer = c.Answer;
    uint32_t EraseSectors = APP_ERASE_SELECTED_SECTORS;
    ASSERT_EQ(RunJob(JOB_ERASE, &EraseSectors), 0) << Gui.Log;
    DataImage* pImage = DATAIMAGE_Create();
    std::vector<uint8_t> Bytes(0x100, 0x77);
    ASSERT_EQ(DATAIMAGE_AddData(pImage, c.Addr, 0x100, Bytes.data()), 0);
    APP_PROGRAM_PARAMS Program{pImage, 1};
    EXPECT_EQ(RunJob(JOB_PROGRAM, &Program), c.Answer == 0 ? 0 : -1) << Gui.Log;
    ASSERT_EQ(Gui.Questions.size(), 1u) << Gui.Log;
    EXPECT_NE(Gui.Questions[0].find(c.sOffer), std::string::npos) << Gui.Questions[0];
    EXPECT_TRUE(LogHas(c.sResult)) << Gui.Log;
    uint8_t b = 0;
    uint32_t Programmed = 0;
    ASSERT_GE(XRELAYARM_ReadMemU8(0x08000000, 1, &b, nullptr), 0);
    Programmed = b;
    if (c.Answer == 0) {
      EXPECT_EQ(DATAIMAGE_GetStartAddr(pImage), 0x08000000u);
      EXPECT_EQ(Programmed, 0x77u);
    } else {
      EXPECT_EQ(DATAIMAGE_GetStartAddr(pImage), c.Addr) << "the data stays where it was";
      EXPECT_EQ(Programmed, 0xFFu);
    }
    DATAIMAGE_Delete(pImage);
  }
}
