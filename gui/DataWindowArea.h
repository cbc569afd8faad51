/*
 * DataWindowArea - the central area of the main window that holds the data windows.
 *
 * It keeps one frameless, maximised sub-window whose content is an inner main window; every
 * data window lives in a dock there. The area knows the active dock (the current data
 * window) and draws "Drag & Drop data file here" while no dock is docked.
 */
#pragma once

#include <QDockWidget>
#include <QMainWindow>
#include <QMdiArea>
#include <QPicture>

class CHexEditor;
class DataWindowArea;

class SubMainWindow : public QMainWindow {
  Q_OBJECT
public:
  explicit SubMainWindow(DataWindowArea* pArea);
  bool _AllowClose = false;

protected:
  void closeEvent(QCloseEvent* pEvent) override;
};

class CustDockWidget : public QDockWidget {
  Q_OBJECT
public:
  CustDockWidget(DataWindowArea* pArea, CHexEditor* pWin, int Number);
  CHexEditor* GetDataWindow() const { return _pWin; }
  int GetNumber() const { return _Number; }
  void SetActive(bool On);

private Q_SLOTS:
  void _SlotOnHexEditorFocusIn();
  void _SlotOnHexEditorClosed();
  void _SlotOnHexEditorTitleUpdate(QString sTitle);
  void _SlotOnDockWidgetVisibilityChanged(bool Visible);

protected:
  void closeEvent(QCloseEvent* pEvent) override;
  void focusInEvent(QFocusEvent* pEvent) override;

private:
  DataWindowArea* _pArea;
  CHexEditor* _pWin;
  int _Number;
  bool _Closing = false;
};

class DataWindowArea : public QMdiArea {
  Q_OBJECT
public:
  explicit DataWindowArea(QWidget* pParent);
  ~DataWindowArea() override;
  void AddDataWindow(CHexEditor* pWin);
  CHexEditor* GetCurDataWindow() const;
  void Activate(CustDockWidget* pDock);
  void OnDockClosing(CustDockWidget* pDock);
  QList<CustDockWidget*> GetDocks() const { return _apDock; }

Q_SIGNALS:
  void SignalDataWinInFocus(CHexEditor* pWin);

protected:
  void paintEvent(QPaintEvent* pEvent) override;

private:
  SubMainWindow* _pInner;
  CustDockWidget* _pActive = nullptr;
  int _DockCounter = 0;
  QList<CustDockWidget*> _apDock;
  QColor _WindowColor;
  QColor _BackgroundColor;
  QPicture _Placeholder;
  QSize _PlaceholderSize;
};
