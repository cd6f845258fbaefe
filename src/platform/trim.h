// TRIM of a mounted volume: "fstrim -v <mount point>", started without a shell.
#pragma once

#include <string>

namespace sorvanta::platform {

// How a TRIM went: started is false when the command could not be run at all (missing
// program, refused elevation is a started command with a failing exit code).
struct TrimOutcome {
  bool started = false;
  int exitCode = -1;
};

// True when the process runs as root (fstrim needs it).
bool RunningAsRoot();
// Runs fstrim on mountPoint and waits for it to end, directly when root, else through
// pkexec when elevate is set (a desktop prompt). Without root and without elevate nothing is
// started. Output goes to the process's standard error when showOutput is set, else nowhere.
TrimOutcome RunTrim(const std::string& mountPoint, bool elevate, bool showOutput = false);

}  // namespace sorvanta::platform
