// What the capacity-check window and the command line hold: the volume list with each
// volume's label, file system and free bytes, and one run at a time on a worker thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "capacity/capacity_run.h"
#include "base/run_thread.h"

namespace sorvanta {

struct CapacityVolume {
  std::string root;        // mount point
  std::string label;       // may be empty
  std::string fileSystem;  // display name, e.g. "FAT32", "EXT4"
  uint64_t freeBytes = 0;
};

// Every mounted volume root whose information can be read, in root order.
std::vector<std::string> ListCapacityVolumes();
// Reads a volume's information; nullopt when root is not a readable mounted volume (the
// window then lists the volumes again).
std::optional<CapacityVolume> ReadCapacityVolume(const std::string& root);
// "%s, %s": label and file-system name.
std::string VolumeInfoText(const CapacityVolume& volume);
// "%.2f MB" of the free bytes, in single precision.
std::string FreeSpaceText(uint64_t freeBytes);

// Owns the pattern stream (seeded when the window opens) and the run's worker thread.
class CapacityCheck {
 public:
  explicit CapacityCheck(uint32_t seed);
  // Stops a run and waits for its worker: the run borrows the pattern stream and reporter.
  ~CapacityCheck();
  CapacityCheck(const CapacityCheck&) = delete;
  CapacityCheck& operator=(const CapacityCheck&) = delete;

  // Starts a run on a new worker thread; false when one is still active. The reporter must
  // stay valid until the run ended (Active() false or Wait() returned).
  bool Start(const CapacityOptions& options, CapacityReporter& reporter);
  // Like the Stop button: asks the run to end at its next block (the window disables the
  // button itself). Any thread.
  void Stop();
  // True from Start until the worker has finished, pause included: the window refuses to
  // close and ignores volume changes meanwhile.
  bool Active() const;
  // Waits for the worker and returns the result of the last run (nullopt if none ran).
  std::optional<CapacityResult> Wait();

 private:
  PatternStream stream_;
  RunThread<CapacityResult> worker_;
};

}  // namespace sorvanta
