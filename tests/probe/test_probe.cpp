// Binding of the probe library: search order, missing functions, overrides and injected failures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "probe/PROBE_Test.h"
#include "sys/SYS.h"

namespace {

std::vector<std::string> _Boxes;

class Binding : public ::testing::Test {
protected:
  void SetUp() override {
    char ac[] = "/tmp/tforge-probe-XXXXXX";
    Home = mkdtemp(ac);
    setenv("XDG_CONFIG_HOME", Home.c_str(), 1);
    _Boxes.clear();
    PROBE_SetMessageHandler([](const char* sTitle, const char* sText) {
      _Boxes.push_back(std::string(sTitle) + ": " + sText);
    });
    PROBE_ResetEntries();
    PROBE_SetLibraryPathForTest(nullptr);
  }
  void TearDown() override {
    PROBE_ResetEntries();
    PROBE_Unload();
    std::system(("rm -rf " + Home).c_str());
  }
  static void SetInstallPath(const char* sKey, const char* sDir) {
    SYS_REG_KEY* k = SYS_REG_CreateKey(SYS_REG_ROOT_CURRENT_USER, sKey);
    SYS_REG_WriteValue(k, "InstallPath", SYS_REG_SZ, sDir, (uint32_t)strlen(sDir) + 1);
    SYS_REG_CloseKey(k);
  }
  std::string Home;
};

TEST_F(Binding, MissingLibraryIsReportedOnceWithThePathBesideTheProgram) {
  EXPECT_EQ(XRELAYARM_GetDLLVersion(), 0);
  EXPECT_EQ(XRELAYARM_GetDLLVersion(), 0);
  char acDir[512];
  SYS_PATH_GetModuleDir(acDir, sizeof(acDir));
  ASSERT_GE(_Boxes.size(), 2u);
  EXPECT_EQ(_Boxes[0], std::string("X-Relay Error: Target DLL ") + acDir + "libxrelayarm.so not found !");
  EXPECT_EQ(_Boxes[1], "X-Relay Error: DLL function XRELAYARM_GetDLLVersion(...) not found !");
  // Every further call reports the function again, but not the library.
  EXPECT_EQ(_Boxes.size(), 3u);
  EXPECT_EQ(_Boxes[2], _Boxes[1]);
}

TEST_F(Binding, InstallPathOfTheProgrammerKeyIsTheFallback) {
  SetInstallPath("Software\\KORVEN\\Stamper", TESTLIB_DIR);
  EXPECT_EQ(XRELAYARM_GetDLLVersion(), 10203);
  EXPECT_EQ(std::string(PROBE_GetLibraryPath()), std::string(TESTLIB_DIR) + "/libxrelayarm.so");
  EXPECT_TRUE(_Boxes.empty());
}

TEST_F(Binding, TheProbeKeyWinsOverTheProgrammerKey) {
  SetInstallPath("Software\\KORVEN\\X-Relay", TESTLIB_DIR);
  SetInstallPath("Software\\KORVEN\\Stamper", "/nonexistent");
  EXPECT_STREQ(XRELAYARM_GetCompileDateTime(), "test library");
}

TEST_F(Binding, AMissingFunctionReturnsZeroAndIsLookedUpAgain) {
  PROBE_SetLibraryPathForTest(TESTLIB_DIR "/libxrelayarm.so");
  XRELAYARM_HW_STATUS s{};
  s.VTarget = 77;
  EXPECT_EQ(XRELAYARM_GetHWStatus(&s), 0);
  EXPECT_EQ(s.VTarget, 77); // untouched
  XRELAYARM_Close();         // void: does nothing
  EXPECT_EQ(_Boxes, (std::vector<std::string>{"X-Relay Error: DLL function XRELAYARM_GetHWStatus(...) not found !",
                                              "X-Relay Error: DLL function XRELAYARM_Close(...) not found !"}));
}

TEST_F(Binding, OverridesAndTheNthCallFailing) {
  PROBE_SetLibraryPathForTest(TESTLIB_DIR "/libxrelayarm.so");
  ASSERT_EQ(PROBE_SetEntry("XRELAYARM_GetDLLVersion", (void*)+[]() { return 42; }), 0);
  EXPECT_EQ(XRELAYARM_GetDLLVersion(), 42);
  PROBE_SetEntry("XRELAYARM_GetDLLVersion", nullptr);
  EXPECT_EQ(XRELAYARM_GetDLLVersion(), 10203);
  ASSERT_EQ(PROBE_FailNthCall("XRELAYARM_ExecCommand", 2), 0);
  char ac[16];
  EXPECT_GE(XRELAYARM_ExecCommand("SetIsTForge", ac, sizeof(ac)), 0);
  EXPECT_EQ(XRELAYARM_ExecCommand("SetIsTForge", ac, sizeof(ac)), -1); // the second call fails
  EXPECT_GE(XRELAYARM_ExecCommand("SetIsTForge", ac, sizeof(ac)), 0);
  PROBE_FailNthCall("XRELAYARM_GetCompileDateTime", 1);
  EXPECT_EQ(XRELAYARM_GetCompileDateTime(), nullptr);
  EXPECT_EQ(PROBE_SetEntry("XRELAYARM_NoSuchCall", nullptr), -1);
  EXPECT_EQ(PROBE_FailNthCall("XRELAYARM_NoSuchCall", 1), -1);
  EXPECT_TRUE(_Boxes.empty());
}

} // namespace
