// Production programming (-auto, -production) in the real binary: the example project on the
// simulated AT32F425, serial numbers, erase types, faults on the way and several processes.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "RunTForge.h"
#include "tests/TestFiles.h"

namespace {

bool Has(const TForgeRun& r, const std::string& s) { return r.Out.find(s) != std::string::npos; }

const char* const kSuccess = "Target erased, programmed and verified successfully - Completed after ";
constexpr uint32_t kSNAddr = 0x08000400;

// The example (project and counter.hex) copied into a private home; each test edits the copy.
class ProdE2E : public ::testing::Test {
protected:
  void SetUp() override {
    Text = ReadAll(TFORGE_EXAMPLE_DIR "/counter.tforge");
    ASSERT_FALSE(Text.empty());
    WriteAll(Home.Path("counter.hex"), ReadAll(TFORGE_EXAMPLE_DIR "/counter.hex"));
    Configure("[Probe]\nSerialNumber = 123456\n");
    Save();
  }
  // Replaces the value of "  Key = ..." in the project text.
  void Set(const std::string& Key, const std::string& Value) {
    size_t p = Text.find("  " + Key + " = ");
    ASSERT_NE(p, std::string::npos) << Key;
    size_t e = Text.find_first_of("\r\n", p);
    Text.replace(p, e - p, "  " + Key + " = " + Value);
  }
  void Save() { WriteAll(Project, Text); }
  void Configure(const std::string& Ini) { WriteAll(Home.Path("sim.ini"), Ini); }
  TForgeRun Run(std::vector<std::string> Args) const {
    Args.insert(Args.begin(), {"-hide", "-openprj" + Project});
    Args.push_back("-exit");
    return Home.Run(Args, "XRELAY_SIM_CONFIG='" + Home.Path("sim.ini") + "'");
  }
  // Bytes of the simulated chip's main flash of the probe with serial number SN.
  std::string Flash(uint32_t Addr, size_t n, const std::string& SN = "123456") const {
    std::string Cells = ReadAll(Home.Path("sim/" + SN + "/flash.bin"));
    size_t Off = 20 + (Addr - 0x08000000u); // behind the file's header
    return Cells.size() >= Off + n ? Cells.substr(Off, n) : std::string();
  }
  static std::string Bytes(std::initializer_list<int> a) {
    std::string s;
    for (int b : a) s += char(b);
    return s;
  }
  std::string SerialFile() const { return ReadAll(Home.Path("counter_Serial.txt")); }
  TForgeHome Home;
  std::string Project = Home.Path("counter.tforge");
  std::string Text;
};

} // namespace

TEST_F(ProdE2E, SerialNumbersIntoTheBoard) {
  struct Case {
    const char* sName;
    const char* sSNValue; // the project's next number
    const char* sSNLen;
    const char* sSerialFile; // null: none
    const char* sListFile;   // null: none
    std::string Expected;    // at the serial number address
    const char* sSerialAfter;
    const char* sLog;
  };
  std::string Zeros24(24, '\0');
  const Case aCase[] = {
      {"value and complement", "0x00001234", "0x00000008", nullptr, nullptr,
       Bytes({0x34, 0x12, 0, 0, 0xCB, 0xED, 0xFF, 0xFF, 0xFF}), "4661", "No SN list file detected."},
      {"40 bytes are capped at 32", "0x00000005", "0x00000028", nullptr, nullptr,
       Bytes({5, 0, 0, 0, 0xFA, 0xFF, 0xFF, 0xFF}) + Zeros24 + Bytes({0xFF}), "6", nullptr},
      {"line of the list file", "0x00000000", "0x00000003", "2", "001122\r\n334455\r\nA1B2C3\r\nDDEEFF\r\n",
       Bytes({0xA1, 0xB2, 0xC3, 0xFF}), "3", nullptr},
      {"serial file in hexadecimal", "0x00000001", "0x00000008", "0x10", nullptr,
       Bytes({0x10, 0, 0, 0, 0xEF, 0xFF, 0xFF, 0xFF, 0xFF}), "17", nullptr},
  };
  for (const Case& c : aCase) {
    SCOPED_TRACE(c.sName);
    std::remove(Home.Path("counter_Serial.txt").c_str());
    std::remove(Home.Path("counter_SNList.txt").c_str());
    if (c.sSerialFile) WriteAll(Home.Path("counter_Serial.txt"), c.sSerialFile);
    if (c.sListFile) WriteAll(Home.Path("counter_SNList.txt"), c.sListFile);
    Set("SNValue", c.sSNValue);
    Set("SNLen", c.sSNLen);
    Save();
    TForgeRun r = Run({"-auto"});
    EXPECT_EQ(r.ExitCode, 0) << r.Out;
    EXPECT_TRUE(Has(r, kSuccess)) << r.Out;
    if (c.sLog) {
      EXPECT_TRUE(Has(r, c.sLog)) << r.Out;
    }
    EXPECT_EQ(Flash(kSNAddr, c.Expected.size()), c.Expected);
    EXPECT_EQ(SerialFile(), c.sSerialAfter);
  }
}

