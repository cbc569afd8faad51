// -connect and -disconnect in the real binary against the simulated probe, headless.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "SimProjectE2E.h"
#include "tests/TestFiles.h"

namespace {

bool Has(const TForgeRun& r, const std::string& s) { return r.Out.find(s) != std::string::npos; }

size_t Count(const TForgeRun& r, const std::string& s) {
  size_t n = 0;
  for (size_t p = r.Out.find(s); p != std::string::npos; p = r.Out.find(s, p + 1)) n++;
  return n;
}

// A project for the simulated AT32F425 with its work RAM, made by the program itself.
class TargetE2E : public SimProjectE2E {};

} // namespace

TEST_F(TargetE2E, ConnectTwiceThenDisconnect) {
  TForgeRun r = Run({"-connect", "-connect", "-disconnect"});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  for (const char* s : {"Connecting via USB to probe/ programmer device 0", "VTarget = 3.300V",
                        "Target interface speed: 4000 kHz (Fixed)", "CPU clock frequency: 8000 kHz (Auto detected)",
                        "Found 1 JTAG device. Core ID: 0x2BA01477 (Cortex-M4)", "Connected successfully",
                        "Disconnecting ...", "Disconnected"}) {
    EXPECT_TRUE(Has(r, s)) << s << "\n" << r.Out;
  }
  EXPECT_EQ(Count(r, "Connecting ..."), 1u) << "the second -connect changes nothing\n" << r.Out;
}

TEST_F(TargetE2E, ConnectionOverridesOfTheCommandLine) {
  TForgeRun r = Run({"-usb123456", "-connect"});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  EXPECT_TRUE(Has(r, "Connecting via USB to probe/ programmer with SN 123456")) << r.Out;

  r = Run({"-usb999", "-connect", "-disconnect"});
  EXPECT_EQ(r.ExitCode, 1) << r.Out;
  EXPECT_TRUE(Has(r, "Probe/ Programmer with SN 999 not found.\nCheck the project settings and your connected probe/ "
                     "programmer."))
      << r.Out;
  EXPECT_TRUE(Has(r, "Failed to connect.\nCould not establish a connection to the X-Relay.")) << r.Out;
  EXPECT_FALSE(Has(r, "Connected successfully")) << r.Out;
}

TEST_F(TargetE2E, ProbeLibraryLogShowsWhatTheCommandLineHandedTheConnection) {
  std::string Log = Home.Path("xrelay.log");
  TForgeRun r = Run({"-xrelaylog" + Log, "-usb123456", "-setcpuidcode0011", "-connect", "-disconnect"});
  EXPECT_EQ(r.ExitCode, 0) << r.Out;
  std::string Text = ReadAll(Log);
  EXPECT_NE(Text.find("XRELAYARM_EMU_SelectByUSBSN(123456)"), std::string::npos) << Text;
  EXPECT_NE(Text.find("XRELAYARM_ExecCommand(\"SetRXIDCode = 0011\""), std::string::npos) << Text;
}

TEST_F(TargetE2E, ProbeLostWhileConnectingEndsTheRunWithAnError) {
  std::string Sim = Home.Path("sim.ini");
  for (int n : {3, 8, 12}) {
    SCOPED_TRACE(n);
    WriteAll(Sim, "[Probe]\nSerialNumber = 123456\nDevice = AT32F425C8T7\nFaultLostAfterCalls = " + std::to_string(n) +
                      "\n");
    TForgeRun r = Run({"-connect"}, "XRELAY_SIM_CONFIG='" + Sim + "'");
    EXPECT_EQ(r.ExitCode, 1) << r.Out;
    EXPECT_TRUE(Has(r, "Connect failed")) << r.Out;
    EXPECT_FALSE(Has(r, "Connected successfully")) << r.Out;
  }
}

TEST_F(TargetE2E, TooLongIdCodeIsRefused) {
  TForgeRun r = Run({"-setcpuidcode" + std::string(33, 'A'), "-connect"});
  EXPECT_EQ(r.ExitCode, 1) << r.Out;
  EXPECT_TRUE(Has(r, "Set RXIDcode: \"" + std::string(33, 'A') + "\" is not a valid RX IDCode (too long).")) << r.Out;
  EXPECT_FALSE(Has(r, "Connecting ...")) << r.Out;
}
