#include "diskbench/disk_settings.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <fstream>

#include "diskbench/disk_run_view.h"
#include "platform/file_replace.h"
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
  // Through a claimed temporary name: never written through a link planted beside it.
  return platform::ReplaceFileContents(path, text, 0644).ok();
}

}  // namespace sorvanta::diskbench
