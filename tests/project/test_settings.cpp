// The global settings file, the recent-file lists and the settings jobs, each test in a
// private configuration folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "core/APP.h"
#include "core/APP_Job.h"
#include "project/SETTINGS.h"

namespace {

class Settings : public ::testing::Test {
protected:
  void SetUp() override {
    char ac[] = "/tmp/tforge-settings-XXXXXX";
    Dir = mkdtemp(ac);
    setenv("XDG_CONFIG_HOME", Dir.c_str(), 1);
    setenv("TFORGE_SETTINGS_DIR", (Dir + "/logdir").c_str(), 1);
    File = Dir + "/KORVEN/" SETTINGS_FILE_NAME;
  }
  void TearDown() override {
    SETTINGS_Exit();
    std::system(("rm -rf '" + Dir + "'").c_str());
  }
  void WriteFile(const std::string& Text) {
    std::system(("mkdir -p '" + Dir + "/KORVEN'").c_str());
    std::ofstream(File, std::ios::binary) << Text;
  }
  std::string ReadFile() {
    std::ifstream f(File, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }
  // Starts the module on the file as it is; the log lines of the start land in Out.
  int Init() {
    ::testing::internal::CaptureStdout();
    int r = SETTINGS_Init(SETTINGS_FILE_NAME);
    Out = ::testing::internal::GetCapturedStdout();
    return r;
  }
  std::string Dir, File, Out;
};

TEST_F(Settings, IntegerValuesAreClampedOrFallBackToTheirDefault) {
  struct {
    const char* sFile;
    int LogLevel;
    const char* sMessage;
  } aCase[] = {
      {"", 3, nullptr},
      {"[LOG]\r\nLogLevel = 0\r\n", 1, nullptr},
      {"[LOG]\r\nLogLevel = 12\r\n", 9, nullptr},
      {"[LOG]\r\nLogLevel = 99999999999\r\n", 9, nullptr},
      {"[log]\r\nloglevel=7\r\n", 7, nullptr},
      {"[LOG]\nLogLevel = 5\n", 5, nullptr},
      {"[LOG]\r\nLogLevelX = 5\r\n", 3, nullptr},
      {"[PATH]\r\nLogLevel = 5\r\n[LOG]\r\n", 3, nullptr},
      {"[LOG]\r\nLogLevel = -2\r\n", 3, "Expected a value >= 0"},
      {"[LOG]\r\nLogLevel = high\r\n", 3, "Expecting a number"},
      {"[LOG]\r\nLogLevel : 4\r\n", 3, "Expected '=', got ':'"},
  };
  for (const auto& c : aCase) {
    SETTINGS_Exit();
    WriteFile(c.sFile);
    ASSERT_EQ(Init(), 0);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(SETTINGS_GetLogLevel(), c.LogLevel) << c.sFile;
    EXPECT_EQ(SETTINGS_GetLogLevel(), c.LogLevel) << c.sFile;
    std::string Log = ::testing::internal::GetCapturedStdout();
    if (c.sMessage) {
      EXPECT_NE(Log.find(c.sMessage), std::string::npos) << Log;
      size_t p = Log.find("Error while parsing subkey \"LogLevel\" in settings file. Syntax error.");
      EXPECT_NE(p, std::string::npos) << Log;
      EXPECT_EQ(Log.find("Error while parsing subkey", p + 1), std::string::npos) << "reported once";
    } else {
      EXPECT_EQ(Log.find("ERROR"), std::string::npos) << Log;
    }
  }
}

TEST_F(Settings, StringValuesNeedTheirQuotes) {
  WriteFile("[LOG]\r\nTForgeLogFile=/var/log/tf.log\r\nXRelayLogFile = \"/var/log/x.log\"\r\n");
  ASSERT_EQ(Init(), 0);
  char ac[512];
  ::testing::internal::CaptureStdout();
  SETTINGS_GetTForgeLogFile(ac, sizeof(ac));
  std::string Log = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(std::string(ac), Dir + "/logdir/TForge.log") << "the default applies";
  EXPECT_NE(Log.find("Error while parsing subkey \"TForgeLogFile\" in settings file. Syntax error."),
            std::string::npos);
  SETTINGS_GetXRelayLogFile(ac, sizeof(ac));
  EXPECT_STREQ(ac, "/var/log/x.log");
  char acSmall[8];
  EXPECT_EQ(SETTINGS_GetString("LOG", "XRelayLogFile", acSmall, sizeof(acSmall)), -1)
      << "must fit the buffer";
}

TEST_F(Settings, TheLastKeySetStandsFirstInItsSectionAndOnlyOnce) {
  WriteFile("[PATH]\r\nDataFiles=\"/old/\"\r\n");
  ASSERT_EQ(Init(), 0);
  EXPECT_EQ(SETTINGS_SetLogLevel(4), 0);
  EXPECT_EQ(SETTINGS_SetTForgeLogFile("/l/a.log"), 0);
  EXPECT_EQ(SETTINGS_SetLogLevel(5), 0);
  EXPECT_EQ(SETTINGS_SetDataFilesDir("/data/app.hex"), 0);
  EXPECT_EQ(ReadFile(), "[PATH]\r\nDataFiles=\"/data/\"\r\n"
                        "[LOG]\r\nLogLevel = 5\r\nTForgeLogFile=\"/l/a.log\"\r\n");
  // What was written reads back after a restart.
  SETTINGS_Exit();
  ASSERT_EQ(Init(), 0);
  char ac[512];
  SETTINGS_GetDataFilesDir(ac, sizeof(ac));
  EXPECT_STREQ(ac, "/data/");
  EXPECT_EQ(SETTINGS_GetLogLevel(), 5);
  EXPECT_EQ(SETTINGS_GetTimeoutReadBack(), 5000);
  EXPECT_EQ(SETTINGS_GetCurrentProject(ac, sizeof(ac)), -1);
}

TEST_F(Settings, AnOversizedFileIsRefusedAndNeverOverwritten) {
  std::string Big = "[LOG]\r\nLogLevel = 1\r\n" + std::string(SETTINGS_MAX_FILE_SIZE + 1 - 21, ';');
  ASSERT_EQ(Big.size(), (size_t)SETTINGS_MAX_FILE_SIZE + 1);
  WriteFile(Big);
  EXPECT_EQ(Init(), -1);
  EXPECT_NE(Out.find("Could not open file [" + File +
                     "]\nFile too large - maximum file size (30000 bytes) exceeded!"),
            std::string::npos)
      << Out;
  EXPECT_EQ(SETTINGS_GetLogLevel(), 3) << "defaults apply";
  EXPECT_EQ(SETTINGS_SetLogLevel(2), -1);
  EXPECT_EQ(ReadFile(), Big);

  // Exactly at the limit the file is read; a change that would pass it is refused.
  std::string Full = "[LOG]\r\nLogLevel = 1\r\n" + std::string(SETTINGS_MAX_FILE_SIZE - 21, ';');
  WriteFile(Full);
  ASSERT_EQ(Init(), 0);
  EXPECT_EQ(SETTINGS_GetLogLevel(), 1);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(SETTINGS_SetString("PROJECT", "Current", "/p/x.tforge"), -1);
  std::string Log = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(Log.find("maximum file size (30000 bytes) exceeded!"), std::string::npos) << Log;
  EXPECT_EQ(ReadFile(), Full);
}

TEST_F(Settings, ValuesWithLineBreaksAreRefused) {
  ASSERT_EQ(Init(), 0);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(SETTINGS_SetXRelayLogFile("/a\r\n[LOG]\r\nLogLevel = 9"), -1);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(SETTINGS_GetLogLevel(), 3);
}

TEST_F(Settings, CommandLineLogFilesTakePrecedence) {
  WriteFile("[LOG]\r\nEnableXRelayLog = 0\r\nXRelayLogFile=\"/cfg/x.log\"\r\n");
  ASSERT_EQ(Init(), 0);
  char ac[512];
  EXPECT_EQ(SETTINGS_GetEnableXRelayLog(), 0);
  EXPECT_EQ(SETTINGS_SetXRelayLogOverride("/run/x.log"), 0);
  EXPECT_EQ(SETTINGS_GetEnableXRelayLog(), 1);
  SETTINGS_GetXRelayLogFile(ac, sizeof(ac));
  EXPECT_STREQ(ac, "/run/x.log");
  EXPECT_EQ(SETTINGS_SetXRelayLogOverride(std::string(512, 'x').c_str()), -1);
  SETTINGS_GetXRelayLogFile(ac, sizeof(ac));
  EXPECT_STREQ(ac, "/cfg/x.log") << "a refused path clears the override";
  EXPECT_EQ(SETTINGS_SetXRelayLogOverride(""), 0);
}

TEST_F(Settings, RecentListsKeepTheTenMostRecentFirstAndSurviveARestart) {
  ASSERT_EQ(Init(), 0);
  const char* sPrefix = APP_REG_KEY "\\";
  EXPECT_EQ(SETTINGS_RECENT_Init(SETTINGS_RECENT_PROJECT, sPrefix, SETTINGS_RECENT_MAX), 0);
  for (int i = 1; i <= 11; i++) {
    ASSERT_EQ(
        SETTINGS_RECENT_Add(SETTINGS_RECENT_PROJECT, ("/p/prj" + std::to_string(i) + ".tforge").c_str()), 0);
  }
  // Reopening the third most recent (written in other case) moves it to the top.
  ASSERT_EQ(SETTINGS_RECENT_Add(SETTINGS_RECENT_PROJECT, "/P/PRJ9.tforge"), 0);
  std::vector<std::string> Expected = {
      "/P/PRJ9.tforge", "/p/prj11.tforge", "/p/prj10.tforge", "/p/prj8.tforge", "/p/prj7.tforge",
      "/p/prj6.tforge", "/p/prj5.tforge",  "/p/prj4.tforge",  "/p/prj3.tforge", "/p/prj2.tforge"};
  for (int Pass = 0; Pass < 2; Pass++) {
    ASSERT_EQ(SETTINGS_RECENT_GetCount(SETTINGS_RECENT_PROJECT), 10);
    for (int i = 0; i < 10; i++) {
      char ac[512];
      ASSERT_EQ(SETTINGS_RECENT_Get(SETTINGS_RECENT_PROJECT, i, ac, sizeof(ac)), 0);
      EXPECT_EQ(ac, Expected[(size_t)i]) << i;
    }
    char ac[512];
    EXPECT_EQ(SETTINGS_RECENT_Get(SETTINGS_RECENT_PROJECT, 10, ac, sizeof(ac)), -1);
    EXPECT_EQ(SETTINGS_RECENT_Init(SETTINGS_RECENT_PROJECT, sPrefix, SETTINGS_RECENT_MAX), 10);
  }
  EXPECT_EQ(SETTINGS_RECENT_Init(SETTINGS_RECENT_DATA, sPrefix, SETTINGS_RECENT_MAX), 0)
      << "the lists are apart";

  // Setting Current tops the project list.
  ASSERT_EQ(SETTINGS_SetCurrentProject("/p/new.tforge"), 0);
  char ac[512];
  SETTINGS_RECENT_Get(SETTINGS_RECENT_PROJECT, 0, ac, sizeof(ac));
  EXPECT_STREQ(ac, "/p/new.tforge");
  SETTINGS_GetCurrentProject(ac, sizeof(ac));
  EXPECT_STREQ(ac, "/p/new.tforge");
}

TEST_F(Settings, JobsHandTheDialogOneRecord) {
  ASSERT_EQ(Init(), 0);
  EXPECT_EQ(SETTINGS_GetDontShowAgain(), 0u);
  SETTINGS_GLOBAL_RECORD Set = {};
  std::snprintf(Set.acTForgeLogFile, sizeof(Set.acTForgeLogFile), "%s/t.log", Dir.c_str());
  std::snprintf(Set.acXRelayLogFile, sizeof(Set.acXRelayLogFile), "%s/x.log", Dir.c_str());
  Set.LogLevel = 6;
  Set.AutoSaveProject = 1;
  Set.EnableTForgeLog = 0;
  Set.EnableXRelayLog = 1;
  Set.DontShowAgain = 2;
  JobContext Ctx = {};
  Ctx.pParams = &Set;
  SETTINGS_JobSetGlobalSettings(&Ctx);
  EXPECT_EQ(Ctx.Result, 0);

  SETTINGS_Exit();
  ASSERT_EQ(Init(), 0);
  SETTINGS_GLOBAL_RECORD Got = {};
  Ctx.pParams = &Got;
  SETTINGS_JobGetGlobalSettings(&Ctx);
  EXPECT_EQ(Ctx.Result, 0);
  EXPECT_STREQ(Got.acTForgeLogFile, Set.acTForgeLogFile);
  EXPECT_STREQ(Got.acXRelayLogFile, Set.acXRelayLogFile);
  EXPECT_EQ(Got.LogLevel, 6);
  EXPECT_EQ(Got.AutoSaveProject, 1);
  EXPECT_EQ(Got.EnableTForgeLog, 0);
  EXPECT_EQ(Got.EnableXRelayLog, 1);
  EXPECT_EQ(Got.DontShowAgain, 2u);
}

} // namespace
