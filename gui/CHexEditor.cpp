/*
 * CHexEditor - the data window: reading the lines on screen, drawing, editing, dialogs, copy.
 */
#include "gui/CHexEditor.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScrollBar>
#include <QToolBar>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <memory>
#include <new>

#include "core/APP_GUI.h"
#include "core/APP_Log.h"
#include "data/DATAFILE.h"
#include "data/DATAIMAGE.h"
#include "gui/DIALOG.h"
#include "project/PROJECT.h"
#include "sys/UTIL.h"

namespace {

const uint32_t _NumLines = 0x10000000; // lines of 16 bytes in the 32-bit address space
const int _Margin = 4;                 // pixels around the text
// The line used for sizing the window: the widest a line gets.
const char _acSampleLine[] = "0000_0000  00 11 22 33 44 55 66 77  88 99 AA BB CC DD EE FF  wwwwwwwwwwwwwwww ";

struct RefreshChoice {
  const char* sText;
  int Ms;
};
const RefreshChoice _aRefresh[] = {{"Off", 0},    {"100 ms", 100}, {"250 ms", 250}, {"500 ms", 500},
                                   {"1 s", 1000}, {"2 s", 2000},   {"5 s", 5000}};

const char _acHexRegExp[] = "(0[xX])?[0-9A-Fa-f]{1,8}";

bool _ParseHex(const QString& s, uint32_t* pValue) {
  QString t = s.trimmed();
  if (t.startsWith("0x", Qt::CaseInsensitive)) t = t.mid(2);
  if (t.isEmpty() || t.size() > 8) return false;
  bool Ok = false;
  uint32_t v = t.toUInt(&Ok, 16);
  if (Ok) *pValue = v;
  return Ok;
}

QString _Hex(uint32_t v) {
  return QString::asprintf("0x%.08X", v);
}

// One field of the address dialogs: a hexadecimal value or a file path with a browse button.
struct DialogField {
  const char* sLabel;
  bool IsFile;
  QString Value;
  QLineEdit* pEdit = nullptr;
};

/*
 * Runs a small modal dialog with the given fields; OK is the default button and the first
 * field has the focus. When the dialog has "End Address:" and "Size:" they follow each other.
 * Returns true when accepted with every hexadecimal field valid; the values are in Value.
 */
bool _RunFieldDialog(QWidget* pParent, const char* sTitle, std::vector<DialogField>& aField,
                     const char* sFileTitle, const char* sFilter, bool Save) {
  QDialog Dlg(pParent);
  Dlg.setWindowTitle(sTitle);
  Dlg.setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  QFormLayout* pForm = new QFormLayout(&Dlg);
  QLineEdit* pStart = nullptr;
  QLineEdit* pEnd = nullptr;
  QLineEdit* pSize = nullptr;
  for (DialogField& f : aField) {
    f.pEdit = new QLineEdit(f.Value, &Dlg);
    QWidget* pRow = f.pEdit;
    if (f.IsFile) {
      pRow = new QWidget(&Dlg);
      QHBoxLayout* h = new QHBoxLayout(pRow);
      h->setContentsMargins(0, 0, 0, 0);
      QPushButton* pBrowse = new QPushButton("...", pRow);
      pBrowse->setAutoDefault(false);
      pBrowse->setToolTip(sFileTitle);
      pBrowse->setFixedWidth(pBrowse->fontMetrics().horizontalAdvance("...") + 2 * pBrowse->fontMetrics().height());
      h->addWidget(f.pEdit, 1);
      h->addWidget(pBrowse);
      f.pEdit->setMinimumWidth(f.pEdit->fontMetrics().horizontalAdvance('x') * 40);
      QLineEdit* pEdit = f.pEdit;
      QObject::connect(pBrowse, &QPushButton::clicked, &Dlg, [=, &Dlg] {
        QString s = Save ? QFileDialog::getSaveFileName(&Dlg, sFileTitle, pEdit->text(), sFilter)
                         : QFileDialog::getOpenFileName(&Dlg, sFileTitle, pEdit->text(), sFilter);
        if (!s.isEmpty()) pEdit->setText(s);
      });
    } else {
      f.pEdit->setValidator(new QRegularExpressionValidator(QRegularExpression(_acHexRegExp), f.pEdit));
      f.pEdit->setMinimumWidth(f.pEdit->fontMetrics().horizontalAdvance("0x00000000") + 16);
    }
    pForm->addRow(f.sLabel, pRow);
    QString Label(f.sLabel);
    if (Label.startsWith("Start Address")) pStart = f.pEdit;
    if (Label.startsWith("End Address")) pEnd = f.pEdit;
    if (Label.startsWith("Size")) pSize = f.pEdit;
  }
  if (pStart && pEnd && pSize) {
    // End and size follow each other; the one being typed in leads.
    auto FromEnd = [=] {
      uint32_t a, e;
      if (pEnd->hasFocus() && _ParseHex(pStart->text(), &a) && _ParseHex(pEnd->text(), &e) && e >= a) {
        pSize->setText(_Hex(e - a + 1));
      }
    };
    auto FromSize = [=] {
      uint32_t a, n;
      if (!pEnd->hasFocus() && _ParseHex(pStart->text(), &a) && _ParseHex(pSize->text(), &n) && n > 0 &&
          (uint64_t)a + n - 1 <= 0xFFFFFFFFull) {
        pEnd->setText(_Hex(a + n - 1));
      }
    };
    QObject::connect(pEnd, &QLineEdit::textEdited, &Dlg, FromEnd);
    QObject::connect(pSize, &QLineEdit::textEdited, &Dlg, FromSize);
    QObject::connect(pStart, &QLineEdit::textEdited, &Dlg, FromSize);
  }
  QDialogButtonBox* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &Dlg);
  pButtons->button(QDialogButtonBox::Ok)->setDefault(true);
  QObject::connect(pButtons, &QDialogButtonBox::accepted, &Dlg, &QDialog::accept);
  QObject::connect(pButtons, &QDialogButtonBox::rejected, &Dlg, &QDialog::reject);
  pForm->addRow(pButtons);
  if (!aField.empty()) {
    aField[0].pEdit->setFocus();
    aField[0].pEdit->selectAll();
  }
  Dlg.setFixedSize(Dlg.sizeHint());
  for (;;) {
    if (Dlg.exec() != QDialog::Accepted) return false;
    bool Ok = true;
    for (DialogField& f : aField) {
      uint32_t v;
      if (!f.IsFile && !_ParseHex(f.pEdit->text(), &v)) {
        f.pEdit->setFocus();
        f.pEdit->selectAll();
        Ok = false;
        break;
      }
      if (f.IsFile && f.pEdit->text().trimmed().isEmpty()) {
        f.pEdit->setFocus();
        Ok = false;
        break;
      }
    }
    if (Ok) break;
  }
  for (DialogField& f : aField)
    f.Value = f.pEdit->text().trimmed();
  return true;
}

uint32_t _HexOf(const DialogField& f) {
  uint32_t v = 0;
  _ParseHex(f.Value, &v);
  return v;
}

void _DefaultMessage(void* pUser, int Level, const char* sText) {
  if (Level < 2 || APP_IsHeadless()) {
    if (Level < 2) {
      APP_LogOut(sText);
    } else {
      APP_ErrorBox(sText); // headless: written to the log
    }
    return;
  }
  char acTitle[128];
  APP_GetShortProductName(acTitle, sizeof(acTitle));
  UTIL_strcat(acTitle, " Error", sizeof(acTitle));
  MsgBoxRequest r{};
  r.sTitle = acTitle;
  r.sText = sText;
  r.sButton0 = "O.K.";
  r.Icon = 768;
  DIALOG_CustMsgBox(&r, static_cast<QWidget*>(pUser));
}

} // namespace

