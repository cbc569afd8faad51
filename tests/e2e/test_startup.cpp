// tforge starts without a display, runs its start-up job and ends with its exit code.
#include <gtest/gtest.h>

#include "RunTForge.h"

namespace {

TEST(Startup, HeadlessRunLogsTheVersionLinesAndEnds) {
  TForgeHome Home;
  TForgeRun r = Home.Run({});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_NE(r.Out.find("Application log started\n"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find(" - T-Forge V7.92e (T-Forge compiled "), std::string::npos) << r.Out;
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

} // namespace
