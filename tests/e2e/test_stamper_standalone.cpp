// The Stamper's files end to end: the real binary saves and downloads them for the example
// project, the simulated Stamper programs its target from them on its own (its start button,
// "SimStamperRun"), and a new process checks what it programmed.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "RunTForge.h"
#include "tests/TestFiles.h"

namespace {

bool Has(const TForgeRun& r, const std::string& s) { return r.Out.find(s) != std::string::npos; }

// The bytes of an Intel HEX file by address (data and extended linear address records only,
// which is what the example's build writes).
std::map<uint32_t, uint8_t> ReadHex(const std::string& Text) {
  std::map<uint32_t, uint8_t> m;
  uint32_t Upper = 0;
  size_t p = 0;
  while ((p = Text.find(':', p)) != std::string::npos) {
    auto Byte = [&](size_t i) { return (uint32_t)std::stoul(Text.substr(p + 1 + 2 * i, 2), nullptr, 16); };
    uint32_t n = Byte(0), Addr = Byte(1) << 8 | Byte(2), Type = Byte(3);
    if (Type == 0) {
      for (uint32_t i = 0; i < n; i++)
        m[Upper + Addr + i] = (uint8_t)Byte(4 + i);
    } else if (Type == 4) {
      Upper = (Byte(4) << 8 | Byte(5)) << 16;
    }
    p++;
  }
  return m;
}

std::string Hex(const std::string& Bytes) {
  std::string s;
  char ac[3];
  for (unsigned char c : Bytes) {
    std::snprintf(ac, sizeof(ac), "%02X", c);
    s += ac;
  }
  return s;
}

class StamperStandAlone : public ::testing::Test {
protected:
  void SetUp() override { Download({}); }
  // The example project with some of its "Key = value" lines replaced.
  // Transfer false: the files are only saved and put on the programmer by the test (a download
  // connects, which runs the init steps on the host first).
  void Download(const std::map<std::string, std::string>& Changes, const std::string& ExtraCPU = "",
                bool Transfer = true) {
    Project = Home.Path("counter.tforge");
    HexFile = Home.Path("counter.hex");
    std::string Text = ReadAll(EXAMPLE_DIR "/counter.tforge");
    for (const auto& [Key, Value] : Changes) {
      size_t p = Text.find("  " + Key + " = ");
      ASSERT_NE(p, std::string::npos) << Key;
      p += Key.size() + 5;
      Text.replace(p, Text.find_first_of("\r\n", p) - p, Value);
    }
    Text.insert(Text.find("[CPU]\r\n") + 7, ExtraCPU);
    WriteAll(Project, Text);
    WriteAll(HexFile, ReadAll(EXAMPLE_DIR "/counter.hex"));
    // Saved and downloaded by the real binary; the programmer's copies are what the Stamper runs.
    std::vector<std::string> Args = {"-hide", "-openprj" + Project, "-open" + HexFile,
                                     "-savecfg" + Home.Path("Stamper.cfg"), "-savedat" + Home.Path("Stamper.dat")};
    if (Transfer) Args.push_back("-download");
    Args.push_back("-exit");
    TForgeRun r = Home.Run(Args);
    ASSERT_EQ(r.ExitCode, 0) << r.Out;
    if (Transfer) {
      ASSERT_TRUE(Has(r, "Successfully downloaded files to Stamper.")) << r.Out;
    } else {
      std::system(("mkdir -p '" + Files("") + "'").c_str());
      WriteAll(Files("Stamper.cfg"), ReadAll(Home.Path("Stamper.cfg")));
      WriteAll(Files("Stamper.dat"), ReadAll(Home.Path("Stamper.dat")));
    }
    Cfg = ReadAll(Files("Stamper.cfg"));
    Dat = ReadAll(Files("Stamper.dat"));
    ASSERT_GT(Cfg.size(), 2048u);
    ASSERT_GT(Dat.size(), 2048u);
  }
  // The example's bytes from its HEX file, erased value in the gaps, and where they start.
  std::string HexBytes(uint32_t* pFirst) const {
    std::map<uint32_t, uint8_t> Image = ReadHex(ReadAll(HexFile));
    EXPECT_FALSE(Image.empty());
    if (Image.empty()) return "";
    *pFirst = Image.begin()->first;
    std::string Want(Image.rbegin()->first - *pFirst + 1, '\xFF');
    for (const auto& [Addr, Byte] : Image)
      Want[Addr - *pFirst] = (char)Byte;
    return Want;
  }
  std::string Files(const std::string& Name) const { return Home.Path("sim/123456/files/" + Name); }
  TForgeRun Press() const { return Home.Run({"SimStamperRun"}, "", XRELAY_SIMCMD); }
  std::string ReadTarget(uint32_t Addr, uint32_t n) const {
    TForgeRun r = Home.Run({std::to_string(Addr), std::to_string(n)}, "", XRELAY_READFLASH);
    EXPECT_EQ(r.ExitCode, 0) << r.Out;
    return r.Out.substr(0, r.Out.find('\n'));
  }

