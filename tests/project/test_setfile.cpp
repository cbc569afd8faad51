// The sectioned settings text: where writes go, what reads accept and report, and when the
// file on disk changes.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "project/SETFILE.h"

#include "tests/TestFiles.h"

namespace {

class SetFile : public ::testing::Test {
protected:
  void SetUp() override {
    char ac[] = "/tmp/tforge-setfile-XXXXXX";
    Dir = mkdtemp(ac);
    File = Dir + "/p.tforge";
  }
  void TearDown() override {
    SETFILE_Close();
    std::system(("chmod -R u+w '" + Dir + "'; rm -rf '" + Dir + "'").c_str());
  }
  // Opens a document holding Text.
  void Load(const std::string& Text) {
    WriteAll(File, Text);
    ASSERT_EQ(SETFILE_Open(File.c_str()), 0);
  }
  void Fresh() {
    std::remove(File.c_str());
    ASSERT_EQ(SETFILE_Create(File.c_str()), 0);
  }
  std::string Text() {
    std::vector<char> Buf(1 << 20);
    SETFILE_GetText(Buf.data(), (int)Buf.size());
    return Buf.data();
  }
  // Runs f and returns what it logged.
  template <typename F> std::string Logged(F f) {
    ::testing::internal::CaptureStdout();
    f();
    return ::testing::internal::GetCapturedStdout();
  }
  std::string Dir, File;
};

TEST_F(SetFile, WritesGoWhereTheReaderFindsThemInStableOrder) {
  Fresh();
  SETFILE_WriteInt("JTAG", "Speed1", 2);
  SETFILE_WriteInt("JTAG", "Speed0", 1);
  SETFILE_WriteInt("CPU", "NumInitSteps", 1);
  SETFILE_WriteString("CPU", "InitStep0_Action", "Reset");
  SETFILE_WriteHex("GENERAL", "USBSerialNo", 0x1234ABCD);
  SETFILE_WriteInt("GENERAL", "USBPort", 3);
  // A key without section written last still lands before the first section.
  SETFILE_WriteInt(nullptr, "FileVersion", 2);
  EXPECT_EQ(Text(), "  FileVersion = 2\r\n"
                    "[JTAG]\r\n  Speed0 = 1\r\n  Speed1 = 2\r\n"
                    "[CPU]\r\n  NumInitSteps = 1\r\n  InitStep0_Action = \"Reset\"\r\n"
                    "[GENERAL]\r\n  USBPort = 3\r\n  USBSerialNo = 0x1234ABCD\r\n");
  uint32_t v = 0;
  EXPECT_EQ(SETFILE_ReadU32(nullptr, "FileVersion", &v), 0);
  EXPECT_EQ(v, 2u);
  EXPECT_EQ(SETFILE_ReadU32("jtag", "SPEED1", &v), 0) << "names are compared without case";
  EXPECT_EQ(v, 2u);
}

TEST_F(SetFile, RewriteReplacesOnlyItsOwnLine) {
  Load("; made by hand\r\n[GENERAL]\r\n  USBPort = 1\r\n  Unknown = 7\r\n\r\n[Other]\r\nX=1\r\n");
  SETFILE_WriteInt("general", "usbport", 2);
  EXPECT_EQ(Text(),
            "; made by hand\r\n[GENERAL]\r\n  usbport = 2\r\n  Unknown = 7\r\n\r\n[Other]\r\nX=1\r\n");
  // A key that is only a prefix of an existing one is a key of its own.
  uint32_t v = 99;
  EXPECT_EQ(Logged([&] { EXPECT_EQ(SETFILE_ReadU32("GENERAL", "USB", &v), -1); }), "")
      << "missing, not an error";
  EXPECT_EQ(v, 99u);
  SETFILE_WriteInt("GENERAL", "USB", 5);
  EXPECT_EQ(SETFILE_ReadU32("GENERAL", "usbport", &v), 0);
  EXPECT_EQ(v, 2u);
  EXPECT_EQ(SETFILE_ReadU32("GENERAL", "USB", &v), 0);
  EXPECT_EQ(v, 5u);
}

TEST_F(SetFile, SectionHeaderNeedsALineFeed) {
  Load("[A]\r\n  K = 1\r\n[B]");
  uint32_t v;
  EXPECT_EQ(SETFILE_ReadU32("A", "K", &v), 0);
  EXPECT_EQ(SETFILE_ReadU32("B", "K", &v), -1);
  // Writing there ends the header's line first: one section B, no second one.
  SETFILE_WriteInt("B", "K", 3);
  EXPECT_EQ(SETFILE_ReadU32("B", "K", &v), 0);
  EXPECT_EQ(v, 3u);
  EXPECT_EQ(SETFILE_ReadU32("A", "K", &v), 0);
  EXPECT_EQ(v, 1u);
  EXPECT_EQ(Text(), "[A]\r\n  K = 1\r\n[B]\r\n  K = 3\r\n");
}

TEST_F(SetFile, NumbersAndTheirLimits) {
  struct {
    const char* sValue;
    int Result;
    uint32_t Value;
    const char* sError;
  } aCase[] = {
      {"0x1234ABCD", 0, 0x1234ABCD, nullptr},
      {"0XffFF", 0, 0xFFFF, nullptr},
      {"-1", 0, 0xFFFFFFFF, nullptr},
      {"+42 trailing", 0, 42, nullptr},
      {"4294967295", 0, 0xFFFFFFFF, nullptr},
      {"-4294967296", 0, 0, nullptr},
      {"5000000000", -1, 0, "Expected a value <= 4294967295"},
      {"99999999999999999999999", -1, 0, "Expected a value <= 4294967295"},
      {"-4294967297", -1, 0, "Expected a value >= -4294967296"},
      {"0x1FFFFFFFF", -1, 0, "Expected a value <= 4294967295"},
      {"abc", -1, 0, "Expecting a number"},
      {"0x", -1, 0, "Expecting a number"},
      {"", -1, 0, "Expecting a number"},
  };
  for (const auto& c : aCase) {
    Load(std::string("[S]\r\n  K = ") + c.sValue + "\r\n");
    uint32_t v = 0;
    std::string Log = Logged([&] { EXPECT_EQ(SETFILE_ReadU32("S", "K", &v), c.Result) << c.sValue; });
    if (c.Result == 0) {
      EXPECT_EQ(v, c.Value) << c.sValue;
    }
    if (c.sError) {
      EXPECT_NE(Log.find(c.sError), std::string::npos) << c.sValue << Log;
    }
  }
  Load("[S]\r\n  K[1] : 4\r\n  L[3 = 1\r\n");
  uint32_t v;
  EXPECT_NE(Logged([&] { SETFILE_ReadU32("S", "K", &v); }).find("Expected '=', got ':'"), std::string::npos);
  uint8_t ab[3];
  EXPECT_NE(Logged([&] { SETFILE_ReadBytes("S", "L", ab, 3); }).find("Expected ']', got '='"),
            std::string::npos);
}

TEST_F(SetFile, ByteAndBitLists) {
  struct {
    const char* sLine;
    int Capacity;
    int Result;
    std::vector<int> Bytes;
    const char* sError;
  } aCase[] = {
      {"[3] = 1, 300 ,2", 4, 0, {1, 255, 2, 0}, nullptr},
      {"[2] = 1,2,3", 4, 0, {1, 2, 0, 0}, nullptr}, // the count limits
      {"[4] = 9,8,7,6", 2, 0, {9, 8}, nullptr},     // and so does the room
      {"= 1,2", 2, 0, {0, 0}, nullptr},             // no count, no elements
      {"[3] = 1,-2,3", 3, -1, {}, "Expected a value >= 0"},
      {"[3] = 1,2", 3, -1, {}, "Expecting a number"},
  };
  for (const auto& c : aCase) {
    Load(std::string("[S]\r\n  K") + c.sLine + "\r\n");
    std::vector<uint8_t> Buf(c.Capacity, 0xEE);
    std::string Log =
        Logged([&] { EXPECT_EQ(SETFILE_ReadBytes("S", "K", Buf.data(), c.Capacity), c.Result); });
    if (c.Result == 0) {
      EXPECT_EQ(std::vector<int>(Buf.begin(), Buf.end()), c.Bytes) << c.sLine;
    }
    if (c.sError) {
      EXPECT_NE(Log.find(c.sError), std::string::npos) << c.sLine << Log;
    }
  }
  Load("[S]\r\n  K[5] = 1,0,0,7,1\r\n");
  uint8_t Bits = 0xFF;
  EXPECT_EQ(SETFILE_ReadBits("S", "K", &Bits, 4), 0);
  EXPECT_EQ(Bits, 0x09) << "bits 0 and 3; the fifth value lies beyond the 4 bits";
  const uint8_t ab[3] = {1, 255, 0};
  SETFILE_WriteBytes("S", "B", ab, 3);
  SETFILE_WriteBytes("S", "None", ab, 0);
  EXPECT_NE(Text().find("  B[3] = 1,255,0\r\n"), std::string::npos) << Text();
  EXPECT_EQ(Text().find("None"), std::string::npos);
}

TEST_F(SetFile, RangeListsRoundTrip) {
  Load("[S]\r\n  K[2] = 0-3,7\r\n");
  uint8_t ab[2] = {0xFF, 0xFF};
  ASSERT_EQ(SETFILE_ReadRanges("S", "K", ab, 16), 0);
  EXPECT_EQ(ab[0], 0x8F);
  EXPECT_EQ(ab[1], 0x00) << "the buffer is cleared first";
  SETFILE_WriteRanges("S", "W", ab, 16);
  EXPECT_NE(Text().find("  W[2] = 0-3,7\r\n"), std::string::npos) << Text();

  struct {
    const char* sLine;
    int NumBits;
    std::vector<int> Set; // the bits that must be set, all others clear
  } aCase[] = {
      {"[3] = 5-2, 9 - 10, 12", 16, {5, 9, 10, 12}}, // a smaller end means the start alone
      {"[2] = 6-100,200", 10, {6, 7, 8, 9}},         // cut to the buffer; a start beyond it stops
      {"[1] = 40000-65535", 65536, {40000, 65535}},  // every sector number of a large bank
      {"[0] = 1-5", 16, {}},
  };
  for (const auto& c : aCase) {
    Load(std::string("[S]\r\n  K") + c.sLine + "\r\n");
    std::vector<uint8_t> Bits((c.NumBits + 7) / 8, 0xFF);
    ASSERT_EQ(SETFILE_ReadRanges("S", "K", Bits.data(), c.NumBits), 0) << c.sLine;
    int Count = 0;
    for (int i = 0; i < c.NumBits; i++)
      Count += (Bits[i / 8] >> (i % 8)) & 1;
    if (c.NumBits == 65536) {
      EXPECT_EQ(Count, 65536 - 40000) << c.sLine;
    } else {
      EXPECT_EQ(Count, (int)c.Set.size()) << c.sLine;
    }
    for (int b : c.Set)
      EXPECT_TRUE((Bits[b / 8] >> (b % 8)) & 1) << c.sLine << " bit " << b;
  }

  // Every other bit of 8192: the list ends at the first run that does not fit, and what was
  // written reads back as exactly those runs.
  std::vector<uint8_t> Alt(1024, 0x55), Back(1024);
  Fresh();
  SETFILE_WriteRanges("S", "A", Alt.data(), 8192);
  std::string t = Text();
  std::string Value = t.substr(t.find(" = ") + 3);
  Value = Value.substr(0, Value.find("\r\n"));
  EXPECT_LE(Value.size(), (size_t)SETFILE_MAX_LIST_TEXT);
  int Runs = std::atoi(t.c_str() + t.find('[', 2) + 1);
  ASSERT_EQ(SETFILE_ReadRanges("S", "A", Back.data(), 8192), 0);
  int Count = 0;
  for (uint8_t b : Back)
    Count += __builtin_popcount(b);
  EXPECT_EQ(Count, Runs);
  EXPECT_EQ(Back[0], 0x55);
  SETFILE_WriteRanges("S", "Empty", Back.data(), 0);
  EXPECT_NE(Text().find("  Empty[0] = \r\n"), std::string::npos);
}

TEST_F(SetFile, StringsStayOnTheirLine) {
  Load("[S]\r\n  A = \"open\r\n  B = \"two words\"\r\n  C = noquote\r\n");
  char ac[16];
  std::string Log = Logged([&] { EXPECT_EQ(SETFILE_ReadString("S", "A", ac, sizeof(ac)), -1); });
  EXPECT_NE(Log.find("Failed to read 'A' in section 'S'."), std::string::npos) << Log;
  EXPECT_EQ(SETFILE_ReadString("S", "B", ac, sizeof(ac)), 0);
  EXPECT_STREQ(ac, "two words");
  EXPECT_EQ(SETFILE_ReadString("S", "C", ac, sizeof(ac)), -1);
  EXPECT_EQ(SETFILE_ReadString("S", "B", ac, 5), -1) << "does not fit";
  SETFILE_WriteString("S", "D", "line\r\n[CPU]\r\nInjected = 1");
  uint32_t v;
  EXPECT_EQ(SETFILE_ReadU32("CPU", "Injected", &v), -1) << "a value never starts lines of its own";
  SETFILE_WriteString("S", "Null", nullptr);
  EXPECT_EQ(Text().find("Null"), std::string::npos);
}

TEST_F(SetFile, SavingTouchesTheFileOnlyWhenNeededAndNeverHalfway) {
  Load("[S]\r\n  K = 1\r\n");
  EXPECT_EQ(SETFILE_GetChangeCount(), 0);
  WriteAll(File, "changed outside");
  EXPECT_EQ(SETFILE_Save(nullptr), 0);
  EXPECT_EQ(ReadAll(File), "changed outside") << "an unchanged document is not written";

  // Under another name the file is written even when nothing changed.
  std::string Other = Dir + "/other.tforge";
  EXPECT_EQ(SETFILE_Save(Other.c_str()), 0);
  EXPECT_EQ(ReadAll(Other), "[S]\r\n  K = 1\r\n");
  EXPECT_STREQ(SETFILE_GetPath(), Other.c_str());

  SETFILE_WriteInt("S", "K", 2);
  EXPECT_EQ(SETFILE_GetChangeCount(), 1);
  std::string Log;
  chmod(Other.c_str(), 0444);
  if (access(Other.c_str(), W_OK) != 0) { // not as root
    Log = Logged([&] { EXPECT_EQ(SETFILE_Save(nullptr), -2); });
    EXPECT_NE(Log.find("File has read only attribute!"), std::string::npos) << Log;
    EXPECT_EQ(ReadAll(Other), "[S]\r\n  K = 1\r\n");
  }
  // A directory that cannot take the temporary file: the old file stays whole.
  chmod(Other.c_str(), 0644);
  chmod(Dir.c_str(), 0555);
  if (access(Dir.c_str(), W_OK) != 0) {
    EXPECT_LT(SETFILE_Save(nullptr), 0);
    EXPECT_EQ(ReadAll(Other), "[S]\r\n  K = 1\r\n");
    EXPECT_EQ(SETFILE_GetChangeCount(), 1);
  }
  chmod(Dir.c_str(), 0755);
  // A disk that fills up during the write: the old file stays whole (also for root).
  for (int i = 0; i < 50; i++)
    SETFILE_WriteInt("S", ("Filler" + std::to_string(i)).c_str(), i);
  rlimit Old;
  getrlimit(RLIMIT_FSIZE, &Old);
  rlimit Small = Old;
  Small.rlim_cur = 400; // room for the message, not for the document
  auto OldHandler = std::signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &Small);
  Log = Logged([&] { EXPECT_EQ(SETFILE_Save(nullptr), -1); });
  setrlimit(RLIMIT_FSIZE, &Old);
  std::signal(SIGXFSZ, OldHandler);
  EXPECT_NE(Log.find("Could not save project file [" + Other + "]\nFailed to write data!"), std::string::npos)
      << Log;
  EXPECT_EQ(ReadAll(Other), "[S]\r\n  K = 1\r\n");
  SETFILE_Clear();
  SETFILE_WriteInt("S", "K", 2);
  EXPECT_EQ(SETFILE_Save(nullptr), 0);
  EXPECT_EQ(ReadAll(Other), "[S]\r\n  K = 2\r\n");
  EXPECT_EQ(SETFILE_GetChangeCount(), 0);
}

