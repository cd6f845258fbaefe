// Message boxes of every window, behind one replaceable function.
//
// Windows ask and tell the user only through these calls, so tests can answer the
// questions and record the texts instead of blocking in a modal box. Call them on the
// window thread only.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace sorvanta::ui {

enum class MessageIcon { kNone, kInformation, kWarning, kError, kQuestion };

// One box: caption (may be empty), text, icon, and whether it asks Yes/No or shows OK.
struct MessageRequest {
  QString caption;
  QString text;
  MessageIcon icon = MessageIcon::kNone;
  bool yesNo = false;
  bool defaultNo = false;  // Enter answers "否" (for questions whose Yes cannot be undone)
};

// Shows the box and returns true for Yes (always true for an OK box).
using MessageHandler = std::function<bool(QWidget* parent, const MessageRequest& request)>;

// An OK box.
void ShowMessage(QWidget* parent, const QString& text, const QString& caption = QString(),
                 MessageIcon icon = MessageIcon::kNone);
// A Yes/No box; true when the user answered Yes.
bool AskYesNo(QWidget* parent, const QString& text, const QString& caption,
              MessageIcon icon = MessageIcon::kQuestion, bool defaultNo = false);

// Replaces the real boxes (tests); an empty handler restores them.
void SetMessageHandler(MessageHandler handler);

}  // namespace sorvanta::ui
