#include "cli/command.h"

#include "base/text.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
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
      std::fprintf(stderr, "\n正在停止并清理测试文件，请稍候...\n");
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

}  // namespace

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
