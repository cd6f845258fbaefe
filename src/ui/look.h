// The program's look: its main icon and the font every window uses.
#pragma once

#include <QIcon>
#include <QSize>

class QWidget;

class QApplication;

namespace sorvanta::ui {

// The main icon of every window (drawn once, so no image file has to travel with the program).
QIcon MainIcon();

// Sets the application font to Noto Sans CJK SC (falling back through other CJK faces),
// so that no Chinese text shows as boxes, and the application icon.
void ApplyLook(QApplication& app);

// Resizes a top-level window to size (in device-independent pixels), but never beyond 90 %
// of the screen's free area, so that large scale factors keep the whole window in view.
void ResizeWithinScreen(QWidget* window, QSize size);

// The version compiled into the program, e.g. "1.0.0".
QString ProductVersion();

}  // namespace sorvanta::ui
