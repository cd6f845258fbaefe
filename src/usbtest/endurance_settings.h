// What the endurance test window remembers between starts: the last copy file, drive and
// switch address, kept in a small text file under the configuration folder.
#pragma once

#include <string>

namespace sorvanta::usbtest {

struct UsbTestSettings {
  std::string copyFile;       // "copy_file": source file of the last run or choice
  std::string driveRoot;      // "drive": mount point of the drive
  std::string switchAddress;  // "switch": host:port of the switch
};

// <configuration folder>/usbtest.conf ($XDG_CONFIG_HOME/sorvanta, else ~/.config/sorvanta).
std::string UsbTestSettingsPath();

// Reads "key=value" lines; a missing or unreadable file and unknown keys give empty fields.
UsbTestSettings LoadUsbTestSettings(const std::string& path);

// Replaces the file atomically (a synced temporary file renamed over it), creating its
// folder when missing; values holding a line break are left out. False when the file
// could not be written, in which case the old one stays as it was.
bool SaveUsbTestSettings(const std::string& path, const UsbTestSettings& settings);

}  // namespace sorvanta::usbtest
