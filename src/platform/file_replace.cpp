#include "platform/file_replace.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "base/log.h"

namespace sorvanta::platform {
namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string RandomSuffix() {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[6] = {};
  if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
    // Without randomness the name is still claimed exclusively; only guessable.
    const unsigned long seed = static_cast<unsigned long>(::getpid()) ^ static_cast<unsigned long>(::time(nullptr));
    for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(seed >> (i * 5));
  }
  std::string suffix;
  for (unsigned char b : bytes) suffix += kChars[b % (sizeof kChars - 1)];
  return suffix;
}

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

Result<ClaimedFile> ClaimTemporaryFile(const std::string& folder, const std::string& prefix,
                                       mode_t mode) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    ClaimedFile file;
    file.path = (folder == "/" ? "" : folder) + "/" + prefix + RandomSuffix();
    file.fd = ::open(file.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (file.fd >= 0) return file;
    if (errno != EEXIST) return Status::FromErrno(errno, "cannot create a file in " + folder);
  }
  return Status::FromErrno(EEXIST, "no free temporary name in " + folder);
}

std::string ForeignFolderRefusal(const std::string& folder) {
  if (::geteuid() != 0) return "";
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) return "";  // the write itself reports the failure
  if (S_ISLNK(st.st_mode) && ::stat(folder.c_str(), &st) != 0) return "";
  if (st.st_uid == 0) return "";
  return "running as root, not writing into " + folder + ", which belongs to user " +
         std::to_string(st.st_uid);
}

Status ReplaceFileContents(const std::string& path, const std::string& bytes, mode_t mode) {
  if (path.empty() || path[0] != '/') {
    return Status::Error(StatusCode::kInvalidArgument,
                         "no folder for user files (HOME is not set and the user has no passwd entry)");
  }
  const std::string folder = FolderOf(path);
  if (const std::string refusal = ForeignFolderRefusal(folder); !refusal.empty()) {
    LogLine(refusal, kLogError, false);
    return Status::Error(StatusCode::kPermissionDenied, refusal);
  }
  // A hidden name beside the target: ".<name>.XXXXXX".
  std::string prefix(1, '.');
  prefix.append(path, path.rfind('/') + 1, std::string::npos).push_back('.');
  Result<ClaimedFile> claimed = ClaimTemporaryFile(folder, prefix, mode);
  if (!claimed.ok()) return claimed.status();
  const ClaimedFile& file = claimed.value();

  Status failure;
  if (!WriteAll(file.fd, bytes)) failure = Status::FromErrno(errno, "cannot write " + file.path);
  else if (::fsync(file.fd) != 0) failure = Status::FromErrno(errno, "cannot flush " + file.path);
  if (::close(file.fd) != 0 && failure.ok()) failure = Status::FromErrno(errno, "cannot close " + file.path);
  if (failure.ok() && ::rename(file.path.c_str(), path.c_str()) != 0) {
    failure = Status::FromErrno(errno, "cannot put " + file.path + " in place of " + path);
  }
  if (!failure.ok()) {
    ::unlink(file.path.c_str());
    return failure;
  }
  // The rename itself reaches the disk with the folder.
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return Status::Ok();
}

}  // namespace sorvanta::platform
