// sorvanta-cli: the headless front end. Each subcommand prints the same log lines the
// windows show, a live progress line on a terminal, and offers --json for scripts.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "base/log.h"
#include "cli/command.h"
#include "platform/paths.h"

using namespace sorvanta::cli;

namespace {

using sorvanta::Message;
using sorvanta::Tr;

// The synopsis of the command a refused command line was meant for.
Message UsageOf(const CLI::App& app) {
  for (const CLI::App* sub : app.get_subcommands())
    for (const CliCommand& c : Commands())
      if (c.name == sub->get_name()) {
        const Message usage = UsageLine(c.usage);
        const char* more = N_("（--help 说明全部选项）");
        return Message{usage.source + more + "\n", usage.shown + Tr(more) + "\n"};
      }
  const char* general = N_("用法: sorvanta-cli <命令> [参数]（--help 列出全部命令）");
  return Message{std::string(general) + "\n", std::string(Tr(general)) + "\n"};
}

// A refused command line, said in the program's language where the parser names the fault.
Message Refusal(const CLI::App& app, const CLI::ParseError& e) {
  if (dynamic_cast<const CLI::ExtrasError*>(&e)) {
    std::string extras;
    for (const CLI::App* sub : app.get_subcommands())
      for (const std::string& a : sub->remaining()) extras += (extras.empty() ? "" : " ") + a;
    for (const std::string& a : app.remaining()) extras += (extras.empty() ? "" : " ") + a;
    return sorvanta::Say("未知参数: %s", extras.c_str());
  }
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e)) {
    const std::string what = e.what();  // "--size: 1 required ... missing"
    return sorvanta::Say("缺少选项的值: %s", what.substr(0, what.find(':')).c_str());
  }
  return sorvanta::Say("参数错误: %s", e.what());
}

// "--lang zh|en" among the options before the command: set before any text is made, since
// the help and every refusal are already in the chosen language. Returns the index of the
// first argument after them.
size_t UseLanguageOption(const std::vector<std::string>& args) {
  std::string chosen;
  size_t i = 0;
  while (i < args.size()) {
    if (args[i] == "--lang") {
      if (i + 1 < args.size()) chosen = args[i + 1];
      i += 2;
    } else if (args[i].rfind("--lang=", 0) == 0) {
      chosen = args[i].substr(7);
      ++i;
    } else {
      break;
    }
  }
  if (chosen == "zh" || chosen == "en") {
    sorvanta::UseLanguage(chosen == "zh" ? sorvanta::Language::kChinese : sorvanta::Language::kEnglish,
                          sorvanta::platform::CatalogueFolder());
  } else {
    sorvanta::platform::UseEnvironmentLanguage();  // a wrong value is refused by the parser
  }
  return std::min(i, args.size());
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const size_t first = UseLanguageOption(args);
  CLI::App app;
  std::vector<std::function<int()>> runs;
  BuildCommandLine(app, &runs);
  if (first == args.size()) {
    std::fputs(app.help().c_str(), stdout);
    return kExitUsage;
  }
  const std::string& command = args[first];
  if (command == "help") {
    std::fputs(app.help().c_str(), stdout);
    return kExitOk;
  }
  if (command.empty() || command[0] != '-') {
    bool known = false;
    for (const CliCommand& c : Commands()) known = known || c.name == command;
    if (!known) {
      std::fprintf(stderr, Tr("未知命令: %s（--help 列出全部命令）\n"), command.c_str());
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
    const Message refusal = Refusal(app, e);
    const Message usage = UsageOf(app);
    const Message text{refusal.source + "\n" + usage.source, refusal.shown + "\n" + usage.shown};
    bool json = false;
    for (const std::string& a : args) json = json || a.rfind("--json", 0) == 0;
    if (!json) {
      std::fputs(text.shown.c_str(), stderr);
      return kExitUsage;
    }
    return Failure(JsonStyle{"pretty"}, kExitUsage,
                   Message{text.source.substr(0, text.source.size() - 1), text.shown.substr(0, text.shown.size() - 1)});
  }
  for (size_t i = 0; i < Commands().size(); ++i) {
    if (!app.got_subcommand(Commands()[i].name)) continue;
    // The same dated log files as the window program, in "log" beside the program (or in
    // the state folder of an installed copy). Echoed lines go to the error output, so that
    // --json output on standard output stays clean.
    const std::string writeFolder = sorvanta::platform::ProgramWriteFolder(sorvanta::platform::ProgramFolder());
    if (writeFolder.empty()) std::fprintf(stderr, "%s\n", Tr(sorvanta::platform::kNoHomeFolderText));
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