/*********************************************************************
 * CHexArea - the text area: draws the lines read by the editor, takes keys and the mouse.
 */
class CHexArea : public QWidget {
public:
  explicit CHexArea(CHexEditor* pEd) : QWidget(pEd), _pEd(pEd) {
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    f.setStyleHint(QFont::TypeWriter);
    setFont(f);
    setCursor(Qt::IBeamCursor);
  }
  // The true advance of a digit, fractions included: a line is drawn in runs, and runs placed by
  // a rounded width would drift from the glyphs of the run before them.
  qreal CellWidth() const {
    return std::max<qreal>(1, QFontMetricsF(font()).horizontalAdvance(QLatin1Char('0')));
  }
  int LineHeight() const { return std::max(1, fontMetrics().lineSpacing()); }
  int XOffset() const;
  QRectF CellRectF(int Row, int Column, int NumChars) const {
    return QRectF(_Margin - XOffset() + Column * CellWidth(), _Margin + Row * LineHeight(),
                  NumChars * CellWidth(), LineHeight());
  }
  QRect CellRect(int Row, int Column, int NumChars) const {
    return CellRectF(Row, Column, NumChars).toAlignedRect();
  }

protected:
  void paintEvent(QPaintEvent* pEvent) override;
  void keyPressEvent(QKeyEvent* pEvent) override;
  void mousePressEvent(QMouseEvent* pEvent) override;
  void mouseMoveEvent(QMouseEvent* pEvent) override;
  void mouseReleaseEvent(QMouseEvent* pEvent) override;
  void mouseDoubleClickEvent(QMouseEvent* pEvent) override;
  void wheelEvent(QWheelEvent* pEvent) override;
  void focusInEvent(QFocusEvent* pEvent) override {
    QWidget::focusInEvent(pEvent);
    update();
    Q_EMIT _pEd->SignalFocusIn();
  }
  void focusOutEvent(QFocusEvent* pEvent) override {
    QWidget::focusOutEvent(pEvent);
    update();
  }
  void resizeEvent(QResizeEvent* pEvent) override {
    QWidget::resizeEvent(pEvent);
    _pEd->_OnAreaResized();
  }

private:
  CHexEditor* _pEd;
};

int CHexArea::XOffset() const {
  return _pEd->_pHScroll->value();
}

void CHexArea::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QPalette& pal = palette();
  p.fillRect(rect(), pal.color(QPalette::Base));
  p.setFont(font());
  const HexLayout& L = _pEd->_Layout;
  int Ascent = fontMetrics().ascent();
  // Colour classes of the columns; blanks take the class of what precedes them, so that a line
  // is drawn in a few runs rather than one call per byte.
  enum { BLANK = -1, DIM, TEXT, MODIFIED, SELECTED };
  const QColor aColour[4] = {pal.color(QPalette::PlaceholderText), pal.color(QPalette::Text),
                             pal.color(QPalette::Link), pal.color(QPalette::HighlightedText)};
  QColor HiBg = pal.color(QPalette::Highlight);
  uint32_t SelFirst = 0, SelLast = 0;
  bool HasSel = _pEd->GetSelection(&SelFirst, &SelLast);
  std::vector<signed char> aClass((size_t)L.LineChars());
  for (int Row = 0; Row < _pEd->_NumRows; Row++) {
    uint64_t Line = (uint64_t)_pEd->_TopLine + (uint64_t)Row;
    if (Line >= _NumLines) break;
    uint32_t Addr = (uint32_t)(Line << 4);
    const HexByte* pB = &_pEd->_aVisible[(size_t)Row * HexLayout::BYTES_PER_LINE];
    QString Text = QString::fromLatin1(L.FormatLine(Addr, pB).c_str());
    std::fill(aClass.begin(), aClass.end(), (signed char)BLANK);
    std::fill(aClass.begin(), aClass.begin() + 9, (signed char)DIM);
    if (HasSel && SelLast >= Addr && SelFirst <= Addr + 15) {
      // The selection's background: its items joined by their blanks, and its characters.
      int a = (int)(std::max(SelFirst, Addr) - Addr), e = (int)(std::min(SelLast, Addr + 15) - Addr);
      int c0 = L.ItemColumn(a / L.GetItemWidth());
      int c1 = L.ItemColumn(e / L.GetItemWidth()) + L.ItemChars();
      p.fillRect(CellRectF(Row, c0, c1 - c0), HiBg);
      p.fillRect(CellRectF(Row, L.CharColumn(a), e - a + 1), HiBg);
    }
    for (int i = 0; i < HexLayout::BYTES_PER_LINE; i++) {
      const HexByte& b = pB[i];
      bool Sel = HasSel && Addr + (uint32_t)i >= SelFirst && Addr + (uint32_t)i <= SelLast;
      signed char c = Sel ? SELECTED : (!b.HasData ? DIM : (b.Modified ? MODIFIED : TEXT));
      aClass[(size_t)L.ByteDigitColumn(i)] = aClass[(size_t)L.ByteDigitColumn(i) + 1] = c;
      aClass[(size_t)L.CharColumn(i)] = c;
      if (b.Modified && !Sel) { // an edit shows without colour too
        QRectF r = CellRectF(Row, L.ByteDigitColumn(i), 2);
        p.setPen(aColour[MODIFIED]);
        p.drawLine(QPointF(r.left(), r.bottom() - 0.5), QPointF(r.right(), r.bottom() - 0.5));
      }
    }
    int Cur = DIM;
    for (int Col = 0; Col < (int)aClass.size();) {
      int Start = Col;
      if (aClass[(size_t)Col] != BLANK) Cur = aClass[(size_t)Col];
      Col++;
      while (Col < (int)aClass.size() && (aClass[(size_t)Col] == BLANK || aClass[(size_t)Col] == Cur))
        Col++;
      QRectF r = CellRectF(Row, Start, Col - Start);
      p.setPen(aColour[Cur]);
      p.drawText(QPointF(r.left(), r.top() + Ascent), Text.mid(Start, Col - Start));
    }
  }
  // The cursor: a frame around its item and its characters.
  uint32_t Cursor = _pEd->_Cursor;
  if ((Cursor >> 4) >= _pEd->_TopLine && (Cursor >> 4) < _pEd->_TopLine + (uint32_t)_pEd->_NumRows) {
    int Row = (int)((Cursor >> 4) - _pEd->_TopLine), Off = (int)(Cursor & 15);
    QPen Pen(hasFocus() ? aColour[TEXT] : aColour[DIM]);
    Pen.setCosmetic(true);
    p.setPen(Pen);
    p.setBrush(Qt::NoBrush);
    p.drawRect(CellRectF(Row, L.ItemColumn(Off / L.GetItemWidth()), L.ItemChars()).adjusted(-1, 0, 0, -1));
    p.drawRect(CellRectF(Row, L.CharColumn(Off), L.GetItemWidth()).adjusted(0, 0, -1, -1));
  }
}

