#include "cli/command.h"

#include "base/text.h"
#include "build_config.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <iostream>
#include <semaphore.h>
#include <thread>
#include <unistd.h>

namespace sorvanta::cli {
namespace {

std::vector<CliCommand>& Registry() {
  static std::vector<CliCommand> commands;
  return commands;
}

bool g_liveLineOpen = false;

// Signal state: the handler only notes the signal and wakes the watcher thread;
// the watcher calls the scope's functions under g_scopeMu, which the scope's destructor
// takes too, so that nothing is called on objects that are gone.
sem_t g_interruptSem;
volatile sig_atomic_t g_lastSignal = 0;
std::atomic<int> g_interrupts{0};
std::mutex g_scopeMu;
bool g_scopeArmed = false;
std::function<void()> g_onStop;
std::function<void()> g_onAgain;

void HandleSignal(int signal) {
  const int saved = errno;  // async-signal-safe: sem_post only, errno kept for the interrupted code
  g_lastSignal = signal;
  sem_post(&g_interruptSem);
  errno = saved;
}

void WatchSignals() {
  for (;;) {
    while (sem_wait(&g_interruptSem) != 0) {
    }
    const int signal = g_lastSignal;
    std::lock_guard<std::mutex> lock(g_scopeMu);
    if (!g_scopeArmed) continue;
    if (g_interrupts.fetch_add(1) == 0) {
      if (g_onStop) g_onStop();
    } else if (signal == SIGPIPE) {
      // Every later write to a reader that went away raises it again: nothing new to do.
    } else if (g_onAgain) {
      g_onAgain();
    } else {
      // The cleanup must finish: a second Ctrl-C would otherwise leave the test files behind.
      std::fprintf(stderr, "\n%s\n", Tr("正在停止并清理测试文件，请稍候..."));
      std::fflush(stderr);
    }
  }
}

void InstallSignalHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    sem_init(&g_interruptSem, 0, 0);
    std::thread(WatchSignals).detach();
    struct sigaction sa {};
    sa.sa_handler = HandleSignal;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    // A closed terminal (SIGHUP) or a reader that went away (SIGPIPE) stops the run like
    // Ctrl-C, so that its cleanup still runs.
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(signal, &sa, nullptr);
  });
}

// The help in the program's language: each command's own synopsis as its usage line, the
// option names in a column wide enough that every line stays within 80 columns.
class CliFormatter : public CLI::Formatter {
 public:
  CliFormatter() {
    column_width(26);
    label("Usage", Tr("用法"));
    label("REQUIRED", Tr("（必需）"));
    label("Positionals", Tr("参数"));
  }
  // An option as the user types it: "--json[=compact]", not the parser's "--json{pretty}".
  std::string make_option_name(const CLI::Option* option, bool positional) const override {
    std::string name = CLI::Formatter::make_option_name(option, positional);
    const size_t brace = name.find('{');
    return brace == std::string::npos ? name : name.substr(0, brace);
  }
  std::string make_option_opts(const CLI::Option* option) const override {
    if (option->get_type_name() == "[=compact]") return "[=compact]";
    return CLI::Formatter::make_option_opts(option);
  }
  std::string make_usage(const CLI::App* app, std::string) const override {
    if (app->get_parent() == nullptr) return std::string(Tr("用法: sorvanta-cli <命令> [参数]")) + "\n";
    for (const CliCommand& c : Registry())
      if (c.name == app->get_name()) return UsageLine(c.usage).shown + "\n";
    return UsageLine(app->get_name()).shown + "\n";
  }
};

}  // namespace

void BuildCommandLine(CLI::App& app, std::vector<std::function<int()>>* runs) {
  app.name("sorvanta-cli");
  app.formatter(std::make_shared<CliFormatter>());
  app.option_defaults()->group(Tr("选项"));
  app.set_help_flag("-h,--help", Tr("显示帮助并退出"));
  app.set_version_flag("-V,--version", std::string("sorvanta-cli ") + SORVANTA_VERSION, Tr("显示版本并退出"));
  // Read by main before the parser runs (the texts depend on it); declared here for the help
  // and for the refusal of other values. Only before the command.
  app.add_option("--lang")
      ->description(Tr("界面语言，优先于环境变量"))
      ->type_name("zh|en")
      ->check(CLI::Validator([](std::string& v) { return v == "zh" || v == "en" ? std::string() : Tr("应为 zh 或 en"); },
                             "", "lang"));
  app.require_subcommand(0, 1);
  // One entry with its line breaks, so that each language breaks its own lines within 80 columns.
  app.footer(Tr("退出码: 0 成功；1 测试发现错误或未能完成；2 用法错误；130 被信号中断\n"
                "（已清理）。sorvanta-cli <命令> --help 说明该命令的选项，\n"
                "man sorvanta-cli 有 JSON 字段、环境变量与例子。"));
  runs->clear();
  for (const CliCommand& c : Registry()) {
    CLI::App* sub = app.add_subcommand(c.name, Tr(c.summary.c_str()));
    sub->group(Tr("命令"));
    sub->get_help_ptr()->group(Tr("选项"));
    runs->push_back(c.setup(*sub));
  }
}

