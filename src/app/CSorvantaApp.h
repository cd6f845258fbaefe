// The application object: start-up, the main window and the end of the process.
//
// Start-up order: autorun entries removed from volume roots, the program's folder made
// the working directory (~/.local/state/sorvanta when an installed copy cannot write
// there, see platform::ProgramWriteFolder), the "bustudisk" switch checked (it runs the
// USB endurance test window alone: no logger, no main window), the update script of the
// last update removed, the logger created (prefix "sorvanta", folder "log"), the main
// window run modally; afterwards the service client's global state and the logger are
// released.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace sorvanta::ui {

// File name of the swap script that an update leaves in the program's folder.
inline constexpr const char* kUpdateScriptName = "update.sh";

class CSorvantaApp {
 public:
  struct Options {
    // The program's folder; empty means the folder of the running program file.
    std::string programFolder;
    // Shows the main window modally and returns when it closed; empty means the real
    // window (a QApplication is created for it). Tests replace it.
    std::function<int()> runMainWindow;
    // Shows the USB endurance test window modally ("bustudisk"); empty means the real one.
    std::function<int()> runEnduranceWindow;
  };

  // args: the command-line arguments without the program name.
  CSorvantaApp(int argc, char** argv, std::vector<std::string> args, Options options = Options());

  // Runs the whole life of the program; returns the process exit code.
  int Run();

  // The command-line test: "bustudisk" anywhere in any argument, case-sensitive.
  static bool HasEnduranceSwitch(const std::vector<std::string>& args);

 private:
  int RunMainWindow();
  int RunEnduranceWindow();

  int argc_;
  char** argv_;
  std::vector<std::string> args_;
  Options options_;
};

}  // namespace sorvanta::ui