  TForgeHome Home;
  std::string Project, HexFile, Cfg, Dat;
};

} // namespace

TEST_F(StamperStandAlone, ProgramsTheTargetThatANewProcessVerifies) {
  // The serial-number file as the programmer keeps it (with its NUL byte).
  WriteAll(Files("Serial.txt"), std::string("0x1234") + '\0');
  TForgeRun r = Press();
  ASSERT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_TRUE(Has(r, "Target programmed")) << r.Out;
  EXPECT_TRUE(Has(r, "Target application started")) << r.Out;

  // Every byte of the example's HEX file is on the chip.
  uint32_t First = 0;
  std::string Want = HexBytes(&First);
  EXPECT_EQ(ReadTarget(First, (uint32_t)Want.size()), Hex(Want));
  // The serial number and its complement at SNAddr; the next board gets the next number.
  EXPECT_EQ(ReadTarget(0x08000400, 8), "34120000CBEDFFFF");
  EXPECT_EQ(ReadAll(Files("Serial.txt")), "4661");

  TForgeRun v = Home.Run({"-hide", "-openprj" + Project, "-open" + HexFile, "-verify", "-exit"});
  if (Has(v, "Command line option [-verify] is not available")) GTEST_SKIP() << "this build has no -verify yet";
  EXPECT_EQ(v.ExitCode, 0) << v.Out;
  EXPECT_TRUE(Has(v, "Target verified successfully")) << v.Out;
}

// Each damaged or missing file is refused before the chip is touched: the flash stays erased
// and the serial number is not used up.
TEST_F(StamperStandAlone, RefusesDamagedFilesAndLeavesTheTargetAlone) {
  struct Case {
    const char* sName;
    const char* sFile; // the file changed
    size_t Offset;     // the byte flipped; npos: the file is removed
    const char* sError;
    const char* sSNList = nullptr; // SNList.txt on the programmer, when not null
  } aCase[] = {
      {"config body byte", "Stamper.cfg", 300, "Stamper.cfg is damaged: CRC"},
      {"config text byte", "Stamper.cfg", 40, "Stamper.cfg is damaged: CRC"},
      {"config padding byte", "Stamper.cfg", 0, "Stamper.cfg is damaged: CRC"}, // the file's last byte
      {"data header byte", "Stamper.dat", 260, "Stamper.dat is damaged: CRC"},
      {"data block byte", "Stamper.dat", 2048 + 5, "Stamper.dat: range 0 at 0x08000000 is damaged"},
      {"no serial number", "Serial.txt", std::string::npos, "Serial.txt not found on the programmer"},
      {"no data file", "Stamper.dat", std::string::npos, "Stamper.dat not found on the programmer"},
      {"list line not hexadecimal", "SNList.txt", 0, "Could not read data for SN=7 from SNList.txt",
       "0\n1\n2\n3\n4\n5\n6\n0011223344556G77\n"},
      {"list too short", "SNList.txt", 0, "Could not read data for SN=7 from SNList.txt", "00112233\n"},
  };
  std::string Erased = ReadTarget(0x08000000, 16);
  ASSERT_EQ(Erased, std::string(32, 'F'));
  for (const Case& c : aCase) {
    SCOPED_TRACE(c.sName);
    WriteAll(Files("Stamper.cfg"), Cfg);
    WriteAll(Files("Stamper.dat"), Dat);
    WriteAll(Files("Serial.txt"), "7");
    std::remove(Files("SNList.txt").c_str());
    if (c.sSNList) WriteAll(Files("SNList.txt"), c.sSNList);
    std::string Path = Files(c.sFile);
    if (c.sSNList) {
      // the list as given
    } else if (c.Offset == std::string::npos) {
      std::remove(Path.c_str());
    } else {
      std::string Text = ReadAll(Path);
      size_t At = c.Offset ? c.Offset : Text.size() - 1;
      Text[At] = (char)(Text[At] ^ 0x01);
      WriteAll(Path, Text);
    }
    TForgeRun r = Press();
    EXPECT_EQ(r.ExitCode, 1) << r.Out;
    EXPECT_TRUE(Has(r, std::string("Stand-alone run failed: ") + c.sError)) << r.Out;
    EXPECT_EQ(ReadTarget(0x08000000, 16), Erased);
    if (std::string(c.sFile) != "Serial.txt") {
      EXPECT_EQ(ReadAll(Files("Serial.txt")), "7");
    }
  }
}

