/*
 * CustTextView - painting, selection, find bar and coalesced refresh of the log view.
 */
#include "gui/CustTextView.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QShortcut>
#include <QStyle>
#include <QToolBar>
#include <QTransform>

#include <cmath>

#include "sys/SYS.h"

namespace {

const QColor _aPalette[16] = {
    {0, 0, 0},       {136, 0, 0},   {0, 136, 0},   {136, 136, 0}, {0, 0, 136},   {136, 0, 136},
    {0, 136, 136},   {204, 204, 204}, {136, 136, 136}, {255, 0, 0}, {0, 255, 0},   {255, 255, 0},
    {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255},
};

// The shortest time between two refreshes: a burst of lines repaints at most 25 times a second.
const int _MinRefreshMs = 40;

using MutexGuard = SYS_MUTEX_GUARD;

} // namespace

/*********************************************************************
 * CustTextArea
 */
CustTextArea::CustTextArea(CustTextView* pView) : QWidget(pView), _pView(pView) {
  setAttribute(Qt::WA_OpaquePaintEvent, false);
  setMouseTracking(false);
}

void CustTextArea::paintEvent(QPaintEvent* pEvent) {
  QPainter p(this);
  CustTextView* v = _pView;
  const ColorScheme& Scheme = CustTextBuffer::GetScheme(v->_Buffer.GetSchemeIndex());
  // The light schemes take their normal text and background from the desktop palette, so that
  // the log stays readable on a dark desktop; only the colours of escape sequences are fixed.
  bool Light = v->_Buffer.GetSchemeIndex() != 1;
  QColor NormalText = Light ? palette().color(QPalette::Text) : _aPalette[Scheme.Text];
  QColor NormalBg = Light ? palette().color(QPalette::Base) : _aPalette[Scheme.Background];
  auto Colour = [&](int Index) {
    return Index == Scheme.Text ? NormalText : Index == Scheme.Background ? NormalBg : _aPalette[Index];
  };
  if (v->_Buffer.GetSchemeIndex() != 2) p.fillRect(pEvent->rect(), NormalBg);
  p.setFont(font());
  QFontMetrics fm(font());
  int Ascent = fm.ascent();
  QColor HiBg = palette().color(QPalette::Highlight), HiFg = palette().color(QPalette::HighlightedText);
  MutexGuard g(v->_pLock);
  const CustTextBuffer& b = v->_Buffer;
  int64_t Dropped = (int64_t)b.GetNumDropped();
  int First = std::max(0, (pEvent->rect().top() - 5) / v->_LineSpacing);
  int Last = std::min(b.GetNumLines() - 1, (pEvent->rect().bottom() - 5) / v->_LineSpacing + 1);
  // Selection as buffer indices.
  int64_t s0 = v->_SelStartLine, s1 = v->_SelEndLine;
  int c0 = v->_SelStartCol, c1 = v->_SelEndCol;
  if (s1 < s0 || (s1 == s0 && c1 < c0)) {
    std::swap(s0, s1);
    std::swap(c0, c1);
  }
  for (int l = First; l <= Last; l++) {
    const TextLine& Line = b.GetLine(l);
    int y = 5 + l * v->_LineSpacing;
    const std::string& t = Line.Text;
    size_t NumFmt = Line.aFmt.size();
    if (b.GetMode() == CTV_MODE_PLAIN || NumFmt == 0) {
      p.setPen(NormalText);
      p.drawText(5, y + Ascent, v->_ToQString(t));
    } else {
      for (size_t k = 0; k < NumFmt; k++) {
        const TextFormatter& f = Line.aFmt[k];
        int a = std::min(f.Pos, (int)t.size());
        int e = (k + 1 < NumFmt) ? std::min(Line.aFmt[k + 1].Pos, (int)t.size()) : (int)t.size();
        if (e <= a) continue;
        qreal x = 5 + a * v->_CellWidth;
        int bg = f.Bg + f.BgBright, fg = f.Fg + f.FgBright;
        if (bg != Scheme.Background) p.fillRect(QRectF(x, y, (e - a) * v->_CellWidth, v->_LineSpacing), Colour(bg));
        p.setPen(Colour(fg));
        p.drawText(QPointF(x, y + Ascent), v->_ToQString(t.substr((size_t)a, (size_t)(e - a))));
      }
    }
    int64_t Abs = Dropped + l;
    if (v->_HasSel && Abs >= s0 && Abs <= s1) {
      int a = (Abs == s0) ? std::min(c0, (int)t.size()) : 0;
      int e = (Abs == s1) ? std::min(c1, (int)t.size()) : (int)t.size();
      if (e > a) {
        qreal x = 5 + a * v->_CellWidth;
        p.fillRect(QRectF(x, y, (e - a) * v->_CellWidth, v->_LineSpacing), HiBg);
        p.setPen(HiFg);
        p.drawText(QPointF(x, y + Ascent), v->_ToQString(t.substr((size_t)a, (size_t)(e - a))));
      }
    }
  }
}

