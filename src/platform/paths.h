// Where the program's files live on Linux.
#pragma once

#include <string>

namespace sorvanta::platform {

// Folder of the running program file (from /proc/self/exe), without a trailing "/".
std::string ProgramFolder();
// Folder for the files the program keeps beside itself (log/, the update script): the
// program's folder when this user may write there and it is not a system folder under /usr
// (a build tree), else $XDG_STATE_HOME/sorvanta (~/.local/state/sorvanta), created 0700
// when missing. No trailing "/".
std::string ProgramWriteFolder(const std::string& programFolder);
// Makes path the working directory; false when that fails.
bool SetWorkingDirectory(const std::string& path);
// $XDG_DATA_HOME, else ~/.local/share; created when missing. No trailing "/".
std::string LocalAppDataFolder();
// $XDG_CONFIG_HOME/sorvanta, else ~/.config/sorvanta; not created here. No trailing "/".
std::string ConfigFolder();
// $TMPDIR, else /tmp/; always ends in "/".
std::string TempFolder();
// a + "/" + b without doubling the separator.
std::string JoinPath(const std::string& a, const std::string& b);

}  // namespace sorvanta::platform
