// Erase, blank check, program, verify and read back in the real binary against the simulated
// AT32F425, whose flash outlives each process in the test's simulator folder.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "SimProjectE2E.h"
#include "tests/TestFiles.h"

namespace {

bool Has(const TForgeRun& r, const std::string& s) {
  return r.Out.find(s) != std::string::npos;
}

// The main flash algorithm with its own blank check and verify.
constexpr const char* kExtended = "AT32F425 64 KB (extended)";

// Main flash starts after the magic and the three sizes in the simulator's flash file.
constexpr long kMainFlashInFile = 8 + 3 * 4;

// A project for the simulated AT32F425 64 KB, made by the program itself, with the external
// bank that a new project starts with switched off.
class ProgE2E : public SimProjectE2E {
protected:
  void SetUp() override {
    SimProjectE2E::SetUp();
    if (HasFatalFailure()) return;
    std::string Text = ReadAll(Project);
    size_t p = Text.find("[FLASH3]");
    ASSERT_NE(p, std::string::npos) << Text;
    Text.insert(Text.find('\n', p) + 1, "  Disabled = 1\n");
    WriteAll(Project, Text);
  }
  void SetProjectKey(const std::string& Key, const std::string& Value) {
    std::string Text = ReadAll(Project);
    Replace(&Text, "  " + Key + " = ", "  " + Key + " = " + Value);
    WriteAll(Project, Text);
  }
  // A binary data file of the test.
  std::string Bin(const std::string& Name, const std::vector<uint8_t>& Bytes) {
    std::string Path = Home.Path(Name);
    WriteAll(Path, std::string(Bytes.begin(), Bytes.end()));
    return Path;
  }
  static std::vector<uint8_t> Counting(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++)
      v[i] = uint8_t(i * 7 + 1);
    return v;
  }
  // A simulator configuration of the test's own (the default probe and chip, and Lines).
  std::string SimConfig(const std::string& Lines) {
    std::string Path = Home.Path("sim.ini");
    WriteAll(Path, "[Probe]\nSerialNumber = 123456\nVTarget = 3300\nDevice = AT32F425C8T7\n" + Lines + "\n");
    return "XRELAY_SIM_CONFIG='" + Path + "'";
  }
  // Every nested log line, the answers of the questions included.
  void LogEverything() { WriteAll(Home.Path("config/KORVEN/TForgeSettings.ini"), "[LOG]\nLogLevel=9\n"); }
  // Changes one byte of the simulated main flash behind the program's back.
  void FlipFlashByte(uint32_t Offset) {
    std::fstream f(Home.Path("sim/123456/flash.bin"), std::ios::in | std::ios::out | std::ios::binary);
    ASSERT_TRUE(f.good());
    f.seekg(kMainFlashInFile + Offset);
    char c = 0;
    f.read(&c, 1);
    c = char(c ^ 0x5A);
    f.seekp(kMainFlashInFile + Offset);
    f.write(&c, 1);
  }
};

} // namespace

TEST_F(ProgE2E, ThreeBytesAtTheEndOfABankAreProgrammedAsOnePaddedSector) {
  std::string Data = Bin("end.bin", {0xA1, 0xB2, 0xC3});
  std::string Out = Home.Path("back.bin");
  TForgeRun r = Run({"-open" + Data + ",0x0800FFFD", "-erasechip", "-program",
                     "-readrange0x0800FC00,0x0800FFFF", "-saveas" + Out});
  ASSERT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_TRUE(Has(r, "Programming range 0x0800FC00 - 0x0800FFFF (  1 Sector, 1024 Bytes)")) << r.Out;
  EXPECT_TRUE(Has(r, "Target programmed successfully")) << r.Out;
  EXPECT_TRUE(Has(r, "WARNING: Flash bank 3 disabled, skipped.")) << r.Out;
  std::string Back = ReadAll(Out);
  ASSERT_EQ(Back.size(), 1024u);
  EXPECT_EQ(Back.substr(0, 1021), std::string(1021, '\xFF'));
  EXPECT_EQ(Back.substr(1021), "\xA1\xB2\xC3");
}

