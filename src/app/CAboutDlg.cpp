#include "app/CAboutDlg.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/language.h"
#include "ui/look.h"

namespace sorvanta::ui {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  setWindowTitle(QTr("关于 Sorvanta"));
  setWindowIcon(MainIcon());

  auto* icon = new QLabel(this);
  icon->setPixmap(MainIcon().pixmap(48, 48));
  icon->setAlignment(Qt::AlignTop);

  version_ = new QLabel(QTr("Sorvanta PC 版，版本：%1").arg(ProductVersion()), this);
  version_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* fixed = new QLabel(QTr("CPU 跑分、硬盘跑分与扩容U盘鉴定工具"), this);

  auto* texts = new QVBoxLayout;
  texts->addWidget(version_);
  texts->addWidget(fixed);
  texts->addStretch();

  auto* top = new QHBoxLayout;
  top->addWidget(icon);
  top->addSpacing(12);
  top->addLayout(texts, 1);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  buttons->button(QDialogButtonBox::Ok)->setText(QTr("确定"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addWidget(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);
}

QString CAboutDlg::VersionText() const { return version_->text(); }

}  // namespace sorvanta::ui
