// Preloaded into sorvanta-cli by its tests: fsync and fdatasync of a file whose path ends in
// $SORVANTA_FAIL_SYNC_SUFFIX fail with EIO without syncing, as on a drive that lost what it
// had acknowledged; pread of a file whose path ends in $SORVANTA_FAIL_READ_SUFFIX fails with
// EIO on every thread but the first that read it (a drive that fails under many readers).
// Every other call goes to the system unchanged.
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool ShouldFail(int fd, const char* variable = "SORVANTA_FAIL_SYNC_SUFFIX") {
  const char* suffix = std::getenv(variable);
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

namespace {
std::atomic<long> g_firstReader{0};
}  // namespace

extern "C" ssize_t pread64(int fd, void* buf, size_t count, off_t offset) {
  if (ShouldFail(fd, "SORVANTA_FAIL_READ_SUFFIX")) {
    const long self = static_cast<long>(::syscall(SYS_gettid));
    long expected = 0;
    if (!g_firstReader.compare_exchange_strong(expected, self) && expected != self) {
      errno = EIO;
      return -1;
    }
  }
  return static_cast<ssize_t>(::syscall(SYS_pread64, fd, buf, count, offset));
}

extern "C" ssize_t pread(int fd, void* buf, size_t count, off_t offset) { return pread64(fd, buf, count, offset); }
