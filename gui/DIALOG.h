/*
 * DIALOG - the custom message box, the value dialog and the progress dialog.
 *
 * Each is run on the GUI thread by the main window when the worker asks for it. The text
 * conversion of the message box (links, entities, line breaks) is a plain function so that
 * it can be tested without a widget.
 */
#pragma once

#include <QDialog>
#include <QString>
#include <string>

#include "core/APP_GUI.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QSpinBox;
class QTimer;

// Plain message text to rich text: links for http:// and https://, entities, "<br>" breaks.
std::string DIALOG_ToRichText(const char* sText);
// The text Ctrl+C copies from a message box.
std::string DIALOG_MsgBoxClipboardText(const char* sTitle, const char* sText, const char* sButton0,
                                       const char* sButton1);
// Runs the box modally and fills the request's results.
void DIALOG_CustMsgBox(MsgBoxRequest* pReq, QWidget* pParent);

class CustMsgBox : public QDialog {
  Q_OBJECT
public:
  CustMsgBox(MsgBoxRequest* pReq, QWidget* pParent);
  ~CustMsgBox() override;
  QString GetTitleBase() const { return _sTitle; }

protected:
  void keyPressEvent(QKeyEvent* pEvent) override;
  void done(int r) override;

public Q_SLOTS:
  void reject() override;

private Q_SLOTS:
  void _SlotOnButton0();
  void _SlotOnButton1();
  void _SlotOnTimer();

private:
  void _FitWidth();
  MsgBoxRequest* _pReq;
  QString _sTitle;
  class QCheckBox* _pCheck = nullptr;
  QTimer* _pTimer = nullptr;
  int _RemainingMs = 0;
};

class EditValueDialog : public QDialog {
  Q_OBJECT
public:
  EditValueDialog(const char* sTitle, EditValueField* paField, int NumFields, QWidget* pParent);
  QWidget* GetEditor(int Index) const { return _apEditor.value(Index); }

private Q_SLOTS:
  void _SlotOnBtnOK();
  void _SlotOnHexEdit();

private:
  EditValueField* _paField;
  int _NumFields;
  QList<QWidget*> _apEditor;
};

class ProgressDialog : public QDialog {
  Q_OBJECT
public:
  ProgressDialog(const char* sTitle, const char* sText, int Flags, QWidget* pParent);
  ~ProgressDialog() override;
  ProgressDialogState* GetState() { return &_State; }
  QProgressBar* GetBar() const { return _pBar; }
  QLabel* GetText1() const { return _pText1; }
  QLabel* GetText2() const { return _pText2; }

Q_SIGNALS:
  void _SignalUpdateGUI();

public Q_SLOTS:
  void _SlotOnUpdateGUI();
  void reject() override; // "Cancel": sets the cancelled flag

private:
  static void _Notify(void* pUser);
  ProgressDialogState _State;
  QLabel* _pText1;
  QLabel* _pText2;
  QProgressBar* _pBar;
};