void CustTextArea::mousePressEvent(QMouseEvent* pEvent) {
  if (pEvent->button() != Qt::LeftButton) return;
  QPoint c = _pView->_CharAt(pEvent->pos());
  {
    MutexGuard g(_pView->_pLock);
    int64_t Abs = (int64_t)_pView->_Buffer.GetNumDropped() + c.y();
    _pView->_SelStartLine = _pView->_SelEndLine = Abs;
    _pView->_SelStartCol = _pView->_SelEndCol = c.x();
    _pView->_HasSel = false;
    _pView->_Selecting = true;
  }
  _pView->_pActCopy->setEnabled(false);
  update();
}

void CustTextArea::mouseMoveEvent(QMouseEvent* pEvent) {
  if (!_pView->_Selecting) return;
  QPoint c = _pView->_CharAt(pEvent->pos());
  {
    MutexGuard g(_pView->_pLock);
    _pView->_SelEndLine = (int64_t)_pView->_Buffer.GetNumDropped() + c.y();
    _pView->_SelEndCol = c.x();
    _pView->_HasSel = _pView->_SelEndLine != _pView->_SelStartLine || _pView->_SelEndCol != _pView->_SelStartCol;
  }
  _pView->_pActCopy->setEnabled(_pView->_HasSel);
  _pView->ensureVisible(pEvent->pos().x(), pEvent->pos().y(), 5, 5);
  update();
}

void CustTextArea::mouseReleaseEvent(QMouseEvent*) { _pView->_Selecting = false; }

void CustTextArea::mouseDoubleClickEvent(QMouseEvent* pEvent) {
  QPoint c = _pView->_CharAt(pEvent->pos());
  {
    MutexGuard g(_pView->_pLock);
    const std::string& t = _pView->_Buffer.GetLine(c.y()).Text;
    auto IsDelim = [](char ch) { return ch == ' ' || ch == '\'' || ch == ',' || ch == '.'; };
    int a = std::min(c.x(), (int)t.size()), e = a;
    while (a > 0 && !IsDelim(t[(size_t)a - 1])) a--;
    while (e < (int)t.size() && !IsDelim(t[(size_t)e])) e++;
    int64_t Abs = (int64_t)_pView->_Buffer.GetNumDropped() + c.y();
    _pView->_SelStartLine = _pView->_SelEndLine = Abs;
    _pView->_SelStartCol = a;
    _pView->_SelEndCol = e;
    _pView->_HasSel = e > a;
  }
  _pView->_pActCopy->setEnabled(_pView->_HasSel);
  update();
}

void CustTextArea::contextMenuEvent(QContextMenuEvent* pEvent) { _pView->_pMenu->exec(pEvent->globalPos()); }

/*********************************************************************
 * CustTextView
 */
