// Where the program's files live on Linux.
#pragma once

#include <string>

#include "base/language.h"

namespace sorvanta::platform {

// Folder of the running program file (from /proc/self/exe), without a trailing "/".
std::string ProgramFolder();
// Folder for the files the program keeps beside itself (log/, the update script): the
// program's folder when this user may write there and it is not a system folder under /usr
// (a build tree), else $XDG_STATE_HOME/sorvanta (~/.local/state/sorvanta), created 0700
// when missing. No trailing "/". Empty when neither applies: no HOME and no passwd entry.
std::string ProgramWriteFolder(const std::string& programFolder);
// Printed when ProgramWriteFolder is empty: why no log or record is written.
inline constexpr char kNoHomeFolderText[] =
    N_("无法确定用户主目录（HOME 未设置，当前用户也没有 passwd 条目）：本次不写日志和记录文件。");
// The folder holding the English catalogue (en/LC_MESSAGES/sorvanta.mo): $SORVANTA_LOCALEDIR
// when set, else the first of <program>/../share/locale (installed in /usr/bin),
// <program>/../../share/locale (/usr/libexec/sorvanta) and <program>/../locale (a build tree)
// that holds it, else the installed /usr/share/locale.
std::string CatalogueFolder();
// Chooses the language from the environment (LanguageFromEnvironment) and uses it with the
// catalogue of CatalogueFolder; the start of every program calls this.
void UseEnvironmentLanguage();
// Makes path the working directory; false when that fails.
bool SetWorkingDirectory(const std::string& path);
// $XDG_DATA_HOME, else ~/.local/share; created when missing. No trailing "/". Like the
// folders below, empty without a home folder (HOME unset and no passwd entry): user files
// are then not kept, never put into a shared folder.
std::string LocalAppDataFolder();
// $XDG_CONFIG_HOME/sorvanta, else ~/.config/sorvanta; not created here. No trailing "/";
// empty without a home folder.
std::string ConfigFolder();
// $TMPDIR, else /tmp/; always ends in "/".
std::string TempFolder();
// a + "/" + b without doubling the separator.
std::string JoinPath(const std::string& a, const std::string& b);

}  // namespace sorvanta::platform
