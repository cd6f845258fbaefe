#include "platform/paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "base/language.h"

namespace sorvanta::platform {
namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

// mkdir -p; existing folders are fine.
void MakeFolders(const std::string& path, mode_t mode = 0755) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') {
      std::string part = path.substr(0, pos);
      if (mkdir(part.c_str(), mode) != 0 && errno != EEXIST) return;
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

std::string CatalogueFolder() {
  const std::string forced = Env("SORVANTA_LOCALEDIR");
  if (!forced.empty()) return forced;
  const std::string program = ProgramFolder();
  for (const char* relative : {"/../share/locale", "/../../share/locale", "/../locale"}) {
    const std::string folder = program + relative;
    struct stat st;
    if (stat((folder + "/en/LC_MESSAGES/sorvanta.mo").c_str(), &st) == 0) return folder;
  }
  return "/usr/share/locale";
}

void UseEnvironmentLanguage() { UseLanguage(LanguageFromEnvironment(), CatalogueFolder()); }

bool SetWorkingDirectory(const std::string& path) { return chdir(path.c_str()) == 0; }

namespace {

// $HOME, else the user's passwd entry; empty when neither names a folder. Never a shared
// folder such as /tmp, where another user could have prepared the names.
std::string HomeFolder() {
  std::string home = Env("HOME");
  if (home.empty() || home[0] != '/') {
    const passwd* pw = getpwuid(getuid());
    home = (pw != nullptr && pw->pw_dir != nullptr) ? pw->pw_dir : "";
  }
  return (!home.empty() && home[0] == '/') ? home : std::string();
}

// An XDG base folder: the variable when it holds an absolute path, else ~/<fallback>;
// empty without a home folder.
std::string XdgFolder(const char* variable, const char* fallback) {
  std::string dir = Env(variable);
  if (dir.empty() || dir[0] != '/') {
    const std::string home = HomeFolder();
    if (home.empty()) return "";
    dir = JoinPath(home, fallback);
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

}  // namespace

std::string ProgramWriteFolder(const std::string& programFolder) {
  // Root may write anywhere, so an installed copy is recognised by its place as well.
  const bool system = programFolder == "/usr" || programFolder.rfind("/usr/", 0) == 0;
  if (!system && access(programFolder.c_str(), W_OK) == 0) return programFolder;
  const std::string state = XdgFolder("XDG_STATE_HOME", ".local/state");
  if (state.empty()) return "";
  std::string dir = JoinPath(state, "sorvanta");
  MakeFolders(dir, 0700);
  return dir;
}

std::string LocalAppDataFolder() {
  std::string dir = XdgFolder("XDG_DATA_HOME", ".local/share");
  if (!dir.empty()) MakeFolders(dir);
  return dir;
}

std::string ConfigFolder() {
  const std::string dir = XdgFolder("XDG_CONFIG_HOME", ".config");
  return dir.empty() ? dir : JoinPath(dir, "sorvanta");
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
