#include "support/temp_dir.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace sorvanta::testing {

namespace fs = std::filesystem;

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = "/tmp/sorvanta-" + prefix + "-XXXXXX";
  if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() { Remove(); }

std::string TempDir::Path(const std::string& name) const { return path_ + "/" + name; }

bool TempDir::Remove() {
  if (path_.empty()) return true;
  std::error_code ec;
  // Folders a test made read-only would stop the removal of their entries (for non-root).
  ::chmod(path_.c_str(), 0755);
  for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ec); !ec && it != fs::end(it); it.increment(ec)) {
    std::error_code ignored;
    if (it->is_directory(ignored) && !it->is_symlink(ignored)) ::chmod(it->path().c_str(), 0755);
  }
  fs::remove_all(path_, ec);
  bool gone = !fs::exists(fs::symlink_status(path_, ec));
  path_.clear();
  return gone;
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool WriteWholeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  return !out.fail();
}

}  // namespace sorvanta::testing