void AddJsonOption(CLI::App& sub, JsonStyle* style) {
  // A flag (its value only after "="), so that "--json ROOT" leaves ROOT to the command.
  sub.add_flag("--json{pretty}", style->value, Tr("结果以JSON输出到标准输出（=compact 为单行）"))
      ->type_name("[=compact]")
      ->check(CLI::Validator(
          [](std::string& v) { return v == "pretty" || v == "compact" ? std::string() : Tr("应为 --json 或 --json=compact"); },
          "", "json"));
}

std::string JsonText(const Json::Value& v, const JsonStyle& style) {
  Json::StreamWriterBuilder b;
  const bool compact = style.value == "compact";
  b["indentation"] = compact ? "" : "  ";
  b["emitUTF8"] = true;
  b["enableYAMLCompatibility"] = !compact;  // indented as most JSON tools write it: "key": value
  b["precision"] = 2;
  b["precisionType"] = "decimal";
  return Json::writeString(b, v) + "\n";
}

void PrintJson(const Json::Value& v, const JsonStyle& style) {
  EndLiveLine();
  std::fputs(JsonText(v, style).c_str(), stdout);
  std::fflush(stdout);
}

int Failure(const JsonStyle& style, int code, const Message& text, bool shown) {
  EndLiveLine();
  if (!shown) std::fprintf(stderr, "%s\n", Printable(text.shown).c_str());
  std::fflush(stderr);
  if (style.on()) {
    Json::Value o(Json::objectValue);
    o["error"] = text.source;
    o["exitCode"] = code;
    PrintJson(o, style);
  }
  return code;
}

int Failure(const JsonStyle& style, int code, const std::string& text, bool shown) {
  return Failure(style, code, Message{text, text}, shown);
}

Message UsageLine(const std::string& usage) {
  const char* format = N_("用法: sorvanta-cli %s");
  return Message{FormatText(format, usage.c_str()), FormatText(Tr(format), Tr(usage.c_str()))};
}

CliCommandRegistrar::CliCommandRegistrar(CliCommand command) { Registry().push_back(std::move(command)); }

const std::vector<CliCommand>& Commands() { return Registry(); }

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

std::string Printable(const std::string& text) {
  std::string out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    size_t cut = end;
    if (cut > start && text[cut - 1] == '\r') --cut;
    out += EscapeControls(text.substr(start, cut - start));
    if (end == text.size()) break;
    out += '\n';
    start = end + 1;
  }
  return out;
}

void PrintLiveLine(const std::string& text) {
  if (!StdoutIsTerminal()) return;
  std::printf("\r\033[K%s", Printable(text).c_str());
  std::fflush(stdout);
  g_liveLineOpen = true;
}

void EndLiveLine() {
  if (!g_liveLineOpen) return;
  std::printf("\r\033[K");
  std::fflush(stdout);
  g_liveLineOpen = false;
}

void PrintLine(const std::string& text) {
  EndLiveLine();
  std::printf("%s\n", Printable(text).c_str());
  std::fflush(stdout);
}

InterruptScope::InterruptScope(std::function<void()> onStop, std::function<void()> onAgain) {
  InstallSignalHandlers();
  std::lock_guard<std::mutex> lock(g_scopeMu);
  g_onStop = std::move(onStop);
  g_onAgain = std::move(onAgain);
  g_interrupts.store(0);
  g_scopeArmed = true;
}

InterruptScope::~InterruptScope() {
  std::lock_guard<std::mutex> lock(g_scopeMu);
  g_scopeArmed = false;
  g_onStop = nullptr;
  g_onAgain = nullptr;
}

bool InterruptScope::Interrupted() const { return g_interrupts.load() > 0; }

}  // namespace sorvanta::cli