TEST_F(ProdE2E, EraseTypes) {
  struct {
    const char* sEraseType;
    const char* sLog;
  } aCase[] = {
      {"2", "Start of erasing sectors"}, // selected sectors, as 1
      {"4", "Start of erasing chip"},    // the chip, as 3
  };
  for (const auto& c : aCase) {
    SCOPED_TRACE(c.sEraseType);
    Set("EraseType", c.sEraseType);
    Save();
    TForgeRun r = Run({"-production"});
    EXPECT_EQ(r.ExitCode, 0) << r.Out;
    EXPECT_TRUE(Has(r, c.sLog)) << r.Out;
    EXPECT_TRUE(Has(r, kSuccess)) << r.Out;
  }
}

// A byte that the flash does not take: the program reports success of nothing, names the byte,
// and the next board gets the same serial number.
TEST_F(ProdE2E, ByteTheFlashDoesNotTakeFailsTheBoard) {
  Configure("[Probe]\nSerialNumber = 123456\nFaultStuckByteAt = 0x08000010\n");
  TForgeRun r = Run({"-auto"});
  EXPECT_EQ(r.ExitCode, 1) << r.Out;
  EXPECT_TRUE(Has(r, "Verification failed @ address 0x08000010")) << r.Out;
  EXPECT_TRUE(Has(r, "Failed to auto program target")) << r.Out;
  EXPECT_FALSE(Has(r, "verified successfully")) << r.Out;
  EXPECT_EQ(SerialFile(), "") << "no number was used up";

  Configure("[Probe]\nSerialNumber = 123456\n");
  r = Run({"-auto"});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_EQ(Flash(kSNAddr, 4), Bytes({1, 0, 0, 0})) << "the failed board's number again";
  EXPECT_EQ(SerialFile(), "2");
}

// The probe goes away while the flash is programmed; the next run starts clean and programs.
TEST_F(ProdE2E, ProbeLostWhileProgramming) {
  // The probe goes after a number of calls; take the first number that falls into the
  // programming of the flash, whatever the connect and the algorithm need before it.
  TForgeRun r;
  for (int Calls = 20; Calls <= 400; Calls += 10) {
    Configure("[Probe]\nSerialNumber = 123456\nFaultLostAfterCalls = " + std::to_string(Calls) + "\n");
    r = Run({"-auto"});
    size_t Lost = r.Out.find("USB connection lost");
    size_t Programming = r.Out.find("Start of flash programming");
    if (Lost != std::string::npos && Programming != std::string::npos && Programming < Lost) break;
  }
  ASSERT_NE(r.Out.find("Start of flash programming"), std::string::npos) << r.Out;
  EXPECT_EQ(r.ExitCode, 1) << r.Out;
  EXPECT_TRUE(Has(r, "communication with the probe failed (USB connection lost)")) << r.Out;
  EXPECT_TRUE(Has(r, "Failed to auto program target")) << r.Out;
  EXPECT_FALSE(Has(r, "verified successfully")) << r.Out;
  EXPECT_TRUE(Has(r, "Disconnected")) << "the error ends the connection\n" << r.Out;
  EXPECT_EQ(SerialFile(), "");

  Configure("[Probe]\nSerialNumber = 123456\n");
  r = Run({"-auto"});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_TRUE(Has(r, kSuccess)) << r.Out;
  EXPECT_EQ(Flash(0x08000000, 8), Bytes({0x00, 0x50, 0x00, 0x20, 0x41, 0x00, 0x00, 0x08})) << "the firmware";
  EXPECT_EQ(SerialFile(), "2");
}

// One process per probe, all from the same project: every board gets its own number.
TEST_F(ProdE2E, ProcessesSideBySideNeverShareANumber) {
  const std::vector<std::string> aSN = {"111", "222", "333"};
  std::string Ini;
  for (const std::string& SN : aSN) Ini += "[Probe]\nSerialNumber = " + SN + "\n";
  Configure(Ini);
  std::vector<TForgeRun> aRun(aSN.size());
  std::vector<std::thread> aThread;
  for (size_t i = 0; i < aSN.size(); i++) {
    aThread.emplace_back([&, i] { aRun[i] = Run({"-usb" + aSN[i], "-auto"}); });
  }
  for (std::thread& t : aThread) t.join();
  std::vector<std::string> aNumber;
  for (size_t i = 0; i < aSN.size(); i++) {
    EXPECT_EQ(aRun[i].ExitCode, 0) << aRun[i].Out;
    std::string Number = Flash(kSNAddr, 4, aSN[i]);
    EXPECT_EQ(Number.size(), 4u);
    for (const std::string& Other : aNumber) EXPECT_NE(Number, Other) << "probe " << aSN[i];
    aNumber.push_back(Number);
  }
  EXPECT_EQ(SerialFile(), "4");
}

// The smaller target options of production.
TEST_F(ProdE2E, SecureChipAndStartApplication) {
  TForgeRun r = Run({"-startapp"});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_TRUE(Has(r, "Target application started")) << r.Out;

  // The AT32F425's flash algorithms bring no secure function.
  r = Run({"-securechip"});
  EXPECT_EQ(r.ExitCode, 1) << r.Out;
  EXPECT_TRUE(Has(r, "Could not secure chip. No secure function implemented.")) << r.Out;
  EXPECT_TRUE(Has(r, "Failed to secure chip")) << r.Out;

  r = Run({"-unsecurechip", "-startapp"});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_TRUE(Has(r, "Deprecated function \"-unsecurechip\" skipped, see ")) << r.Out;
}
