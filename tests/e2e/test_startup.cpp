// tforge starts without a display, runs its start-up job and ends with its exit code.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/TestVersion.h"
#include "RunTForge.h"

namespace {

TEST(Startup, HeadlessRunLogsTheVersionLinesAndEnds) {
  TForgeHome Home;
  TForgeRun r = Home.Run({});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_NE(r.Out.find("Application log started\n"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find(" - " + ShortProductName() + " (T-Forge compiled "), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find(" - libxrelayarm.so V"), std::string::npos) << r.Out;
  EXPECT_EQ(r.Out.find("\x1b["), std::string::npos) << "standard output receives plain text";
}

TEST(Startup, ReadsTheFlashDeviceListThenTheMCUDeviceList) {
  TForgeHome Home;
  TForgeRun r = Home.Run({});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  size_t Flash = r.Out.find("List of flash devices read successfully (48 Devices)\n");
  size_t MCU = r.Out.find("List of MCU devices read successfully (22 Devices)\n");
  ASSERT_NE(Flash, std::string::npos) << r.Out;
  ASSERT_NE(MCU, std::string::npos) << r.Out;
  EXPECT_LT(Flash, MCU);
}

TEST(Startup, WithoutTheFlashDeviceListStartUpFailsWithExitCode1) {
  // A program directory of its own: the program, the probe library and its files, no ETC/.
  TForgeHome Home;
  namespace fs = std::filesystem;
  fs::path From = fs::path(TFORGE_BIN).parent_path(), To = Home.Path("bin");
  fs::create_directories(To);
  for (const fs::directory_entry& e : fs::directory_iterator(From)) {
    if (e.is_regular_file()) fs::copy_file(e.path(), To / e.path().filename());
  }
  TForgeRun r = Home.Run({"-exit"}, "", (To / "tforge").string());
  EXPECT_EQ(r.ExitCode, 1) << r.Out;
  EXPECT_NE(r.Out.find("ERROR: Could not open flash device list file [" + (To / "ETC/TForge/Flash.csv").string() + "]"),
            std::string::npos)
      << r.Out;
  EXPECT_EQ(r.Out.find("Reading MCU device list"), std::string::npos) << r.Out;
}

} // namespace