// What one process programmed, another verifies; a byte changed on the chip in between fails
// that verify with its address, by CRC, by read-back and by the extended algorithm's own verify.
TEST_F(ProgE2E, ASecondProcessVerifiesAndFindsAChangedByte) {
  struct Case {
    const char* sLoader;
    const char* sVerifyType;
    const char* sFailure;
  };
  for (const Case& c : {Case{"AT32F425 64 KB", "1", "Verification failed @ address 0x08000123 (CRC: 0x"},
                        Case{"AT32F425 64 KB", "2", "Verification failed @ address 0x08000123\n"},
                        Case{kExtended, "1", "Failed to verify @ address 0x08000123\n"}}) {
    SCOPED_TRACE(std::string(c.sLoader) + " " + c.sVerifyType);
    SetProjectKey("LoaderName", std::string("\"") + c.sLoader + "\"");
    SetProjectKey("VerifyType", c.sVerifyType);
    std::string Data = Bin("fw.bin", Counting(0x800));
    TForgeRun r = Run({"-open" + Data + ",0x08000000", "-erasechip", "-programverify"});
    ASSERT_EQ(r.ExitCode, 0) << r.Out;
    r = Run({"-open" + Data + ",0x08000000", "-verify"});
    EXPECT_EQ(r.ExitCode, 0) << r.Out;
    EXPECT_TRUE(Has(r, "Target verified successfully")) << r.Out;

    FlipFlashByte(0x123);
    r = Run({"-open" + Data + ",0x08000000", "-verify"});
    EXPECT_EQ(r.ExitCode, 1) << r.Out;
    EXPECT_TRUE(Has(r, c.sFailure)) << r.Out;
    EXPECT_TRUE(Has(r, "Failed to verify target")) << r.Out;
    EXPECT_FALSE(Has(r, "Target verified successfully")) << r.Out;
  }
}

TEST_F(ProgE2E, DataBelowTheSelectedSectorsIsOfferedARelocationThatBatchModeDeclines) {
  LogEverything();
  std::string Data = Bin("low.bin", Counting(0x100));
  TForgeRun r = Run({"-open" + Data + ",0x07FFFF00", "-program"});
  EXPECT_EQ(r.ExitCode, 1) << r.Out;
  EXPECT_TRUE(Has(r, "Selected Data (0x7FFFF00 - 0x7FFFFFF) does not fit into selected flash sectors.\n"
                     "Relocating it by 0x100 bytes would fix this problem.\nDo you want to relocate?"))
      << r.Out;
  EXPECT_TRUE(Has(r, "Programming cannot be done without relocation of selected data.")) << r.Out;
  EXPECT_FALSE(Has(r, "Programming range")) << r.Out;
  EXPECT_FALSE(Has(r, "Target programmed successfully")) << r.Out;
}

TEST_F(ProgE2E, ReadBack) {
  struct Case {
    const char* sName;
    const char* sRange;
    const char* sSimLines;
    const char* sResult;
    size_t FileSize;
  };
  for (const Case& c : {
           Case{"erased bank", "0x08000000,0x0800FFFF", "",
                "Target memory read successfully. (65536 bytes, 1 range)", 0x10000},
           Case{"outside every bank", "0x30000000,0x300000FF", "",
                "Target memory read successfully. (0 bytes, 0 ranges)", 0},
       }) {
    SCOPED_TRACE(c.sName);
    std::string Out = Home.Path("back.bin");
    std::remove(Out.c_str());
    std::vector<std::string> Args = {"-readrange" + std::string(c.sRange)};
    if (c.FileSize) Args.push_back("-saveas" + Out);
    TForgeRun r = Run(Args, SimConfig(c.sSimLines));
    EXPECT_EQ(r.ExitCode, 0) << r.Out;
    EXPECT_TRUE(Has(r, c.sResult)) << r.Out;
    if (c.FileSize) {
      EXPECT_EQ(ReadAll(Out), std::string(c.FileSize, '\xFF'));
    }
  }
}

