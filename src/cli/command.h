// Subcommands of sorvanta-cli. Each capability lives in its own cmd_<name>.cpp and
// registers itself with a static CliCommandRegistrar, so adding one touches no other file.
// Arguments are parsed by CLI11 (header-only, packaged as libcli11-dev): one parser for
// every command, with its help and its refusals in one place.
#pragma once

#include <CLI/CLI.hpp>
#include <json/json.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/language.h"

namespace sorvanta::cli {

// The exit status of every command: success; the test ran and found a fault or could not
// complete; the command line was wrong; a signal stopped the run (after its cleanup).
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

struct CliCommand {
  std::string name;     // e.g. "disk"
  std::string usage;    // after "sorvanta-cli ", e.g. "disk ROOT [--size N] [--json]" (N_)
  std::string summary;  // one line in the command list; with the name it fits 80 columns (N_)
  // Declares the command's options and arguments on its subcommand and returns what runs
  // once the command line has parsed (it reads the values the options were bound to).
  std::function<std::function<int()>(CLI::App& sub)> setup;
};

struct CliCommandRegistrar {
  explicit CliCommandRegistrar(CliCommand command);
};

const std::vector<CliCommand>& Commands();

// Builds the whole command line: the program's options, one subcommand per command, the
// help in the program's language within 80 columns. runs[i] is what Commands()[i] runs.
void BuildCommandLine(CLI::App& app, std::vector<std::function<int()>>* runs);

// "--json" (two-space indented) or "--json=compact" (one line) of a command.
struct JsonStyle {
  std::string value;  // "", "pretty" or "compact"
  bool on() const { return !value.empty(); }
};
void AddJsonOption(CLI::App& sub, JsonStyle* style);
// v as the commands print it: UTF-8 kept, floating numbers to two decimals (as the text
// shows MB/s), indented by two spaces unless compact; ends in a newline.
std::string JsonText(const Json::Value& v, const JsonStyle& style);
// Writes JsonText(v) to standard output at once.
void PrintJson(const Json::Value& v, const JsonStyle& style);
// A command that ends without its result: the text on standard error in the run's language
// and, with --json, the object {"error": text.source, "exitCode": code} on standard output,
// the same in every language. Returns code. shown: the text is already on standard error.
int Failure(const JsonStyle& style, int code, const Message& text, bool shown = false);
// The same for a text from elsewhere (an engine's or the system's message) kept as it came.
int Failure(const JsonStyle& style, int code, const std::string& text, bool shown = false);

// "用法: sorvanta-cli <usage>" in both languages; usage is a command's synopsis (N_).
Message UsageLine(const std::string& usage);

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
