// The command line in-process: matching, the string rule, both passes against recorded
// operations, and the settings the settings pass leaves.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "app/CMDLINE.h"
#include "app/CMDLINE_Test.h"
#include "core/APP.h"
#include "core/APP_Log.h"
#include "probe/PROBE_Test.h"

namespace {

std::vector<std::string> _Calls;
std::vector<std::string> _ProbeCommands;
int _OpResult = 0;

std::string Hex(uint32_t v) {
  char ac[16];
  std::snprintf(ac, sizeof(ac), "0x%X", v);
  return ac;
}

std::string Cwd() {
  char ac[1024];
  return getcwd(ac, sizeof(ac)) ? std::string(ac) + "/" : "/";
}

int Record(const std::string& s) {
  _Calls.push_back(s);
  return _OpResult;
}

// Every operation the action pass can call, recorded by name and arguments.
const CMDLINE_OPERATIONS kRecordingOps = {
    .pfOpenProject = [](const char* p,
                        bool d) { return Record("openprj " + std::string(p) + (d ? " +data" : "")); },
    .pfSaveProjectAs = [](const char* p) { return Record("saveprjas " + std::string(p)); },
    .pfSaveProject = [] { return Record("saveprj"); },
    .pfIsDataWindowOpen = nullptr,
    .pfOpenDataFile =
        [](const char* p, uint32_t a, bool h) {
          return Record("open " + std::string(p) + " " + Hex(a) + (h ? " addr" : ""));
        },
    .pfSaveDataFileAs =
        [](const char* p, bool h, uint32_t f, uint32_t l) {
          return Record("saveas " + std::string(p) + (h ? " " + Hex(f) + "-" + Hex(l) : ""));
        },
    .pfSaveDataFile = [] { return Record("save"); },
    .pfMergeDataFile =
        [](const char* p, uint32_t a, bool h) {
          return Record("merge " + std::string(p) + " " + Hex(a) + (h ? " addr" : ""));
        },
    .pfRelocate = [](int32_t o) { return Record("relocate " + std::to_string(o)); },
    .pfDeleteRange = [](uint32_t f, uint32_t l) { return Record("delrange " + Hex(f) + "-" + Hex(l)); },
    .pfEliminateBlank = [] { return Record("eliminate"); },
    .pfConnect = [] { return Record("connect"); },
    .pfDisconnect = [] { return Record("disconnect"); },
    .pfEraseSectors = [] { return Record("erasesectors"); },
    .pfAreAllSectorsSelected = [] { return false; },
    .pfEraseChip = [] { return Record("erasechip"); },
    .pfProgram = [](bool v) { return Record(v ? "programverify" : "program"); },
    .pfAutoProgram = [] { return Record("auto"); },
    .pfVerify = [] { return Record("verify"); },
    .pfReadChip = [] { return Record("readchip"); },
    .pfReadRange = [](uint32_t f, uint32_t l) { return Record("readrange " + Hex(f) + "-" + Hex(l)); },
    .pfReadSectors = [] { return Record("readsectors"); },
    .pfGetReadRangeProposal = nullptr,
    .pfSaveStamperConfig = [](const char* p) { return Record("savecfg " + std::string(p)); },
    .pfSaveStamperData = [](const char* p) { return Record("savedat " + std::string(p)); },
    .pfDownloadStamper = [] { return Record("download"); },
    .pfSecureChip = [] { return Record("securechip"); },
    .pfCheckBlank = [] { return Record("checkblank"); },
    .pfStartApp = [] { return Record("startapp"); },
};

class CmdLine : public ::testing::Test {
protected:
  void SetUp() override {
    _Calls.clear();
    _ProbeCommands.clear();
    _OpResult = 0;
    SavedOps = *CMDLINE_GetOperations();
    *CMDLINE_GetOperations() = kRecordingOps;
    CMDLINE_ResetForTest();
    APP_SetExitCode(0);
    APP_SetAutoExit(false);
    APP_SetProjectGiven(false);
    APP_SetStartModeSet(false);
    APP_SetStartMode(1);
    APP_SetCmdLineActive(false);
    PROBE_SetEntry(
        "XRELAYARM_ExecCommand", (void*)+[](const char* s, char* e, int n) {
          _ProbeCommands.push_back(s);
          if (e && n) e[0] = 0;
          return 0;
        });
  }
  void TearDown() override {
    *CMDLINE_GetOperations() = SavedOps;
    PROBE_ResetEntries();
    APP_SetExitCode(0);
    APP_SetAutoExit(false);
    APP_SetCmdLineActive(false);
  }
  // Runs one pass over "tforge <Args...>"; the log lines land in Out.
  int Run(std::vector<std::string> Args, int Mode) {
    Args.insert(Args.begin(), "/opt/tforge/tforge");
    std::vector<char*> argv;
    for (std::string& a : Args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    ::testing::internal::CaptureStdout();
    int r = CMDLINE_Parse((int)Args.size(), argv.data(), Mode);
    Out = ::testing::internal::GetCapturedStdout();
    return r;
  }
  std::string Out;
  CMDLINE_OPERATIONS SavedOps;
};

TEST(CmdLineTable, MatchingIsCaseBlindPrefixAndTheFirstEntryWins) {
  struct {
    const char* sArg;
    const char* sExpected; // null: no entry
  } aCase[] = {
      {"-OPEN", "-open"},
      {"-openprjx.tforge", "-openprj"},
      {"-openx.tforge", "-open"},
      {"-saveprjasa.tforge", "-saveprjas"},
      {"-saveprj", "-saveprj"},
      {"-saveasout.hex", "-saveas"},
      {"-save0x1000,0x2000", "-save"},
      {"-sav", nullptr},
      {"-programverify", "-programverify"},
      {"-PROGRAM", "-program"},
      {"-production", "-production"},
      {"?", "?"},
      {"?anything", "?"},
      {"-h", "-help"},
      {"--HELP", "-help"},
      {"-hide", "-hide"},
      {"-hx", nullptr},
      {"-DisHDx", nullptr},
      {"-bogus", nullptr},
      {"project.tforge", nullptr},
      {"", nullptr},
  };
  for (const auto& c : aCase) {
    const CMDLINE_OPTION* p = CMDLINE_FindOption(c.sArg);
    if (c.sExpected == nullptr) {
      EXPECT_EQ(p, nullptr) << c.sArg;
    } else {
      ASSERT_NE(p, nullptr) << c.sArg;
      EXPECT_STREQ(p->sOption, c.sExpected) << c.sArg;
    }
  }
}

TEST(CmdLineTable, HelpTextListsEveryOptionWithItsHelp) {
  static char ac[16384];
  int n = CMDLINE_GetHelpText(ac, sizeof(ac));
  std::string s(ac, (size_t)n);
  EXPECT_EQ(
      s.rfind("Valid command line options:\r\n\r\n-openprj\t\t Opens an existing project\n\t\t   Syntax:\t "
              "-openprj<FILENAME>\r\n-saveprjas  \t Saves current project in a different file\n",
              0),
      0u);
  EXPECT_NE(
      s.find("\r\n-eliminate  \t Eliminates blank areas in data file\r\n-connect\t\t Connects to target\r\n"),
      std::string::npos);
  EXPECT_NE(s.find("\r\n-unsecurechip  \t deprecated function, see http"), std::string::npos);
  EXPECT_NE(s.find("\r\n-setrxidcode\t\t Sets the RXIDCode to be used by the DLL.\n\t\t   Syntax:\t "
                   "-setrxidcode<IDCodeString> (32 Characters, 16 IDCode bytes)\r\n"),
            std::string::npos);
  size_t Pos = 0;
  for (const CMDLINE_OPTION& o : CMDLINE_OptionTable) {
    std::string Entry = "\r\n" + std::string(o.sOption) + o.sHelp + "\r\n";
    size_t p = s.find(Entry, Pos ? Pos - 2 : 0);
    ASSERT_NE(p, std::string::npos) << o.sOption;
    Pos = p + Entry.size();
  }
  EXPECT_EQ(Pos, s.size()) << "the text ends with the last option";
}

TEST_F(CmdLine, GetStringFollowsTheQuoteCommaAndLengthRules) {
  struct {
    std::string In;
    int Size;
    int Result;
    const char* sValue;
    const char* sRest;
    const char* sMessage;
  } aCase[] = {
      {"data.bin,0x100", 512, 0, "data.bin", ",0x100", nullptr},
      {"\"my,data.bin\",0x100", 512, 0, "my,data.bin", ",0x100", nullptr},
      {"  spaced name.hex  \r\n", 512, 0, "spaced name.hex  ", "", nullptr},
      {"a\"b", 512, 0, "a", "b", nullptr},
      {"first\nsecond", 512, 0, "first", "second", nullptr},
      {"", 512, -1, "", "", "CMDLINE_GetString:  Missing string"},
      {"\"\",x", 512, -1, "", ",x", "CMDLINE_GetString:  Missing string"},
      {",x", 512, -1, "", ",x", "CMDLINE_GetString:  Missing string"},
      {std::string(256, 'n'), 512, 0, nullptr, "", nullptr},
      {std::string(257, 'n'), 512, -1, nullptr, nullptr, "CMDLINE_GetString: String to long"},
      {"abcd", 8, 0, "abcd", "", nullptr},
      {"abcde", 8, -1, nullptr, nullptr, "CMDLINE_GetString: String to long"},
  };
  for (const auto& c : aCase) {
    APP_SetExitCode(0);
    char acDest[512] = "garbage";
    const char* s = c.In.c_str();
    ::testing::internal::CaptureStdout();
    int r = CMDLINE_GetString(acDest, c.Size, &s);
    std::string Log = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, c.Result) << c.In;
    if (c.sValue) {
      EXPECT_STREQ(acDest, c.sValue) << c.In;
    }
    if (c.sRest) {
      EXPECT_STREQ(s, c.sRest) << c.In;
    }
    EXPECT_EQ(APP_GetExitCode(), r < 0 ? 1 : 0) << c.In;
    if (c.sMessage) {
      EXPECT_NE(Log.find(c.sMessage), std::string::npos) << c.In << Log;
    }
  }
  const char* s = "x";
  EXPECT_EQ(CMDLINE_GetString(nullptr, 512, &s), 0);
  EXPECT_STREQ(s, "x") << "nothing happens without a destination";
}

TEST_F(CmdLine, ActionPassCallsTheOperationsInOrderWithTheirArguments) {
  std::string Dir = Cwd();
  struct {
    std::vector<std::string> Args;
    int Result;
    std::vector<std::string> Calls;
  } aCase[] = {
      {{"-open", "a.hex", "-program"}, 0, {"open " + Dir + "a.hex 0x0", "program"}},
      {{"-OPENa.hex", "-PROGRAMVERIFY"}, 0, {"open " + Dir + "a.hex 0x0", "programverify"}},
      {{"-opendata.bin,0x8000000"}, 0, {"open " + Dir + "data.bin 0x8000000 addr"}},
      {{"-opendata.bin"}, 0, {"open " + Dir + "data.bin 0x0 addr"}},
      {{"-opendata.hex,0x8000000"}, 0, {"open " + Dir + "data.hex 0x0"}},
      {{"-open\"/d/my,data.hex\""}, 0, {"open /d/my,data.hex 0x0"}},
      {{"-open", "/d/with blank.hex"}, 0, {"open /d/with blank.hex 0x0"}},
      {{"-openx.tforge"}, 0, {"openprj " + Dir + "x.tforge +data"}},
      {{"-save0x1000,0x2000"}, 0, {"save"}},
      {{"-saveas/o/out.bin,0x1000,0x1FFF"}, 0, {"saveas /o/out.bin 0x1000-0x1FFF"}},
      {{"-saveas/o/out.bin"}, 0, {"saveas /o/out.bin"}},
      {{"-saveas/o/out.hex,0x1000,0x1FFF"}, 0, {"saveas /o/out.hex"}},
      {{"-merge/m/b.bin,0x400", "-merge/m/c.hex"}, 0, {"merge /m/b.bin 0x400 addr", "merge /m/c.hex 0x0"}},
      {{"-relocate-0x100", "-relocate0x20"}, 0, {"relocate -256", "relocate 32"}},
      {{"-delrange0x10,0x1F", "-readrange0x8000000,0x80003FF"},
       0,
       {"delrange 0x10-0x1F", "readrange 0x8000000-0x80003FF"}},
      {{"-savecfg", "/s/", "Stamper.cfg", "-savedat/s/Stamper.dat"},
       0,
       {"savecfg /s/Stamper.cfg", "savedat /s/Stamper.dat"}},
      {{"-connect", "-erasechip", "-securechip", "-disconnect"},
       0,
       {"connect", "erasechip", "securechip", "disconnect"}},
      {{"-connect", "-exit", "-program"}, 1, {"connect"}},
      {{"-unsecurechip", "-auto", "-production"}, 0, {"auto", "auto"}},
      {{"-hide", "-usb5", "-tforgelog", "-connect"}, 0, {"connect"}},
      {{"p.tforge", "-connect", "-bogus"}, 0, {"openprj " + Dir + "p.tforge +data"}},
      {{"-DisHDparam", "-connect"}, 0, {"connect"}},
  };
  for (const auto& c : aCase) {
    SetUp();
    EXPECT_EQ(Run(c.Args, CMDLINE_MODE_ACTION), c.Result) << c.Args[0] << Out;
    EXPECT_EQ(_Calls, c.Calls) << c.Args[0];
    EXPECT_EQ(APP_GetExitCode(), 0) << c.Args[0] << Out;
    EXPECT_EQ(_ProbeCommands.front(), "SetMSGBoxTimeout = 0");
    if (c.Result == 0) {
      EXPECT_EQ(_ProbeCommands.back(), "SetMSGBoxTimeout = -1");
      EXPECT_FALSE(APP_IsCmdLineActive());
    } else {
      EXPECT_TRUE(APP_IsCmdLineActive()) << "-exit leaves the flags as they are";
    }
  }
}

TEST_F(CmdLine, FailuresStopThePassAndSetTheExitCode) {
  struct {
    std::vector<std::string> Args;
    int OpResult;
    const char* sMessage;
    std::vector<std::string> Calls;
  } aCase[] = {
      // (after an option it would be joined to it as its argument)
      {{"-bogus", "-connect"}, 0, "CMDLINE: Incorrect command line option [-bogus] detected!", {}},
      {{"data.hex", "-connect"}, 0, "CMDLINE: Incorrect command line option [data.hex] detected!", {}},
      {{"-readrange0x8000000", "-connect"}, 0, "Separator has to be ','", {}},
      {{"-delrange0x10", "-connect"}, 0, "Separator has to be ','", {}},
      {{"-merge/m/b.bin"}, 0, "Separator has to be ','", {}},
      {{"-saveas/o/out.bin,0x1000"}, 0, "Separator has to be ','", {}},
      {{"-open"}, 0, "CMDLINE_GetString:  Missing string", {}},
      {{"-open" + std::string(257, 'f') + ".hex"}, 0, "CMDLINE_GetString: String to long", {}},
      {{"-opendata.bin,zz"}, 0, "Invalid hexadecimal number [zz]", {}},
      // An operation that fails without an error box must not let the run end with 0.
      {{"-connect", "-program"}, -1, nullptr, {"connect"}},
  };
  for (const auto& c : aCase) {
    SetUp();
    _OpResult = c.OpResult;
    EXPECT_EQ(Run(c.Args, CMDLINE_MODE_ACTION), -1) << c.Args[0];
    EXPECT_EQ(APP_GetExitCode(), 1) << c.Args[0];
    EXPECT_FALSE(APP_IsCmdLineActive());
    EXPECT_EQ(_Calls, c.Calls) << c.Args[0];
    if (c.sMessage) {
      EXPECT_NE(Out.find(c.sMessage), std::string::npos) << Out;
    }
  }
}

TEST_F(CmdLine, AnOperationThisBuildLacksFailsWithItsName) {
  for (const char* sOption : {"-connect", "-saveprj", "-readchip", "-download"}) {
    SetUp();
    *CMDLINE_GetOperations() = CMDLINE_OPERATIONS{};
    EXPECT_EQ(Run({sOption, "-exit"}, CMDLINE_MODE_ACTION), -1);
    EXPECT_EQ(APP_GetExitCode(), 1);
    EXPECT_NE(Out.find("Command line option [" + std::string(sOption) + "] is not available"),
              std::string::npos)
        << Out;
  }
}

TEST_F(CmdLine, SettingsPassLeavesItsSettingsAndSkipsActions) {
  EXPECT_EQ(Run({"-exit", "-open", "a.hex", "-hide", "-updateprj", "-usb123456",
                 "-setrxidcode0123456789ABCDEF", "-xrelaydevicesxmlpath/etc/dev.xml", "-connect"},
                CMDLINE_MODE_SETTINGS),
            0)
      << Out;
  EXPECT_TRUE(_Calls.empty());
  EXPECT_TRUE(APP_IsAutoExit()) << "settings after -exit are applied too";
  EXPECT_TRUE(CMDLINE_IsDataFileGiven());
  EXPECT_TRUE(CMDLINE_IsAutoUpdateProject());
  EXPECT_TRUE(APP_IsStartModeSet());
  EXPECT_EQ(APP_GetStartMode(), 0);
  EXPECT_STREQ(CMDLINE_GetIDCode(), "0123456789ABCDEF");
  EXPECT_STREQ(CMDLINE_GetDevicesXMLPath(), "/etc/dev.xml");
  CMDLINE_CONNECTION Conn;
  CMDLINE_GetConnection(&Conn, nullptr);
  EXPECT_EQ(Conn.Kind, 1);
  EXPECT_EQ(Conn.Number, 123456u);

  // A project file given bare ends the pass: nothing after it is looked at.
  SetUp();
  EXPECT_EQ(Run({"P.TFORGE", "-min", "-bogus"}, CMDLINE_MODE_SETTINGS), 0) << Out;
  EXPECT_TRUE(APP_IsProjectGiven());
  EXPECT_FALSE(APP_IsStartModeSet());
  EXPECT_EQ(APP_GetExitCode(), 0);

  SetUp();
  EXPECT_EQ(Run({"-setcpuidcode" + std::string(33, 'A')}, CMDLINE_MODE_SETTINGS), -1);
  EXPECT_NE(Out.find("is not a valid RX IDCode (too long)."), std::string::npos) << Out;
  EXPECT_STREQ(CMDLINE_GetIDCode(), "");
  EXPECT_EQ(APP_GetExitCode(), 1);
}

TEST_F(CmdLine, ConnectionComesFromTheOverrideOrTheProject) {
  CMDLINE_PROJECT_CONNECTION Project = {0, 2, 987654, "probe.local"};
  struct {
    std::vector<std::string> Args;
    int ProjectMode;
    uint8_t Kind;
    uint32_t Number;
    const char* sHost;
  } aCase[] = {
      {{}, 0, 0, 2, ""},
      {{}, 1, 1, 987654, ""},
      {{}, 2, 2, 0, "probe.local"},
      {{"-usb3"}, 2, 0, 3, ""},
      {{"-usb4"}, 0, 1, 4, ""},
      {{"-usb0x10"}, 0, 1, 16, ""},
      {{"-usbnone"}, 1, 0, 0, ""},
      {{"-ip192.168.0.9"}, 0, 2, 0, "192.168.0.9"},
      {{"-ip" + std::string(200, 'h')}, 0, 2, 0, nullptr},
  };
  for (const auto& c : aCase) {
    SetUp();
    if (!c.Args.empty()) {
      ASSERT_EQ(Run(c.Args, CMDLINE_MODE_SETTINGS), 0);
    }
    Project.ConnectMode = c.ProjectMode;
    CMDLINE_CONNECTION Conn;
    CMDLINE_GetConnection(&Conn, &Project);
    EXPECT_EQ(Conn.Kind, c.Kind);
    EXPECT_EQ(Conn.Number, c.Number);
    if (c.sHost) {
      EXPECT_STREQ(Conn.acHost, c.sHost);
    } else {
      EXPECT_EQ(std::string(Conn.acHost), std::string(127, 'h'));
    }
  }
}

TEST_F(CmdLine, RangeIsRememberedAndProposedByTheDialog) {
  uint32_t First = 0, Last = 0;
  EXPECT_FALSE(CMDLINE_GetRememberedRange(&First, &Last));
  ASSERT_EQ(Run({"-readrange0x100,0x1FF"}, CMDLINE_MODE_ACTION), 0);
  ASSERT_TRUE(CMDLINE_GetRememberedRange(&First, &Last));
  EXPECT_EQ(First, 0x100u);
  EXPECT_EQ(Last, 0x1FFu);
  // Without a GUI the dialog cannot ask: the command ends, the range stays.
  EXPECT_EQ(CMDLINE_GetAddressRange("", CMDLINE_RANGE_DELETE, &First, &Last), 1);
  // Inside a script an empty range is an error, not a question.
  EXPECT_EQ(Run({"-delrange"}, CMDLINE_MODE_ACTION), -1);
  EXPECT_EQ(APP_GetExitCode(), 1);
  EXPECT_TRUE(_Calls.empty() || _Calls.back() != "delrange");
}

} // namespace
