/*
 * DataWindowArea - docks of the data windows and the active one among them.
 */
#include "gui/DataWindowArea.h"

#include <QCloseEvent>
#include <QMdiSubWindow>
#include <QPainter>

#include "gui/CHexEditor.h"

SubMainWindow::SubMainWindow(DataWindowArea* pArea) : QMainWindow(pArea) { setDockNestingEnabled(true); }

void SubMainWindow::closeEvent(QCloseEvent* pEvent) {
  // Only the area itself, when it is destroyed, may close its inner window.
  if (_AllowClose) {
    pEvent->accept();
  } else {
    pEvent->ignore();
  }
}

CustDockWidget::CustDockWidget(DataWindowArea* pArea, CHexEditor* pWin, int Number)
    : QDockWidget("Memory window"), _pArea(pArea), _pWin(pWin), _Number(Number) {
  setWidget(pWin);
  setAttribute(Qt::WA_DeleteOnClose);
  setFocusPolicy(Qt::ClickFocus);
  setAllowedAreas(Qt::AllDockWidgetAreas);
  connect(pWin, &CHexEditor::SignalFocusIn, this, &CustDockWidget::_SlotOnHexEditorFocusIn);
  connect(pWin, &CHexEditor::SignalClosed, this, &CustDockWidget::_SlotOnHexEditorClosed);
  connect(pWin, &CHexEditor::SignalTitleUpdate, this, &CustDockWidget::_SlotOnHexEditorTitleUpdate);
  connect(this, &QDockWidget::visibilityChanged, this, &CustDockWidget::_SlotOnDockWidgetVisibilityChanged);
}

void CustDockWidget::SetActive(bool On) {
  QFont f = font();
  f.setBold(On);
  setFont(f);
}

void CustDockWidget::_SlotOnHexEditorFocusIn() { _pArea->Activate(this); }

void CustDockWidget::_SlotOnHexEditorClosed() {
  if (!_Closing) close();
}

void CustDockWidget::_SlotOnHexEditorTitleUpdate(QString sTitle) { setWindowTitle(sTitle.left(640)); }

void CustDockWidget::_SlotOnDockWidgetVisibilityChanged(bool Visible) {
  if (Visible && !_pArea->GetDocks().isEmpty()) {
    // A dock that shows up while tabbed with others becomes the current one.
    QMainWindow* pInner = qobject_cast<QMainWindow*>(parentWidget());
    if (pInner && !pInner->tabifiedDockWidgets(this).isEmpty()) _pArea->Activate(this);
  }
}

void CustDockWidget::closeEvent(QCloseEvent* pEvent) {
  if (!_Closing) {
    _Closing = true;
    if (_pWin) _pWin->close(); // the data window first: it reports its closing
    _pArea->OnDockClosing(this);
  }
  QDockWidget::closeEvent(pEvent);
}

void CustDockWidget::focusInEvent(QFocusEvent* pEvent) {
  QDockWidget::focusInEvent(pEvent);
  _pArea->Activate(this);
}

DataWindowArea::DataWindowArea(QWidget* pParent) : QMdiArea(pParent) {
  _WindowColor = palette().color(QPalette::Window);
  _BackgroundColor = QDockWidget().palette().color(QPalette::Midlight);
  setBackground(Qt::transparent);
  _pInner = new SubMainWindow(this);
  QMdiSubWindow* pSub = addSubWindow(_pInner, Qt::FramelessWindowHint);
  pSub->setFocusPolicy(Qt::NoFocus);
  pSub->showMaximized();
  // The placeholder: the text at 20 points on a transparent picture exactly as large as the text.
  QFont f = font();
  f.setPointSize(20);
  QFontMetrics fm(f);
  const QString sText = "Drag & Drop data file here";
  _PlaceholderSize = QSize(fm.horizontalAdvance(sText) + 1, fm.height());
  QPainter p(&_Placeholder);
  p.setFont(f);
  p.setPen(Qt::black);
  p.drawText(QRect(QPoint(0, 0), _PlaceholderSize), Qt::AlignCenter, sText);
  p.end();
  setMinimumSize(_PlaceholderSize);
}

DataWindowArea::~DataWindowArea() { _pInner->_AllowClose = true; }

void DataWindowArea::AddDataWindow(CHexEditor* pWin) {
  CustDockWidget* pDock = new CustDockWidget(this, pWin, _DockCounter++);
  QPalette pal = pDock->palette();
  pal.setColor(QPalette::Window, _WindowColor);
  pDock->setPalette(pal);
  pDock->setAutoFillBackground(true);
  _apDock.append(pDock);
  _pInner->addDockWidget(Qt::BottomDockWidgetArea, pDock, Qt::Vertical);
  pDock->setFocus();
  Activate(pDock);
  viewport()->update();
}

CHexEditor* DataWindowArea::GetCurDataWindow() const { return _pActive ? _pActive->GetDataWindow() : nullptr; }

void DataWindowArea::Activate(CustDockWidget* pDock) {
  if (pDock == nullptr) return;
  if (pDock != _pActive) {
    for (CustDockWidget* d : _apDock) {
      if (d != pDock) d->SetActive(false);
    }
    _pActive = pDock;
  }
  pDock->SetActive(true);
  Q_EMIT SignalDataWinInFocus(pDock->GetDataWindow());
}

void DataWindowArea::OnDockClosing(CustDockWidget* pDock) {
  _apDock.removeAll(pDock);
  if (_pActive == pDock) {
    _pActive = nullptr;
    CustDockWidget* pNewest = nullptr;
    for (CustDockWidget* d : _apDock) {
      if (pNewest == nullptr || d->GetNumber() > pNewest->GetNumber()) pNewest = d;
    }
    if (pNewest) Activate(pNewest);
  }
  viewport()->update();
}

void DataWindowArea::paintEvent(QPaintEvent* pEvent) {
  QMdiArea::paintEvent(pEvent);
  QPainter p(viewport());
  p.fillRect(viewport()->rect(), _BackgroundColor);
  bool AnyDocked = false;
  for (CustDockWidget* d : _apDock) {
    if (!d->isFloating()) AnyDocked = true;
  }
  if (!AnyDocked) {
    QPoint at((viewport()->width() - _PlaceholderSize.width()) / 2,
              (viewport()->height() - _PlaceholderSize.height()) / 2);
    p.drawPicture(at, _Placeholder);
  }
}
