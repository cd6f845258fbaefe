// The "服务器通讯中......" box shown while the CPU window waits for the token reply.
//
// A small bordered box without caption, centred on the screen. It has no behaviour of
// its own: Esc does not close it; its owner closes it when the reply has been handled.
#pragma once

#include <QDialog>

namespace sorvanta::ui {

class CLoadingDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CLoadingDlg(QWidget* parent = nullptr);

 public slots:
  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;
};

}  // namespace sorvanta::ui
