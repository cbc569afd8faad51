// A GUI that answers every worker request with nothing: no window, no dialog, cancelled file
// dialogs and the default answer of every box. Tests derive from it and record or script
// only the requests they look at.
#pragma once

#include "core/APP_GUI.h"

class NullGUI : public APP_GUI_REQUESTS {
public:
  void SetStartMode(int) override {}
  void SetStatusField(int, const char*) override {}
  void SetTitleText(const char*) override {}
  void ReloadRecentMenus() override {}
  void UpdateMenuBar(const uint8_t*) override {}
  void UpdateProjectInfo(const ProjectInfoRecord*) override {}
  void EnableGUI(bool) override {}
  void EnableDataWindowCheck(bool) override {}
  void CloseDataWindow(CHexEditor*) override {}
  void CloseMainWindow() override {}
  void StartupFinished() override {}
  void AppendLog(const char*) override {}
  void SetLogWriter(void (*)(const char*, int)) override {}
  CHexEditor* CreateDataWindow(DataImage*, const char*) override { return nullptr; }
  void UpdateDataWindow(CHexEditor*, DataImage*) override {}
  CHexEditor* GetCurDataWindow() override { return nullptr; }
  ProgressDialogState* CreateProgressDlg(const char*, const char*, int) override { return nullptr; }
  void DeleteProgressDlg(ProgressDialogState**) override {}
  int ShowEditValueDialog(const char*, EditValueField*, int) override { return -1; }
  int ShowFileDialogOpen(char*, int, const char*, const char*, const char*) override { return -1; }
  int ShowFileDialogSave(char*, int, const char*, const char*, const char*) override { return -1; }
  void ShowMsgBox(MsgBoxRequest* p) override { p->Result = p->DefaultResult; }
};
