// Subcommands of sorvanta-cli. Each capability lives in its own cmd_<name>.cpp and
// registers itself with a static CliCommandRegistrar, so adding one touches no other file.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace sorvanta::cli {

struct CliCommand {
  std::string name;     // e.g. "disk"
  std::string usage;    // e.g. "disk ROOT [--size N] [--cache] [--json]"
  std::string summary;  // one line for --help
  // Receives the arguments after the subcommand name; returns the exit status.
  std::function<int(const std::vector<std::string>& args)> run;
};

struct CliCommandRegistrar {
  explicit CliCommandRegistrar(CliCommand command);
};

const std::vector<CliCommand>& Commands();

// True when standard output is a terminal (live progress lines are drawn only then).
bool StdoutIsTerminal();
// Rewrites the current terminal line with text (no newline).
void PrintLiveLine(const std::string& text);
// Ends a live line so that the next output starts on a fresh line.
void EndLiveLine();
// Writes text and a newline to standard output at once (after ending a live line).
void PrintLine(const std::string& text);

// Installs a SIGINT/SIGTERM handler that calls onStop once (from a watcher thread, not the
// signal handler); a second Ctrl-C ends the process at once.
void OnInterrupt(std::function<void()> onStop);
// A function the signal handler calls on the second interrupt, right before the process
// ends; it must be async-signal-safe (e.g. only unlink). nullptr removes it.
void SetInterruptCleanup(void (*cleanup)());

}  // namespace sorvanta::cli
