#include "cpubench/ui/CLoadingDlg.h"

#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>

#include "ui/language.h"

namespace sorvanta::ui {

CLoadingDlg::CLoadingDlg(QWidget* parent) : QDialog(parent) {
  setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
  setObjectName(QStringLiteral("CLoadingDlg"));
  auto* frame = new QFrame(this);
  frame->setFrameShape(QFrame::Box);
  frame->setLineWidth(1);
  auto* label = new QLabel(QTr("服务器通讯中......"), frame);
  label->setAlignment(Qt::AlignCenter);
  auto* inner = new QVBoxLayout(frame);
  inner->setContentsMargins(28, 18, 28, 18);
  inner->addWidget(label);
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->addWidget(frame);
}

void CLoadingDlg::reject() {}  // the owner decides when the box goes away

void CLoadingDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  QScreen* screen = parentWidget() ? parentWidget()->screen() : QGuiApplication::primaryScreen();
  if (screen) move(screen->availableGeometry().center() - rect().center());
}

}  // namespace sorvanta::ui
