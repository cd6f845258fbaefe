// sorvanta-probe-helper: runs the quick probe of one drive as root for the capacity window,
// which starts it through pkexec. First it writes back what an interrupted probe left in its
// backup file. Its log goes to standard error as "log\t<text>" and "progress\t<percent>"
// lines, its result to standard output as one JSON object. A line "stop" on standard input,
// the end of a piped standard input (the window went away), SIGINT or SIGTERM stop the probe, which still writes back
// everything before it ends.
//
// pkexec clears the environment, so the caller names its language with --lang; without it
// the language comes from the environment as in every program.
//
//   sorvanta-probe-helper [--lang zh|en] [--force] [--unmount] [--flush-mib N] DEVICE
//   sorvanta-probe-helper [--lang zh|en] --restore
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include <json/json.h>

#include "base/language.h"
#include "base/text.h"
#include "capacity/disk_probe.h"
#include "platform/paths.h"

namespace {

using namespace sorvanta;

class HelperEvents : public capacity::ProbeEvents {
 public:
  void Log(const std::string& message) override { Line("log\t" + OneLine(message)); }
  void Progress(int percent) override { Line("progress\t" + std::to_string(percent)); }

 private:
  static std::string OneLine(std::string text) {
    for (char& c : text) {
      if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    }
    return text;
  }
  void Line(const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
  }
  std::mutex mu_;
};

void PrintJson(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  std::printf("%s\n", Json::writeString(builder, value).c_str());
  std::fflush(stdout);
}

int Fail(const std::string& message, int code) {
  Json::Value out;
  out["mode"] = "probe";
  out["error"] = message;
  PrintJson(out);
  return code;
}

// Chooses the language before any text: "--lang zh|en" anywhere among the arguments, else the
// environment. False for another value.
bool UseLanguageOf(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--lang") != 0) continue;
    const std::string value = i + 1 < argc ? argv[i + 1] : "";
    if (value != "zh" && value != "en") {
      platform::UseEnvironmentLanguage();
      return false;
    }
    UseLanguage(value == "zh" ? Language::kChinese : Language::kEnglish, platform::CatalogueFolder());
    return true;
  }
  platform::UseEnvironmentLanguage();
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!UseLanguageOf(argc, argv)) return Fail(Tr("--lang 须为 zh 或 en"), 2);
  if (geteuid() != 0) return Fail(Tr("需要管理员权限"), 2);
  capacity::DiskProbeRequest request;
  request.backupDir = capacity::ProbeBackupDir();
  bool restoreOnly = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--force") {
      request.force = true;
    } else if (a == "--unmount") {
      request.unmount = true;
    } else if (a == "--lang" && i + 1 < argc) {
      ++i;  // chosen before
    } else if (a == "--restore") {
      restoreOnly = true;
    } else if (a == "--flush-mib" && i + 1 < argc) {
      char* end = nullptr;
      unsigned long long mib = std::strtoull(argv[++i], &end, 10);
      if (*argv[i] == '\0' || *end != '\0' || mib > 4096) return Fail(Tr("--flush-mib 须为 0 到 4096 的整数"), 2);
      request.flushBytes = mib * 1024 * 1024;
    } else if (!a.empty() && a[0] != '-' && request.device.empty()) {
      request.device = a;
    } else {
      return Fail(FormatText(Tr("参数有误: %s"), a.c_str()), 2);
    }
  }
  if (request.device.empty() && !restoreOnly) return Fail(Tr("缺少设备"), 2);

  // Signals are taken by a thread of their own; so is standard input.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::stop_source stop;
  std::thread([stop, signals]() mutable {
    int sig = 0;
    while (sigwait(&signals, &sig) == 0) {
      if (sig != SIGPIPE) stop.request_stop();
    }
  }).detach();
  struct stat in {};
  const bool piped = fstat(STDIN_FILENO, &in) == 0 && S_ISFIFO(in.st_mode);
  if (piped) std::thread([stop]() mutable {
    std::string line;
    while (std::getline(std::cin, line) && line != "stop") {
    }
    stop.request_stop();
  }).detach();

  HelperEvents events;
  if (restoreOnly) {
    Status restored = capacity::RestorePendingProbe(request.backupDir, events);
    if (!restored.ok()) return Fail(restored.message(), 1);
    Json::Value out;
    out["mode"] = "restore";
    out["error"] = "";
    PrintJson(out);
    return 0;
  }
  auto result = capacity::ProbeDisk(request, events, stop.get_token());
  if (!result.ok()) return Fail(result.status().message(), 2);
  const capacity::ProbeResult& r = result.value();
  if (!r.error.empty()) events.Log(r.error);
  events.Log(capacity::VerdictLine(r.verdict));
  PrintJson(capacity::ProbeJson(request.device, r));
  return r.restored ? 0 : 1;
}
