// The about box "关于 Sorvanta": icon, version line, a fixed line and "确定".
#pragma once

#include <QDialog>

class QLabel;

namespace sorvanta::ui {

class CAboutDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CAboutDlg(QWidget* parent = nullptr);

  // The version line, "Sorvanta PC 版，版本：" + product version.
  QString VersionText() const;

 private:
  QLabel* version_;
};

}  // namespace sorvanta::ui
