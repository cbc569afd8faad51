/*
 * DIALOG - message box, value dialog and progress dialog.
 */
#include "gui/DIALOG.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSpinBox>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <cstring>

#include "sys/SYS.h"
#include "sys/UTIL.h"

/*********************************************************************
 * Message box
 */
std::string DIALOG_ToRichText(const char* sText) {
  std::string r;
  const char* s = sText ? sText : "";
  size_t Len = std::strlen(s);
  r.reserve(Len + 64);
  for (size_t i = 0; i < Len;) {
    bool IsLink = std::strncmp(s + i, "http://", 7) == 0 || std::strncmp(s + i, "https://", 8) == 0;
    if (IsLink) {
      size_t e = i;
      while (e < Len && e - i < 2047 && !std::strchr(" \t\r\n\"(),", s[e])) e++;
      std::string Url(s + i, e - i);
      r += "<a href=\"" + Url + "\">" + Url + "</a>";
      i = e;
      continue;
    }
    char c = s[i];
    switch (c) {
    case '>':
      r += "&gt;";
      break;
    case '<':
      r += "&lt;";
      break;
    case '&':
      r += "&amp;";
      break;
    case '"':
      r += "&quot;";
      break;
    case '\'':
      r += "&apos;";
      break;
    case '\n':
      r += "<br>";
      break;
    case '\r':
      if (s[i + 1] != '\n') r += "<br>";
      break;
    default:
      r += c;
      break;
    }
    i++;
  }
  if (r.size() > 32768) r.resize(32768);
  return r;
}

std::string DIALOG_MsgBoxClipboardText(const char* sTitle, const char* sText, const char* sButton0,
                                       const char* sButton1) {
  const char* sRule = "---------------------------\r\n";
  std::string r = sRule;
  r += sTitle ? sTitle : "";
  r += "\r\n";
  r += sRule;
  r += sText ? sText : "";
  r += "\r\n";
  r += sRule;
  bool Any = false;
  for (const char* b : {sButton0, sButton1}) {
    if (b) {
      r += b;
      r += "   ";
      Any = true;
    }
  }
  if (Any) {
    r += "\r\n";
    r += sRule;
  }
  if (r.size() > 2048) r.resize(2048);
  return r;
}

CustMsgBox::CustMsgBox(MsgBoxRequest* pReq, QWidget* pParent)
    : QDialog(pParent), _pReq(pReq), _sTitle(QString::fromLocal8Bit(pReq->sTitle ? pReq->sTitle : "")) {
  setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
  setModal(true);
  setWindowTitle(_sTitle);
  QGridLayout* pGrid = new QGridLayout(this);
  QStyle::StandardPixmap Icon = QStyle::SP_CustomBase;
  switch (pReq->Icon) {
  case 256:
    Icon = QStyle::SP_MessageBoxCritical;
    break;
  case 512:
    Icon = QStyle::SP_MessageBoxQuestion;
    break;
  case 768:
    Icon = QStyle::SP_MessageBoxWarning;
    break;
  case 1024:
    Icon = QStyle::SP_MessageBoxInformation;
    break;
  default:
    break;
  }
  if (Icon != QStyle::SP_CustomBase) {
    QLabel* pIcon = new QLabel(this);
    pIcon->setPixmap(style()->standardIcon(Icon).pixmap(64, 64));
    pGrid->addWidget(pIcon, 0, 0, Qt::AlignTop);
  }
  std::string Rich = DIALOG_ToRichText(pReq->sText);
  QLabel* pText = new QLabel(QString::fromLocal8Bit(Rich.data(), (qsizetype)Rich.size()), this);
  pText->setTextFormat(Qt::RichText);
  pText->setOpenExternalLinks(true);
  bool HasLink = Rich.find("<a href=") != std::string::npos;
  pText->setTextInteractionFlags(HasLink ? Qt::TextBrowserInteraction : Qt::LinksAccessibleByMouse);
  pGrid->addWidget(pText, 0, 1);
  if (pReq->sCheckBoxText) {
    _pCheck = new QCheckBox(QString::fromLocal8Bit(pReq->sCheckBoxText), this);
    _pCheck->setChecked(pReq->CheckState != 0);
    pGrid->addWidget(_pCheck, 1, 1);
  }
  QHBoxLayout* pButtons = new QHBoxLayout;
  pButtons->addStretch(1);
  if (pReq->sButton0) {
    QPushButton* b = new QPushButton(QString::fromLocal8Bit(pReq->sButton0), this);
    b->setFixedSize(b->sizeHint());
    b->setDefault(true);
    connect(b, &QPushButton::clicked, this, &CustMsgBox::_SlotOnButton0);
    pButtons->addWidget(b);
  }
  if (pReq->sButton1) {
    QPushButton* b = new QPushButton(QString::fromLocal8Bit(pReq->sButton1), this);
    b->setFixedSize(b->sizeHint());
    connect(b, &QPushButton::clicked, this, &CustMsgBox::_SlotOnButton1);
    pButtons->addWidget(b);
  }
  pGrid->addLayout(pButtons, 2, 0, 1, 2);
  pReq->Result = pReq->DefaultResult;
  pReq->Rejected = false;
  if (pReq->TimeoutMs > 0) {
    _RemainingMs = pReq->TimeoutMs;
    _pTimer = new QTimer(this);
    connect(_pTimer, &QTimer::timeout, this, &CustMsgBox::_SlotOnTimer);
    _pTimer->start(10);
  }
  _FitWidth();
  setFixedSize(sizeHint().expandedTo(QSize(minimumWidth(), 0)));
}

