// Which physical disk each mounted volume belongs to, with the disk's model and serial.
//
// Called from the disk benchmark window's thread: Init when it opens, Enumerate when it
// opens and on refresh, Release when it closes. The disks come from sysfs and the volume
// roots from mountinfo (platform/block_devices.h). Diagnostic lines go to the stream the
// caller gives; without one they are discarded.
#pragma once

#include <ostream>
#include <map>
#include <string>
#include <vector>

#include "platform/block_devices.h"

namespace sorvanta {

// One mounted volume of a physical disk.
struct DiskEntry {
  std::string serial;              // the disk's serial number; empty when it reports none
  std::vector<std::string> roots;  // volume roots (mount points), as a rule exactly one
  std::string model;               // the disk's model as a user knows it
  bool removable = false;          // a removable medium (no TRIM before a run)
};

// Keyed by model + "/" + root, in ascending byte order.
using DiskList = std::map<std::string, DiskEntry>;

// A stream that drops whatever is written to it (one per thread): the default diagnostics.
std::ostream& DiscardedDiagnostics();

// Opens the identification over the given roots (the real /sys, /proc and /run by
// default). 0 on success; 1 when the disk tree cannot be read, with a message in *error.
int InitDiskIdentification(const platform::BlockRoots& roots = {}, std::string* error = nullptr,
                           std::ostream& out = DiscardedDiagnostics());
// Adds one entry per mounted volume of every physical disk that has partitions. False when
// reading failed (the identification is then closed; entries added before stay) or when
// it is not open.
bool EnumerateDisks(DiskList& list, std::ostream& out = DiscardedDiagnostics());
// Closes the identification; harmless when it is not open.
void ReleaseDiskIdentification();

}  // namespace sorvanta