// The extended algorithm blank-checks on the chip: an erased bank comes back whole although the
// probe could not read a byte of it.
TEST_F(ProgE2E, AnErasedBankIsBlankCheckedNotRead) {
  SetProjectKey("LoaderName", std::string("\"") + kExtended + "\"");
  ASSERT_EQ(Run({"-erasechip"}).ExitCode, 0);
  std::string Out = Home.Path("back.bin");
  TForgeRun r = Run({"-readrange0x08000000,0x0800FFFF", "-saveas" + Out},
                    SimConfig("FaultReadErrorAt = 0x08000000-0x0800FFFF"));
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_TRUE(Has(r, "Target memory read successfully. (65536 bytes, 1 range)")) << r.Out;
  EXPECT_EQ(ReadAll(Out), std::string(0x10000, '\xFF'));
}

TEST_F(ProgE2E, ReadFailureDiscardsTheImage) {
  std::string Data = Bin("fw.bin", Counting(0x400));
  ASSERT_EQ(Run({"-open" + Data + ",0x08000000", "-erasechip", "-program"}).ExitCode, 0);
  std::string Out = Home.Path("back.bin");
  TForgeRun r = Run({"-readrange0x08000000,0x080003FF", "-saveas" + Out},
                    SimConfig("FaultReadErrorAt = 0x08000200-0x08000203"));
  EXPECT_EQ(r.ExitCode, 1) << r.Out;
  EXPECT_TRUE(Has(r, "Failed to read back target memory")) << r.Out;
  EXPECT_FALSE(Has(r, "Target memory read successfully")) << r.Out;
}

// At the 8 MHz the simulated chip runs from reset, a piece of erase is 64 KB: the whole bank.
// With the blank check before erasing (the project's default), a blank bank is left alone.
TEST_F(ProgE2E, EraseSelectedSectorsSkipsWhatIsBlank) {
  std::string Data = Bin("fw.bin", Counting(0x400));
  ASSERT_EQ(Run({"-open" + Data + ",0x08000000", "-erasechip", "-program"}).ExitCode, 0);
  TForgeRun r = Run({"-erasesectors", "-erasesectors", "-checkblank"});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  size_t First = r.Out.find("Erasing range 0x08000000 - 0x0800FFFF ( 64 Sectors, 64 KB)");
  EXPECT_NE(First, std::string::npos) << r.Out;
  EXPECT_EQ(r.Out.find("Erasing range 0x08000000", First + 1), std::string::npos)
      << "the second erase found it blank\n"
      << r.Out;
  EXPECT_TRUE(Has(r, "Target is blank")) << r.Out;
}

TEST_F(ProgE2E, BlankCheckNamesTheFirstByteThatIsNotBlank) {
  std::string Data = Bin("fw.bin", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x3C});
  TForgeRun r = Run({"-open" + Data + ",0x08000400", "-erasechip", "-program", "-checkblank"});
  EXPECT_EQ(r.ExitCode, 1) << r.Out;
  EXPECT_TRUE(Has(r, "Blank check failed @ addr 0x08000405 (Read: 0x3C, Expected: 0xFFFFFFFF)")) << r.Out;
  EXPECT_TRUE(Has(r, "Failed to check blank target")) << r.Out;
  EXPECT_FALSE(Has(r, "Target is blank")) << r.Out;
}

TEST_F(ProgE2E, RequestsThatCannotBeCarriedOutSayWhy) {
  struct Case {
    std::vector<std::string> Args;
    const char* sText;
  };
  for (const Case& c : {
           Case{{"-program"}, "Could not program target, no data file opened"},
           Case{{"-programverify"}, "Could not program and verify target, no data file opened"},
           Case{{"-verify"}, "Could not verify target, no data file opened to verify"},
           Case{{"-readrange0x08000100,0x080000FF"},
                "Invalid address range 0x8000100 - 0x80000FF: start address above end address"},
       }) {
    SCOPED_TRACE(c.Args[0]);
    TForgeRun r = Run(c.Args);
    EXPECT_EQ(r.ExitCode, 1) << r.Out;
    EXPECT_TRUE(Has(r, c.sText)) << r.Out;
  }
}
