// Log operations, levels, the summary and error boxes, formatting and the log file.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/TestVersion.h"
#include "core/APP.h"
#include "core/APP_Log.h"
#include "sys/SYS.h"
#include "tests/FakeGUI.h"
#include "tests/app/SharedLogGUI.h"

namespace {

int _Level = 3;
int _NumDisconnects = 0;

class Log : public ::testing::Test {
protected:
  void SetUp() override {
    _Level = 3;
    _NumDisconnects = 0;
    APP_SetLogLevelSource([] { return _Level; });
    APP_SetDisconnectHandler([] { _NumDisconnects++; });
    APP_SetGUI(&Gui);
    APP_SetCmdLineActive(false);
    APP_SetExitCode(0);
  }
  void TearDown() override {
    APP_SetGUI(nullptr);
    while (APP_GetLogDepth() > 0) APP_LogEnd(nullptr);
  }
  FakeGUI Gui;
};

TEST_F(Log, TwoErrorsGiveOneErrorBoxWithBothAndThenADisconnect) {
  APP_LogBegin("Programming target (4 bytes, 1 range) ...");
  APP_ErrorOut("Failed to erase sector 3\n");
  APP_ErrorOut("Failed to program target");
  APP_LogEnd(nullptr);
  ASSERT_EQ(Gui.Boxes.size(), 1u);
  EXPECT_STREQ(Gui.Boxes[0].sText, "Failed to erase sector 3\nFailed to program target");
  EXPECT_EQ(std::string(Gui.Boxes[0].sTitle), ShortProductName() + " Error");
  EXPECT_STREQ(Gui.Boxes[0].sButton0, "O.K.");
  EXPECT_EQ(Gui.Boxes[0].Icon, APP_ICON_WARNING);
  EXPECT_EQ(_NumDisconnects, 1);
  ASSERT_EQ(Gui.Lines.size(), 3u);
  EXPECT_EQ(Gui.Lines[1], " - \x1b[1;31mERROR: Failed to erase sector 3\x1b[0m\n"); // final line feed removed
  EXPECT_EQ(APP_GetLogDepth(), 0);
}

TEST_F(Log, SuccessShowsTheTimedSummaryInAnInformationBox) {
  APP_LogBegin("Erasing chip ...");
  APP_LogOut("Erasing bank 0");
  APP_LogCompleted("Erase operation completed successfully");
  APP_LogEnd(nullptr);
  ASSERT_EQ(Gui.Boxes.size(), 1u);
  std::regex Summary("Erase operation completed successfully - Completed after [0-9]+\\.[0-9]{3} sec");
  EXPECT_TRUE(std::regex_match(Gui.Boxes[0].sText, Summary)) << Gui.Boxes[0].sText;
  EXPECT_STREQ(Gui.Boxes[0].sButton0, "OK");
  EXPECT_EQ(Gui.Boxes[0].Icon, APP_ICON_INFO);
  EXPECT_EQ(_NumDisconnects, 0);
  ASSERT_EQ(Gui.Lines.size(), 3u);
  EXPECT_EQ(Gui.Lines[0], "Erasing chip ...\n");
  EXPECT_EQ(Gui.Lines[1], " - Erasing bank 0\n");
  EXPECT_TRUE(std::regex_match(Gui.Lines[2], std::regex(" - Erase operation completed successfully - Completed.*\n")));
}

TEST_F(Log, LevelsFilterLinesByDepth) {
  struct Case {
    int Level;
    std::vector<std::string> Expected;
  } aCase[] = {
      // Level 1: plain detail lines inside an operation are not written, errors are.
      {1, {"Op\n", " - \x1b[1;31mERROR: bad\x1b[0m\n"}},
      // Level 3: at depth 1 plain lines and results, at depth 2 results only.
      {3, {"Op\n", " - detail\n", " - Step\n", "  - result 2\n", " - \x1b[1;31mERROR: bad\x1b[0m\n"}},
      {9, {"Op\n", " - detail\n", " - Step\n", "  - detail 2\n", "  - result 2\n", " - \x1b[1;31mERROR: bad\x1b[0m\n"}},
  };
  for (const Case& c : aCase) {
    Gui.Lines.clear();
    _Level = c.Level;
    APP_LogBegin("Op");
    APP_LogOut("detail");
    APP_LogBegin("Step");
    APP_LogOut("detail 2");
    APP_LogResult("result 2");
    APP_LogEnd(nullptr);
    APP_ErrorOut("bad");
    APP_LogEnd(nullptr);
    EXPECT_EQ(Gui.Lines, c.Expected) << "level " << c.Level;
  }
  _Level = 0;
  EXPECT_EQ(APP_GetLogLevel(), 1);
  _Level = 12;
  EXPECT_EQ(APP_GetLogLevel(), 9);
}

TEST_F(Log, WarningsAreWrittenAtEveryLevelAndNotCollected) {
  _Level = 1;
  APP_LogBegin("Op");
  APP_LogBegin("Inner");
  APP_WarnOut("Low voltage\n");
  APP_LogEnd(nullptr);
  APP_LogEnd(nullptr);
  ASSERT_FALSE(Gui.Lines.empty());
  EXPECT_EQ(Gui.Lines.back(), "  - \x1b[2;33mWARNING: Low voltage\x1b[0m\n");
  ASSERT_EQ(Gui.Boxes.size(), 1u); // the warning box; no summary box
  EXPECT_EQ(std::string(Gui.Boxes[0].sTitle), ShortProductName() + " Warning");
  EXPECT_EQ(APP_GetErrorCount(), 0);
}

TEST_F(Log, WhileTheCommandLineRunsBoxesBecomeLogLinesAndErrorsSetTheExitCode) {
  APP_SetCmdLineActive(true);
  Gui.BoxAnswer = 1;
  EXPECT_EQ(APP_MsgBox("Save changes?", "Yes", "No", 0, APP_ICON_QUESTION, 1), 0); // the default answer
  APP_ErrorBox("Could not open file");
  APP_SetCmdLineActive(false);
  EXPECT_TRUE(Gui.Boxes.empty());
  ASSERT_EQ(Gui.Lines.size(), 2u);
  EXPECT_EQ(Gui.Lines[0], ShortProductName() + ": Save changes?\n");
  EXPECT_EQ(Gui.Lines[1], ShortProductName() + " Error: Could not open file\n");
  EXPECT_EQ(APP_GetExitCode(), 1);
}

TEST_F(Log, MessageBoxResultsAndEscape) {
  Gui.BoxAnswer = 1;
  EXPECT_EQ(APP_MsgBox("Overwrite?", "Yes", "No", 0, APP_ICON_QUESTION, 7), 1);
  int Check = 1;
  APP_ShowMsgBox("Title", "Suffix", "Text", "A", nullptr, 0, "Don't ask again", &Check, 0, 0, 0);
  EXPECT_STREQ(Gui.Boxes.back().sTitle, "Title Suffix");
  EXPECT_EQ(Gui.Boxes.back().CheckState, 1);
}

// Log operations nest per thread: lines of one thread are indented by its own open operations
// only, and an operation's error box holds its own errors only, whatever other threads log.
TEST_F(Log, ThreadsLoggingAtOnceKeepTheirOwnNestingAndErrors) {
  SharedLogGUI Shared;
  APP_SetGUI(&Shared);
  static std::atomic<int> NumDisconnects;
  NumDisconnects = 0;
  APP_SetDisconnectHandler([] { NumDisconnects++; });
  const int NumThreads = 4, NumRounds = 2000;
  std::atomic<int> NumLeftOpen{0}, NumReady{0};
  std::vector<std::thread> aThread;
  for (int t = 0; t < NumThreads; t++) {
    aThread.emplace_back([t, &NumLeftOpen, &NumReady] {
      std::string Tag = "T" + std::to_string(t) + " ";
      NumReady++;
      while (NumReady < NumThreads) std::this_thread::yield(); // start together
      for (int r = 0; r < NumRounds; r++) {
        APP_LogBegin((Tag + "op").c_str());
        APP_LogOut((Tag + "detail").c_str());
        APP_LogBegin((Tag + "step").c_str());
        APP_LogResult((Tag + "result").c_str());
        APP_ErrorOut((Tag + "bad").c_str());
        APP_LogEnd(nullptr);
        APP_LogEnd(nullptr);
      }
      if (APP_GetLogDepth() != 0) NumLeftOpen++;
    });
  }
  for (std::thread& th : aThread) th.join();
  APP_SetGUI(&Gui);
  EXPECT_EQ(NumLeftOpen, 0);
  // Each thread's lines, in its order; a line that names no thread counts as corrupt.
  std::map<std::string, std::vector<std::string>> Lines;
  for (const std::string& s : Shared.Lines()) {
    size_t i = s.find('T');
    Lines[i == std::string::npos ? "?" : s.substr(i, 3)].push_back(s);
  }
  for (int t = 0; t < NumThreads; t++) {
    std::string Tag = "T" + std::to_string(t) + " ";
    std::vector<std::string> Round = {Tag + "op\n", " - " + Tag + "detail\n", " - " + Tag + "step\n",
                                      "  - " + Tag + "result\n", "  - \x1b[1;31mERROR: " + Tag + "bad\x1b[0m\n"};
    const std::vector<std::string>& Got = Lines[Tag];
    EXPECT_EQ(Got.size(), Round.size() * NumRounds) << Tag;
    for (size_t i = 0; i < Got.size(); i++) {
      if (Got[i] != Round[i % Round.size()]) {
        ADD_FAILURE() << Tag << "line " << i << ": \"" << Got[i] << "\" instead of \"" << Round[i % Round.size()] << "\"";
        break;
      }
    }
  }
  EXPECT_EQ(Lines.count("?"), 0u);
  // One error box per operation, holding that operation's error alone.
  std::map<std::string, int> NumBoxes;
  for (const std::string& s : Shared.BoxTexts()) {
    if (!std::regex_match(s, std::regex("T[0-9] bad"))) {
      ADD_FAILURE() << "error box \"" << s.substr(0, 40) << "...\"";
      break;
    }
    NumBoxes[s]++;
  }
  for (int t = 0; t < NumThreads; t++) EXPECT_EQ(NumBoxes["T" + std::to_string(t) + " bad"], NumRounds) << t;
  EXPECT_EQ(NumDisconnects, NumThreads * NumRounds);
}

TEST(Format, Sizes) {
  struct Case {
    uint32_t Bytes;
    const char* sText;
  } aCase[] = {{0, ""},          {1536, "1536 Bytes"},        {2048, "2 KB"},
               {0x100000, "1024 KB"}, {0xA00000, "10 MB"},    {0xA00400, "10241 KB"}};
  for (const Case& c : aCase) {
    char ac[32];
    APP_FormatSize(ac, sizeof(ac), c.Bytes);
    EXPECT_STREQ(ac, c.sText) << c.Bytes;
  }
}

TEST(Format, LibraryVersions) {
  struct Case {
    int Version;
    const char* sText;
  } aCase[] = {{79205, "V7.92e"}, {79200, "V7.92"}, {80126, "V8.01z"}, {79230, "V7.92z04"}, {10001, "V1.00a"}};
  for (const Case& c : aCase) {
    char ac[32];
    APP_FormatLibraryVersion(ac, sizeof(ac), c.Version);
    EXPECT_STREQ(ac, c.sText) << c.Version;
  }
}

TEST(Format, FileErrors) {
  char ac[600];
  SYS_FILE_Open("/tmp/tforge-no-such-file-here", 0x01);
  EXPECT_EQ(APP_FormatFileError("/tmp/tforge-no-such-file-here", "open", ac, sizeof(ac)), 0);
  EXPECT_STREQ(ac, "Could not open file [/tmp/tforge-no-such-file-here]\nFile not found!");
  SYS_FILE_Open("/tmp/tforge-no-such-dir/x.hex", 0x01);
  APP_FormatFileError("/tmp/tforge-no-such-dir/x.hex", "open", ac, sizeof(ac));
  EXPECT_STREQ(ac, "Could not open file [/tmp/tforge-no-such-dir/x.hex]\nPath not found!");
  std::string Long = "/tmp/" + std::string(300, 'x');
  SYS_FILE_Open(Long.c_str(), 0x01);
  APP_FormatFileError("n", "create", ac, sizeof(ac));
  EXPECT_STREQ(ac, "Could not create file [n]\nThe filename syntax is incorrect!");
  SYS_SetLastError(SYS_ERR_OTHER);
  APP_FormatFileError("n", "write", ac, sizeof(ac));
  EXPECT_STREQ(ac, "Could not write file [n]!");
}

TEST_F(Log, LogFileMirrorsTheLogWithoutEscapes) {
  char acDir[] = "/tmp/tforge-log-XXXXXX";
  std::string Dir = mkdtemp(acDir);
  std::string Path = Dir + "/run.log";
  APP_SetLogFileOverride(Path.c_str());
  APP_SetLogFileOn(true);
  ASSERT_TRUE(APP_IsLogFileOn());
  EXPECT_NE(Gui.pfWriter, nullptr);
  APP_LogOut("first");
  APP_LogBegin("Op");
  APP_ErrorOut("bad");
  APP_LogEnd(nullptr);
  APP_SetLogFileOn(false);
  EXPECT_EQ(Gui.pfWriter, nullptr);
  APP_LogOut("after");
  std::ifstream f(Path);
  std::string Text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  EXPECT_EQ(Text, "first\r\nOp\r\n - ERROR: bad\r\n");
  APP_SetLogFileOverride("");
  std::system(("rm -rf " + Dir).c_str());
}

TEST_F(Log, AnUnwritableLogFileIsReportedOnceInAWarningBox) {
  APP_SetLogFileOverride("/tmp/tforge-no-such-dir/x/run.log");
  APP_SetLogFileOn(true);
  EXPECT_FALSE(APP_IsLogFileOn());
  ASSERT_EQ(Gui.Boxes.size(), 1u);
  EXPECT_STREQ(Gui.Boxes[0].sText, "Could not open file [/tmp/tforge-no-such-dir/x/run.log]\nPath not found!");
  APP_SetLogFileOverride("");
}

} // namespace
