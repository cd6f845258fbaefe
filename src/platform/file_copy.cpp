#include "platform/file_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace sorvanta::platform {
namespace {

bool SetError(std::string* error, const std::string& what) {
  if (error) *error = what + ": " + std::strerror(errno);
  return false;
}

// Plain loop for file systems copy_file_range does not serve; handles short writes.
bool ReadWriteCopy(int in, int out, std::string* error) {
  std::vector<char> buf(1 << 20);
  for (;;) {
    ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return SetError(error, "read");
    }
    if (n == 0) return true;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out, buf.data() + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return SetError(error, "write");
      }
      done += w;
    }
  }
}

bool CopyBody(int in, int out, std::string* error) {
  bool first = true;
  for (;;) {
    ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1u << 30, 0);
    if (n > 0) {
      first = false;
      continue;
    }
    if (n == 0) return true;
    if (errno == EINTR) continue;
    // Nothing copied yet and the kernel cannot do it here: copy by hand from the start.
    if (first && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
                  errno == EBADF || errno == EPERM)) {
      if (::lseek(in, 0, SEEK_SET) < 0 || ::lseek(out, 0, SEEK_SET) < 0) return SetError(error, "seek");
      return ReadWriteCopy(in, out, error);
    }
    return SetError(error, "copy_file_range");
  }
}

}  // namespace

bool CopyWholeFile(const std::string& from, const std::string& to, std::string* error) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return SetError(error, "open " + from);
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (out < 0) {
    SetError(error, "open " + to);
    ::close(in);
    return false;
  }
  bool ok = CopyBody(in, out, error);
  if (ok && ::fsync(out) != 0) ok = SetError(error, "fsync " + to);
  ::close(in);
  if (::close(out) != 0 && ok) ok = SetError(error, "close " + to);
  return ok;
}

}  // namespace sorvanta::platform