void CHexArea::keyPressEvent(QKeyEvent* pEvent) {
  CHexEditor* e = _pEd;
  bool Shift = pEvent->modifiers() & Qt::ShiftModifier;
  bool Ctrl = pEvent->modifiers() & Qt::ControlModifier;
  int w = e->GetItemWidth();
  int64_t Page = (int64_t)std::max(1, e->_NumRows - 1) * 16;
  switch (pEvent->key()) {
  case Qt::Key_Left:
    e->_MoveCursor(-w, Shift);
    return;
  case Qt::Key_Right:
    e->_MoveCursor(w, Shift);
    return;
  case Qt::Key_Up:
    e->_MoveCursor(-16, Shift);
    return;
  case Qt::Key_Down:
    e->_MoveCursor(16, Shift);
    return;
  case Qt::Key_PageUp:
    e->_MoveCursor(-Page, Shift);
    return;
  case Qt::Key_PageDown:
    e->_MoveCursor(Page, Shift);
    return;
  case Qt::Key_Home:
    if (Ctrl) { // to the first data of the image
      e->_MoveCursor((int64_t)e->_pAccess->pfGetStartAddr(e->_pImage) - e->_Cursor, Shift);
    } else {
      e->_MoveCursor(-(int64_t)(e->_Cursor & 15), Shift);
    }
    return;
  case Qt::Key_End:
    if (Ctrl) { // to the last data of the image
      e->_MoveCursor((int64_t)e->_ItemAlign(e->_pAccess->pfGetEndAddr(e->_pImage)) - e->_Cursor, Shift);
    } else {
      e->_MoveCursor((int64_t)(16 - w) - (int64_t)(e->_Cursor & 15), Shift);
    }
    return;
  case Qt::Key_Return:
  case Qt::Key_Enter:
  case Qt::Key_F2:
    e->StartEdit();
    return;
  case Qt::Key_Escape:
    e->ClearSelection();
    return;
  default:
    break;
  }
  QString t = pEvent->text();
  if (!Ctrl && t.size() == 1 && QString("0123456789abcdefABCDEF").contains(t[0])) {
    e->StartEdit(t); // typing over an item opens the overlay with that digit
    return;
  }
  QWidget::keyPressEvent(pEvent);
}

void CHexArea::mousePressEvent(QMouseEvent* pEvent) {
  setFocus(Qt::MouseFocusReason);
  if (pEvent->button() != Qt::LeftButton) return;
  uint32_t Addr;
  if (!_pEd->_HitTest(pEvent->pos(), &Addr)) return;
  Addr = _pEd->_ItemAlign(Addr);
  if (pEvent->modifiers() & Qt::ShiftModifier) {
    if (!_pEd->_HasSel) _pEd->_Anchor = _pEd->_Cursor;
    _pEd->_HasSel = true;
  } else {
    _pEd->_Anchor = Addr;
    _pEd->_HasSel = false;
  }
  _pEd->_Cursor = Addr;
  _pEd->_Selecting = true;
  _pEd->_LastMousePos = pEvent->pos();
  update();
}

void CHexArea::mouseMoveEvent(QMouseEvent* pEvent) {
  if (!_pEd->_Selecting) return;
  _pEd->_LastMousePos = pEvent->pos();
  if (pEvent->pos().y() < 0 || pEvent->pos().y() >= height()) {
    if (!_pEd->_AutoScrollTimer.isActive()) _pEd->_AutoScrollTimer.start();
    return;
  }
  _pEd->_AutoScrollTimer.stop();
  uint32_t Addr;
  if (!_pEd->_HitTest(pEvent->pos(), &Addr)) return;
  _pEd->_Cursor = _pEd->_ItemAlign(Addr);
  _pEd->_HasSel = true;
  update();
}

void CHexArea::mouseReleaseEvent(QMouseEvent*) {
  _pEd->_Selecting = false;
  _pEd->_AutoScrollTimer.stop();
}

void CHexArea::mouseDoubleClickEvent(QMouseEvent* pEvent) {
  uint32_t Addr;
  if (pEvent->button() != Qt::LeftButton || !_pEd->_HitTest(pEvent->pos(), &Addr)) return;
  _pEd->SetCursor(Addr);
  _pEd->StartEdit();
}

void CHexArea::wheelEvent(QWheelEvent* pEvent) {
  int Steps = pEvent->angleDelta().y() / 40; // three lines per notch of 120
  if (Steps == 0) return;
  int64_t Top = (int64_t)_pEd->_TopLine - Steps;
  _pEd->ScrollToLine((uint32_t)std::clamp<int64_t>(Top, 0, _NumLines - 1));
  pEvent->accept();
}

/*********************************************************************
 * CHexEditor
 */
CHexEditor::CHexEditor(DataImage* pImage, QWidget* pParent, const DataImageAccess* pAccess,
                       bool IsTargetMemory)
    : QMainWindow(pParent), _pImage(pImage), _pAccess(pAccess ? pAccess : DataImageAccessTable()),
      _IsTarget(IsTargetMemory) {
  setWindowFlags(Qt::Widget);
  QWidget* pCentral = new QWidget(this);
  QGridLayout* pGrid = new QGridLayout(pCentral);
  pGrid->setContentsMargins(0, 0, 0, 0);
  pGrid->setSpacing(0);
  _pArea = new CHexArea(this);
  _pArea->setParent(pCentral);
  _pVScroll = new QScrollBar(Qt::Vertical, pCentral);
  _pHScroll = new QScrollBar(Qt::Horizontal, pCentral);
  pGrid->addWidget(_pArea, 0, 0);
  pGrid->addWidget(_pVScroll, 0, 1);
  pGrid->addWidget(_pHScroll, 1, 0);
  setCentralWidget(pCentral);
  setFocusProxy(_pArea);
  _pVScroll->setRange(0, (int)(_NumLines - 1));
  connect(_pVScroll, &QScrollBar::actionTriggered, this, &CHexEditor::OnScrollbarActionTriggered);
  connect(_pVScroll, &QScrollBar::sliderReleased, this, &CHexEditor::OnScrollbarReleased);
  connect(_pVScroll, &QScrollBar::valueChanged, this, [this](int v) {
    if ((uint32_t)v != _TopLine) ScrollToLine((uint32_t)v);
  });
  connect(_pHScroll, &QScrollBar::valueChanged, _pArea, [this] {
    _pArea->update();
    _PlaceEditor();
  });

  _pEdit = new QLineEdit(_pArea);
  _pEdit->setFont(_pArea->font());
  _pEdit->setFrame(false);
  _pEdit->hide();
  _pEdit->installEventFilter(this);
  connect(_pEdit, &QLineEdit::editingFinished, this, &CHexEditor::OnItemEditingFinished);

  _BuildActions();
  _BuildToolbar();
  _AutoUpdateTimer.setSingleShot(false);
  connect(&_AutoUpdateTimer, &QTimer::timeout, this, &CHexEditor::OnAutoUpdateTimerTimeout);
  _AutoScrollTimer.setInterval(50);
  connect(&_AutoScrollTimer, &QTimer::timeout, this, &CHexEditor::OnAutoScrollSelectionTimerTimeout);
  connect(this, &CHexEditor::_SignalUpdateGUI, this, &CHexEditor::_SlotOnGUIUpdate, Qt::QueuedConnection);
  SetMessageRoutine(nullptr, nullptr);
  // Open at the image's first data.
  uint32_t Start = _pAccess->pfGetStartAddr(_pImage);
  _TopLine = Start >> 4;
  _Cursor = Start;
  _Anchor = Start;
  _TakeProjectByteOrder();
  Refresh();
}

