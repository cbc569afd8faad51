/*
 * CHexEditor - the data window: a memory view of one data image over the whole 32-bit space.
 *
 * The main window creates it for an image (on a worker request) and the list of data windows
 * owns the image. The window reads and patches only through its access table (the image's by
 * default; a target-memory table works the same), and only the lines on screen: scrolling
 * and go-to cost the same on an image of one range or of a hundred thousand. Edits become
 * patches of the image; the title shows " (*)" until a save folds them. The window reports
 * focus, title changes, edits and its closing through its signals. Line text and column
 * arithmetic live in HexLayout.
 */
#pragma once

#include <QMainWindow>
#include <QString>
#include <QTimer>
#include <cstdint>
#include <vector>

#include "gui/HexLayout.h"

struct DataImage;
struct DataImageAccess;
class CHexArea;
class QAction;
class QActionGroup;
class QComboBox;
class QLineEdit;
class QMenu;
class QScrollBar;
class QToolBar;

class CHexEditor : public QMainWindow {
  Q_OBJECT
  friend class CHexArea;

public:
  // Where the window's messages go: level 0 information (the log), 2 error (a message box).
  typedef void MESSAGE_ROUTINE(void* pUser, int Level, const char* sText);
  enum { MAX_WRITE_BYTES = 0x400000 }; // fill, load and paste: each byte becomes a patch

  // pAccess: the image's table when null. A window on target memory has no unsaved-change mark
  // and reports failed accesses as target errors.
  explicit CHexEditor(DataImage* pImage, QWidget* pParent = nullptr, const DataImageAccess* pAccess = nullptr,
                      bool IsTargetMemory = false);
  ~CHexEditor() override;
  DataImage* GetImage() const { return _pImage; }
  void SetImage(DataImage* pImage);    // and re-reads the view
  void SetTitle(const QString& sName); // the file name shown in the title ("Memory" when empty)
  QString GetTitle() const { return _sFullTitle; }
  QSize sizeHint() const override;
  void SetMessageRoutine(MESSAGE_ROUTINE* pf, void* pUser);

  // View
  void SetItemWidth(int Width); // 1, 2 or 4
  int GetItemWidth() const { return _Layout.GetItemWidth(); }
  void SetAccessWidth(int Width); // 1, 2, 4, or 0: the item width
  int GetAccessWidth() const { return _AccessWidth; }
  void SetBigEndian(bool On); // byte order of 2- and 4-byte items; the project sets it on SetImage
  uint32_t GetTopAddr() const { return _TopLine << 4; }
  void ScrollToLine(uint32_t Line); // top line (address / 16), clamped
  void GoTo(uint32_t Addr);         // shows Addr, puts the cursor there, remembers the old top
  void GoBack();
  int GetNumVisibleLines() const { return _NumRows; }
  QString GetLineText(int Row) const; // the text of a line on screen, as drawn
  void Refresh();                     // re-reads the lines on screen and the title (GUI thread)
  void RequestRefresh();              // the same from any thread, queued
  void SetRefreshInterval(int Ms);    // 0: off

  // Cursor and selection (addresses; the selection covers whole items)
  uint32_t GetCursor() const { return _Cursor; }
  void SetCursor(uint32_t Addr);
  void SetSelection(uint32_t First, uint32_t Last);
  void ClearSelection();
  bool GetSelection(uint32_t* pFirst, uint32_t* pLast) const;

