/*
 * CustTextView - the program's text console widget (the log): a scroll area showing a
 * CustTextBuffer with colours, fed from any thread.
 *
 * Appending takes the view's mutex, parses the text into the buffer and asks for a refresh
 * through a queued signal; refreshes are coalesced, so a burst of lines repaints a few dozen
 * times a second at most. Selection, copy, a find bar and shortcuts work on the GUI thread.
 */
#pragma once

#include <QElapsedTimer>
#include <QFrame>
#include <QScrollArea>
#include <QTimer>
#include <QWidget>
#include <atomic>

#include "gui/CustTextBuffer.h"

class QLineEdit;
class QMenu;
class QAction;
class CustTextView;
struct SYS_MUTEX;

class CustTextArea : public QWidget {
  Q_OBJECT
public:
  explicit CustTextArea(CustTextView* pView);

protected:
  void paintEvent(QPaintEvent* pEvent) override;
  void mousePressEvent(QMouseEvent* pEvent) override;
  void mouseMoveEvent(QMouseEvent* pEvent) override;
  void mouseReleaseEvent(QMouseEvent* pEvent) override;
  void mouseDoubleClickEvent(QMouseEvent* pEvent) override;
  void contextMenuEvent(QContextMenuEvent* pEvent) override;

private:
  CustTextView* _pView;
};

class CustTextView : public QScrollArea {
  Q_OBJECT
  friend class CustTextArea;

public:
  typedef void LINE_WRITER(const char* sLine, int Len);

  CustTextView(QWidget* pParent, const char* sName, int Mode, int Scheme, int InitCapacity);
  ~CustTextView() override;

  void AppendText(const char* sText, int Len = -1); // any thread
  void Clear();
  void ClearAndAppend(const char* sText);
  void SetLineWriter(LINE_WRITER* pfWriter); // null removes it
  void SetFollow(bool On) { _Follow = On; }
  void SetFontSize(int PointSize);
  void SetErrorRoutine(void (*pf)(const char* sText)) { _pfError = pf; }
  void SetMessageRoutine(void (*pf)(const char* sText)) { _pfMessage = pf; }
  void SetLocal8Bit(bool On) { _Local8Bit = On; }

  // For tests and the main window: a copy of the buffer state under the mutex.
  int GetNumLines();
  std::string GetLineText(int Index);
  std::string GetSelectedText();
  void SelectAll();
  void SetSelection(int FirstLine, int FirstCol, int LastLine, int LastCol);
  bool HasSelection();
  void Copy();
  void OpenFindBar();
  void CloseFindBar();
  bool FindNext() { return _Find(true); }
  bool FindPrevious() { return _Find(false); }
  QLineEdit* GetFindEdit() const { return _pFindEdit; }
  QFrame* GetFindBar() const { return _pFindBar; }
  int GetNumRepaints() const { return _NumRefreshes; }
  QAction* GetCopyAction() const { return _pActCopy; }

Q_SIGNALS:
  void SignalRequestGUIUpdate();

private Q_SLOTS:
  void _OnUpdateGUI();
  void _OnRefresh();
  void _OnFindReturn();

protected:
  void resizeEvent(QResizeEvent* pEvent) override;

private:
  static void _BufferError(void* pUser, const char* sText);
  QPoint _CharAt(const QPoint& Pos);
  bool _Find(bool Forward);
  void _PlaceFindBar();
  QString _ToQString(const std::string& s) const;

  CustTextBuffer _Buffer;
  SYS_MUTEX* _pLock;
  CustTextArea* _pArea;
  qreal _CellWidth = 8; // the advance of the letter x, with its fraction
  int _LineSpacing = 14;
  bool _Follow = true;
  std::atomic<bool> _UpdatePending{false};
  QTimer _RefreshTimer;
  QElapsedTimer _SinceRefresh;
  int _NumRefreshes = 0;
  // Selection in buffer coordinates, kept relative to the drop count so wrapping shifts it.
  bool _HasSel = false;
  int64_t _SelStartLine = 0, _SelEndLine = 0;
  int _SelStartCol = 0, _SelEndCol = 0;
  bool _Selecting = false;
  int64_t _FindLine = 0;
  int _FindCol = 0;
  bool _FindShown = false;
  bool _Local8Bit = true;
  void (*_pfError)(const char* sText) = nullptr;
  void (*_pfMessage)(const char* sText) = nullptr;
  QFrame* _pFindBar;
  QLineEdit* _pFindEdit;
  QMenu* _pMenu;
  QAction* _pActCopy = nullptr;
};