CHexEditor::~CHexEditor() {
  // The children go first, while this is still a CHexEditor: the focus leaving the item editor
  // as it dies must reach neither a slot nor a signal of a window half torn down.
  blockSignals(true);
  _Editing = false;
  _pEdit->disconnect(this);
  _pEdit->removeEventFilter(this);
  _AutoUpdateTimer.stop();
  _AutoScrollTimer.stop();
  delete takeCentralWidget();
}

void CHexEditor::SetMessageRoutine(MESSAGE_ROUTINE* pf, void* pUser) {
  _pfMessage = pf ? pf : _DefaultMessage;
  _pMessageUser = pf ? pUser : this;
}

void CHexEditor::_Report(int Level, const char* sText) {
  _pfMessage(_pMessageUser, Level, sText);
}

void CHexEditor::_BuildActions() {
  auto Add = [this](QMenu* pMenu, const char* sText, const char* sTip, const char* sKey, auto Slot) {
    QAction* a = pMenu->addAction(sText);
    if (sTip) {
      a->setToolTip(sTip);
      a->setStatusTip(sTip);
    }
    if (sKey) {
      a->setShortcut(QKeySequence(sKey));
      a->setShortcutContext(Qt::WidgetWithChildrenShortcut); // several data windows share the keys
      addAction(a);
    }
    connect(a, &QAction::triggered, this, Slot);
    return a;
  };
  QMenu* pEdit = menuBar()->addMenu("&Edit");
  Add(pEdit, "&Copy", nullptr, "Ctrl+C", &CHexEditor::OnActionCopyTriggered);
  Add(pEdit, "&Paste", nullptr, "Ctrl+V", &CHexEditor::OnActionPasteTriggered);
  QMenu* pSpecial = pEdit->addMenu("Copy &Special");
  Add(pSpecial, "Copy &Text", "Copy As Text", nullptr, &CHexEditor::OnActionCopyTextTriggered);
  Add(pSpecial, "Copy &Hex", nullptr, nullptr, &CHexEditor::OnActionCopyHexTriggered);
  Add(pSpecial, "Copy &Binary", "Copy Raw Binary Data", nullptr, &CHexEditor::OnActionCopyBinaryTriggered);
  Add(pSpecial, "Copy Hex As C &Initializer", "Copy As C Initializer", nullptr,
      &CHexEditor::OnActionCopyIntListTriggered);
  pEdit->addSeparator();
  Add(pEdit, "&Fill", "Fill Memory Area", "Ctrl+I", &CHexEditor::OnActionFillTriggered);
  Add(pEdit, "&Load", "Load Memory Data from File", nullptr, &CHexEditor::OnActionLoadTriggered);
  Add(pEdit, "Sav&e", "Save Memory Data to File", nullptr, &CHexEditor::OnActionSaveTriggered);

  QMenu* pView = menuBar()->addMenu("&View");
  QActionGroup* pViewGroup = new QActionGroup(this);
  const char* aViewText[3] = {"Display &1 Byte Items", "Display &2 Byte Items", "Display &4 Byte Items"};
  const char* aViewKey[3] = {"Ctrl+1", "Ctrl+2", "Ctrl+3"};
  for (int i = 0; i < 3; i++) {
    _apActView[i] = Add(pView, aViewText[i], nullptr, aViewKey[i], &CHexEditor::OnActionViewFormatTriggered);
    _apActView[i]->setCheckable(true);
    _apActView[i]->setData(1 << i);
    pViewGroup->addAction(_apActView[i]);
  }
  _apActView[0]->setChecked(true);
  QMenu* pAccess = pView->addMenu("&Access Width");
  QActionGroup* pAccessGroup = new QActionGroup(this);
  const char* aAccessText[4] = {"Access 1 Byte Items", "Access 2 Byte Items", "Access 4 Byte Items",
                                "Set access width automatically"};
  const int aAccessWidth[4] = {1, 2, 4, 0};
  for (int i = 0; i < 4; i++) {
    _apActAccess[i] =
        Add(pAccess, aAccessText[i], nullptr, nullptr, &CHexEditor::OnActionAccessWidthTriggered);
    _apActAccess[i]->setCheckable(true);
    _apActAccess[i]->setData(aAccessWidth[i]);
    pAccessGroup->addAction(_apActAccess[i]);
  }
  _apActAccess[3]->setChecked(true);
  pView->addSeparator();
  Add(pView, "&Go To...", "Go To Memory Location", "Ctrl+G", &CHexEditor::OnActionGotoTriggered);
  Add(pView, "&Go Back", "Return to previous address", "Alt+Left", &CHexEditor::OnActionGoBackTriggered);
  Add(pView, "Periodic &Refresh...", "Set Auto Refresh Interval", "Ctrl+R",
      &CHexEditor::OnActionAutoRefreshTriggered);
  _pActToolbar =
      Add(pView, "&Toolbar", "Show/Hide Toolbar", nullptr, &CHexEditor::OnActionShowToolbarTriggered);
  _pActToolbar->setStatusTip("Toggles the Memory Window Toolbar");
  _pActToolbar->setCheckable(true);
  _pActToolbar->setChecked(true);
  _pZoneMenu = pView->addMenu("Memory &Zone");
  _pZoneMenu->setEnabled(false); // zones come from a target description; a data file has none
  connect(_pZoneMenu, &QMenu::triggered, this, &CHexEditor::OnMemZoneMenuActionTriggered);
}

void CHexEditor::_BuildToolbar() {
  _pToolBar = addToolBar("Memory Window Toolbar");
  _pToolBar->setMovable(false);
  _pToolBar->addWidget(new QLabel("Go To: ", _pToolBar));
  _pAddrBox = new QLineEdit(_pToolBar);
  _pAddrBox->setValidator(new QRegularExpressionValidator(QRegularExpression(_acHexRegExp), _pAddrBox));
  _pAddrBox->setMaximumWidth(_pAddrBox->fontMetrics().horizontalAdvance("0x00000000") + 16);
  _pAddrBox->setToolTip("Go To Memory Location");
  _pToolBar->addWidget(_pAddrBox);
  connect(_pAddrBox, &QLineEdit::returnPressed, this, &CHexEditor::OnAddrBoxEditingFinished);
  _pToolBar->addWidget(new QLabel(" Periodic Refresh: ", _pToolBar));
  _pRefreshBox = new QComboBox(_pToolBar);
  for (const RefreshChoice& r : _aRefresh)
    _pRefreshBox->addItem(r.sText, r.Ms);
  _pRefreshBox->setToolTip("Set Auto Refresh Interval");
  _pToolBar->addWidget(_pRefreshBox);
  connect(_pRefreshBox, &QComboBox::currentIndexChanged, this, &CHexEditor::OnRefreshRateChanged);
}

QSize CHexEditor::sizeHint() const {
  QFontMetrics fm(_pArea->font());
  int w = fm.horizontalAdvance(_acSampleLine) + 2 * _Margin + _pVScroll->sizeHint().width();
  int h =
      16 * fm.lineSpacing() + 2 * _Margin + menuBar()->sizeHint().height() + _pToolBar->sizeHint().height();
  return QSize(std::max(w, _pToolBar->sizeHint().width()), h);
}

/*********************************************************************
 * Reading and the title
 */
void CHexEditor::SetImage(DataImage* pImage) {
  _pImage = pImage;
  _TakeProjectByteOrder();
  Refresh();
}

// 2- and 4-byte items are shown in the byte order of the open project's target; without a
// project the order stays as it is.
void CHexEditor::_TakeProjectByteOrder() {
  if (!PROJECT_IsOpen()) return; // asked first: a get without a project reports an error
  auto pCPU = std::make_unique<PROJECT_CPU>();
  if (PROJECT_GetCPU(pCPU.get()) == 0) _Layout.Set(_Layout.GetItemWidth(), pCPU->EndianMode == 1);
}