TEST_F(SetFile, OpenCreateAndClosedDocuments) {
  WriteAll(File, "x");
  std::string Log = Logged([&] { EXPECT_EQ(SETFILE_Create(File.c_str()), -1); });
  EXPECT_NE(Log.find("File already exist:\n" + File), std::string::npos) << Log;
  EXPECT_EQ(SETFILE_IsOpen(), 0);
  Log = Logged([&] { EXPECT_EQ(SETFILE_Open((Dir + "/missing.tforge").c_str()), -1); });
  EXPECT_NE(Log.find("Could not open file [" + Dir + "/missing.tforge]"), std::string::npos) << Log;
  Log = Logged([&] { EXPECT_EQ(SETFILE_Open(""), -1); });
  EXPECT_NE(Log.find("Unable to open project file. No filename specified."), std::string::npos) << Log;
  Log = Logged([&] { EXPECT_EQ(SETFILE_Create(std::string(512, 'a').c_str()), -1); });
  EXPECT_NE(Log.find("Insufficient memory for filename."), std::string::npos) << Log;

  uint32_t v;
  Log = Logged([&] {
    EXPECT_EQ(SETFILE_ReadU32("S", "K", &v), -1);
    SETFILE_WriteInt("S", "K", 1);
  });
  EXPECT_NE(Log.find("No project file opened."), std::string::npos) << Log;
  EXPECT_EQ(SETFILE_GetPath(), nullptr);

  std::remove(File.c_str());
  ASSERT_EQ(SETFILE_Create(File.c_str()), 0);
  EXPECT_EQ(SETFILE_GetChangeCount(), 1) << "a new document is saved";
  // Many keys: the text grows past its first buffer and stays whole.
  for (int i = 0; i < 2000; i++)
    SETFILE_WriteInt("S", ("Key" + std::to_string(i)).c_str(), i);
  EXPECT_EQ(SETFILE_ReadU32("S", "Key1999", &v), 0);
  EXPECT_EQ(v, 1999u);
  ASSERT_EQ(SETFILE_Save(nullptr), 0);
  EXPECT_EQ(ReadAll(File), Text());
  SETFILE_Close();
  EXPECT_EQ(SETFILE_IsOpen(), 0);
}

TEST(SetFileShutdown, EveryCallFailsAfterShutdown) {
  EXPECT_EXIT(
      {
        SETFILE_Shutdown();
        std::exit(SETFILE_IsOpen() == -1 && SETFILE_Open("/dev/null") == -1 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

} // namespace