// Chip erase, no serial number and no start: the configuration file's production blocks steer
// the run.
TEST_F(StamperStandAlone, FollowsTheProductionSettingsOfTheConfigFile) {
  Download({{"EraseType", "3"}, {"ProgramSN", "0"}, {"AutoPerformsStartApp", "0"}});
  TForgeRun r = Press(); // no Serial.txt is needed without serial numbers
  ASSERT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_TRUE(Has(r, "Bank @ 0x08000000: chip erased")) << r.Out;
  EXPECT_FALSE(Has(r, "Serial number")) << r.Out;
  EXPECT_FALSE(Has(r, "Target application started")) << r.Out;
  uint32_t First = 0;
  std::string Want = HexBytes(&First);
  EXPECT_EQ(ReadTarget(First, (uint32_t)Want.size()), Hex(Want));
  EXPECT_EQ(ReadTarget(0x08000400, 8), std::string(16, 'F'));
}

// The flash algorithm reports a programming error: the run fails with the step's error and the
// serial number stays for the next attempt.
TEST_F(StamperStandAlone, AFailingProgramStepKeepsTheSerialNumber) {
  std::string Ini = Home.Path("sim.ini");
  WriteAll(Ini, "[Probe]\nSerialNumber = 123456\nFaultProgramErrorAt = 0x08000010\n");
  WriteAll(Files("Serial.txt"), "5");
  TForgeRun r = Home.Run({"SimStamperRun"}, "XRELAY_SIM_CONFIG='" + Ini + "'", XRELAY_SIMCMD);
  EXPECT_EQ(r.ExitCode, 1) << r.Out;
  EXPECT_TRUE(Has(r, "Stand-alone run failed: Flash bank @ 0x08000000: programming flash failed")) << r.Out;
  EXPECT_EQ(ReadAll(Files("Serial.txt")), "5");
}

// With a list on the programmer, line n (from 0) holds the bytes of serial number n.
TEST_F(StamperStandAlone, TakesTheSerialNumberBytesFromTheList) {
  WriteAll(Files("Serial.txt"), "2");
  WriteAll(Files("SNList.txt"), "0000000000000000\n1111111111111111\nA1B2C3D4E5F60718\n3333333333333333\n");
  TForgeRun r = Press();
  ASSERT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_EQ(ReadTarget(0x08000400, 8), "A1B2C3D4E5F60718");
  EXPECT_EQ(ReadAll(Files("Serial.txt")), "3");
}

// The init steps run on the target before the flash algorithm; a step that fails ends the run
// before anything is erased.
TEST_F(StamperStandAlone, RunsTheInitSteps) {
  struct Case {
    const char* sName;
    std::vector<std::array<const char*, 3>> aStep; // action, value 0, value 1 (after the reset)
    const char* sError;                            // null: the run succeeds
  } aCase[] = {
      {"write and verify", {{"Write 32bit", "0x20004800", "0x12345678"}, {"Verify 32bit", "0x20004800", "0x12345678"}},
       nullptr},
      {"verify mismatch",
       {{"Write 16bit", "0x20004800", "0x1234"}, {"Verify 16bit", "0x20004800", "0x4321"}},
       "Init step 2: verify of 0x20004800 failed, read 0x1234, expected 0x4321"},
      {"read, mask and branch",
       {{"Write 8bit", "0x20004800", "0x5A"}, {"Read 8bit", "0x20004800", "0"}, {"Var AND", "0", "0x0F"},
        {"Var BNE", "6", "0"}, {"Disable MMU", "0", "0"}, {"Var Write 32bit", "0x20004804", "0"},
        {"Verify 32bit", "0x20004804", "0x0A"}},
       nullptr},
      {"unsupported action", {{"Disable MMU", "0", "0"}}, "Init step 1: action 1 is not supported in stand-alone mode"},
  };
  for (const Case& c : aCase) {
    SCOPED_TRACE(c.sName);
    std::string Steps;
    int i = 1; // step 0 stays the reset
    for (const auto& s : c.aStep) {
      std::string n = "  InitStep" + std::to_string(i++);
      Steps += n + "_Action = \"" + s[0] + "\"\r\n" + n + "_Value0 = " + s[1] + "\r\n" + n + "_Value1 = " + s[2] +
               "\r\n" + n + "_Comment = \"\"\r\n";
    }
    Download({{"NumInitSteps", std::to_string(i)}, {"ProgramSN", "0"}}, Steps, false);
    std::remove(Home.Path("sim/123456/flash.bin").c_str());
    TForgeRun r = Press();
    if (c.sError == nullptr) {
      EXPECT_EQ(r.ExitCode, 0) << r.Out;
    } else {
      EXPECT_EQ(r.ExitCode, 1) << r.Out;
      EXPECT_TRUE(Has(r, std::string("Stand-alone run failed: ") + c.sError)) << r.Out;
      EXPECT_EQ(ReadTarget(0x08000000, 16), std::string(32, 'F'));
    }
  }
}