void CHexEditor::SetTitle(const QString& sName) {
  _sName = sName;
  _UpdateTitle();
}

void CHexEditor::_UpdateTitle() {
  QString s = _sName.isEmpty() ? QString("Memory") : _sName;
  s += QString::asprintf(" @ %.08X", GetTopAddr());
  if (!_sRefreshText.isEmpty()) s += ", " + _sRefreshText + " refresh";
  if (!_sZone.isEmpty()) s += ", Zone: " + _sZone;
  if (_pImage && !_IsTarget && DATAIMAGE_IsModified(_pImage)) s += " (*)";
  if (s == _sFullTitle) return;
  _sFullTitle = s;
  setWindowTitle(s);
  Q_EMIT SignalTitleUpdate(s);
}

// Reads NumBytes bytes from First: one read per item where the whole item has data, byte by
// byte where it has not, so that a partly filled item shows its missing bytes as dots.
void CHexEditor::_ReadBytes(uint32_t First, uint32_t NumBytes, HexByte* pDest) const {
  if (_pImage == nullptr && !_IsTarget) { // the image table answers 0 ("data") for a missing image
    std::fill(pDest, pDest + NumBytes, HexByte{0, 0, 0});
    return;
  }
  int w = _Layout.GetItemWidth();
  for (uint32_t i = 0; i < NumBytes;) {
    uint32_t Addr = First + i;
    int r = -1;
    uint32_t v = 0;
    if (w == 4 && (Addr & 3) == 0 && NumBytes - i >= 4) {
      r = _pAccess->pfGetU32(_pImage, Addr, &v);
    } else if (w == 2 && (Addr & 1) == 0 && NumBytes - i >= 2) {
      uint16_t v16 = 0;
      r = _pAccess->pfGetU16(_pImage, Addr, &v16);
      v = v16;
    }
    if (r >= 0) {
      for (int k = 0; k < w; k++)
        pDest[i + (uint32_t)k] = HexByte{(uint8_t)(v >> (8 * k)), 1, (uint8_t)(r == 1)};
      i += (uint32_t)w;
      continue;
    }
    uint8_t b = 0;
    r = _pAccess->pfGetByte(_pImage, Addr, &b);
    pDest[i] = HexByte{b, (uint8_t)(r >= 0), (uint8_t)(r == 1)};
    i++;
    if (Addr == 0xFFFFFFFF) break;
  }
}

void CHexEditor::_ReadVisible() {
  _aVisible.assign((size_t)_NumRows * HexLayout::BYTES_PER_LINE, HexByte{0, 0, 0});
  for (int Row = 0; Row < _NumRows; Row++) {
    uint64_t Line = (uint64_t)_TopLine + (uint64_t)Row;
    if (Line >= _NumLines) break;
    _ReadBytes((uint32_t)(Line << 4), HexLayout::BYTES_PER_LINE,
               &_aVisible[(size_t)Row * HexLayout::BYTES_PER_LINE]);
  }
}

void CHexEditor::Refresh() {
  _ReadVisible();
  _UpdateScrollBars();
  _UpdateTitle();
  _pArea->update();
}

void CHexEditor::RequestRefresh() {
  Q_EMIT _SignalUpdateGUI();
}

void CHexEditor::_SlotOnGUIUpdate() {
  Refresh();
}

QString CHexEditor::GetLineText(int Row) const {
  if (Row < 0 || Row >= _NumRows || (uint64_t)_TopLine + (uint64_t)Row >= _NumLines) return QString();
  uint32_t Addr = (_TopLine + (uint32_t)Row) << 4;
  return QString::fromLatin1(
      _Layout.FormatLine(Addr, &_aVisible[(size_t)Row * HexLayout::BYTES_PER_LINE]).c_str());
}

void CHexEditor::_UpdateScrollBars() {
  int MaxTop = (int)(_NumLines - (uint32_t)std::max(1, _NumRows - 1));
  _pVScroll->blockSignals(true);
  _pVScroll->setRange(0, MaxTop);
  _pVScroll->setPageStep(std::max(1, _NumRows - 1));
  _pVScroll->setSingleStep(1);
  _pVScroll->setValue((int)std::min<uint32_t>(_TopLine, (uint32_t)MaxTop));
  _pVScroll->blockSignals(false);
  int Width = (int)std::ceil(_Layout.LineChars() * _pArea->CellWidth()) + 2 * _Margin;
  _pHScroll->setRange(0, std::max(0, Width - _pArea->width()));
  _pHScroll->setPageStep(std::max(1, _pArea->width()));
  _pHScroll->setSingleStep((int)std::ceil(_pArea->CellWidth()));
  _pHScroll->setVisible(Width > _pArea->width() && _pArea->width() > 0);
}

void CHexEditor::_OnAreaResized() {
  // The rows on screen follow the area's height; only those are read.
  QSize s = _pArea->size();
  int Rows = std::max(1, (s.height() - _Margin + _pArea->LineHeight() - 1) / _pArea->LineHeight());
  if (Rows != _NumRows) {
    _NumRows = Rows;
    ScrollToLine(_TopLine);
  }
  Refresh();
  _PlaceEditor();
}

void CHexEditor::ScrollToLine(uint32_t Line) {
  uint32_t MaxTop = _NumLines - (uint32_t)std::max(1, _NumRows - 1);
  Line = std::min(Line, MaxTop);
  if (Line == _TopLine && !_aVisible.empty()) {
    _UpdateScrollBars();
    return;
  }
  _TopLine = Line;
  Refresh();
  _PlaceEditor();
}

void CHexEditor::OnScrollbarActionTriggered(int) {
  ScrollToLine((uint32_t)_pVScroll->sliderPosition());
}

void CHexEditor::OnScrollbarReleased() {
  ScrollToLine((uint32_t)_pVScroll->value());
}

/*********************************************************************
 * Go to, history, refresh
 */
void CHexEditor::GoTo(uint32_t Addr) {
  _aHistory.push_back(GetTopAddr());
  if (_aHistory.size() > 64) _aHistory.erase(_aHistory.begin());
  _Cursor = _Anchor = _ItemAlign(Addr);
  _HasSel = false;
  ScrollToLine(Addr >> 4);
  _pArea->update();
}

void CHexEditor::GoBack() {
  if (_aHistory.empty()) return;
  uint32_t Addr = _aHistory.back();
  _aHistory.pop_back();
  ScrollToLine(Addr >> 4);
}

void CHexEditor::OnActionGotoTriggered() {
  QDialog Dlg(this);
  Dlg.setWindowTitle("Goto");
  Dlg.setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  QFormLayout* pForm = new QFormLayout(&Dlg);
  QLineEdit* pEdit = new QLineEdit(_Hex(_Cursor), &Dlg);
  pEdit->setValidator(new QRegularExpressionValidator(QRegularExpression(_acHexRegExp), pEdit));
  pEdit->setMinimumWidth(pEdit->fontMetrics().horizontalAdvance("0x00000000") + 16);
  pForm->addRow("Memory Location", pEdit);
  QDialogButtonBox* pButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &Dlg);
  pButtons->button(QDialogButtonBox::Ok)->setDefault(true);
  connect(pButtons, &QDialogButtonBox::accepted, &Dlg, &QDialog::accept);
  connect(pButtons, &QDialogButtonBox::rejected, &Dlg, &QDialog::reject);
  pForm->addRow(pButtons);
  pEdit->setFocus();
  pEdit->selectAll();
  Dlg.setFixedSize(Dlg.sizeHint());
  uint32_t Addr;
  if (Dlg.exec() == QDialog::Accepted && _ParseHex(pEdit->text(), &Addr)) GoTo(Addr);
}

