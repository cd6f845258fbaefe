#include "base/log.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <ctime>

#include "base/text.h"

namespace sorvanta {
namespace {

constexpr float kLoggerTickSeconds = 60.0f;
const char* const kLevelNames[3] = {"Normal", "Notice", "Error"};

// Kernel id of the calling thread, the number `ps -L` and debuggers show.
unsigned long CurrentThreadId() { return static_cast<unsigned long>(::syscall(SYS_gettid)); }

// "[0x<tid>]Y/ M/ D  h: m: s:" — fields after the year blank-padded, at most 63 characters.
std::string LinePrefix(const std::tm& now) {
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "[0x%lx]%d/%2d/%2d %2d:%2d:%2d:", CurrentThreadId(),
                now.tm_year + 1900, now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min,
                now.tm_sec);
  return prefix;
}

// Guards the passage from the singleton pointer to the logger behind it: LogLine holds it
// for a whole call (calls are serialised by the logger anyway), the destructor takes it
// once to wait for the call under way. Never destroyed, so that a thread logging during
// the program's exit still finds it.
std::mutex& LoggerGate() {
  static std::mutex* gate = new std::mutex;
  return *gate;
}

// Appends to (or creates) a log file, never through a link planted under its name.
int OpenLogFile(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
}

// Writes text whole; false on any failure.
bool WriteText(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

xLogMessager::xLogMessager(const std::string& prefix, const std::string& folder, bool enabled,
                           Clock clock)
    : Timer(kLoggerTickSeconds),
      prefix_(prefix),
      folder_(folder),
      enabled_(enabled),
      clock_(clock ? std::move(clock) : Clock([] { return std::time(nullptr); })) {
  if (enabled_) {
    std::lock_guard<std::mutex> guard(lock_);
    const std::tm now = LocalNow();
    const std::string prefixText = LinePrefix(now);
    for (int level = 0; level < 3; ++level) {
      OpenLevel(level, now);
      if (files_[level] >= 0) WriteText(files_[level], prefixText + "====LOG BEGIN====\n");
    }
  }
  Publish(this);
}

xLogMessager::~xLogMessager() {
  // A thread that is never joined (the update worker) may still be logging: no new call
  // may reach this object, and the calls under way must end before it goes.
  // Clearing the pointer first turns later calls away at once, so the wait is short.
  Retire();
  { std::lock_guard<std::mutex> gate(LoggerGate()); }
  std::lock_guard<std::mutex> guard(lock_);
  for (int& fd : files_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

std::tm xLogMessager::LocalNow() const {
  const std::time_t seconds = clock_();
  std::tm now{};
  localtime_r(&seconds, &now);
  return now;
}

// Moves one level to today's file: an existing file is continued, a missing one created.
// A file that cannot be opened (missing folder, no permission) leaves the stream failed.
void xLogMessager::OpenLevel(int level, const std::tm& now) {
  currentDay_ = now.tm_yday;
  if (files_[level] >= 0) ::close(files_[level]);
  char path[512];
  std::snprintf(path, sizeof path, "%s/%s-%d-%d-%d_%s.log", folder_.c_str(), prefix_.c_str(),
                now.tm_year + 1900, now.tm_mon + 1, now.tm_mday, kLevelNames[level]);
  paths_[level] = path;
  files_[level] = OpenLogFile(paths_[level]);
}

void xLogMessager::Log(const std::string& message, int level, bool echo) {
  if (!enabled_ || level < 0 || level > 2) return;
  std::lock_guard<std::mutex> guard(lock_);
  const std::tm now = LocalNow();
  if (now.tm_yday != currentDay_) {
    for (int l = 0; l < 3; ++l) OpenLevel(l, now);
  }
  const std::string line = EscapeControls(message);
  if (echo && echo_) echo_(line);
  int& fd = files_[level];
  if (fd < 0) return;
  if (!WriteText(fd, LinePrefix(now) + line + '\n')) {
    ::close(fd);
    fd = -1;
  }
}

void xLogMessager::SetEcho(Echo echo) {
  std::lock_guard<std::mutex> guard(lock_);
  echo_ = std::move(echo);
}

// Gives a level whose stream failed another chance. Reopening continues the day's file
// rather than truncating it, so the lines written before the failure are kept.
void xLogMessager::Tick() {
  if (!enabled_) return;
  std::lock_guard<std::mutex> guard(lock_);
  for (int level = 0; level < 3; ++level) {
    if (files_[level] < 0) files_[level] = OpenLogFile(paths_[level]);
  }
}

std::string xLogMessager::PathOf(int level) const {
  std::lock_guard<std::mutex> guard(lock_);
  return (level >= 0 && level < 3) ? paths_[level] : std::string();
}

void LogLine(const std::string& message, int level, bool echo) {
  std::lock_guard<std::mutex> gate(LoggerGate());
  if (xLogMessager* logger = Singleton<xLogMessager>::Instance()) logger->Log(message, level, echo);
}

}  // namespace sorvanta
