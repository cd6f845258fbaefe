#include "cli/command.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
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
sem_t g_interruptSem;
volatile sig_atomic_t g_interrupts = 0;
void (*volatile g_interruptCleanup)() = nullptr;

void HandleSignal(int) {
  g_interrupts = g_interrupts + 1;
  if (g_interrupts > 1) {
    if (g_interruptCleanup) g_interruptCleanup();
    _exit(130);
  }
  sem_post(&g_interruptSem);  // async-signal-safe
}

}  // namespace

CliCommandRegistrar::CliCommandRegistrar(CliCommand command) { Registry().push_back(std::move(command)); }

const std::vector<CliCommand>& Commands() { return Registry(); }

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

void PrintLiveLine(const std::string& text) {
  if (!StdoutIsTerminal()) return;
  std::printf("\r\033[K%s", text.c_str());
  std::fflush(stdout);
  g_liveLineOpen = true;
}

void EndLiveLine() {
  if (!g_liveLineOpen) return;
  std::printf("\r\033[K");
  std::fflush(stdout);
  g_liveLineOpen = false;
}

void SetInterruptCleanup(void (*cleanup)()) { g_interruptCleanup = cleanup; }

void PrintLine(const std::string& text) {
  EndLiveLine();
  std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

void OnInterrupt(std::function<void()> onStop) {
  sem_init(&g_interruptSem, 0, 0);
  std::thread([stop = std::move(onStop)] {
    while (sem_wait(&g_interruptSem) != 0) {
    }
    stop();
  }).detach();
  struct sigaction sa {};
  sa.sa_handler = HandleSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace sorvanta::cli
