/*
 * CHexEditor - the data window that shows one data image.
 *
 * The window is given its image by the main window (which creates it on a worker request)
 * and reports focus, title changes, edits and its closing through its signals; the list of
 * data windows owns the image.
 */
#pragma once

#include <QString>
#include <QWidget>

struct DataImage;

class CHexEditor : public QWidget {
  Q_OBJECT
public:
  explicit CHexEditor(DataImage* pImage, QWidget* pParent = nullptr);
  ~CHexEditor() override;
  DataImage* GetImage() const { return _pImage; }
  void SetImage(DataImage* pImage);
  void SetTitle(const QString& sTitle);
  QString GetTitle() const { return _sTitle; }
  QSize sizeHint() const override;

Q_SIGNALS:
  void SignalClosed(CHexEditor* pWin);
  void SignalEditingFinished();
  void SignalFocusIn();
  void SignalTitleUpdate(QString sTitle);

protected:
  void closeEvent(QCloseEvent* pEvent) override;
  void focusInEvent(QFocusEvent* pEvent) override;
  void paintEvent(QPaintEvent* pEvent) override;

private:
  DataImage* _pImage;
  QString _sTitle;
};
