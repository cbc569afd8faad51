// The Stamper's files from the real binary: -savecfg and -savedat on a project for the
// simulated AT32F425 and a data file, headless.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "SimProjectE2E.h"
#include "data/CRC32.h"
#include "tests/TestFiles.h"

namespace {

bool Has(const TForgeRun& r, const std::string& s) { return r.Out.find(s) != std::string::npos; }

uint32_t U32(const std::string& s, size_t Off) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data()) + Off;
  return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24;
}

uint32_t EnvelopeCRC(const std::string& s, uint32_t Covered) {
  uint32_t Crc = CRC32_Update(0, s.data(), 248);
  return CRC32_Update(Crc, s.data() + 256, Covered - 256);
}

// A project for the simulated AT32F425 with its banks, made by the program itself.
class StamperE2E : public SimProjectE2E {
protected:
  void SetUp() override {
    SimProjectE2E::SetUp();
    if (HasFatalFailure()) return;
    // The device's three banks; the external bank the new project started with goes.
    std::string Text = ReadAll(Project);
    Replace(&Text, "  NumBanks = 4", "  NumBanks = 3");
    WriteAll(Project, Text);
    std::string Data(5000, '\0');
    for (size_t i = 0; i < Data.size(); i++)
      Data[i] = char(i * 13 + 5);
    WriteAll(Home.Path("app.bin"), Data);
  }
};

} // namespace

TEST_F(StamperE2E, SavesBothFilesFromTheCommandLine) {
  std::string Cfg = Home.Path("out/Stamper.cfg"), Dat = Home.Path("out/Stamper.dat");
  std::system(("mkdir -p '" + Home.Path("out") + "'").c_str());
  TForgeRun r = Run({"-open" + Home.Path("app.bin") + ",0x08000000", "-savecfg" + Cfg, "-savedat" + Dat});
  ASSERT_EQ(r.ExitCode, 0) << r.Out;
  std::string C = ReadAll(Cfg), D = ReadAll(Dat);
  ASSERT_GT(C.size(), 256u);
  EXPECT_EQ(C.size() % 2048, 0u);
  EXPECT_EQ(U32(C, 248), C.size());
  EXPECT_EQ(U32(C, 252), EnvelopeCRC(C, (uint32_t)C.size()));
  EXPECT_EQ(C.rfind("Stamper Config File V1.0 - Generated ", 0), 0u);
  char ac[64];
  std::snprintf(ac, sizeof(ac), "Config file saved successfully (CRC: 0x%.8X)", CRC32_Update(0, C.data(), C.size()));
  EXPECT_TRUE(Has(r, ac)) << r.Out;
  // 5000 bytes in the main flash's 1 KB pages: 2048, 2048 and 1024 bytes behind a 2 KB header.
  ASSERT_EQ(D.size(), 2048u + 5120u);
  EXPECT_EQ(U32(D, 248), 2048u);
  EXPECT_EQ(U32(D, 252), EnvelopeCRC(D, 2048));
  EXPECT_EQ(D.substr(2048, 5000), ReadAll(Home.Path("app.bin")));
  EXPECT_EQ(D.substr(2048 + 5000), std::string(120, '\xFF'));
  EXPECT_TRUE(Has(r, "Preparing DAT file range: 0x08001000 - 0x080013FF (1024 bytes).")) << r.Out;
  std::snprintf(ac, sizeof(ac), "Data file saved successfully (CRC: 0x%.8X)", CRC32_Update(0, D.data(), D.size()));
  EXPECT_TRUE(Has(r, ac)) << r.Out;
}

TEST_F(StamperE2E, DownloadPutsTheSameFilesOnTheProgrammer) {
  std::string Cfg = Home.Path("Stamper.cfg"), Dat = Home.Path("Stamper.dat");
  TForgeRun r = Run({"-open" + Home.Path("app.bin") + ",0x08000000", "-savecfg" + Cfg, "-savedat" + Dat, "-download"});
  ASSERT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_TRUE(Has(r, "Downloading file(s) to probe / programmer...")) << r.Out;
  EXPECT_TRUE(Has(r, "Downloading \"Stamper.cfg\" (")) << r.Out;
  EXPECT_TRUE(Has(r, "Successfully downloaded files to Stamper.")) << r.Out;
  // The files differ from the saved ones at most in the minute of their text (and so the CRC).
  std::string PC = ReadAll(Cfg), Prog = ReadAll(Home.Path("sim/123456/files/Stamper.cfg"));
  ASSERT_EQ(Prog.size(), PC.size());
  EXPECT_EQ(Prog.substr(256), PC.substr(256));
  PC = ReadAll(Dat);
  Prog = ReadAll(Home.Path("sim/123456/files/Stamper.dat"));
  ASSERT_EQ(Prog.size(), PC.size());
  EXPECT_EQ(Prog.substr(256), PC.substr(256));
}

TEST_F(StamperE2E, RefusedFilesFailTheRunAndKeepTheOldFile) {
  std::string Dat = Home.Path("Stamper.dat");
  WriteAll(Dat, "old");
  TForgeRun r = Run({"-savedat" + Dat});
  EXPECT_EQ(r.ExitCode, 1) << r.Out;
  EXPECT_TRUE(Has(r, "No data file open. Please ensure that you have opened a data file.")) << r.Out;
  EXPECT_TRUE(Has(r, "Failed to save data file")) << r.Out;
  EXPECT_EQ(ReadAll(Dat), "old");
}
