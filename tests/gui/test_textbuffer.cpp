// The log view's line buffer: bounding, unfinished lines, colour formatters, terminal mode.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gui/CustTextBuffer.h"

namespace {

std::vector<std::string> _Written;
std::vector<std::string> _Errors;

class TextBuffer : public ::testing::Test {
protected:
  void SetUp() override {
    _Written.clear();
    _Errors.clear();
  }
  static void Writer(const char* s, int n) { _Written.emplace_back(s, (size_t)n); }
  static void Error(void*, const char* s) { _Errors.emplace_back(s); }
};

TEST_F(TextBuffer, KeepsTheNewestTenThousandLines) {
  CustTextBuffer b(CTV_MODE_FORMATTED, 0, 100);
  for (int i = 0; i < 10000; i++) b.Append(("line " + std::to_string(i) + "\n").c_str());
  EXPECT_EQ(b.GetNumLines(), 10000);
  EXPECT_EQ(b.GetCapacity(), 10000); // grew by doubling, at most 10 000
  EXPECT_FALSE(b.HasWrapped());
  b.Append("line 10000\n");
  EXPECT_EQ(b.GetNumLines(), 10000);
  EXPECT_TRUE(b.HasWrapped());
  EXPECT_EQ(b.GetLine(0).Text, "line 1");
  EXPECT_EQ(b.GetLine(9999).Text, "line 10000");
  for (int i = 10001; i < 25000; i++) b.Append(("line " + std::to_string(i) + "\n").c_str());
  EXPECT_EQ(b.GetLine(0).Text, "line 15000");
  EXPECT_EQ(b.GetLine(9999).Text, "line 24999");
}

TEST_F(TextBuffer, UnfinishedLinesContinueAndReachTheWriterWhenFinished) {
  CustTextBuffer b(CTV_MODE_FORMATTED, 0, 100);
  b.SetLineWriter(Writer);
  b.Append("Erasing ");
  EXPECT_EQ(b.GetNumLines(), 1);
  EXPECT_TRUE(_Written.empty());
  b.Append("\x1b[1;31msector\x1b[0m 1");
  b.Append(" done\r\nnext\rthird\n");
  ASSERT_EQ(b.GetNumLines(), 3);
  EXPECT_EQ(b.GetLine(0).Text, "Erasing sector 1 done");
  EXPECT_EQ(_Written, (std::vector<std::string>{"Erasing sector 1 done\r\n", "next\r\n", "third\r\n"}));
  b.Append("partial");
  b.SetLineWriter(nullptr); // removing the writer hands over the pending partial line
  EXPECT_EQ(_Written.back(), "partial\r\n");
}

TEST_F(TextBuffer, TabsBecomeTwoBlanksAndNulEndsTheText) {
  CustTextBuffer b(CTV_MODE_PLAIN, 0, 10);
  const char s[] = "a\tb\0hidden\n";
  b.Append(s, sizeof(s) - 1);
  EXPECT_EQ(b.GetLine(0).Text, "a  b");
}

TEST_F(TextBuffer, SgrSequencesBecomeFormatters) {
  CustTextBuffer b(CTV_MODE_FORMATTED, 0, 10);
  b.SetErrorRoutine(Error, nullptr);
  b.Append("\x1b[1;32mOK\x1b[0m done\n");
  const TextLine& l = b.GetLine(0);
  EXPECT_EQ(l.Text, "OK done");
  ASSERT_EQ(l.aFmt.size(), 2u); // the first sequence replaces the line's starting formatter
  EXPECT_EQ(l.aFmt[0].Pos, 0);
  EXPECT_EQ(l.aFmt[0].Fg + l.aFmt[0].FgBright, 10); // bright green
  EXPECT_EQ(l.aFmt[1].Pos, 2);
  EXPECT_EQ(l.aFmt[1].Fg + l.aFmt[1].FgBright, 0); // black
  EXPECT_EQ(l.aFmt[1].Bg + l.aFmt[1].BgBright, 15); // on white
  EXPECT_TRUE(_Errors.empty());
  b.Append("\x1b[2;33mWARNING\x1b[0m\n");
  EXPECT_EQ(b.GetLine(1).aFmt[0].Fg + b.GetLine(1).aFmt[0].FgBright, 3); // dark yellow
  b.Append("x\x1b[5my\n");
  EXPECT_EQ(_Errors, std::vector<std::string>{"ANSI CSI SGR parameter 5 not supported."});
  EXPECT_EQ(b.GetLine(2).Text, "xy");
  // Attributes persist across lines; a broken sequence drops only its escape character.
  b.Append("\x1b[31mred\nstill red \x1b[1\x07z\n");
  EXPECT_EQ(b.GetLine(4).aFmt[0].Fg, 1);
  EXPECT_EQ(b.GetLine(4).Text, "still red [1\x07z");
}

TEST_F(TextBuffer, LimitsOfFormattersAndLineLength) {
  CustTextBuffer b(CTV_MODE_FORMATTED, 0, 10);
  b.SetErrorRoutine(Error, nullptr);
  std::string s;
  for (int i = 0; i < 120; i++) s += "x\x1b[3" + std::to_string(i % 8) + "m";
  b.Append((s + "\n").c_str());
  EXPECT_EQ(b.GetLine(0).aFmt.size(), 100u);
  ASSERT_FALSE(_Errors.empty());
  EXPECT_EQ(_Errors[0], "Maximum number of formatters per line exceeded (100 formatters). Not all formatters could "
                        "be applied!");
  _Errors.clear();
  b.Append((std::string(5000, 'a') + "\n").c_str());
  EXPECT_EQ(b.GetLine(1).Text.size(), 4096u);
  EXPECT_EQ(_Errors, std::vector<std::string>{
                         "Line contents exceed maximum of 4096 characters. Not all content could be displayed!"});
}

TEST_F(TextBuffer, TerminalModeChannelsAndPrefixes) {
  CustTextBuffer b(CTV_MODE_TERMINAL, 0, 10);
  b.SetErrorRoutine(Error, nullptr);
  b.Append("boot\xff" "1from one\n\xff" "3\xff" "2two");
  ASSERT_EQ(b.GetNumLines(), 3);
  EXPECT_EQ(b.GetLine(0).Text, "00> boot"); // committed when the channel changed
  EXPECT_EQ(b.GetLine(1).Text, "01> from one");
  EXPECT_EQ(b.GetLine(1).aFmt[0].Fg + b.GetLine(1).aFmt[0].FgBright, 1); // the channel colour
  EXPECT_EQ(b.GetLine(2).Text, "02> two");
  b.Append("\xffzq\n");
  EXPECT_EQ(_Errors,
            std::vector<std::string>{"Terminal change character (IAC) followed by invalid character (non-hexadecimal)."});
}

TEST_F(TextBuffer, FindIsCaseInsensitiveAndDoesNotWrap) {
  CustTextBuffer b(CTV_MODE_FORMATTED, 0, 10);
  b.Append("start\n\x1b[1;31mERROR: one\x1b[0m\nok\nan error again\n");
  int Line = 0, Col = 0;
  ASSERT_TRUE(b.Find("error", true, &Line, &Col));
  EXPECT_EQ(Line, 1);
  EXPECT_EQ(Col, 0);
  Col++;
  ASSERT_TRUE(b.Find("error", true, &Line, &Col));
  EXPECT_EQ(Line, 3);
  EXPECT_EQ(Col, 3);
  Col++;
  EXPECT_FALSE(b.Find("error", true, &Line, &Col));
  Line = 3;
  Col = 3;
  ASSERT_TRUE(b.Find("ERROR", false, &Line, &Col));
  EXPECT_EQ(Line, 1);
  EXPECT_EQ(b.GetText(0, 2, 1, 5), "art\r\nERROR");
}

} // namespace
