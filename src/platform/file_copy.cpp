#include "platform/file_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace sorvanta::platform {
namespace {

Status ErrnoFailure(const std::string& what) { return Status::FromErrno(errno, what); }

// Plain loop for file systems copy_file_range does not serve; handles short writes.
Status ReadWriteCopy(int in, int out) {
  std::vector<char> buf(1 << 20);
  for (;;) {
    ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoFailure("read");
    }
    if (n == 0) return Status::Ok();
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out, buf.data() + done, static_cast<size_t>(n - done));
      if (w < 0) {
        if (errno == EINTR) continue;
        return ErrnoFailure("write");
      }
      done += w;
    }
  }
}

Status CopyBody(int in, int out) {
  bool first = true;
  for (;;) {
    ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1u << 30, 0);
    if (n > 0) {
      first = false;
      continue;
    }
    if (n == 0) return Status::Ok();
    if (errno == EINTR) continue;
    // Nothing copied yet and the kernel cannot do it here: copy by hand from the start.
    if (first && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP ||
                  errno == EBADF || errno == EPERM)) {
      if (::lseek(in, 0, SEEK_SET) < 0 || ::lseek(out, 0, SEEK_SET) < 0) return ErrnoFailure("seek");
      return ReadWriteCopy(in, out);
    }
    return ErrnoFailure("copy_file_range");
  }
}

}  // namespace

Status CopyWholeFile(const std::string& from, const std::string& to) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return ErrnoFailure("open " + from);
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (out < 0) {
    Status failed = ErrnoFailure("open " + to);
    ::close(in);
    return failed;
  }
  Status status = CopyBody(in, out);
  if (status.ok() && ::fsync(out) != 0) status = ErrnoFailure("fsync " + to);
  ::close(in);
  if (::close(out) != 0 && status.ok()) status = ErrnoFailure("close " + to);
  return status;
}

}  // namespace sorvanta::platform
