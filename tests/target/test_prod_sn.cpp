/*
 * Serial numbers of production programming: the bytes a number gives, the serial and list files
 * beside the project, and the claims that keep two processes from taking the same number.
 */
#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "core/APP.h"
#include "core/APP_Log.h"
#include "data/DATAIMAGE.h"
#include "project/PROJECT.h"
#include "project/SETFILE.h"
#include "sys/SYS.h"
#include "target/PROD_SN.h"
#include "tests/NullGUI.h"
#include "tests/TestFiles.h"

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> a) {
  std::vector<uint8_t> v;
  for (int b : a) v.push_back((uint8_t)b);
  return v;
}

TEST(SerialNumberBytes, FromValueOrListLine) {
  struct Case {
    const char* sName;
    uint32_t Value;
    uint32_t SNLen;
    const char* sLine; // null: no list
    int Result;
    std::vector<uint8_t> Expected; // the first bytes
  } aCase[] = {
      {"value and complement", 0x1234, 8, nullptr, 8, Bytes({0x34, 0x12, 0, 0, 0xCB, 0xED, 0xFF, 0xFF})},
      {"length capped at 32", 0x1234, 40, nullptr, 32, Bytes({0x34, 0x12, 0, 0, 0xCB, 0xED, 0xFF, 0xFF, 0, 0})},
      {"list pairs in address order", 2, 3, "A1B2C3\r\n", 3, Bytes({0xA1, 0xB2, 0xC3})},
      {"lower-case list", 0, 2, "a1ff", 2, Bytes({0xA1, 0xFF})},
      {"not a hex pair", 0, 2, "A1G2", -1, {}},
      {"line shorter than SNLen", 0, 4, "A1B2\n", -1, {}},
  };
  for (const Case& c : aCase) {
    uint8_t ab[PROD_SN_MAX_LEN];
    std::string Line = c.sLine ? c.sLine : "";
    int r = PROD_BuildSerialNumber(c.Value, c.SNLen, c.sLine ? Line.data() : nullptr, (uint32_t)Line.size(), ab);
    EXPECT_EQ(r, c.Result) << c.sName;
    for (size_t i = 0; r >= 0 && i < c.Expected.size(); i++) EXPECT_EQ(ab[i], c.Expected[i]) << c.sName << " byte " << i;
  }
}

class LogGUI : public NullGUI {
public:
  std::mutex Lock;
  std::string Log;
  void AppendLog(const char* sLine) override {
    char ac[2048];
    APP_StripEscapes(ac, sizeof(ac), sLine);
    std::lock_guard<std::mutex> g(Lock);
    Log += ac;
  }
};

class SerialNumberTest : public ::testing::Test {
protected:
  std::string Dir;
  LogGUI Gui;
  DataImage* pImage = nullptr;

  void SetUp() override {
    char ac[] = "/tmp/tforge-sn-XXXXXX";
    Dir = mkdtemp(ac);
    APP_SetGUI(&Gui);
    std::string File = Dir + "/board.tforge";
    ASSERT_EQ(SETFILE_Create(File.c_str()), 0);
    ASSERT_EQ(PROJECT_New(File.c_str()), 0);
    SetProduction(0x08000100, 8, 0x1234, 1);
    pImage = DATAIMAGE_Create();
  }
  void TearDown() override {
    PROD_ReleaseSerialNumber();
    DATAIMAGE_Delete(pImage);
    PROJECT_Close();
    SETFILE_Close();
    APP_SetGUI(nullptr);
    std::system(("rm -rf '" + Dir + "'").c_str());
  }
  void SetProduction(uint32_t Addr, uint32_t Len, uint32_t Value, uint32_t Inc) {
    PROJECT_PRODUCTION P;
    PROJECT_GetProduction(&P);
    P.ProgramSN = 1;
    P.SNAddr = Addr;
    P.SNLen = Len;
    P.SNValue = Value;
    P.SNInc = Inc;
    PROJECT_SetProduction(&P);
  }
  uint32_t SNValue() {
    PROJECT_PRODUCTION P;
    PROJECT_GetProduction(&P);
    return P.SNValue;
  }
  std::string Serial() { return Dir + "/board_Serial.txt"; }
  std::string Claims() { return Dir + "/board_Serial.claims"; }
  std::vector<uint8_t> Image(uint32_t Addr, uint32_t NumBytes) {
    std::vector<uint8_t> v(NumBytes);
    DATAIMAGE_Read(pImage, Addr, NumBytes, v.data(), 0xEE);
    return v;
  }
};

TEST_F(SerialNumberTest, ValueWithComplementWithoutFiles) {
  ASSERT_EQ(PROD_PrepareSerialNumber(pImage), 0);
  EXPECT_EQ(Image(0x08000100, 9), Bytes({0x34, 0x12, 0, 0, 0xCB, 0xED, 0xFF, 0xFF, 0xEE}));
  EXPECT_NE(Gui.Log.find("No SN list file detected."), std::string::npos);
  PROD_AdvanceSerialNumber();
  EXPECT_EQ(SNValue(), 0x1235u);
  EXPECT_EQ(ReadAll(Serial()), "4661");
  EXPECT_FALSE(SYS_FILE_IsFile(Claims().c_str())) << "the claim is dropped after success";
}

TEST_F(SerialNumberTest, LengthOf40WritesOnly32Bytes) {
  SetProduction(0x1000, 40, 7, 1);
  ASSERT_EQ(PROD_PrepareSerialNumber(pImage), 0);
  EXPECT_EQ(DATAIMAGE_GetNumBytes(pImage), 32u);
  EXPECT_EQ(DATAIMAGE_GetEndAddr(pImage), 0x101Fu);
}

