// Writing a file whole through a temporary name that nobody could have prepared: the one
// way the program's own files (histories, settings, the kept machine id, the program file)
// are replaced, so that a link planted under a fixed name never redirects the write.
#pragma once

#include <sys/types.h>

#include <string>

#include "base/status.h"

namespace sorvanta::platform {

// A temporary file claimed in a folder: open for writing, created by this call.
struct ClaimedFile {
  int fd = -1;
  std::string path;
};

// Claims a fresh name folder + "/" + prefix + six random characters with
// O_CREAT|O_EXCL|O_NOFOLLOW (so never an existing file or a link), mode masked by the
// umask as for any new file. Retries taken names.
Result<ClaimedFile> ClaimTemporaryFile(const std::string& folder, const std::string& prefix,
                                       mode_t mode);

// Why this process must not write files into folder, or an empty text when it may: root
// does not write into a folder another user owns, where that user may swap names under it.
std::string ForeignFolderRefusal(const std::string& folder);

// Puts bytes at path as a whole: a claimed temporary file beside it is written, flushed
// and renamed over path, then the folder is flushed. path must be absolute. Refused, with
// one log line saying why, in a folder ForeignFolderRefusal names. On any failure the
// temporary file is gone and path is as it was.
Status ReplaceFileContents(const std::string& path, const std::string& bytes, mode_t mode);

}  // namespace sorvanta::platform
