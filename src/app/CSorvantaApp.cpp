#include "app/CSorvantaApp.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <cstdio>
#include <memory>

#include "app/CSorvantaDlg.h"
#include "platform/autorun.h"
#include "platform/paths.h"
#include "base/log.h"
#include "service/requests.h"
#include "ui/language.h"
#include "ui/look.h"
#include "usbtest/ui/CRankListDlg.h"

namespace sorvanta::ui {

CSorvantaApp::CSorvantaApp(int argc, char** argv, std::vector<std::string> args, Options options)
    : argc_(argc), argv_(argv), args_(std::move(args)), options_(std::move(options)) {}

bool CSorvantaApp::HasEnduranceSwitch(const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg.find("bustudisk") != std::string::npos) return true;
  }
  return false;
}

int CSorvantaApp::Run() {
  platform::UseEnvironmentLanguage();
  ServiceGlobalInit();

  platform::RemoveAutorunEntries();

  const std::string folder =
      options_.programFolder.empty() ? platform::ProgramFolder() : options_.programFolder;
  const std::string writeFolder = platform::ProgramWriteFolder(folder);
  if (writeFolder.empty()) std::fprintf(stderr, "%s\n", Tr(platform::kNoHomeFolderText));
  else platform::SetWorkingDirectory(writeFolder);

  int exitCode = 0;
  if (HasEnduranceSwitch(args_)) {
    // The endurance test window alone: no logger, no main window, no update check.
    exitCode = options_.runEnduranceWindow ? options_.runEnduranceWindow() : RunEnduranceWindow();
  } else {
    std::remove(kUpdateScriptName);
    // The logger writes into "log" under the working directory; it opens its files when
    // it is created, so the folder has to exist first.
    if (!writeFolder.empty()) ::mkdir("log", 0755);
    auto logger = std::make_unique<xLogMessager>("sorvanta", "log", !writeFolder.empty());
    logger->SetEcho([](const std::string& line) {
      std::fwrite(line.data(), 1, line.size(), stdout);
      std::fputc('\n', stdout);
      std::fflush(stdout);
    });
    exitCode = options_.runMainWindow ? options_.runMainWindow() : RunMainWindow();
    logger.reset();
  }

  ServiceGlobalCleanup();
  return exitCode;
}

int CSorvantaApp::RunMainWindow() {
  QApplication app(argc_, argv_);
  UseEnvironmentLanguage(app);
  QApplication::setApplicationName(QStringLiteral("sorvanta"));
  QApplication::setDesktopFileName(QStringLiteral("sorvanta"));  // ties windows to the menu entry
  // The organisation names the folders Qt keeps the program's files in: the same in every language.
  QApplication::setOrganizationName(QStringLiteral(ZH_("应用程序向导生成的本地应用程序")));
  QApplication::setApplicationVersion(ProductVersion());
  ApplyLook(app);
  CSorvantaDlg dlg;
  dlg.SetFirstTickTask([](CSorvantaDlg* window) { window->StartUpdateCheck(DefaultUpdateOptions()); });
  dlg.RunUntilClosed();
  return 0;
}

int CSorvantaApp::RunEnduranceWindow() {
  QApplication app(argc_, argv_);
  UseEnvironmentLanguage(app);
  QApplication::setApplicationName(QStringLiteral("sorvanta"));
  QApplication::setApplicationVersion(ProductVersion());
  ApplyLook(app);
  bool abandoned = false;
  {
    CRankListDlg dlg;
    dlg.exec();
    abandoned = dlg.RunActive() || dlg.SwitchTestActive();
  }
  if (abandoned) {
    // The window was closed during a run (asked to stop and let go; it may sit in a retry
    // without limit) or a switch test: the program ends here rather than wait for them.
    std::fflush(nullptr);
    ::_exit(0);
  }
  return 0;
}

}  // namespace sorvanta::ui
