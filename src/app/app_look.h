// The program's look: its main icon and the font every window uses.
#pragma once

#include <QIcon>

class QApplication;

namespace sorvanta::ui {

// The main icon of every window (drawn once, so no image file has to travel with the program).
QIcon MainIcon();

// Sets the application font to Noto Sans CJK SC (falling back through other CJK faces),
// so that no Chinese text shows as boxes, and the application icon.
void ApplyLook(QApplication& app);

// The version compiled into the program, e.g. "1.0.0".
QString ProductVersion();

}  // namespace sorvanta::ui