  // Operations behind the actions; each reports its own errors. 0, or -1.
  int WriteItem(uint32_t Addr, uint32_t Value); // the edit overlay's write, with the access width
  int Fill(uint32_t First, uint32_t Last, uint32_t Value);
  int LoadFromFile(const QString& sPath, uint32_t Addr);
  int SaveToFile(const QString& sPath, uint32_t First, uint32_t Last);
  int CopyHex();
  int CopyText();
  int CopyBinary();
  int CopyCInitializer();
  int Paste();
  void StartEdit(const QString& sFirstChar = QString()); // the overlay on the cursor item
  QLineEdit* GetItemEditor() const { return _pEdit; }

Q_SIGNALS:
  void SignalClosed(CHexEditor* pWin);
  void SignalEditingFinished();
  void SignalFocusIn();
  void SignalTitleUpdate(QString sTitle);
  void _SignalUpdateGUI();

private Q_SLOTS:
  void OnActionViewFormatTriggered();
  void OnActionAccessWidthTriggered();
  void OnActionFillTriggered();
  void OnActionLoadTriggered();
  void OnActionSaveTriggered();
  void OnActionGotoTriggered();
  void OnActionAutoRefreshTriggered();
  void OnActionShowToolbarTriggered();
  void OnActionCopyTriggered();
  void OnActionPasteTriggered();
  void OnActionCopyTextTriggered();
  void OnActionCopyHexTriggered();
  void OnActionCopyBinaryTriggered();
  void OnActionCopyIntListTriggered();
  void OnActionGoBackTriggered();
  void OnMemZoneMenuActionTriggered(QAction* pAction);
  void OnScrollbarActionTriggered(int Action);
  void OnScrollbarReleased();
  void OnAddrBoxEditingFinished();
  void OnRefreshRateChanged();
  void OnItemEditingFinished();
  void OnAutoUpdateTimerTimeout();
  void OnAutoScrollSelectionTimerTimeout();
  void _SlotOnGUIUpdate();

protected:
  void closeEvent(QCloseEvent* pEvent) override;
  bool eventFilter(QObject* pObj, QEvent* pEvent) override;

private:
  void _BuildActions();
  void _BuildToolbar();
  void _Report(int Level, const char* sText);
  void _UpdateTitle();
  void _TakeProjectByteOrder();
  void _UpdateScrollBars();
  void _OnAreaResized();
  void _ReadVisible();
  void _ReadBytes(uint32_t First, uint32_t NumBytes, HexByte* pDest) const;
  int _WriteBytes(uint32_t Addr, const uint8_t* pData, uint32_t NumBytes);
  bool _CheckWriteSize(uint64_t NumBytes);
  bool _GetCopyBytes(uint32_t* pFirst, uint32_t* pLast, std::vector<HexByte>* pBytes);
  void _SetClipboardText(const std::string& s, const char* sFormat);
  typedef std::string (HexLayout::*CopyFormat)(uint32_t, uint32_t, const std::vector<HexByte>&) const;
  int _CopyAs(CopyFormat pfFormat, const char* sFormat); // a text format of the selection
  void _MoveCursor(int64_t Delta, bool Extend);
  void _EnsureCursorVisible();
  uint32_t _ItemAlign(uint32_t Addr) const { return Addr & ~(uint32_t)(_Layout.GetItemWidth() - 1); }
  bool _HitTest(const QPoint& Pos, uint32_t* pAddr) const; // area coordinates → byte address
  void _PlaceEditor();
  void _CancelEdit();
  int _EffectiveAccessWidth() const;

  DataImage* _pImage;
  const DataImageAccess* _pAccess;
  bool _IsTarget;
  HexLayout _Layout;
  int _AccessWidth = 0;
  uint32_t _TopLine = 0;
  int _NumRows = 1;
  std::vector<HexByte> _aVisible; // the bytes of the lines on screen, read by _ReadVisible
  std::vector<uint32_t> _aHistory;
  uint32_t _Cursor = 0;
  uint32_t _Anchor = 0;
  bool _HasSel = false;
  bool _Selecting = false;
  QPoint _LastMousePos;
  uint32_t _EditAddr = 0;
  bool _Editing = false;
  QString _sName;
  QString _sFullTitle;
  QString _sRefreshText;
  QString _sZone;
  MESSAGE_ROUTINE* _pfMessage = nullptr;
  void* _pMessageUser = nullptr;

  CHexArea* _pArea;
  QScrollBar* _pVScroll;
  QScrollBar* _pHScroll;
  QLineEdit* _pEdit;
  QToolBar* _pToolBar;
  QLineEdit* _pAddrBox;
  QComboBox* _pRefreshBox;
  QMenu* _pZoneMenu;
  QAction* _apActView[3];
  QAction* _apActAccess[4];
  QAction* _pActToolbar;
  QTimer _AutoUpdateTimer;
  QTimer _AutoScrollTimer;
};
