// A GUI for tests in which several threads log at once: it keeps the log lines and the texts
// of the boxes under a lock, and answers every box with its default.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "tests/NullGUI.h"

class SharedLogGUI : public NullGUI {
public:
  void AppendLog(const char* s) override {
    std::lock_guard<std::mutex> g(_Lock);
    _Lines.push_back(s);
  }
  void ShowMsgBox(MsgBoxRequest* p) override {
    std::lock_guard<std::mutex> g(_Lock);
    _BoxTexts.push_back(p->sText);
    p->Result = p->DefaultResult;
  }
  std::vector<std::string> Lines() {
    std::lock_guard<std::mutex> g(_Lock);
    return _Lines;
  }
  std::vector<std::string> BoxTexts() {
    std::lock_guard<std::mutex> g(_Lock);
    return _BoxTexts;
  }

private:
  std::mutex _Lock;
  std::vector<std::string> _Lines;
  std::vector<std::string> _BoxTexts;
};