CustTextView::CustTextView(QWidget* pParent, const char* sName, int Mode, int Scheme, int InitCapacity)
    : QScrollArea(pParent), _Buffer(Mode, Scheme, InitCapacity), _pLock(SYS_MUTEX_Create(nullptr)) {
  if (sName) setObjectName(QString::fromLatin1(sName).left(64));
  _Buffer.SetErrorRoutine(_BufferError, this);
  QFont f = QApplication::font();
  f.setStyleHint(QFont::TypeWriter);
  f.setFamily(QFontDatabase::systemFont(QFontDatabase::FixedFont).family());
  f.setPointSize(8);
  _pArea = new CustTextArea(this);
  _pArea->setFont(f);
  setWidget(_pArea);
  setWidgetResizable(false);
  if (Scheme == 2) {
    setStyleSheet("background: transparent");
  } else if (Scheme == 1) {
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::black);
    setPalette(pal);
    setBackgroundRole(QPalette::Window);
  } else {
    setBackgroundRole(QPalette::Base); // white on a light desktop, dark on a dark one
  }
  SetFontSize(8);
  setFocusPolicy(Qt::StrongFocus);

  _pMenu = new QMenu(this);
  _pActCopy = _pMenu->addAction("&Copy", this, &CustTextView::Copy);
  _pActCopy->setShortcut(QKeySequence("Ctrl+C"));
  _pActCopy->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  _pActCopy->setEnabled(false);
  addAction(_pActCopy);
  _pMenu->addSeparator();
  QAction* pAll = _pMenu->addAction("Select All", this, &CustTextView::SelectAll);
  pAll->setShortcut(QKeySequence("Ctrl+A"));
  pAll->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  addAction(pAll);
  QAction* pFind = _pMenu->addAction("Find...", this, &CustTextView::OpenFindBar);
  pFind->setShortcut(QKeySequence("Ctrl+F"));
  pFind->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  addAction(pFind);
  auto AddKey = [this](const char* sKey, auto Slot) {
    QShortcut* s = new QShortcut(QKeySequence(sKey), this);
    s->setContext(Qt::WidgetWithChildrenShortcut);
    connect(s, &QShortcut::activated, this, Slot);
  };
  AddKey("Home", [this] { verticalScrollBar()->setValue(0); });
  AddKey("End", [this] { verticalScrollBar()->setValue(verticalScrollBar()->maximum()); });
  AddKey("Shift+F3", [this] { FindPrevious(); });
  AddKey("Shift+Ctrl+G", [this] { FindPrevious(); });
  AddKey("F3", [this] { FindNext(); });
  AddKey("Ctrl+G", [this] { FindNext(); });
  AddKey("Escape", [this] { CloseFindBar(); });

  // Find bar: a frame at the top right, hidden until used.
  _pFindBar = new QFrame(this);
  _pFindBar->setFrameShape(QFrame::StyledPanel);
  _pFindBar->setAutoFillBackground(true);
  QHBoxLayout* pLayout = new QHBoxLayout(_pFindBar);
  pLayout->setContentsMargins(2, 2, 2, 2);
  _pFindEdit = new QLineEdit(_pFindBar);
  _pFindEdit->setMaxLength(255);
  pLayout->addWidget(_pFindEdit);
  QToolBar* pBar = new QToolBar(_pFindBar);
  pBar->setStyleSheet("QToolBar { border: 0px }");
  QIcon Prev = style()->standardIcon(QStyle::SP_ArrowUp);
  QPixmap NextPix = Prev.pixmap(16, 16).transformed(QTransform().rotate(180));
  QAction* pPrev = pBar->addAction(Prev, "", this, [this] { FindPrevious(); });
  pPrev->setToolTip("Previous");
  QAction* pNext = pBar->addAction(QIcon(NextPix), "", this, [this] { FindNext(); });
  pNext->setToolTip("Next");
  QAction* pClose = pBar->addAction(style()->standardIcon(QStyle::SP_TitleBarCloseButton), "", this,
                                    &CustTextView::CloseFindBar);
  pClose->setToolTip("Close find bar");
  pLayout->addWidget(pBar);
  _pFindBar->hide();
  connect(_pFindEdit, &QLineEdit::returnPressed, this, &CustTextView::_OnFindReturn);

  connect(this, &CustTextView::SignalRequestGUIUpdate, this, &CustTextView::_OnUpdateGUI, Qt::QueuedConnection);
  _RefreshTimer.setSingleShot(true);
  connect(&_RefreshTimer, &QTimer::timeout, this, &CustTextView::_OnRefresh);
  _SinceRefresh.start();
}

CustTextView::~CustTextView() {
  {
    MutexGuard g(_pLock);
    _Buffer.SetLineWriter(nullptr);
  }
  SYS_MUTEX_Delete(&_pLock);
}

