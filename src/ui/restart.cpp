#include "ui/restart.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <cstdio>

namespace sorvanta::ui {

void RestartProgram(const QString& programPath) {
  const QString program =
      programPath.isEmpty() ? QCoreApplication::applicationFilePath() : programPath;
  QProcess::startDetached(program, {}, QFileInfo(program).absolutePath());
  std::fflush(nullptr);
  ::_exit(0);
}

}  // namespace sorvanta::ui
