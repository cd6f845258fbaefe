// Records every fsync and fdatasync the test program makes, by the path of the file, so that
// a test can check that data reached the device before what follows it (a power cut, a
// read-back). Referencing any function below links the recorder in front of the C library's
// calls, which it passes on unchanged. Syncs of a chosen path can be made to fail with EIO.
#pragma once

#include <string>
#include <vector>

namespace sorvanta::testing {

// Paths synced so far, in call order (one entry per call; deleted files end in " (deleted)").
std::vector<std::string> SyncedPaths();
int SyncCount(const std::string& path);
void ClearSyncs();
// Syncs of this path fail with EIO from now on, without syncing; an empty path clears it.
void FailSyncsOf(const std::string& path);

}  // namespace sorvanta::testing