CustMsgBox::~CustMsgBox() = default;

void CustMsgBox::_FitWidth() { setMinimumWidth(fontMetrics().horizontalAdvance(windowTitle()) + 150); }

void CustMsgBox::_SlotOnButton0() {
  _pReq->Result = 0;
  accept();
}

void CustMsgBox::_SlotOnButton1() {
  _pReq->Result = 1;
  accept();
}

void CustMsgBox::_SlotOnTimer() {
  if (_RemainingMs < 11) {
    // Time is up: the default answer, given as if its button had been pressed.
    setWindowTitle(_sTitle + " (closing now)");
    _pReq->Result = _pReq->DefaultResult;
    accept();
    return;
  }
  _RemainingMs -= 10;
  setWindowTitle(QString("%1 (closing in %2 seconds)").arg(_sTitle).arg(_RemainingMs / 1000 + 1));
  _FitWidth();
}

void CustMsgBox::keyPressEvent(QKeyEvent* pEvent) {
  if (pEvent->matches(QKeySequence::Copy)) {
    std::string s = DIALOG_MsgBoxClipboardText(_sTitle.toLocal8Bit().constData(), _pReq->sText, _pReq->sButton0,
                                               _pReq->sButton1);
    QApplication::clipboard()->setText(QString::fromLocal8Bit(s.data(), (qsizetype)s.size()));
    return;
  }
  QDialog::keyPressEvent(pEvent); // Escape rejects
}

// Escape and the window's close button alike: no answer was given, which the asking code may
// treat apart from the default (a project close that is not confirmed keeps the project).
void CustMsgBox::reject() {
  _pReq->Rejected = true;
  _pReq->Result = _pReq->DefaultResult;
  QDialog::reject();
}

void CustMsgBox::done(int r) {
  if (_pCheck) _pReq->CheckResult = _pCheck->isChecked() ? 1 : 0;
  if (_pTimer) _pTimer->stop();
  QDialog::done(r);
}

void DIALOG_CustMsgBox(MsgBoxRequest* pReq, QWidget* pParent) {
  pReq->CheckResult = pReq->CheckState;
  CustMsgBox* p = new CustMsgBox(pReq, pParent);
  p->exec();
  delete p;
}

/*********************************************************************
 * Value dialog
 */
