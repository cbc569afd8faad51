/*
 * CHexEditor - data window shell: owns nothing but the reference to its image.
 */
#include "gui/CHexEditor.h"

#include <QCloseEvent>
#include <QPainter>

CHexEditor::CHexEditor(DataImage* pImage, QWidget* pParent) : QWidget(pParent), _pImage(pImage) {
  setFocusPolicy(Qt::StrongFocus);
}

CHexEditor::~CHexEditor() = default;

void CHexEditor::SetImage(DataImage* pImage) {
  _pImage = pImage;
  update();
}

void CHexEditor::SetTitle(const QString& sTitle) {
  _sTitle = sTitle;
  Q_EMIT SignalTitleUpdate(sTitle);
}

QSize CHexEditor::sizeHint() const {
  QFontMetrics fm(font());
  return QSize(fm.horizontalAdvance(QLatin1Char('x')) * 80, fm.lineSpacing() * 24);
}

void CHexEditor::closeEvent(QCloseEvent* pEvent) {
  Q_EMIT SignalClosed(this);
  pEvent->accept();
}

void CHexEditor::focusInEvent(QFocusEvent* pEvent) {
  QWidget::focusInEvent(pEvent);
  Q_EMIT SignalFocusIn();
}

void CHexEditor::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.fillRect(rect(), palette().base());
  p.drawText(rect().adjusted(5, 5, -5, -5), Qt::AlignLeft | Qt::AlignTop, _sTitle);
}
