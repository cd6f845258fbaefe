// sorvanta-cli: the headless front end. Each subcommand prints the same log lines the
// windows show, a live progress line on a terminal, and offers --json for scripts.
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/log.h"
#include "cli/command.h"
#include "platform/paths.h"

using namespace sorvanta::cli;

namespace {

// The synopsis of the command a refused command line was meant for.
std::string UsageOf(const CLI::App& app) {
  for (const CLI::App* sub : app.get_subcommands())
    for (const CliCommand& c : Commands())
      if (c.name == sub->get_name()) return "用法: sorvanta-cli " + c.usage + "（--help 说明全部选项）\n";
  return "用法: sorvanta-cli <命令> [参数]（--help 列出全部命令）\n";
}

// A refused command line, said in the program's language where the parser names the fault.
std::string Refusal(const CLI::App& app, const CLI::ParseError& e) {
  if (dynamic_cast<const CLI::ExtrasError*>(&e)) {
    std::string extras;
    for (const CLI::App* sub : app.get_subcommands())
      for (const std::string& a : sub->remaining()) extras += (extras.empty() ? "" : " ") + a;
    for (const std::string& a : app.remaining()) extras += (extras.empty() ? "" : " ") + a;
    return "未知参数: " + extras;
  }
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e)) {
    const std::string what = e.what();  // "--size: 1 required ... missing"
    return "缺少选项的值: " + what.substr(0, what.find(':'));
  }
  return "参数错误: " + std::string(e.what());
}

}  // namespace

int main(int argc, char** argv) {
  sorvanta::platform::UseEnvironmentLanguage();
  CLI::App app;
  std::vector<std::function<int()>> runs;
  BuildCommandLine(app, &runs);
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) {
    std::fputs(app.help().c_str(), stdout);
    return kExitUsage;
  }
  if (args[0] == "help") {
    std::fputs(app.help().c_str(), stdout);
    return kExitOk;
  }
  if (args[0].empty() || args[0][0] != '-') {
    bool known = false;
    for (const CliCommand& c : Commands()) known = known || c.name == args[0];
    if (!known) {
      std::fprintf(stderr, "未知命令: %s（--help 列出全部命令）\n", args[0].c_str());
      return kExitUsage;
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return kExitOk;
  } catch (const CLI::CallForVersion& e) {
    std::printf("%s\n", e.what());
    return kExitOk;
  } catch (const CLI::ParseError& e) {
    std::string text = Refusal(app, e) + "\n" + UsageOf(app);
    bool json = false;
    for (const std::string& a : args) json = json || a.rfind("--json", 0) == 0;
    if (!json) {
      std::fputs(text.c_str(), stderr);
      return kExitUsage;
    }
    return Failure(JsonStyle{"pretty"}, kExitUsage, text.substr(0, text.size() - 1));
  }
  for (size_t i = 0; i < Commands().size(); ++i) {
    if (!app.got_subcommand(Commands()[i].name)) continue;
    // The same dated log files as the window program, in "log" beside the program (or in
    // the state folder of an installed copy). Echoed lines go to the error output, so that
    // --json output on standard output stays clean.
    const std::string writeFolder = sorvanta::platform::ProgramWriteFolder(sorvanta::platform::ProgramFolder());
    if (writeFolder.empty()) std::fprintf(stderr, "%s\n", sorvanta::platform::kNoHomeFolderText);
    const std::string logFolder = writeFolder + "/log";
    if (!writeFolder.empty()) ::mkdir(logFolder.c_str(), 0755);
    sorvanta::xLogMessager logger("sorvanta", logFolder, !writeFolder.empty());
    logger.SetEcho([](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
    return runs[i]();
  }
  // Only the program's own options: no command named.
  std::fputs(app.help().c_str(), stdout);
  return kExitUsage;
}
