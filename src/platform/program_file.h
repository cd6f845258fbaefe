// The running program's own file, and replacing it with a new one in place.
#pragma once

#include <sys/types.h>

#include <string>

#include "base/status.h"

namespace sorvanta::platform {

// Full path of the running program file (from /proc/self/exe); empty when unknown.
std::string ProgramPath();

// True when bytes form an ELF executable (or position-independent executable) built for
// the machine this program runs on: same word size, byte order and processor.
bool IsRunnableHere(const std::string& bytes);

// True when this process may create and rename files in folder (false on a read-only
// mount or a folder owned by someone else, as for a program installed by a package).
bool IsWritableFolder(const std::string& folder);

// Whom this process acts for, as far as replacing its own program file is concerned.
struct ProcessIdentity {
  uid_t effectiveUid = 0;
  bool secure = false;  // AT_SECURE: started set-id or with more privilege than its caller
};
// This process's identity (geteuid, getauxval(AT_SECURE)).
ProcessIdentity OwnIdentity();

// Why a process acting as who must not replace the program file at path, or an empty text
// when it may: root (whose installed copies belong to the package manager), a set-id
// start, a file owned by another user than the effective one, or a file under /usr.
std::string ReplaceRefusal(const std::string& path, const ProcessIdentity& who);

// Replaces the file at path by bytes so that path names either the old file or the whole
// new one at every moment: the bytes are written to a temporary file beside it, made
// executable, flushed to disk, then renamed over path, and the folder is flushed. On any
// failure (full disk, short write, no permission) the temporary file is removed, path is
// left as it was. The new file keeps the old one's permission bits (never set-id or sticky), and the failure names the step and carries its errno.
Status ReplaceProgramFile(const std::string& path, const std::string& bytes);

}  // namespace sorvanta::platform
