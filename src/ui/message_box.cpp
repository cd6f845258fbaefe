#include "ui/message_box.h"

#include <QAbstractButton>
#include <QMessageBox>

#include "ui/language.h"

namespace sorvanta::ui {
namespace {

MessageHandler& CurrentHandler() {
  static MessageHandler handler;
  return handler;
}

QMessageBox::Icon ToQtIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::kInformation: return QMessageBox::Information;
    case MessageIcon::kWarning: return QMessageBox::Warning;
    case MessageIcon::kError: return QMessageBox::Critical;
    case MessageIcon::kQuestion: return QMessageBox::Question;
    case MessageIcon::kNone: break;
  }
  return QMessageBox::NoIcon;
}

bool ShowRealBox(QWidget* parent, const MessageRequest& request) {
  QMessageBox box(ToQtIcon(request.icon), request.caption, request.text,
                  request.yesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok, parent);
  if (request.yesNo) {
    box.button(QMessageBox::Yes)->setText(QTr("是(&Y)"));
    box.button(QMessageBox::No)->setText(QTr("否(&N)"));
    box.setDefaultButton(request.defaultNo ? QMessageBox::No : QMessageBox::Yes);
  } else {
    box.button(QMessageBox::Ok)->setText(QTr("确定"));
  }
  return box.exec() != QMessageBox::No;
}

bool Dispatch(QWidget* parent, const MessageRequest& request) {
  const MessageHandler& handler = CurrentHandler();
  return handler ? handler(parent, request) : ShowRealBox(parent, request);
}

}  // namespace

void ShowMessage(QWidget* parent, const QString& text, const QString& caption, MessageIcon icon) {
  Dispatch(parent, MessageRequest{caption, text, icon, false});
}

bool AskYesNo(QWidget* parent, const QString& text, const QString& caption, MessageIcon icon,
              bool defaultNo) {
  return Dispatch(parent, MessageRequest{caption, text, icon, true, defaultNo});
}

void SetMessageHandler(MessageHandler handler) { CurrentHandler() = std::move(handler); }

}  // namespace sorvanta::ui
