// The project jobs: closing with and without saving, refusing, saving under another name and
// a save that fails, each in a private settings folder.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "core/APP.h"
#include "project/PROJJOBS.h"
#include "project/SETFILE.h"
#include "project/SETTINGS.h"
#include "tests/FakeGUI.h"

#include "tests/TestFiles.h"

namespace {

class ProjJobs : public ::testing::Test {
protected:
  void SetUp() override {
    char ac[] = "/tmp/tforge-projjobs-XXXXXX";
    Dir = mkdtemp(ac);
    setenv("XDG_CONFIG_HOME", (Dir + "/config").c_str(), 1);
    setenv("TFORGE_SETTINGS_DIR", (Dir + "/settings").c_str(), 1);
    APP_SetCmdLineActive(false);
    APP_SetExitCode(0);
    APP_SetGUI(&Gui);
    PROJJOBS_Install();
    P = Dir + "/p.tforge";
    ASSERT_EQ(PROJJOBS_Create(P.c_str()), 0);
    ASSERT_EQ(PROJJOBS_Save(false, nullptr), 0);
    Saved = ReadAll(P);
  }
  void TearDown() override {
    PROJJOBS_Close(true);
    APP_SetGUI(nullptr);
    SETTINGS_Exit();
    std::system(("rm -rf '" + Dir + "'").c_str());
  }
  void Modify(uint32_t Speed = 12000) {
    auto t = std::make_unique<PROJECT_TIF>();
    PROJECT_GetTIF(t.get());
    t->Speed0 = Speed;
    ASSERT_EQ(PROJECT_SetTIF(t.get()), 1);
  }
  bool Asked(const std::string& s) const {
    for (const std::string& t : Gui.BoxTexts) {
      if (t.find(s) != std::string::npos) return true;
    }
    return false;
  }
  FakeGUI Gui;
  std::string Dir, P, Saved;
};

TEST_F(ProjJobs, CloseAsksSavesOrKeepsTheProjectOpen) {
  const char* sQuestion = "The T-Forge project has been modified.\nDo you want to save your changes?";
  struct {
    int Answer; // -1: the box is closed
    int Result;
    bool Written;
  } aCase[] = {{1, 0, false}, {0, 0, true}, {-1, -1, false}};
  for (const auto& c : aCase) {
    if (!PROJECT_IsOpen()) {
      ASSERT_EQ(PROJJOBS_Open(P.c_str(), false), 0);
    }
    Modify();
    Gui.BoxTexts.clear();
    Gui.BoxAnswer = c.Answer;
    Gui.RejectBoxes = c.Answer < 0;
    EXPECT_EQ(PROJJOBS_Close(false), c.Result) << c.Answer;
    Gui.RejectBoxes = false;
    EXPECT_TRUE(Asked(sQuestion)) << c.Answer;
    EXPECT_EQ(ReadAll(P).find("  Speed0 = 12000\r\n") != std::string::npos, c.Written) << c.Answer;
    EXPECT_EQ(PROJECT_IsOpen(), c.Result < 0) << "a refused close keeps the project";
    std::ofstream(P, std::ios::binary) << Saved;
  }
  // The exit of a batch run discards without asking.
  Modify(13000);
  Gui.BoxTexts.clear();
  EXPECT_EQ(APP_GetStartupHooks()->pfCloseProject(true), 0);
  EXPECT_TRUE(Gui.BoxTexts.empty());
  EXPECT_EQ(ReadAll(P), Saved);
}

TEST_F(ProjJobs, AutoSaveSavesOnClose) {
  std::system(("mkdir -p '" + Dir +
               "/config/KORVEN' && printf '[PROJECT]\\r\\nAutoSaveProject = 1\\r\\n' > '" + Dir +
               "/config/KORVEN/TForgeSettings.ini'")
                  .c_str());
  ASSERT_EQ(SETTINGS_Init(SETTINGS_FILE_NAME), 0);
  Modify();
  Gui.BoxTexts.clear();
  EXPECT_EQ(PROJJOBS_Close(false), 0);
  EXPECT_TRUE(Gui.BoxTexts.empty()) << "nothing is asked";
  EXPECT_NE(ReadAll(P).find("  Speed0 = 12000\r\n"), std::string::npos);
}

TEST_F(ProjJobs, SaveAsElsewhereKeepsTheDataFileLink) {
  std::system(("mkdir -p '" + Dir + "/data' '" + Dir + "/other'").c_str());
  ASSERT_EQ(PROJECT_SetDataFile((Dir + "/data/app.hex").c_str(), 0x100), 1);
  std::string Q = Dir + "/other/q.tforge";
  ASSERT_EQ(PROJJOBS_Save(true, Q.c_str()), 0);
  EXPECT_FALSE(PROJECT_IsModified());
  char ac[600];
  PROJECT_GetPath(ac, sizeof(ac));
  EXPECT_EQ(std::string(ac), Q);
  PROJECT_GetDataFile(ac, sizeof(ac), nullptr);
  EXPECT_EQ(std::string(ac), Dir + "/data/app.hex") << "the same file, seen from the new directory";
  EXPECT_NE(ReadAll(Q).find("CurrentFile = \"" + Dir + "/data/app.hex\""), std::string::npos);
  ASSERT_EQ(PROJJOBS_Save(true, P.c_str()), 0);
  EXPECT_NE(ReadAll(P).find("CurrentFile = \"data/app.hex\""), std::string::npos)
      << "relative below the project";
}

TEST_F(ProjJobs, FailedSaveKeepsFileAndChanges) {
  Modify();
  for (int i = 0; i < 40; i++) {
    auto c = std::make_unique<PROJECT_CPU>();
    PROJECT_GetCPU(c.get());
    c->NumInitSteps = 200;
    ASSERT_GE(PROJECT_SetCPU(c.get()), 0);
  }
  rlimit Old;
  getrlimit(RLIMIT_FSIZE, &Old);
  rlimit Small = Old;
  Small.rlim_cur = (rlim_t)Saved.size() + 100; // room for the old file, not for the new one
  auto OldHandler = std::signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &Small);
  int r = PROJJOBS_Save(false, nullptr);
  setrlimit(RLIMIT_FSIZE, &Old);
  std::signal(SIGXFSZ, OldHandler);
  EXPECT_EQ(r, -1);
  EXPECT_EQ(ReadAll(P), Saved);
  EXPECT_TRUE(PROJECT_IsModified()) << "nothing is lost: the changes wait for the next save";
  EXPECT_TRUE(Asked("Failed to save project file"));
  EXPECT_EQ(PROJJOBS_Save(false, nullptr), 0);
  EXPECT_NE(ReadAll(P).find("  NumInitSteps = 200\r\n"), std::string::npos);
}

TEST_F(ProjJobs, NoFileNameWhereNobodyCanChooseOne) {
  ASSERT_EQ(PROJJOBS_Create(""), 0) << "an unnamed project";
  APP_SetCmdLineActive(true);
  Gui.Lines.clear();
  EXPECT_EQ(PROJJOBS_Save(false, nullptr), -1);
  EXPECT_EQ(PROJJOBS_Open("", false), -1);
  APP_SetCmdLineActive(false);
  bool Save = false, Open = false;
  for (const std::string& l : Gui.Lines) {
    Save |= l.find("Unable to save project file. No filename specified.") != std::string::npos;
    Open |= l.find("Unable to open project file. No filename specified.") != std::string::npos;
  }
  EXPECT_TRUE(Save);
  EXPECT_TRUE(Open);
  EXPECT_EQ(APP_GetExitCode(), 1) << "a script fails";
  APP_SetExitCode(0);
}

} // namespace