void CustTextView::_BufferError(void* pUser, const char* sText) {
  CustTextView* v = static_cast<CustTextView*>(pUser);
  if (v->_pfError) v->_pfError(sText);
}

QString CustTextView::_ToQString(const std::string& s) const {
  return _Local8Bit ? QString::fromLocal8Bit(s.data(), (qsizetype)s.size())
                    : QString::fromLatin1(s.data(), (qsizetype)s.size());
}

void CustTextView::AppendText(const char* sText, int Len) {
  {
    MutexGuard g(_pLock);
    _Buffer.Append(sText, Len);
  }
  // One queued request per burst: the refresh clears the flag.
  if (!_UpdatePending.exchange(true)) Q_EMIT SignalRequestGUIUpdate();
}

void CustTextView::Clear() {
  {
    MutexGuard g(_pLock);
    _Buffer.Clear();
    _HasSel = false;
  }
  if (!_UpdatePending.exchange(true)) Q_EMIT SignalRequestGUIUpdate();
}

void CustTextView::ClearAndAppend(const char* sText) {
  {
    MutexGuard g(_pLock);
    _Buffer.Clear();
    _HasSel = false;
    _Buffer.Append(sText);
  }
  if (!_UpdatePending.exchange(true)) Q_EMIT SignalRequestGUIUpdate();
}

void CustTextView::SetLineWriter(LINE_WRITER* pfWriter) {
  MutexGuard g(_pLock);
  _Buffer.SetLineWriter(pfWriter);
}

void CustTextView::SetFontSize(int PointSize) {
  QFont f = _pArea->font();
  f.setPointSize(std::clamp(PointSize, 1, 64));
  _pArea->setFont(f);
  QFontMetrics fm(f);
  // The true advance, fractions included: runs of a line are placed by it, and a rounded width
  // would move every run after the first away from where the line's glyphs are.
  _CellWidth = std::max<qreal>(1, QFontMetricsF(f).horizontalAdvance(QLatin1Char('x')));
  _LineSpacing = std::max(1, fm.lineSpacing());
  _OnRefresh();
}

void CustTextView::_OnUpdateGUI() {
  int Elapsed = (int)_SinceRefresh.elapsed();
  if (Elapsed >= _MinRefreshMs) {
    _OnRefresh();
  } else if (!_RefreshTimer.isActive()) {
    _RefreshTimer.start(_MinRefreshMs - Elapsed);
  }
}