void CHexEditor::OnAddrBoxEditingFinished() {
  uint32_t Addr;
  if (_ParseHex(_pAddrBox->text(), &Addr)) {
    GoTo(Addr);
    _pArea->setFocus();
  }
}

void CHexEditor::OnActionGoBackTriggered() {
  GoBack();
}

void CHexEditor::SetRefreshInterval(int Ms) {
  int Index = 0;
  for (int i = 0; i < (int)(sizeof(_aRefresh) / sizeof(_aRefresh[0])); i++) {
    if (_aRefresh[i].Ms == Ms) Index = i;
  }
  _pRefreshBox->setCurrentIndex(Index); // OnRefreshRateChanged follows
  OnRefreshRateChanged();
}

void CHexEditor::OnRefreshRateChanged() {
  int Ms = _pRefreshBox->currentData().toInt();
  if (Ms > 0) {
    _sRefreshText = _pRefreshBox->currentText();
    _AutoUpdateTimer.start(Ms);
  } else {
    _sRefreshText.clear();
    _AutoUpdateTimer.stop();
  }
  _UpdateTitle();
}

void CHexEditor::OnActionAutoRefreshTriggered() {
  QStringList Items;
  for (int i = 0; i < _pRefreshBox->count(); i++)
    Items << _pRefreshBox->itemText(i);
  bool Ok = false;
  QString s = QInputDialog::getItem(this, "Periodic Refresh", "Refresh interval:", Items,
                                    _pRefreshBox->currentIndex(), false, &Ok);
  if (Ok) _pRefreshBox->setCurrentIndex((int)Items.indexOf(s));
}

void CHexEditor::OnAutoUpdateTimerTimeout() {
  if (!_Editing) Refresh();
}

void CHexEditor::OnActionShowToolbarTriggered() {
  _pToolBar->setVisible(_pActToolbar->isChecked());
}

void CHexEditor::OnMemZoneMenuActionTriggered(QAction* pAction) {
  _sZone = pAction ? pAction->text() : QString();
  _UpdateTitle();
}

/*********************************************************************
 * Item width, access width, byte order
 */
void CHexEditor::SetItemWidth(int Width) {
  _Layout.Set(Width, _Layout.IsBigEndian());
  for (QAction* a : _apActView)
    a->setChecked(a->data().toInt() == _Layout.GetItemWidth());
  _Cursor = _ItemAlign(_Cursor);
  _Anchor = _ItemAlign(_Anchor);
  _CancelEdit();
  Refresh();
}

void CHexEditor::OnActionViewFormatTriggered() {
  if (QAction* a = qobject_cast<QAction*>(sender())) SetItemWidth(a->data().toInt());
}

void CHexEditor::SetAccessWidth(int Width) {
  _AccessWidth = (Width == 1 || Width == 2 || Width == 4) ? Width : 0;
  for (QAction* a : _apActAccess)
    a->setChecked(a->data().toInt() == _AccessWidth);
}

void CHexEditor::OnActionAccessWidthTriggered() {
  if (QAction* a = qobject_cast<QAction*>(sender())) SetAccessWidth(a->data().toInt());
}

int CHexEditor::_EffectiveAccessWidth() const {
  return _AccessWidth ? _AccessWidth : _Layout.GetItemWidth();
}

void CHexEditor::SetBigEndian(bool On) {
  _Layout.Set(_Layout.GetItemWidth(), On);
  Refresh();
}

/*********************************************************************
 * Cursor and selection
 */
void CHexEditor::SetCursor(uint32_t Addr) {
  _Cursor = _Anchor = _ItemAlign(Addr);
  _HasSel = false;
  _EnsureCursorVisible();
  _pArea->update();
}

void CHexEditor::SetSelection(uint32_t First, uint32_t Last) {
  _Anchor = _ItemAlign(std::min(First, Last));
  _Cursor = _ItemAlign(std::max(First, Last));
  _HasSel = true;
  _pArea->update();
}

void CHexEditor::ClearSelection() {
  _HasSel = false;
  _Anchor = _Cursor;
  _pArea->update();
}

bool CHexEditor::GetSelection(uint32_t* pFirst, uint32_t* pLast) const {
  if (!_HasSel) return false;
  uint32_t a = std::min(_Anchor, _Cursor), e = std::max(_Anchor, _Cursor);
  e = _ItemAlign(e);
  uint64_t Last = (uint64_t)e + (uint64_t)_Layout.GetItemWidth() - 1;
  *pFirst = _ItemAlign(a);
  *pLast = (uint32_t)std::min<uint64_t>(Last, 0xFFFFFFFFull);
  return true;
}

void CHexEditor::_MoveCursor(int64_t Delta, bool Extend) {
  int64_t c = std::clamp<int64_t>((int64_t)_Cursor + Delta, 0, 0xFFFFFFFFll);
  if (Extend && !_HasSel) {
    _Anchor = _Cursor;
    _HasSel = true;
  } else if (!Extend) {
    _HasSel = false;
  }
  _Cursor = _ItemAlign((uint32_t)c);
  if (!Extend) _Anchor = _Cursor;
  _EnsureCursorVisible();
  _pArea->update();
}

void CHexEditor::_EnsureCursorVisible() {
  uint32_t Line = _Cursor >> 4;
  uint32_t Full = (uint32_t)std::max(1, _NumRows - 1); // the last row may be cut off
  if (Line < _TopLine) {
    ScrollToLine(Line);
  } else if (Line >= _TopLine + Full) {
    ScrollToLine(Line - Full + 1);
  }
}

bool CHexEditor::_HitTest(const QPoint& Pos, uint32_t* pAddr) const {
  int Row = (Pos.y() - _Margin) / _pArea->LineHeight();
  int Col = (int)((Pos.x() - _Margin + _pHScroll->value()) / _pArea->CellWidth());
  if (Pos.y() < _Margin || Row >= _NumRows) return false;
  uint64_t Line = (uint64_t)_TopLine + (uint64_t)Row;
  if (Line >= _NumLines) return false;
  int Off = _Layout.OffsetAtColumn(Col);
  if (Off < 0) {
    // Left of the items: the line's first item; between items and characters: its last.
    Off = (Col < HexLayout::ADDR_CHARS) ? 0 : HexLayout::BYTES_PER_LINE - 1;
  }
  *pAddr = (uint32_t)(Line << 4) + (uint32_t)Off;
  return true;
}

void CHexEditor::OnAutoScrollSelectionTimerTimeout() {
  if (!_Selecting) {
    _AutoScrollTimer.stop();
    return;
  }
  int64_t Step = _LastMousePos.y() < 0 ? -16 : 16;
  _MoveCursor(Step, true);
}

/*********************************************************************
 * Editing
 */
