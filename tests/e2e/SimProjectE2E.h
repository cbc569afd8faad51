// The fixture of the end-to-end tests against the simulated AT32F425: a private home with a
// project for the chip and its work RAM, made by the program itself (a new project saved, the
// chip and the RAM set in it, then updated and saved again by the program).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "RunTForge.h"
#include "tests/TestFiles.h"

class SimProjectE2E : public ::testing::Test {
protected:
  void SetUp() override {
    std::system(("mkdir -p '" + Home.Path("config/KORVEN") + "'").c_str());
    std::string P = Home.Path("new.tforge");
    ASSERT_EQ(Home.Run({"-hide", "-saveprjas" + P, "-exit"}).ExitCode, 0);
    std::string Text = ReadAll(P);
    Replace(&Text, "  ChipName = \"", "  ChipName = \"ArteryTek AT32F425C8T7\"");
    Replace(&Text, "  RAMAddr = ", "  RAMAddr = 0x20000000");
    WriteAll(P, Text);
    TForgeRun r = Home.Run({"-hide", "-updateprj", "-openprj" + P, "-saveprjas" + Project, "-exit"});
    ASSERT_EQ(r.ExitCode, 0) << r.Out;
  }
  // The line of the project text that starts with Key becomes Line.
  static void Replace(std::string* pText, const std::string& Key, const std::string& Line) {
    size_t p = pText->find(Key);
    ASSERT_NE(p, std::string::npos) << Key;
    size_t e = pText->find_first_of("\r\n", p);
    pText->replace(p, e - p, Line);
  }
  // The program on the project with Args, then -exit; Env: more variables of its environment.
  TForgeRun Run(std::vector<std::string> Args, const std::string& Env = "") {
    Args.insert(Args.begin(), {"-hide", "-openprj" + Project});
    Args.push_back("-exit");
    return Home.Run(Args, Env);
  }
  TForgeHome Home;
  std::string Project = Home.Path("at.tforge");
};
