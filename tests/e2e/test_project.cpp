// Projects driven from the command line and at start-up, headless.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/TestVersion.h"
#include "RunTForge.h"

#include "tests/TestFiles.h"

namespace {

bool Has(const TForgeRun& r, const std::string& s) {
  return r.Out.find(s) != std::string::npos;
}

class ProjectE2E : public ::testing::Test {
protected:
  void SetUp() override { std::system(("mkdir -p '" + Home.Path("config/KORVEN") + "'").c_str()); }
  TForgeHome Home;
};

TEST_F(ProjectE2E, MissingProjectFailsTheRun) {
  std::string Missing = Home.Path("new.tforge");
  TForgeRun r = Home.Run({"-hide", "-openprj" + Missing, "-exit"});
  EXPECT_EQ(r.ExitCode, 1) << r.Out;
  EXPECT_TRUE(Has(r, "Could not open file [" + Missing + "]\nFile not found!")) << r.Out;
  EXPECT_FALSE(std::ifstream(Missing).good());
}

TEST_F(ProjectE2E, SavedProjectReadsBackToTheSameBytes) {
  std::string P = Home.Path("p.tforge"), Q = Home.Path("q.tforge");
  TForgeRun r = Home.Run({"-hide", "-saveprjas" + P, "-exit"});
  ASSERT_EQ(r.ExitCode, 0) << r.Out;
  std::string Text = ReadAll(P);
  EXPECT_EQ(Text.rfind(AppVersionLine() + "  FileVersion = 2\r\n[GENERAL]\r\n", 0), 0u) << Text;
  size_t Last = 0;
  for (const char* s : {"\n[GENERAL]\r\n", "\n[JTAG]\r\n", "\n[CPU]\r\n", "\n[FLASH]\r\n",
                        "\n[PRODUCTION]\r\n", "\n[PERFORMANCE]\r\n"}) {
    size_t p = Text.find(s);
    ASSERT_NE(p, std::string::npos) << s << Text;
    EXPECT_GT(p, Last) << s;
    Last = p;
  }
  r = Home.Run({"-hide", "-openprj" + P, "-saveprjas" + Q, "-exit"});
  ASSERT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_TRUE(Has(r, "Project opened successfully")) << r.Out;
  EXPECT_EQ(ReadAll(Q), Text);
  // -saveprj of an unchanged project writes nothing.
  WriteAll(P, Text + "; kept\r\n");
  r = Home.Run({"-hide", "-openprj" + P, "-saveprj", "-exit"});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_EQ(ReadAll(P), Text + "; kept\r\n");
}

TEST_F(ProjectE2E, BareProjectArgumentOpensItAndEndsThePasses) {
  std::string P = Home.Path("line.TFORGE"), Q = Home.Path("never.tforge");
  ASSERT_EQ(Home.Run({"-hide", "-saveprjas" + P, "-exit"}).ExitCode, 0);
  TForgeRun r = Home.Run({P, "-saveprjas" + Q, "-bogus", "-exit"});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_TRUE(Has(r, "Opening project file [" + P + "] ...")) << r.Out;
  EXPECT_TRUE(Has(r, "Project opened successfully")) << r.Out;
  EXPECT_FALSE(Has(r, "Incorrect command line option")) << r.Out;
  EXPECT_FALSE(std::ifstream(Q).good());
}

TEST_F(ProjectE2E, ProjectOpensItsDataFileUnlessOneIsGiven) {
  // The project names app.hex beside it, at a relative path.
  WriteAll(Home.Path("app.hex"), ":0401000001020304F1\n:00000001FF\n");
  WriteAll(Home.Path("other.hex"), ":0401000005060708E1\n:00000001FF\n");
  std::string P = Home.Path("p.tforge");
  ASSERT_EQ(Home.Run({"-hide", "-saveprjas" + P, "-exit"}).ExitCode, 0);
  std::string Text = ReadAll(P);
  size_t p = Text.find("CurrentFile = \"\"");
  ASSERT_NE(p, std::string::npos);
  WriteAll(P, Text.replace(p, 16, "CurrentFile = \"app.hex\""));
  std::string Out = Home.Path("out.bin");
  TForgeRun r = Home.Run({"-hide", "-openprj" + P, "-saveas" + Out + ",0x100,0x103", "-exit"});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_EQ(ReadAll(Out), std::string("\x01\x02\x03\x04", 4));
  r = Home.Run(
      {"-hide", "-open" + Home.Path("other.hex"), "-openprj" + P, "-saveas" + Out + ",0x100,0x103", "-exit"});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_EQ(ReadAll(Out), std::string("\x05\x06\x07\x08", 4)) << "-open names the data file";
}

TEST_F(ProjectE2E, StartupOpensOrCreatesTheDefaultProject) {
  std::string Default = Home.Path("settings/Default.tforge");
  TForgeRun r = Home.Run({"-hide", "-exit"});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_TRUE(Has(r, "Creating new project file [" + Default + "] ...")) << r.Out;
  std::string Text = ReadAll(Default);
  EXPECT_NE(Text.find("  FileVersion = 2\r\n"), std::string::npos);
  r = Home.Run({"-hide", "-exit"});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_TRUE(Has(r, "Opening project file [" + Default + "] ...")) << r.Out;
  EXPECT_EQ(ReadAll(Default), Text);

  // Without arguments and "do not ask again" set, the last project opens; when it is gone,
  // the default project does.
  std::string P = Home.Path("last.tforge");
  ASSERT_EQ(Home.Run({"-hide", "-saveprjas" + P, "-exit"}).ExitCode, 0);
  WriteAll(Home.Path("config/KORVEN/registry.ini"),
           "[Software\\KORVEN\\T-Forge]\n\"DontShowAgainStartTForge\"=dword:00000001\n");
  r = Home.Run({});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_TRUE(Has(r, "Opening project file [" + P + "] ...")) << r.Out;
  std::remove(P.c_str());
  r = Home.Run({});
  EXPECT_TRUE(Has(r, "Opening project file [" + Default + "] ...")) << r.Out;
}

TEST_F(ProjectE2E, NewerFormatIsRefused) {
  std::string P = Home.Path("future.tforge");
  WriteAll(P, "  AppVersion = 80100\r\n  FileVersion = 3\r\n[GENERAL]\r\n");
  TForgeRun r = Home.Run({"-hide", "-openprj" + P, "-exit"});
  EXPECT_EQ(r.ExitCode, 1) << r.Out;
  EXPECT_TRUE(Has(r, "The T-Forge project you are trying to open is from a version of T-Forge (V8.01)"))
      << r.Out;
  EXPECT_TRUE(Has(r, "Project file format version is 3, T-Forge supports max. file format version 2."))
      << r.Out;
  EXPECT_EQ(ReadAll(P), "  AppVersion = 80100\r\n  FileVersion = 3\r\n[GENERAL]\r\n");
}

TEST_F(ProjectE2E, OutdatedBanksNeedUpdateprjInABatchRun) {
  // A project for the simulated AT32F425 whose only bank is not one of the device's.
  std::string P = Home.Path("at.tforge"), Q = Home.Path("at2.tforge"), R = Home.Path("at3.tforge");
  ASSERT_EQ(Home.Run({"-hide", "-saveprjas" + P, "-exit"}).ExitCode, 0);
  std::string Text = ReadAll(P);
  size_t p = Text.find("  ChipName = \"");
  ASSERT_NE(p, std::string::npos);
  Text.replace(p, Text.find("\r\n", p) - p, "  ChipName = \"ArteryTek AT32F425C8T7\"");
  WriteAll(P, Text);
  TForgeRun r = Home.Run({"-hide", "-openprj" + P, "-saveprjas" + Q, "-exit"});
  EXPECT_EQ(r.ExitCode, 1) << r.Out;
  EXPECT_TRUE(Has(r, "This project contains outdated flash bank information.")) << r.Out;
  EXPECT_FALSE(std::ifstream(Q).good());

  r = Home.Run({"-hide", "-updateprj", "-openprj" + P, "-saveprjas" + Q, "-exit"});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  std::string Updated = ReadAll(Q);
  EXPECT_NE(
      Updated.find(
          "[FLASH]\r\n  NumBanks = 4\r\n[FLASH0]\r\n  aRangeSel[1] = 0-63\r\n  BankName = \"Main flash\""),
      std::string::npos)
      << Updated;
  EXPECT_NE(Updated.find("  BaseAddr = 0x1FFFF800\r\n"), std::string::npos) << Updated;
  ASSERT_EQ(Home.Run({"-hide", "-openprj" + Q, "-saveprjas" + R, "-exit"}).ExitCode, 0);
  EXPECT_EQ(ReadAll(R), Updated) << "an updated project opens without a question";

  Text.replace(Text.find("ArteryTek AT32F425C8T7"), 22, "Nobody X1");
  WriteAll(P, Text);
  r = Home.Run({"-hide", "-openprj" + P, "-exit"});
  EXPECT_EQ(r.ExitCode, 1) << r.Out;
  EXPECT_TRUE(Has(r, "Project error: Unknown device specified (Nobody X1).")) << r.Out;
}

TEST_F(ProjectE2E, AutoSaveProjectSavesAChangedProjectAtTheEndOfABatchRun) {
  // Opening a data file stores it in the project, which changes the project.
  WriteAll(Home.Path("app.hex"), ":0401000001020304F1\n:00000001FF\n");
  std::string P = Home.Path("p.tforge");
  ASSERT_EQ(Home.Run({"-hide", "-saveprjas" + P, "-exit"}).ExitCode, 0);
  const std::string Saved = ReadAll(P);
  for (bool AutoSave : {false, true}) {
    WriteAll(P, Saved);
    WriteAll(Home.Path("config/KORVEN/TForgeSettings.ini"),
             std::string("[PROJECT]\r\nAutoSaveProject = ") + (AutoSave ? "1" : "0") + "\r\n");
    TForgeRun r = Home.Run({"-hide", "-openprj" + P, "-open" + Home.Path("app.hex"), "-exit"});
    EXPECT_EQ(r.ExitCode, 0) << r.Out;
    EXPECT_EQ(ReadAll(P).find("CurrentFile = \"app.hex\"") != std::string::npos, AutoSave) << ReadAll(P);
  }
}

TEST_F(ProjectE2E, DeviceUnderAFormerVendorNameStillOpens) {
  std::string P = Home.Path("sam.tforge");
  ASSERT_EQ(Home.Run({"-hide", "-saveprjas" + P, "-exit"}).ExitCode, 0);
  std::string Text = ReadAll(P);
  size_t p = Text.find("  ChipName = \"");
  ASSERT_NE(p, std::string::npos);
  size_t End = Text.find("\r\n", p);
  // The device list names it by its former vendor; an older project also by its former name.
  for (const char* sName : {"Atmel ATSAM3S4C", "Atmel AT91SAM3S4C"}) {
    std::string Named = Text;
    Named.replace(p, End - p, std::string("  ChipName = \"") + sName + "\"");
    WriteAll(P, Named);
    TForgeRun r = Home.Run({"-hide", "-openprj" + P, "-exit"});
    EXPECT_EQ(r.ExitCode, 0) << sName << "\n" << r.Out;
    EXPECT_FALSE(Has(r, "Unknown device")) << sName << "\n" << r.Out;
    EXPECT_TRUE(Has(r, "Project opened successfully")) << sName << "\n" << r.Out;
  }
}

} // namespace
