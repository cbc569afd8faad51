// A GUI for tests: records the requests of the worker side and answers the boxes.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "core/APP_GUI.h"
#include "core/APP_Log.h"
#include "tests/NullGUI.h"

// Records what the code under test asks of the GUI and answers its message boxes.
class FakeGUI : public NullGUI {
public:
  std::vector<std::string> Lines;
  std::vector<MsgBoxRequest> Boxes;
  std::vector<std::string> BoxTexts;
  void (*pfWriter)(const char*, int) = nullptr;
  int BoxAnswer = -1;              // -1: the default
  bool RejectBoxes = false;        // every box is closed without a button
  std::vector<int64_t> EditValues; // the value dialog's answer; empty: cancelled

  void AppendLog(const char* s) override {
    Lines.push_back(s);
    if (pfWriter) {
      char ac[1100];
      APP_StripEscapes(ac, sizeof(ac), s);
      std::string t(ac);
      if (!t.empty() && t.back() == '\n') t.pop_back();
      t += "\r\n";
      pfWriter(t.data(), (int)t.size());
    }
  }
  void SetLogWriter(void (*pf)(const char*, int)) override { pfWriter = pf; }
  int ShowEditValueDialog(const char*, EditValueField* pa, int n) override {
    if (EditValues.empty()) return -1;
    for (int i = 0; i < n && i < (int)EditValues.size(); i++)
      *pa[i].pValue = EditValues[i];
    return 0;
  }
  void ShowMsgBox(MsgBoxRequest* p) override {
    BoxTexts.push_back(p->sText);
    // The request's texts live in the caller's buffers only while the box is shown: the record
    // keeps copies of its own.
    MsgBoxRequest r = *p;
    r.sTitle = _Keep(p->sTitle);
    r.sText = _Keep(p->sText);
    r.sButton0 = _Keep(p->sButton0);
    r.sButton1 = _Keep(p->sButton1);
    r.sCheckBoxText = _Keep(p->sCheckBoxText);
    Boxes.push_back(r);
    if (BoxAnswer >= 0) p->Result = BoxAnswer;
    p->Rejected = RejectBoxes;
  }

private:
  std::deque<std::string> _Kept; // a deque: what it holds never moves
  const char* _Keep(const char* s) {
    if (s == nullptr) return nullptr;
    _Kept.emplace_back(s);
    return _Kept.back().c_str();
  }
};
