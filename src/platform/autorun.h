// Removal of "autorun.inf" entries from the roots of mounted volumes.
//
// At start-up the program deletes every "autorun.inf" file or folder (the name in any mix
// of cases) that sits directly in a volume root (the volumes of platform/volumes.h).
// Nothing else is ever touched: symbolic links are removed as links and never followed,
// an entry that is itself a mount point is left alone, and a folder is emptied without
// entering another mount. Failures are silent; the loop goes on.
#pragma once

#include <string>
#include <vector>

namespace sorvanta::platform {

// What happened to the entry of one volume root.
enum class AutorunOutcome {
  kAbsent,    // no "autorun.inf" at this root
  kSkipped,   // left alone: a read-only file system, or a mount point
  kRemoved,   // the entry is gone
  kFailed,    // a deletion failed; what could be removed was removed
};

struct AutorunResult {
  std::string root;
  AutorunOutcome outcome = AutorunOutcome::kAbsent;
};

// Removes "<root>/autorun.inf" (file, link or folder with all its content) from one root;
// with several spellings present, all go and the worst outcome is returned.
AutorunOutcome RemoveAutorunEntry(const std::string& root);

// Runs RemoveAutorunEntry over every volume of Volumes(), in list order.
std::vector<AutorunResult> RemoveAutorunEntries();

}  // namespace sorvanta::platform
