// Removal of "autorun.inf" entries from the roots of mounted volumes.
//
// At start-up the program deletes every "autorun.inf" file or folder that sits directly
// in a volume root (the volumes of platform/volumes.h). Nothing else is ever touched:
// symbolic links are removed as links and never followed, and a folder is emptied
// without leaving its own file system. Failures are silent; the loop goes on.
#pragma once

#include <string>
#include <vector>

namespace sorvanta::platform {

// What happened to the entry of one volume root.
enum class AutorunOutcome {
  kAbsent,    // no "autorun.inf" at this root
  kSkipped,   // the entry could not be made writable (read-only file system): left alone
  kRemoved,   // the entry is gone
  kFailed,    // a deletion failed; what could be removed was removed
};

struct AutorunResult {
  std::string root;
  AutorunOutcome outcome = AutorunOutcome::kAbsent;
};

// Removes "<root>/autorun.inf" (file, link or folder with all its content) from one root.
AutorunOutcome RemoveAutorunEntry(const std::string& root);

// Runs RemoveAutorunEntry over every volume of Volumes(), in list order.
std::vector<AutorunResult> RemoveAutorunEntries();

}  // namespace sorvanta::platform