void CHexEditor::StartEdit(const QString& sFirstChar) {
  _EnsureCursorVisible();
  _EditAddr = _ItemAlign(_Cursor);
  _Editing = true;
  int w = _Layout.GetItemWidth();
  _pEdit->setMaxLength(2 * w);
  delete _pEdit->validator();
  _pEdit->setValidator(
      new QRegularExpressionValidator(QRegularExpression(QString("[0-9A-Fa-f]{1,%1}").arg(2 * w)), _pEdit));
  HexByte ab[4];
  _ReadBytes(_EditAddr, (uint32_t)w, ab);
  bool Any = std::any_of(ab, ab + w, [](const HexByte& b) { return b.HasData; });
  QString Current = Any ? QString::asprintf("%0*X", 2 * w, _Layout.ItemValue(ab)) : QString();
  _pEdit->setText(sFirstChar.isEmpty() ? Current : sFirstChar.toUpper());
  _PlaceEditor();
  _pEdit->show();
  _pEdit->setFocus();
  if (sFirstChar.isEmpty()) _pEdit->selectAll();
}

void CHexEditor::_PlaceEditor() {
  if (!_Editing) return;
  uint32_t Line = _EditAddr >> 4;
  if (Line < _TopLine || Line >= _TopLine + (uint32_t)_NumRows) {
    _pEdit->hide();
    return;
  }
  int Col = _Layout.ItemColumn((int)(_EditAddr & 15) / _Layout.GetItemWidth());
  QRect r = _pArea->CellRect((int)(Line - _TopLine), Col, _Layout.ItemChars() + 1);
  _pEdit->setGeometry(r.adjusted(-2, 0, 2, 0));
  _pEdit->show();
}

void CHexEditor::_CancelEdit() {
  if (!_Editing) return;
  _Editing = false;
  _pEdit->hide();
  _pArea->setFocus();
}

bool CHexEditor::eventFilter(QObject* pObj, QEvent* pEvent) {
  if (pObj == _pEdit && pEvent->type() == QEvent::KeyPress) {
    int Key = static_cast<QKeyEvent*>(pEvent)->key();
    if (Key == Qt::Key_Escape) {
      _CancelEdit();
      return true;
    }
    if (Key == Qt::Key_Return || Key == Qt::Key_Enter) {
      // Taken here: the line edit passes Return on to the area, which would open it again.
      OnItemEditingFinished();
      return true;
    }
  }
  return QMainWindow::eventFilter(pObj, pEvent);
}

void CHexEditor::OnItemEditingFinished() {
  if (!_Editing) return;
  _Editing = false; // before anything that moves the focus finishes the editing a second time
  QString s = _pEdit->text();
  _pEdit->hide();
  uint32_t v;
  if (!s.isEmpty() && _ParseHex(s, &v)) {
    if (WriteItem(_EditAddr, v) == 0) {
      _Cursor = _Anchor = _EditAddr;
      _MoveCursor(_Layout.GetItemWidth(), false); // on to the next item, as typing goes on
    }
  }
  _pArea->setFocus();
}

int CHexEditor::_WriteBytes(uint32_t Addr, const uint8_t* pData, uint32_t NumBytes) {
  // Pieces of the access width where they are aligned and whole, single bytes elsewhere; the
  // patch functions take values with the lowest address least significant.
  int aw = _EffectiveAccessWidth();
  uint32_t i = 0;
  int r = 0;
  while (i < NumBytes && r >= 0) {
    uint64_t a = (uint64_t)Addr + i;
    if (a > 0xFFFFFFFFull) break;
    if (aw == 4 && (a & 3) == 0 && NumBytes - i >= 4) {
      uint32_t v = (uint32_t)pData[i] | (uint32_t)pData[i + 1] << 8 | (uint32_t)pData[i + 2] << 16 |
                   (uint32_t)pData[i + 3] << 24;
      r = _pAccess->pfSetPatch32(_pImage, (uint32_t)a, v);
      i += 4;
    } else if (aw >= 2 && (a & 1) == 0 && NumBytes - i >= 2) {
      r = _pAccess->pfSetPatch16(_pImage, (uint32_t)a, (uint16_t)(pData[i] | pData[i + 1] << 8));
      i += 2;
    } else {
      r = _pAccess->pfSetPatch8(_pImage, (uint32_t)a, pData[i]);
      i++;
    }
  }
  Refresh();
  if (r < 0) {
    _Report(2, _IsTarget ? "Failed to write target memory" : "Insufficient memory!");
    return -1;
  }
  Q_EMIT SignalEditingFinished();
  return 0;
}

bool CHexEditor::_CheckWriteSize(uint64_t NumBytes) {
  if (NumBytes <= MAX_WRITE_BYTES) return true;
  char ac[128];
  UTIL_sprintf(ac, sizeof(ac), "Could not write memory: at most 0x%X bytes can be written at once",
               (unsigned)MAX_WRITE_BYTES);
  _Report(2, ac);
  return false;
}

int CHexEditor::WriteItem(uint32_t Addr, uint32_t Value) {
  uint8_t ab[4];
  _Layout.SplitValue(Value, ab);
  return _WriteBytes(_ItemAlign(Addr), ab, (uint32_t)_Layout.GetItemWidth());
}

/*********************************************************************
 * Fill, load, save
 */
int CHexEditor::Fill(uint32_t First, uint32_t Last, uint32_t Value) {
  if (First > Last) {
    char ac[128];
    DATAFILE_FormatInvalidRange(ac, sizeof(ac), First, Last);
    _Report(2, ac);
    return -1;
  }
  uint64_t n = (uint64_t)Last - First + 1;
  if (!_CheckWriteSize(n)) return -1;
  // The value repeats in units of the access width, in the byte order of the view.
  int Unit = _EffectiveAccessWidth();
  HexLayout UnitLayout(Unit, _Layout.IsBigEndian());
  uint8_t abUnit[4];
  UnitLayout.SplitValue(Value, abUnit);
  std::vector<uint8_t> aData((size_t)n);
  for (size_t i = 0; i < aData.size(); i++)
    aData[i] = abUnit[i % (size_t)Unit];
  return _WriteBytes(First, aData.data(), (uint32_t)n);
}

void CHexEditor::OnActionFillTriggered() {
  uint32_t First, Last;
  if (!GetSelection(&First, &Last)) {
    First = _Cursor;
    Last = (uint32_t)std::min<uint64_t>((uint64_t)_Cursor + (uint64_t)GetItemWidth() - 1, 0xFFFFFFFFull);
  }
  std::vector<DialogField> a = {{"Start Address:", false, _Hex(First)},
                                {"End Address:", false, _Hex(Last)},
                                {"Size:", false, _Hex(Last - First + 1)},
                                {"Fill Value:", false, "0xFF"}};
  if (!_RunFieldDialog(this, "Fill Memory", a, nullptr, nullptr, false)) return;
  Fill(_HexOf(a[0]), _HexOf(a[1]), _HexOf(a[3]));
}

int CHexEditor::LoadFromFile(const QString& sPath, uint32_t Addr) {
  QFile f(sPath);
  if (!f.open(QIODevice::ReadOnly)) {
    _Report(2, "Could not open file for reading");
    return -1;
  }
  if (!_CheckWriteSize((uint64_t)f.size())) return -1;
  QByteArray Data = f.readAll();
  if ((uint64_t)Addr + (uint64_t)Data.size() > 0x100000000ull) {
    char ac[128];
    DATAFILE_FormatInvalidRange(ac, sizeof(ac), Addr, (uint32_t)(Addr + (uint32_t)Data.size() - 1));
    _Report(2, ac);
    return -1;
  }
  return _WriteBytes(Addr, reinterpret_cast<const uint8_t*>(Data.constData()), (uint32_t)Data.size());
}

