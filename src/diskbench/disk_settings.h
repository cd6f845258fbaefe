// What the disk benchmark window remembers between starts: the write size chosen beside
// the drive box, in a small "key=value" file of this user's configuration folder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace sorvanta::diskbench {

// <configuration folder>/disk.conf ($XDG_CONFIG_HOME/sorvanta, else ~/.config/sorvanta),
// beside the endurance test's usbtest.conf.
std::string DiskSettingsPath();

// The remembered write size in bytes ("write_size_gib=N" with N one of the offered sizes);
// nullopt for a missing or unreadable file or any other value.
std::optional<uint64_t> LoadDiskWriteSize(const std::string& path);

// Replaces the file with the size (whole GiB) through platform::ReplaceFileContents (a
// claimed temporary name, flushed, renamed). The folder is created when missing. False
// when it could not be written; the old file stays.
bool SaveDiskWriteSize(const std::string& path, uint64_t bytes);

}  // namespace sorvanta::diskbench
