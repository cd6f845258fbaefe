// The update and announcement check: fetches the service's announcement, compares the
// service's version with the program's own and, when they differ, replaces the program
// file with the new version and restarts it.
//
// Runs on a worker thread of its own; it reports to the main window only through an
// UpdateReporter and never waits for the window. The version reply and the program are
// fetched only over verified TLS (ServiceGetVerifiedText / ...Binary): what cannot be
// verified, downloaded whole, recognised as a program for this machine or written
// completely is never installed, and the running program file stays as it was.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/program_file.h"

namespace sorvanta {

// What the check shows. Called on the worker thread; implementations copy the texts.
class UpdateReporter {
 public:
  virtual ~UpdateReporter() = default;
  // Replaces the placeholder in the announcement box (an empty text when the request
  // failed; a notice naming the server and what happened follows then).
  virtual void ShowAnnouncement(const std::string& text) = 0;
  // Adds a line to the announcement box: why no update was installed.
  virtual void AddNotice(const std::string& line) = 0;
  // The service names this program's version: the version label says it is the newest.
  virtual void MarkUpToDate() = 0;
};

// The tool runs an update restart must not cut off (a capacity check or a wipe leaves its
// test files behind when the process ends under it). The main window counts its open tool
// windows here; a downloaded update waits until none is open. Any thread.
class ToolRunGate {
 public:
  void Begin();
  void End();
  // The program is ending: a waiting update gives up, and so does every later one.
  void Cancel();
  // True at once when no tool run is open; otherwise calls onWait once and blocks until
  // the last one ended (true) or Cancel (false).
  bool WaitUntilIdle(const std::function<void()>& onWait);

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  int open_ = 0;
  bool cancelled_ = false;
};

struct UpdateOptions {
  std::string productVersion;  // compared byte for byte with the service's version
  std::string programPath;     // the file an update replaces
  // Whom the check acts for: no update is installed as root, from a set-id start, over a
  // file of another user or under /usr; tests give another identity.
  platform::ProcessIdentity identity = platform::OwnIdentity();
  // Starts the program at programPath and ends this process; called on the worker thread
  // once the new program is in place. Tests record the call instead.
  std::function<void(const std::string& programPath)> restart;
  // The open tool runs; a downloaded update is installed only once none is (none = no wait).
  std::shared_ptr<ToolRunGate> toolRuns;
};

// The program's own version and file.
UpdateOptions DefaultUpdateOptions();

enum class UpdateOutcome {
  kNoVersion,       // no usable version reply (failed, or not exactly two pieces)
  kUpToDate,        // the service names this very version
  kNotVerified,     // the service or the download address could not be verified
  kReadOnly,        // a newer version exists but the program's folder is not writable, or
                    // this process must not replace the program file (see ReplaceRefusal)
  kDownloadFailed,  // the download failed or was empty
  kNotRunnable,     // the download is not a program for this machine
  kSameProgram,     // the download is byte for byte the program file already in place
  kWriteFailed,     // the new program could not be written completely
  kStopped,         // stop was set before anything was installed
  kInstalled,       // the new program is in place and restart was called
};

// The whole check, from the announcement to the restart. stop is polled between steps;
// once it is set nothing more is shown, installed or restarted.
UpdateOutcome RunUpdateCheck(const UpdateOptions& options, UpdateReporter& reporter,
                             const std::atomic<bool>& stop);

}  // namespace sorvanta
