// Preloaded into sorvanta-cli by its tests: fsync and fdatasync of a file whose path ends in
// $SORVANTA_FAIL_SYNC_SUFFIX fail with EIO without syncing, as on a drive that lost what it
// had acknowledged. Every other call goes to the system unchanged.
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool ShouldFail(int fd) {
  const char* suffix = std::getenv("SORVANTA_FAIL_SYNC_SUFFIX");
  if (!suffix || !*suffix) return false;
  char link[64];
  char target[PATH_MAX];
  std::snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
  const ssize_t n = ::readlink(link, target, sizeof(target) - 1);
  if (n <= 0) return false;
  const size_t length = static_cast<size_t>(n);
  const size_t want = std::strlen(suffix);
  return length >= want && std::memcmp(target + length - want, suffix, want) == 0;
}

}  // namespace

extern "C" int fsync(int fd) {
  if (ShouldFail(fd)) {
    errno = EIO;
    return -1;
  }
  return static_cast<int>(::syscall(SYS_fsync, fd));
}

extern "C" int fdatasync(int fd) {
  if (ShouldFail(fd)) {
    errno = EIO;
    return -1;
  }
  return static_cast<int>(::syscall(SYS_fdatasync, fd));
}