TEST_F(SerialNumberTest, SerialFileWinsAndAdvancesAfterSuccess) {
  WriteAll(Serial(), "0x10");
  ASSERT_EQ(PROD_PrepareSerialNumber(pImage), 0);
  EXPECT_EQ(SNValue(), 16u);
  EXPECT_EQ(Image(0x08000100, 1), Bytes({0x10}));
  EXPECT_EQ(ReadAll(Serial()), "0x10") << "the file is advanced only after success";
  PROD_AdvanceSerialNumber();
  EXPECT_EQ(ReadAll(Serial()), "17");
}

TEST_F(SerialNumberTest, ListLineOfTheSerialNumber) {
  WriteAll(Dir + "/board_SNList.txt", "000000\n111111\r\nA1B2C3\n");
  WriteAll(Serial(), "2");
  SetProduction(0x2000, 3, 0, 1);
  ASSERT_EQ(PROD_PrepareSerialNumber(pImage), 0);
  EXPECT_EQ(Image(0x2000, 3), Bytes({0xA1, 0xB2, 0xC3}));
  EXPECT_EQ(Gui.Log.find("No SN list file detected."), std::string::npos);
}

TEST_F(SerialNumberTest, ListWithoutTheLineFailsAndGivesTheNumberBack) {
  WriteAll(Dir + "/board_SNList.txt", "A1B2C3\n");
  WriteAll(Serial(), "5");
  SetProduction(0x2000, 3, 0, 1);
  EXPECT_EQ(PROD_PrepareSerialNumber(pImage), -1);
  EXPECT_NE(Gui.Log.find("Could not read data for SN=5 from file [" + Dir + "/board_SNList.txt]"), std::string::npos);
  EXPECT_EQ(DATAIMAGE_GetNumBytes(pImage), 0u) << "nothing written on failure";
  EXPECT_FALSE(SYS_FILE_IsFile(Claims().c_str()));
  EXPECT_EQ(ReadAll(Serial()), "5");
}

// A process that stays alive while the test runs, to stand for another programming process.
class OtherProcess {
public:
  OtherProcess() {
    Pid = fork();
    if (Pid == 0) {
      pause();
      _exit(0);
    }
  }
  ~OtherProcess() {
    kill(Pid, SIGKILL);
    waitpid(Pid, nullptr, 0);
  }
  pid_t Pid;
};

TEST_F(SerialNumberTest, ClaimsOfRunningProcessesAreSkipped) {
  WriteAll(Serial(), "10");
  OtherProcess Other;
  pid_t Dead = fork();
  if (Dead == 0) _exit(0);
  waitpid(Dead, nullptr, 0);
  // 10 is held by a running process, 11 by one that has ended.
  WriteAll(Claims(), "10 " + std::to_string(Other.Pid) + "\n11 " + std::to_string(Dead) + "\n");
  ASSERT_EQ(PROD_PrepareSerialNumber(pImage), 0);
  EXPECT_EQ(SNValue(), 11u);
  EXPECT_EQ(ReadAll(Claims()), "10 " + std::to_string(Other.Pid) + "\n11 " + std::to_string(getpid()) + "\n");

  // The other process finishes 10 later than this one finished 11: the file never moves back.
  PROD_AdvanceSerialNumber();
  EXPECT_EQ(ReadAll(Serial()), "12");
  EXPECT_EQ(ReadAll(Claims()), "10 " + std::to_string(Other.Pid) + "\n");
}

TEST_F(SerialNumberTest, AFailedBoardGivesItsNumberBack) {
  WriteAll(Serial(), "3");
  ASSERT_EQ(PROD_PrepareSerialNumber(pImage), 0);
  EXPECT_EQ(SNValue(), 3u);
  EXPECT_TRUE(SYS_FILE_IsFile(Claims().c_str()));
  PROD_ReleaseSerialNumber();
  EXPECT_FALSE(SYS_FILE_IsFile(Claims().c_str()));
  ASSERT_EQ(PROD_PrepareSerialNumber(pImage), 0);
  EXPECT_EQ(SNValue(), 3u) << "the next board gets the same number";
}

TEST_F(SerialNumberTest, AdvanceKeepsALaterNumberOfAnotherProcess) {
  WriteAll(Serial(), "3");
  ASSERT_EQ(PROD_PrepareSerialNumber(pImage), 0);
  WriteAll(Serial(), "9"); // another process succeeded with 8 meanwhile
  PROD_AdvanceSerialNumber();
  EXPECT_EQ(ReadAll(Serial()), "9");
  EXPECT_EQ(SNValue(), 9u);
}

TEST_F(SerialNumberTest, TwoProcessesNeverTakeTheSameNumber) {
  WriteAll(Serial(), "100");
  int aFd[2];
  ASSERT_EQ(pipe(aFd), 0);
  pid_t Child = fork();
  if (Child == 0) {
    uint32_t v = PROD_PrepareSerialNumber(pImage) == 0 ? SNValue() : 0;
    (void)!write(aFd[1], &v, sizeof(v));
    pause(); // holds its claim until killed
    _exit(0);
  }
  uint32_t ChildValue = 0;
  ASSERT_EQ(read(aFd[0], &ChildValue, sizeof(ChildValue)), (ssize_t)sizeof(ChildValue));
  ASSERT_EQ(PROD_PrepareSerialNumber(pImage), 0);
  EXPECT_EQ(ChildValue, 100u);
  EXPECT_EQ(SNValue(), 101u);
  kill(Child, SIGKILL);
  waitpid(Child, nullptr, 0);
  close(aFd[0]);
  close(aFd[1]);
}

} // namespace
