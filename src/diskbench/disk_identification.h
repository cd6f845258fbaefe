// Which physical disk each mounted volume belongs to, with the disk's model and serial.
//
// One DiskIdentification belongs to one owner (the disk benchmark's run logic, or a
// command) and is used from that owner's thread: Open when the window opens, Enumerate
// when it opens and on refresh, Release when it closes. The disks come from sysfs and the
// volume roots from mountinfo (platform/block_devices.h). Diagnostic lines go to the
// stream the caller gives; without one they are discarded.
#pragma once

#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/block_devices.h"

namespace sorvanta::diskbench {

// One mounted volume of a physical disk.
struct DiskEntry {
  std::string serial;              // the disk's serial number; empty when it reports none
  std::vector<std::string> roots;  // volume roots (mount points), as a rule exactly one
  std::string model;               // the disk's model as a user knows it
  bool removable = false;          // a removable medium (no TRIM before a run)
};

// Keyed by model + "/" + root, in ascending byte order.
using DiskList = std::map<std::string, DiskEntry>;

class DiskIdentification {
 public:
  // Opens the identification over the given roots (the real /sys, /proc and /run by
  // default). 0 on success; 1 when the disk tree cannot be read, with a message in *error.
  int Open(const platform::BlockRoots& roots, std::string* error, std::ostream& out);
  int Open(const platform::BlockRoots& roots = {}, std::string* error = nullptr);
  // Adds one entry per mounted volume of every physical disk that has partitions. False
  // when reading failed (the identification is then closed; entries added before stay) or
  // when it is not open.
  bool Enumerate(DiskList& list, std::ostream& out);
  bool Enumerate(DiskList& list);
  // Closes the identification; harmless when it is not open.
  void Release() { open_.reset(); }
  bool IsOpen() const { return open_.has_value(); }

 private:
  std::optional<platform::BlockRoots> open_;  // set while the identification is open
};

}  // namespace sorvanta::diskbench