void CustTextView::_OnRefresh() {
  _UpdatePending = false;
  _RefreshTimer.stop();
  _SinceRefresh.restart();
  _NumRefreshes++;
  int NumLines, Widest;
  bool HasSel;
  {
    MutexGuard g(_pLock);
    NumLines = _Buffer.GetNumLines();
    Widest = _Buffer.GetWidestLine();
    HasSel = _HasSel;
  }
  // A clear from any thread drops the selection; the action follows here, on the GUI thread.
  if (_pActCopy) _pActCopy->setEnabled(HasSel);
  _pArea->resize((int)std::ceil(Widest * _CellWidth) + 10, NumLines * _LineSpacing + 10);
  _pArea->update();
  if (_Follow) verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

QPoint CustTextView::_CharAt(const QPoint& Pos) {
  MutexGuard g(_pLock);
  int Row = std::clamp((Pos.y() - 5) / _LineSpacing, 0, std::max(0, _Buffer.GetNumLines() - 1));
  int Len = _Buffer.GetNumLines() ? (int)_Buffer.GetLine(Row).Text.size() : 0;
  int Col = std::clamp((int)((Pos.x() - 5) / _CellWidth), 0, Len);
  return QPoint(Col, Row);
}

int CustTextView::GetNumLines() {
  MutexGuard g(_pLock);
  return _Buffer.GetNumLines();
}

std::string CustTextView::GetLineText(int Index) {
  MutexGuard g(_pLock);
  if (Index < 0 || Index >= _Buffer.GetNumLines()) return std::string();
  return _Buffer.GetLine(Index).Text;
}

std::string CustTextView::GetSelectedText() {
  MutexGuard g(_pLock);
  if (!_HasSel) return std::string();
  int64_t Dropped = (int64_t)_Buffer.GetNumDropped();
  int64_t s0 = _SelStartLine, s1 = _SelEndLine;
  int c0 = _SelStartCol, c1 = _SelEndCol;
  if (s1 < s0 || (s1 == s0 && c1 < c0)) {
    std::swap(s0, s1);
    std::swap(c0, c1);
  }
  if (s1 < Dropped) return std::string();
  if (s0 < Dropped) {
    s0 = Dropped;
    c0 = 0;
  }
  return _Buffer.GetText((int)(s0 - Dropped), c0, (int)(s1 - Dropped), c1);
}

void CustTextView::SetSelection(int FirstLine, int FirstCol, int LastLine, int LastCol) {
  {
    MutexGuard g(_pLock);
    int64_t Dropped = (int64_t)_Buffer.GetNumDropped();
    _SelStartLine = Dropped + FirstLine;
    _SelStartCol = FirstCol;
    _SelEndLine = Dropped + LastLine;
    _SelEndCol = LastCol;
    _HasSel = true;
  }
  _pActCopy->setEnabled(true);
  _pArea->update();
}

void CustTextView::SelectAll() {
  int n;
  {
    MutexGuard g(_pLock);
    n = _Buffer.GetNumLines();
  }
  if (n == 0) return;
  SetSelection(0, 0, n - 1, CTV_MAX_LINE_LEN);
}

bool CustTextView::HasSelection() {
  MutexGuard g(_pLock);
  return _HasSel;
}

void CustTextView::Copy() {
  std::string s = GetSelectedText();
  if (s.empty()) return;
  QApplication::clipboard()->setText(_ToQString(s));
}

void CustTextView::OpenFindBar() {
  std::string Sel = GetSelectedText();
  if (Sel.size() > 255) Sel.resize(255);
  if (!Sel.empty()) _pFindEdit->setText(_ToQString(Sel));
  _PlaceFindBar();
  _pFindBar->show();
  _pFindBar->raise();
  _pFindEdit->setFocus();
  _pFindEdit->selectAll();
}

void CustTextView::CloseFindBar() {
  bool HadFocus = _pFindBar->isVisible() && _pFindEdit->hasFocus();
  _pFindBar->hide();
  if (!(HadFocus && _FindShown)) {
    _FindLine = 0;
    _FindCol = 0;
    _FindShown = false;
  }
  setFocus();
}

void CustTextView::_OnFindReturn() { FindNext(); }

void CustTextView::_PlaceFindBar() {
  QSize s = _pFindBar->sizeHint();
  _pFindBar->setGeometry(viewport()->width() - s.width() - 2, 2, s.width(), s.height());
}

void CustTextView::resizeEvent(QResizeEvent* pEvent) {
  QScrollArea::resizeEvent(pEvent);
  _PlaceFindBar();
}

bool CustTextView::_Find(bool Forward) {
  std::string Needle = _pFindEdit->text().toLocal8Bit().left(255).toStdString();
  bool Found;
  int Line, Col;
  {
    MutexGuard g(_pLock);
    int64_t Dropped = (int64_t)_Buffer.GetNumDropped();
    int64_t Rel = _FindLine - Dropped;
    Line = (int)std::max<int64_t>(0, Rel);
    Col = Rel < 0 ? 0 : _FindCol;
    if (Forward && _FindShown) Col++;
    Found = _Buffer.Find(Needle, Forward, &Line, &Col);
    if (Found) {
      _FindLine = Dropped + Line;
      _FindCol = Col;
      _FindShown = true;
      _SelStartLine = _SelEndLine = _FindLine;
      _SelStartCol = Col;
      _SelEndCol = Col + (int)Needle.size();
      _HasSel = true;
    } else {
      // Nothing (more) found: the next search starts again at the oldest line.
      _FindLine = Dropped;
      _FindCol = 0;
      _FindShown = false;
      _HasSel = false;
    }
  }
  _pFindEdit->setStyleSheet(Found ? QString() : QString("background-color: rgb(244, 208, 63)"));
  _pActCopy->setEnabled(Found);
  if (Found) {
    ensureVisible((int)(5 + Col * _CellWidth), 5 + Line * _LineSpacing + _LineSpacing / 2, 5, _LineSpacing + 5);
  }
  _pArea->update();
  return Found;
}
