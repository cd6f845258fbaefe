// Starting a fresh copy of the program and ending this one at once.
#pragma once

#include <QString>

namespace sorvanta::ui {

// Starts the program file at programPath (empty: the running program's file) with no
// arguments, in its own folder, then ends this process with exit code 0 without closing
// windows or waiting for any thread: runs in progress are cut off as they stand. Callable
// from any thread. Used by the forced stop of a run and after an update.
[[noreturn]] void RestartProgram(const QString& programPath = QString());

}  // namespace sorvanta::ui
