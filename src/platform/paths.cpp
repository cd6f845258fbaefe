#include "platform/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace sorvanta::platform {
namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

// mkdir -p; existing folders are fine.
void MakeFolders(const std::string& path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') {
      std::string part = path.substr(0, pos);
      if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return;
    }
  }
}

}  // namespace

std::string ProgramFolder() {
  char buf[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return ".";
  std::string exe(buf, static_cast<size_t>(n));
  size_t slash = exe.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return exe.substr(0, slash);
}

bool SetWorkingDirectory(const std::string& path) { return chdir(path.c_str()) == 0; }

std::string LocalAppDataFolder() {
  std::string dir = Env("XDG_DATA_HOME");
  if (dir.empty() || dir[0] != '/') {
    std::string home = Env("HOME");
    if (home.empty()) {
      if (const passwd* pw = getpwuid(getuid())) home = pw->pw_dir;
    }
    if (home.empty()) home = "/tmp";
    dir = JoinPath(home, ".local/share");
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  MakeFolders(dir);
  return dir;
}

std::string TempFolder() {
  std::string dir = Env("TMPDIR");
  if (dir.empty()) dir = "/tmp/";
  if (dir.back() != '/') dir += '/';
  return dir;
}

std::string JoinPath(const std::string& a, const std::string& b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  std::string left = a;
  while (left.size() > 1 && left.back() == '/') left.pop_back();
  size_t start = 0;
  while (start < b.size() && b[start] == '/') ++start;
  if (left == "/") return std::string("/").append(b, start);
  return left + "/" + b.substr(start);
}

}  // namespace sorvanta::platform
