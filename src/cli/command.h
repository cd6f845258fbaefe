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
// Text from outside (the service, a disk's model name, a volume's label or path) as it may
// reach the terminal: line breaks kept (CR LF as LF), every other control character
// written as \xNN, so that no escape sequence or forged line gets through.
std::string Printable(const std::string& text);

// While it lives, SIGINT, SIGTERM, SIGHUP and SIGPIPE ask the running command to stop: the
// first calls onStop, later ones call onAgain when given, else only say on standard error
// that the cleanup is under way (the process never ends before its test files are gone).
// Both are called from a watcher thread, never from the signal handler, and never after the
// scope is destroyed: declare the scope after the objects its functions use. One at a time.
class InterruptScope {
 public:
  explicit InterruptScope(std::function<void()> onStop, std::function<void()> onAgain = {});
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;
  // A signal came while the scope lived.
  bool Interrupted() const;
};

}  // namespace sorvanta::cli
