#include "usbtest/endurance_settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

#include "platform/paths.h"

namespace sorvanta::usbtest {
namespace {

// mkdir -p for the settings folder; existing folders are fine.
bool MakeFolders(const std::string& path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos == path.size() || path[pos] == '/') {
      std::string part = path.substr(0, pos);
      if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void AddLine(std::string* text, const char* key, const std::string& value) {
  if (value.find_first_of("\r\n") != std::string::npos) return;
  *text += std::string(key) + "=" + value + "\n";
}

}  // namespace

std::string UsbTestSettingsPath() { return platform::JoinPath(platform::ConfigFolder(), "usbtest.conf"); }

UsbTestSettings LoadUsbTestSettings(const std::string& path) {
  UsbTestSettings settings;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq);
    std::string value = line.substr(eq + 1);
    if (key == "copy_file") {
      settings.copyFile = value;
    } else if (key == "drive") {
      settings.driveRoot = value;
    } else if (key == "switch") {
      settings.switchAddress = value;
    }
  }
  return settings;
}

bool SaveUsbTestSettings(const std::string& path, const UsbTestSettings& settings) {
  std::string text;
  AddLine(&text, "copy_file", settings.copyFile);
  AddLine(&text, "drive", settings.driveRoot);
  AddLine(&text, "switch", settings.switchAddress);

  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  if (!MakeFolders(folder)) return false;
  const std::string temp = path + ".tmp";
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, text) && ::fsync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    ::unlink(temp.c_str());
    return false;
  }
  // The rename itself becomes durable with the folder's entry.
  int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace sorvanta::usbtest
