// Where the program's files live on Linux.
#pragma once

#include <string>

namespace sorvanta::platform {

// Folder of the running program file (from /proc/self/exe), without a trailing "/".
std::string ProgramFolder();
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