EditValueDialog::EditValueDialog(const char* sTitle, EditValueField* paField, int NumFields, QWidget* pParent)
    : QDialog(pParent), _paField(paField), _NumFields(NumFields) {
  setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
  setModal(true);
  setWindowTitle(QString::fromLocal8Bit(sTitle ? sTitle : ""));
  QGridLayout* pGrid = new QGridLayout(this);
  pGrid->setHorizontalSpacing(0);
  for (int i = 0; i < NumFields; i++) {
    EditValueField& f = paField[i];
    pGrid->addWidget(new QLabel(QString::fromLocal8Bit(f.sLabel ? f.sLabel : ""), this), i, 0);
    QLabel* pPrefix = new QLabel(f.IsHex ? "0x" : "", this);
    pPrefix->setMinimumWidth(fontMetrics().horizontalAdvance("0x"));
    pPrefix->setContentsMargins(20, 0, 0, 0);
    pPrefix->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    pGrid->addWidget(pPrefix, i, 1);
    int64_t v = f.pValue ? *f.pValue : 0;
    if (f.IsHex) {
      QLineEdit* e = new QLineEdit(QString::number((qulonglong)(uint64_t)v, 16).toUpper(), this);
      if (v < 0) e->setText("-" + QString::number((qulonglong)(uint64_t)-v, 16).toUpper());
      const char* sPattern = f.Min < 0 ? "[-]{0,1}[A-Fa-f0-9]{0,8}" : "[A-Fa-f0-9]{0,8}";
      e->setValidator(new QRegularExpressionValidator(QRegularExpression(sPattern), e));
      connect(e, &QLineEdit::editingFinished, this, &EditValueDialog::_SlotOnHexEdit);
      pGrid->addWidget(e, i, 2);
      _apEditor.append(e);
    } else {
      QSpinBox* s = new QSpinBox(this);
      s->setButtonSymbols(QAbstractSpinBox::NoButtons);
      s->setRange((int)std::max<int64_t>(f.Min, INT32_MIN), (int)std::min<int64_t>(f.Max, INT32_MAX));
      s->setValue((int)std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
      pGrid->addWidget(s, i, 2);
      _apEditor.append(s);
    }
  }
  QHBoxLayout* pButtons = new QHBoxLayout;
  QPushButton* pOK = new QPushButton("OK", this);
  pOK->setDefault(true);
  QPushButton* pCancel = new QPushButton("Cancel", this);
  connect(pOK, &QPushButton::clicked, this, &EditValueDialog::_SlotOnBtnOK);
  connect(pCancel, &QPushButton::clicked, this, &QDialog::reject);
  pButtons->addWidget(pOK);
  pButtons->addWidget(pCancel);
  pGrid->addLayout(pButtons, NumFields, 1, 1, 3);
  setFixedSize(sizeHint());
}

void EditValueDialog::_SlotOnHexEdit() {
  QLineEdit* e = qobject_cast<QLineEdit*>(sender());
  if (e && e->text().isEmpty()) e->setText("0");
}

void EditValueDialog::_SlotOnBtnOK() {
  for (int i = 0; i < _NumFields; i++) {
    EditValueField& f = _paField[i];
    int64_t v;
    if (f.IsHex) {
      QByteArray t = static_cast<QLineEdit*>(_apEditor[i])->text().left(15).toLatin1();
      const char* s = t.constData();
      if (UTIL_ParseHex(&s, &v) < 0) v = 0;
    } else {
      v = static_cast<QSpinBox*>(_apEditor[i])->value();
    }
    // Stored with the upper 32 bits 0.
    if (f.pValue) *f.pValue = (int64_t)(uint32_t)v;
  }
  accept();
}

/*********************************************************************
 * Progress dialog
 */
ProgressDialog::ProgressDialog(const char* sTitle, const char* sText, int Flags, QWidget* pParent)
    : QDialog(pParent) {
  std::memset(&_State, 0, sizeof(_State));
  _State.pLock = SYS_MUTEX_Create(nullptr);
  _State.Max = 100;
  UTIL_strcpy(_State.acText1, sText ? sText : "", sizeof(_State.acText1));
  _State.pfNotify = _Notify;
  _State.pNotifyUser = this;
  setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
  setModal(true);
  setWindowTitle(QString::fromLocal8Bit(sTitle ? sTitle : ""));
  QVBoxLayout* pLayout = new QVBoxLayout(this);
  _pText1 = new QLabel(this);
  _pText2 = new QLabel(this);
  _pText1->setAlignment(((Flags & 0x1) && !(Flags & 0x2)) ? Qt::AlignRight : Qt::AlignHCenter);
  _pText2->setAlignment(((Flags & 0x4) && !(Flags & 0x8)) ? Qt::AlignRight : Qt::AlignHCenter);
  _pBar = new QProgressBar(this);
  _pBar->setMinimumWidth(350);
  _pBar->setAlignment(Qt::AlignCenter);
  // The percentage keeps the palette's text colour: a fixed black vanishes on a dark desktop.
  QPushButton* pCancel = new QPushButton("Cancel", this);
  pCancel->setFixedSize(pCancel->sizeHint());
  pCancel->setDefault(true); // Enter and Escape both cancel; the keyboard needs no mouse
  pCancel->setFocus();
  connect(pCancel, &QPushButton::clicked, this, &QDialog::reject);
  pLayout->addWidget(_pText1);
  pLayout->addWidget(_pText2);
  pLayout->addWidget(_pBar);
  pLayout->addWidget(pCancel, 0, Qt::AlignHCenter);
  resize(fontMetrics().horizontalAdvance(windowTitle()) + 150, height());
  connect(this, &ProgressDialog::_SignalUpdateGUI, this, &ProgressDialog::_SlotOnUpdateGUI, Qt::QueuedConnection);
  _SlotOnUpdateGUI();
  if (Flags & 0x20) {
    hide();
  } else if (Flags & 0x40) {
    showMinimized();
  } else {
    show();
  }
}

ProgressDialog::~ProgressDialog() { SYS_MUTEX_Delete(&_State.pLock); }

void ProgressDialog::_Notify(void* pUser) { Q_EMIT static_cast<ProgressDialog*>(pUser)->_SignalUpdateGUI(); }

void ProgressDialog::reject() {
  SYS_MUTEX_Lock(_State.pLock, -1);
  _State.Cancelled = true;
  SYS_MUTEX_Unlock(_State.pLock);
  QDialog::reject();
}

void ProgressDialog::_SlotOnUpdateGUI() {
  SYS_MUTEX_Lock(_State.pLock, -1);
  ProgressDialogState s = _State;
  if (_State.Max < _State.Min) _State.Max = _State.Min;
  SYS_MUTEX_Unlock(_State.pLock);
  if (s.Done) {
    close();
    return;
  }
  if (s.Max < s.Min) s.Max = s.Min;
  s.Value = std::clamp(s.Value, s.Min, s.Max);
  _pText1->setText(QString::fromLocal8Bit(s.acText1));
  _pText1->setVisible(s.acText1[0] != 0);
  _pText2->setText(QString::fromLocal8Bit(s.acText2));
  _pText2->setVisible(s.acText2[0] != 0);
  _pBar->setRange(s.Min, s.Max);
  _pBar->setValue(s.Value);
  // The dialog only grows, so its size does not jump with every text.
  setFixedSize(size().expandedTo(sizeHint()));
}
