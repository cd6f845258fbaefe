// Dated log files, one per level and per day: "<folder>/<prefix>-Y-M-D_<Level>.log".
//
// xLogMessager is a process-wide single instance: the program creates it at start-up
// and destroys it at the end; any thread reaches it through Singleton::Instance(), which
// is empty while no logger exists. One mutex serialises every call. The logger never
// reports its own failures: a file that cannot be opened just loses its lines. Files are
// never opened through a link, and control characters in a line are escaped (\xNN), so
// text from outside cannot forge a line.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>

namespace sorvanta {

// Holds the process-wide pointer to the one instance of T; set by the constructor,
// cleared by the destructor. No lazy creation.
template <typename T>
class Singleton {
 public:
  static T* Instance() { return instance_.load(std::memory_order_acquire); }

 protected:
  Singleton() = default;
  virtual ~Singleton() { Retire(); }
  // The derived constructor publishes itself once it is whole, so that no other thread
  // reaches a half-built object.
  void Publish(T* self) { instance_.store(self, std::memory_order_release); }
  // Clears the pointer early, before the derived object starts to come apart.
  void Retire() { instance_.store(nullptr, std::memory_order_release); }
  Singleton(const Singleton&) = delete;
  Singleton& operator=(const Singleton&) = delete;

 private:
  static inline std::atomic<T*> instance_{nullptr};
};

// A periodic task: an interval in seconds and a tick that a scheduler may call.
class Timer {
 public:
  explicit Timer(float intervalSeconds) : interval_(intervalSeconds) {}
  virtual ~Timer() = default;
  virtual void Tick() = 0;
  float Interval() const { return interval_; }

 protected:
  float interval_;
  int active_ = 1;     // kept for layout fidelity; nothing reads it
  uint32_t elapsed_ = 0;
};

enum LogLevel : int { kLogNormal = 0, kLogNotice = 1, kLogError = 2 };

class xLogMessager : public Singleton<xLogMessager>, public Timer {
 public:
  // Source of local time; tests replace it to cross midnight.
  using Clock = std::function<std::time_t()>;

  // Opens today's three files (when enabled) and writes "====LOG BEGIN====" to each.
  xLogMessager(const std::string& prefix, const std::string& folder, bool enabled,
               Clock clock = nullptr);
  ~xLogMessager() override;

  // Where echoed lines go: the bare text, one call per line, under the logger's lock.
  using Echo = std::function<void(const std::string& line)>;

  // Writes one line at level 0..2 and flushes it; with echo also hands the bare text to the
  // echo destination. Moves all three levels to new files first when the local day has changed.
  void Log(const std::string& message, int level, bool echo);
  // Chooses the echo destination; the program decides (the window program its standard
  // output, the command line its error output). Without one, echoed lines only go to the file.
  void SetEcho(Echo echo);
  // Reopens (continuing) the file of every level whose stream failed.
  void Tick() override;

  // Current path of a level's file (for tests and diagnostics).
  std::string PathOf(int level) const;

 private:
  void OpenLevel(int level, const std::tm& now);
  std::tm LocalNow() const;

  int files_[3] = {-1, -1, -1};  // -1: not open, or a write failed (Tick reopens it)
  std::string prefix_;
  std::string folder_;
  bool enabled_;
  std::string paths_[3];
  int currentDay_ = -1;
  mutable std::mutex lock_;
  Clock clock_;
  Echo echo_;
};

// Logs through the current logger when one exists; does nothing otherwise. Safe from any
// thread at any time, also while the logger is being destroyed: destruction waits for
// calls already under way, and later calls find no logger.
void LogLine(const std::string& message, int level, bool echo);

}  // namespace sorvanta
