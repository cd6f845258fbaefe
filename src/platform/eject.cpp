#include "platform/eject.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/clock.h"
#include "platform/volumes.h"

extern char** environ;

namespace sorvanta::platform {
namespace {

std::atomic<DriveEjector*> g_ejector{nullptr};

std::string RealPath(const std::string& path) {
  char buf[PATH_MAX];
  if (!::realpath(path.c_str(), buf)) return std::string();
  return buf;
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

// A command that ended with a non-zero status, or could not be run at all (-1).
Status CommandFailure(const std::string& command, int exitStatus) {
  return Status::Error(StatusCode::kFailed, exitStatus < 0 ? command + ": could not be run"
                                                           : command + ": exit status " + std::to_string(exitStatus));
}

}  // namespace

int RunProgram(const std::vector<std::string>& argv) {
  if (argv.empty()) return -1;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool UdisksAvailable() {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (!dir.empty() && ::access((dir + "/udisksctl").c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

std::string WholeDiskOf(const std::string& device, const std::string& sysRoot) {
  std::string real = RealPath(device);
  if (real.empty()) real = device;
  std::string name = BaseName(real);
  std::string classEntry = sysRoot + "/class/block/" + name;
  struct stat st;
  if (::stat((classEntry + "/partition").c_str(), &st) != 0) return real;
  // The partition's sysfs folder sits inside its disk's folder.
  std::string sysPath = RealPath(classEntry);
  if (sysPath.empty()) return real;
  return "/dev/" + BaseName(DirName(sysPath));
}

UdisksEjector::UdisksEjector(Runner runner, std::string sysRoot, int attempts, uint32_t retryMs)
    : runner_(std::move(runner)), sysRoot_(std::move(sysRoot)), attempts_(attempts), retryMs_(retryMs) {}

Status UdisksEjector::TryOnce(const std::string& root, const std::string& device) {
  if (IsVolumeRoot(root)) {
    const int exitStatus = runner_({"udisksctl", "unmount", "--block-device", device, "--no-user-interaction"});
    if (exitStatus != 0) return CommandFailure("udisksctl unmount " + device, exitStatus);
  }
  std::string disk = WholeDiskOf(device, sysRoot_);
  const int exitStatus = runner_({"udisksctl", "power-off", "--block-device", disk, "--no-user-interaction"});
  if (exitStatus != 0) return CommandFailure("udisksctl power-off " + disk, exitStatus);
  return Status::Ok();
}

Status UdisksEjector::Eject(const std::string& root) {
  std::string key = NormalizeRoot(root);
  std::string device;
  if (auto volume = FindVolume(key)) {
    device = volume->device;
    std::lock_guard<std::mutex> l(mu_);
    lastDevice_[key] = device;
  } else {
    // Unmounted by an earlier attempt whose power-off failed: finish with the same device.
    std::lock_guard<std::mutex> l(mu_);
    auto it = lastDevice_.find(key);
    if (it != lastDevice_.end()) device = it->second;
  }
  if (device.rfind("/dev/", 0) != 0) {
    return Status::Error(StatusCode::kNotFound, "no block device mounted at " + key);
  }
  Status outcome = Status::Error(StatusCode::kFailed, "no attempt to eject " + key);
  for (int attempt = 0; attempt < attempts_; ++attempt) {
    if (attempt > 0) SleepMs(retryMs_);
    outcome = TryOnce(key, device);
    if (outcome.ok()) break;
  }
  return outcome;
}

DriveEjector& SystemEjector() {
  static UdisksEjector ejector;
  return ejector;
}

DriveEjector& Ejector() {
  DriveEjector* e = g_ejector.load();
  return e ? *e : SystemEjector();
}

void SetEjectorForTesting(DriveEjector* ejector) { g_ejector = ejector; }

}  // namespace sorvanta::platform
