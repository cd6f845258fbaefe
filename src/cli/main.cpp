// sorvanta-cli: the headless front end. Each subcommand prints the same log lines the
// windows show, a live progress line on a terminal, and offers --json for scripts.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "build_config.h"
#include "cli/command.h"
#include "platform/paths.h"
#include "base/log.h"

using sorvanta::cli::Commands;

namespace {

void PrintHelp() {
  std::printf("用法: sorvanta-cli <命令> [参数]\n\n命令:\n");
  for (const auto& c : Commands()) std::printf("  %-52s %s\n", c.usage.c_str(), c.summary.c_str());
  std::printf("\n  %-52s %s\n  %-52s %s\n", "--help", "显示本帮助", "--version", "显示版本");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    PrintHelp();
    return args.empty() ? 2 : 0;
  }
  if (args[0] == "--version" || args[0] == "-V") {
    std::printf("sorvanta-cli %s\n", SORVANTA_VERSION);
    return 0;
  }
  for (const auto& c : Commands()) {
    if (c.name != args[0]) continue;
    // The same dated log files as the window program, in "log" beside the program (or in
    // the state folder of an installed copy). Echoed lines go to the error output, so that
    // --json output on standard output stays clean.
    const std::string writeFolder = sorvanta::platform::ProgramWriteFolder(sorvanta::platform::ProgramFolder());
    if (writeFolder.empty()) std::fprintf(stderr, "%s\n", sorvanta::platform::kNoHomeFolderText);
    const std::string logFolder = writeFolder + "/log";
    if (!writeFolder.empty()) ::mkdir(logFolder.c_str(), 0755);
    sorvanta::xLogMessager logger("sorvanta", logFolder, !writeFolder.empty());
    logger.SetEcho([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
    return c.run(std::vector<std::string>(args.begin() + 1, args.end()));
  }
  std::fprintf(stderr, "未知命令: %s（--help 列出全部命令）\n", args[0].c_str());
  return 2;
}
