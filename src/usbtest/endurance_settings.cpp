#include "usbtest/endurance_settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>

#include "platform/file_replace.h"
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
  return platform::ReplaceFileContents(path, text, 0644).ok();
}

}  // namespace sorvanta::usbtest
