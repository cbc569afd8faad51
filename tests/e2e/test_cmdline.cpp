// tforge driven from its command line, headless, the way production scripts run it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/TestVersion.h"
#include "RunTForge.h"
#include "app/CMDLINE.h"

#include "tests/TestFiles.h"

namespace {

bool Has(const TForgeRun& r, const std::string& s) {
  return r.Out.find(s) != std::string::npos;
}

class CmdLineE2E : public ::testing::Test {
protected:
  void SetUp() override {
    std::system(("mkdir -p '" + Home.Path("config/KORVEN") + "'").c_str());
    // Four bytes at 0x100 and four at 0x8000.
    WriteAll(Home.Path("app.hex"), ":0401000001020304F1\n:0480000011223344D2\n:00000001FF\n");
  }
  void WriteSettings(const std::string& Text) {
    WriteAll(Home.Path("config/KORVEN/TForgeSettings.ini"), Text);
  }
  TForgeHome Home;
};

TEST_F(CmdLineE2E, ExitCodeTellsTheScriptWhatHappened) {
  struct {
    std::vector<std::string> Args;
    int ExitCode;
    const char* sOut;
  } aCase[] = {
      {{"-hide", "-exit"}, 0, "Application log started"},
      {{"-HIDE", "-EXIT"}, 0, "Application log started"},
      {{"-bogus", "-exit"}, 1, "CMDLINE: Incorrect command line option [-bogus] detected!"},
      {{"-hide", "extra", "-exit"}, 0, "[1]: -hide"},
      {{"data.hex", "-exit"}, 1, "CMDLINE: Incorrect command line option [data.hex] detected!"},
      {{"-readrange0x8000000", "-exit"}, 1, "Separator has to be ','"},
      {{"-open" + std::string(257, 'n') + ".hex", "-exit"}, 1, "CMDLINE_GetString: String to long"},
      {{"-open", "-exit"}, 1, "CMDLINE_GetString:  Missing string"},
      {{"-program", "-exit"}, 1, "Could not program target, no data file opened"},
      {{"-setrxidcode" + std::string(33, '0'), "-exit"}, 1, "is not a valid RX IDCode (too long)."},
      {{"-unsecurechip", "-exit"}, 0, "Deprecated function \"-unsecurechip\" skipped, see "},
  };
  for (const auto& c : aCase) {
    TForgeRun r = Home.Run(c.Args);
    EXPECT_EQ(r.ExitCode, c.ExitCode) << c.Args[0] << "\n" << r.Out;
    EXPECT_TRUE(Has(r, c.sOut)) << c.Args[0] << "\n" << r.Out;
  }
}

TEST_F(CmdLineE2E, HelpPrintsEveryOptionAndEnds) {
  for (const char* sHelp : {"-?", "?", "-help", "--help", "-h", "-HELP"}) {
    TForgeRun r = Home.Run({sHelp});
    EXPECT_EQ(r.ExitCode, 0) << sHelp << r.Out;
    ASSERT_TRUE(Has(r, "Valid command line options:")) << sHelp << r.Out;
    for (const CMDLINE_OPTION& o : CMDLINE_OptionTable) {
      EXPECT_TRUE(Has(r, "\n" + std::string(o.sOption) + o.sHelp + "\r\n")) << sHelp << " " << o.sOption;
    }
  }
}

TEST_F(CmdLineE2E, DataFileOptionsRunInTheOrderWritten) {
  std::string In = Home.Path("app.hex");
  std::string Out = Home.Path("out.bin");
  // The option and its file name as two arguments are joined; capitals are accepted.
  TForgeRun r = Home.Run({"-OPEN", In, "-SAVEAS" + Out + ",0x100,0x103", "-exit"});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_EQ(ReadAll(Out), std::string("\x01\x02\x03\x04", 4));

  // A quoted name may hold commas; the range after it still counts.
  std::string Comma = Home.Path("a,b.bin");
  r = Home.Run({"-open" + In, "-saveas\"" + Comma + "\",0x8000,0x8001", "-exit"});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_EQ(ReadAll(Comma), "\x11\x22");

  // A binary file opens at the address after its name.
  r = Home.Run({"-open" + Out + ",0x8000000", "-saveas" + Home.Path("moved.hex"), "-exit"});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_NE(ReadAll(Home.Path("moved.hex")).find(":020000040800F2"), std::string::npos);

  // -exit first ends the actions at once, yet the run ends and succeeds.
  r = Home.Run({"-exit", "-open" + In, "-saveas" + Home.Path("never.hex")});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_FALSE(std::ifstream(Home.Path("never.hex")).good());

  // A failing action stops the rest.
  r = Home.Run({"-open" + Home.Path("missing.hex"), "-saveas" + Home.Path("never.hex"), "-exit"});
  EXPECT_EQ(r.ExitCode, 1) << r.Out;
  EXPECT_FALSE(std::ifstream(Home.Path("never.hex")).good());
}

TEST_F(CmdLineE2E, EditingOptionsChangeTheImageBeforeItIsSaved) {
  std::string In = Home.Path("app.hex");
  WriteAll(Home.Path("extra.bin"), "\xAA\xBB");
  // 01 02 03 04 at 0x100, AA BB merged behind it, moved up by 0x1000 in two steps, two bytes
  // deleted; the gap is written as blank bytes.
  std::string Out = Home.Path("out.bin");
  TForgeRun r = Home.Run({"-open" + In, "-merge" + Home.Path("extra.bin") + ",0x104", "-relocate0x1800",
                          "-relocate-0x800", "-delrange0x1101,0x1102", "-saveas" + Out + ",0x1100,0x1105", "-exit"});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_TRUE(Has(r, "Data files merged successfully (10 bytes, 2 ranges, CRC = 0x")) << r.Out;
  EXPECT_EQ(ReadAll(Out), std::string("\x01\xFF\xFF\x04\xAA\xBB", 6));

  // A blank run of 64 bytes and more goes; -save writes the window's own file again.
  std::string Blank = Home.Path("blank.hex");
  WriteAll(Blank, ":0100000001FE\n"
                  ":10001000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF0\n"
                  ":10002000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFE0\n"
                  ":10003000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFD0\n"
                  ":10004000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFC0\n"
                  ":0100500002AD\n:00000001FF\n");
  r = Home.Run({"-open" + Blank, "-eliminate", "-save", "-exit"});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_TRUE(Has(r, "66 bytes (2 ranges) before eliminate operation")) << r.Out;
  EXPECT_TRUE(Has(r, "2 bytes (2 ranges) after eliminate operation")) << r.Out;
  r = Home.Run({"-open" + Blank, "-exit"});
  EXPECT_TRUE(Has(r, "Data file opened successfully (2 bytes, 2 ranges,")) << r.Out;

  // -delrange and -saveas of a binary file need both addresses.
  r = Home.Run({"-open" + In, "-delrange0x100", "-exit"});
  EXPECT_EQ(r.ExitCode, 1) << r.Out;
  EXPECT_TRUE(Has(r, "Separator has to be ','")) << r.Out;
  r = Home.Run({"-open" + In, "-saveas" + Out + ",0x100", "-exit"});
  EXPECT_EQ(r.ExitCode, 1) << r.Out;
  EXPECT_TRUE(Has(r, "Separator has to be ','")) << r.Out;
}

TEST_F(CmdLineE2E, ConversionAndAChecksumError) {
  std::string S37 = Home.Path("app.s37");
  TForgeRun r = Home.Run({"-hide", "-open" + Home.Path("app.hex"), "-saveas" + S37, "-exit"});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_TRUE(Has(r, "Data file opened successfully (8 bytes, 2 ranges, CRC of data = 0x")) << r.Out;
  EXPECT_TRUE(Has(r, "Data file saved successfully (8 bytes, 2 ranges)")) << r.Out;
  EXPECT_EQ(ReadAll(S37), "S107010001020304ED\r\nS107800011223344CE\r\nS9030000FC\r\n");

  WriteAll(Home.Path("bad.hex"), ":0401000001020304F1\n:0480000011223344D3\n:00000001FF\n");
  r = Home.Run({"-hide", "-open" + Home.Path("bad.hex"), "-saveas" + Home.Path("never.s37"), "-exit"});
  EXPECT_EQ(r.ExitCode, 1) << r.Out;
  EXPECT_TRUE(Has(r, "Error in line 2: Checksum error !\nExpected: 0xD2, found: 0xD3")) << r.Out;
  EXPECT_FALSE(std::ifstream(Home.Path("never.s37")).good());
}

TEST_F(CmdLineE2E, BareProjectFileEndsBothPasses) {
  TForgeRun r = Home.Run({Home.Path("line.TFORGE"), "-bogus", "-exit"});
  EXPECT_FALSE(Has(r, "Incorrect command line option")) << r.Out;
  EXPECT_TRUE(Has(r, "Could not open file [" + Home.Path("line.TFORGE") + "]")) << r.Out;
  EXPECT_EQ(r.ExitCode, 1) << "the project could not be opened";
}

TEST_F(CmdLineE2E, TemporaryLogFileReceivesTheLogEvenAfterExit) {
  std::string Log = Home.Path("run.log");
  // Settings options after -exit are still applied.
  TForgeRun r = Home.Run({"-exit", "-tforgelog" + Log});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  std::string Text = ReadAll(Log);
  EXPECT_EQ(Text.rfind("Application log started\r\n - " + ShortProductName() + " (T-Forge compiled ", 0), 0u) << Text;
  EXPECT_NE(Text.find(" - libxrelayarm.so V"), std::string::npos) << Text;
}

TEST_F(CmdLineE2E, SettingsFileControlsTheLog) {
  // Level 1 keeps the detail lines out.
  WriteSettings("[LOG]\r\nLogLevel = 1\r\n");
  TForgeRun r = Home.Run({"-hide", "-exit"});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_TRUE(Has(r, "Optional command line parameters found")) << r.Out;
  EXPECT_FALSE(Has(r, " - [1]: -hide")) << r.Out;

  // An enabled log with an unquoted file name: the error, and the default file is used.
  WriteSettings("[LOG]\r\nTForgeLogFile=/nowhere/tf.log\r\nEnableTForgeLog = 1\r\n");
  r = Home.Run({"-exit"});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_TRUE(Has(r, "Error while parsing subkey \"TForgeLogFile\" in settings file. Syntax error."))
      << r.Out;
  EXPECT_NE(ReadAll(Home.Path("settings/TForge.log")).find("Application log started"), std::string::npos);
}

TEST_F(CmdLineE2E, OversizedSettingsFileEndsABatchRunWithoutTouchingIt) {
  std::string Big = "[LOG]\r\nLogLevel = 1\r\n" + std::string(30001 - 21, ';');
  WriteSettings(Big);
  TForgeRun r = Home.Run({"-open" + Home.Path("app.hex"), "-saveas" + Home.Path("never.hex"), "-exit"});
  EXPECT_EQ(r.ExitCode, 1) << r.Out;
  EXPECT_TRUE(Has(r, "File too large - maximum file size (30000 bytes) exceeded!")) << r.Out;
  EXPECT_TRUE(Has(r, "Failed to initialize T-Forge")) << r.Out;
  EXPECT_TRUE(Has(r, " - [1]: -open")) << "the defaults apply: level 3" << r.Out;
  EXPECT_FALSE(std::ifstream(Home.Path("never.hex")).good());
  EXPECT_EQ(ReadAll(Home.Path("config/KORVEN/TForgeSettings.ini")), Big);
}

TEST_F(CmdLineE2E, DataFileOptionsWithoutADataWindowDoNothing) {
  const std::string aOption[] = {"-save", "-save0x100,0x103", "-saveas" + Home.Path("never.hex"),
                                 "-saveas" + Home.Path("never.bin") + ",0x100,0x103",
                                 "-merge" + Home.Path("app.hex")};
  for (const std::string& Option : aOption) {
    TForgeRun r = Home.Run({Option, "-exit"});
    EXPECT_EQ(r.ExitCode, 0) << Option << "\n" << r.Out;
    EXPECT_FALSE(Has(r, "No data file open")) << Option << "\n" << r.Out;
  }
  EXPECT_FALSE(std::ifstream(Home.Path("never.hex")).good());
  EXPECT_FALSE(std::ifstream(Home.Path("never.bin")).good());
}

// Where the summary box of a failed operation starts (printed, since nobody can click it).
size_t ErrorBoxAt(const TForgeRun& r) {
  return r.Out.find(ShortProductName() + " Error: ");
}

TEST_F(CmdLineE2E, FailedDataFileOperationsEndWithTheErrorBox) {
  std::string In = Home.Path("app.hex");
  std::system(("mkdir -p '" + Home.Path("folder.hex") + "'").c_str());
  struct {
    std::vector<std::string> Args;
    std::string sBox; // a text the error box must show
  } aCase[] = {
      {{"-open" + Home.Path("missing.hex")}, "Failed to open data file"},
      {{"-open" + In, "-merge" + Home.Path("missing.hex")}, "Failed to merge data file"},
      {{"-eliminate"}, "Failed to eliminate blank areas"},
      {{"-open" + In, "-saveas" + Home.Path("nodir/out.hex")}, "Failed to save data file"},
      // A folder is no output file: the reason, not a failed write after all the work.
      {{"-open" + In, "-saveas" + Home.Path("folder.hex")}, "Could not write file.\n" + Home.Path("folder.hex")},
      // An end before the start is a mistyped range, not an empty file.
      {{"-open" + In, "-saveas" + Home.Path("x.bin") + ",104,FE"},
       "Invalid address range 0x104 - 0xFE: start address above end address"},
  };
  for (auto& c : aCase) {
    c.Args.push_back("-exit");
    TForgeRun r = Home.Run(c.Args);
    EXPECT_EQ(r.ExitCode, 1) << c.Args[0] << "\n" << r.Out;
    size_t Box = ErrorBoxAt(r);
    ASSERT_NE(Box, std::string::npos) << c.sBox << "\n" << r.Out;
    EXPECT_NE(r.Out.find(c.sBox, Box), std::string::npos) << c.sBox << "\n" << r.Out;
    EXPECT_FALSE(Has(r, "Data file saved successfully")) << r.Out;
    EXPECT_FALSE(Has(r, "Error writing file.")) << r.Out;
  }
  EXPECT_FALSE(std::ifstream(Home.Path("x.bin")).good());
}

TEST_F(CmdLineE2E, FileThatMayBeWrittenIsSavedInPlaceWhenNoTemporaryFileFits) {
  // The temporary file's longer name does not fit in the folder; the file itself is writable.
  const std::string S37 = "S107010001020304ED\r\nS107800011223344CE\r\nS9030000FC\r\n";
  // (Named relative to the working folder: a command-line string holds 256 characters.)
  std::string Name = std::string(246, 'l') + ".s37", Long = Home.Path(Name);
  WriteAll(Long, "old");
  char acCwd[4096];
  ASSERT_NE(getcwd(acCwd, sizeof(acCwd)), nullptr);
  ASSERT_EQ(chdir(Home.Dir.c_str()), 0);
  TForgeRun r = Home.Run({"-open" + Home.Path("app.hex"), "-saveas" + Name, "-exit"});
  ASSERT_EQ(chdir(acCwd), 0);
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_EQ(ReadAll(Long), S37);

  if (geteuid() == 0) GTEST_SKIP() << "folder permissions do not bind the superuser";
  // A folder that refuses new files, holding a writable file.
  std::string Dir = Home.Path("locked"), File = Dir + "/app.s37";
  std::system(("mkdir -p '" + Dir + "'").c_str());
  WriteAll(File, "old");
  std::system(("chmod 555 '" + Dir + "'").c_str());
  r = Home.Run({"-open" + Home.Path("app.hex"), "-saveas" + File, "-exit"});
  std::system(("chmod 755 '" + Dir + "'").c_str());
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_EQ(ReadAll(File), S37);
}

TEST_F(CmdLineE2E, OpenedAndSavedDataFilesLeadTheRecentList) {
  std::string In = Home.Path("app.hex"), Out = Home.Path("out.s37");
  TForgeRun r = Home.Run({"-open" + In, "-saveas" + Out, "-exit"});
  ASSERT_EQ(r.ExitCode, 0) << r.Out;
  std::string Reg = ReadAll(Home.Path("config/KORVEN/registry.ini"));
  size_t List = Reg.find("Recent File List 0");
  ASSERT_NE(List, std::string::npos) << Reg;
  size_t First = Reg.find("\"File1\"=\"" + Out + "\"", List), Second = Reg.find("\"File2\"=\"" + In + "\"", List);
  EXPECT_NE(First, std::string::npos) << Reg;
  EXPECT_NE(Second, std::string::npos) << Reg;
}

} // namespace
