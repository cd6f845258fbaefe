#include "support/sync_recorder.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <mutex>

namespace sorvanta::testing {
namespace {

std::mutex& Mutex() {
  static std::mutex mu;
  return mu;
}
std::vector<std::string>& Synced() {
  static std::vector<std::string> paths;
  return paths;
}
std::string& Failing() {
  static std::string path;
  return path;
}

// Records the call; false when the path is set to fail.
bool Record(int fd) {
  char link[64];
  char target[PATH_MAX];
  std::snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  ssize_t n = ::readlink(link, target, sizeof(target) - 1);
  std::string path = n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
  std::lock_guard<std::mutex> l(Mutex());
  Synced().push_back(path);
  return Failing().empty() || path != Failing();
}

}  // namespace

std::vector<std::string> SyncedPaths() {
  std::lock_guard<std::mutex> l(Mutex());
  return Synced();
}

int SyncCount(const std::string& path) {
  std::lock_guard<std::mutex> l(Mutex());
  return static_cast<int>(std::count(Synced().begin(), Synced().end(), path));
}

void ClearSyncs() {
  std::lock_guard<std::mutex> l(Mutex());
  Synced().clear();
}

void FailSyncsOf(const std::string& path) {
  std::lock_guard<std::mutex> l(Mutex());
  Failing() = path;
}

}  // namespace sorvanta::testing

// Stand in for the C library's calls; the system calls themselves do the work.
extern "C" int fsync(int fd) {
  if (!sorvanta::testing::Record(fd)) {
    errno = EIO;
    return -1;
  }
  return static_cast<int>(::syscall(SYS_fsync, fd));
}

extern "C" int fdatasync(int fd) {
  if (!sorvanta::testing::Record(fd)) {
    errno = EIO;
    return -1;
  }
  return static_cast<int>(::syscall(SYS_fdatasync, fd));
}