void CHexEditor::OnActionLoadTriggered() {
  std::vector<DialogField> a = {{"Start Address", false, _Hex(_Cursor)}, {"File:", true, QString()}};
  if (!_RunFieldDialog(this, "Load Memory Data", a, "Load Memory Data from...", DATAFILE_FILTER_WINDOW_OPEN,
                       false)) {
    return;
  }
  LoadFromFile(a[1].Value, _HexOf(a[0]));
}

namespace {
struct SaveMessages {
  CHexEditor* pEd;
  std::string Error;
};
} // namespace

int CHexEditor::SaveToFile(const QString& sPath, uint32_t First, uint32_t Last) {
  char ac[512];
  if (First > Last) {
    DATAFILE_FormatInvalidRange(ac, sizeof(ac), First, Last);
    _Report(2, ac);
    return -1;
  }
  uint64_t n = (uint64_t)Last - First + 1;
  // The range becomes one range of a temporary image (addresses without data as 0xFF).
  std::vector<uint8_t> aData;
  DataImage* pTmp = nullptr;
  try {
    aData.resize((size_t)n);
  } catch (const std::bad_alloc&) {
    _Report(2, "Could not create memory area to save data to file.");
    return -1;
  }
  std::vector<HexByte> aChunk(0x10000);
  for (uint64_t Done = 0; Done < n;) {
    uint32_t k = (uint32_t)std::min<uint64_t>(n - Done, aChunk.size());
    _ReadBytes(First + (uint32_t)Done, k, aChunk.data());
    for (uint32_t i = 0; i < k; i++)
      aData[(size_t)(Done + i)] = aChunk[i].HasData ? aChunk[i].Value : 0xFF;
    Done += k;
  }
  pTmp = DATAIMAGE_Create();
  if (pTmp == nullptr || DATAIMAGE_AddData(pTmp, First, (uint32_t)n, aData.data()) != 0) {
    DATAIMAGE_Delete(pTmp);
    _Report(2, "Could not create memory area to save data to file.");
    return -1;
  }
  aData = std::vector<uint8_t>();
  SaveMessages m{this, std::string()};
  QByteArray Path = sPath.toLocal8Bit();
  int r = DATAFILE_Write(
      pTmp, Path.constData(), First, Last,
      [](void* pContext, int Level, const char* sText) {
        SaveMessages* p = static_cast<SaveMessages*>(pContext);
        if (Level >= 2) {
          if (p->Error.empty()) p->Error = sText;
        } else {
          p->pEd->_Report(0, sText);
        }
      },
      &m);
  DATAIMAGE_Delete(pTmp);
  if (r != 0 || !m.Error.empty()) {
    _Report(2, m.Error.empty() ? "Failed to save data to file." : m.Error.c_str());
    return -1;
  }
  return 0;
}

void CHexEditor::OnActionSaveTriggered() {
  uint32_t First, Last;
  if (!GetSelection(&First, &Last)) {
    First = _pAccess->pfGetStartAddr(_pImage);
    Last = _pAccess->pfGetEndAddr(_pImage);
  }
  std::vector<DialogField> a = {{"Start Address:", false, _Hex(First)},
                                {"End Address:", false, _Hex(Last)},
                                {"Size:", false, _Hex(Last - First + 1)},
                                {"File:", true, QString()}};
  if (!_RunFieldDialog(this, "Save Memory Data", a, "Save Memory Data to...", DATAFILE_FILTER_SAVE, true))
    return;
  SaveToFile(a[3].Value, _HexOf(a[0]), _HexOf(a[1]));
}

/*********************************************************************
 * Copy and paste
 */
bool CHexEditor::_GetCopyBytes(uint32_t* pFirst, uint32_t* pLast, std::vector<HexByte>* pBytes) {
  if (!GetSelection(pFirst, pLast)) {
    _Report(2, "Copy action could not be performed: no data to copy");
    return false;
  }
  int w = _Layout.GetItemWidth();
  if (w < 1 || w > 8) {
    _Report(2, "Copy action could not performed: invalid item size");
    return false;
  }
  uint64_t n = (uint64_t)*pLast - *pFirst + 1;
  if (!_CheckWriteSize(n)) return false; // a clipboard text of more would be no use either
  pBytes->resize((size_t)n);
  _ReadBytes(*pFirst, (uint32_t)n, pBytes->data());
  return true;
}

void CHexEditor::_SetClipboardText(const std::string& s, const char* sFormat) {
  QApplication::clipboard()->setText(QString::fromLatin1(s.data(), (qsizetype)s.size()));
  char ac[128];
  UTIL_sprintf(ac, sizeof(ac), "Memory selection copied to the clipboard (format=%s)", sFormat);
  _Report(0, ac);
}

int CHexEditor::_CopyAs(CopyFormat pfFormat, const char* sFormat) {
  uint32_t First, Last;
  std::vector<HexByte> a;
  if (!_GetCopyBytes(&First, &Last, &a)) return -1;
  _SetClipboardText((_Layout.*pfFormat)(First, Last, a), sFormat);
  return 0;
}

int CHexEditor::CopyHex() {
  return _CopyAs(&HexLayout::CopyHex, "hex");
}
int CHexEditor::CopyText() {
  return _CopyAs(&HexLayout::CopyText, "text");
}
int CHexEditor::CopyCInitializer() {
  return _CopyAs(&HexLayout::CopyCInitializer, "hex as C initializer");
}

int CHexEditor::CopyBinary() {
  uint32_t First, Last;
  std::vector<HexByte> a;
  if (!_GetCopyBytes(&First, &Last, &a)) return -1;
  QByteArray Raw((qsizetype)a.size(), '\0');
  for (size_t i = 0; i < a.size(); i++)
    Raw[(qsizetype)i] = (char)(a[i].HasData ? a[i].Value : 0xFF);
  QMimeData* pMime = new QMimeData;
  pMime->setData("application/octet-stream", Raw);
  QApplication::clipboard()->setMimeData(pMime);
  _Report(0, "Memory selection copied to the clipboard (format=binary)");
  return 0;
}

int CHexEditor::Paste() {
  const QMimeData* pMime = QApplication::clipboard()->mimeData();
  QByteArray Data;
  if (pMime && pMime->hasFormat("text/plain")) {
    Data = pMime->data("text/plain"); // the characters' byte values
  } else if (pMime && pMime->hasFormat("application/octet-stream")) {
    Data = pMime->data("application/octet-stream");
  } else {
    _Report(2, "Cannot paste clipboard contents: unsupported content type");
    return -1;
  }
  if (Data.isEmpty()) return 0;
  if (!_CheckWriteSize((uint64_t)Data.size())) return -1;
  uint32_t n = (uint32_t)std::min<uint64_t>((uint64_t)Data.size(), 0x100000000ull - _Cursor);
  return _WriteBytes(_Cursor, reinterpret_cast<const uint8_t*>(Data.constData()), n);
}

void CHexEditor::OnActionCopyTriggered() {
  CopyHex();
}
void CHexEditor::OnActionCopyHexTriggered() {
  CopyHex();
}
void CHexEditor::OnActionCopyTextTriggered() {
  CopyText();
}
void CHexEditor::OnActionCopyBinaryTriggered() {
  CopyBinary();
}
void CHexEditor::OnActionCopyIntListTriggered() {
  CopyCInitializer();
}
void CHexEditor::OnActionPasteTriggered() {
  Paste();
}

void CHexEditor::closeEvent(QCloseEvent* pEvent) {
  _AutoUpdateTimer.stop();
  Q_EMIT SignalClosed(this);
  pEvent->accept();
}
