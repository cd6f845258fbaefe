// Prefilling a volume before a disk benchmark row: the step plan and the fill files.
//
// A step adds files until the volume is 50 % or 90 % used: 1 GiB chunk files
// "prewritefile<s>_<j>" and one remainder file "prewritefileE_<s>", in the folder the disk
// test file uses (TestFileFolder: the first folder on that file system this user may
// write). Each name is claimed (O_EXCL|O_NOFOLLOW); a name already taken, by a file or a
// link, is left alone and the next free one ("..._1", "..._2", ...) used. The space is
// reserved for real (fallocate; where the file system cannot allocate, the file is
// written), since a sparse file would leave the volume as empty as before.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sorvanta::diskbench {

constexpr uint64_t kGiB = 1073741824ull;

struct PrefillStep {
  uint64_t amount = 0;  // bytes to add before the row's measurements
  int row = 1;          // 1 (50 %) or 2 (90 %)
};

struct PrefillPlan {
  std::vector<PrefillStep> steps;  // 0, 1 or 2 steps, 50 % first
  int refusedPercent = 0;          // 50 or 90 when that step would leave less than minFree
};

// The steps for the checked boxes on a volume of total bytes with free bytes free. A target
// already reached adds no step; the 90 % step adds only what the 50 % step leaves to do.
PrefillPlan PlanPrefill(bool fill50, bool fill90, uint64_t totalBytes, uint64_t freeBytes,
                        uint64_t minFreeBytes = 20 * kGiB);

std::string PrefillChunkName(int step, uint64_t chunk);  // "prewritefile<s>_<j>"
std::string PrefillRemainderName(int step);              // "prewritefileE_<s>"

// Creates a new file (EEXIST when the name is taken) of exactly size bytes whose space is
// reserved on the medium: allocated when the file system can, else written (and flushed).
// On failure a file it created is removed and *error holds the errno.
bool CreateFilledFile(const std::string& path, uint64_t size, int* error);
// CreateFilledFile under the first free name of name, name_1, name_2, ... in folder; *path
// is the file made (or the last name tried).
bool ClaimFilledFile(const std::string& folder, const std::string& name, uint64_t size, std::string* path,
                     int* error);

}  // namespace sorvanta::diskbench
