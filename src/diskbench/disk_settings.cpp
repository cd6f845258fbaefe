#include "diskbench/disk_settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>

#include "diskbench/disk_run_view.h"
#include "platform/paths.h"

namespace sorvanta::diskbench {
namespace {

constexpr const char* kSizeKey = "write_size_gib=";

bool MakeFolders(const std::string& path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') {
      if (::mkdir(path.substr(0, pos).c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

}  // namespace

std::string DiskSettingsPath() { return platform::JoinPath(platform::ConfigFolder(), "disk.conf"); }

std::optional<uint64_t> LoadDiskWriteSize(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(kSizeKey, 0) != 0) continue;
    const std::string value = line.substr(std::char_traits<char>::length(kSizeKey));
    for (int gib : kDiskSizeChoicesGiB)
      if (value == std::to_string(gib)) return static_cast<uint64_t>(gib) << 30;
    return std::nullopt;
  }
  return std::nullopt;
}

bool SaveDiskWriteSize(const std::string& path, uint64_t bytes) {
  const std::string text = kSizeKey + std::to_string(bytes >> 30) + "\n";
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  if (!MakeFolders(folder)) return false;
  // A name of this process's own: O_EXCL|O_NOFOLLOW never opens a file or link planted there.
  std::string temp;
  int fd = -1;
  for (int n = 0; n < 100 && fd < 0; ++n) {
    temp = path + ".tmp" + std::to_string(::getpid()) + "_" + std::to_string(n);
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST) return false;
  }
  if (fd < 0) return false;
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace sorvanta::diskbench
