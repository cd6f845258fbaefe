// Physical disks and their partitions from sysfs, and where the partitions are mounted.
//
// Everything is read below root folders (normally "/sys", "/proc" and "/run") that tests
// point at fake trees. A physical disk is a /sys/block entry with a device behind it, so
// loop, zram, device-mapper and md devices are not disks themselves, and optical drives are
// left out. A file system on a whole disk counts as a partition of that disk (named like
// the disk), and a volume on device-mapper (LVM, dm-crypt) or md is listed under the
// partitions (or whole disks) it is built on, found through slaves/.
#pragma once

#include <string>
#include <vector>

#include "base/status.h"

namespace sorvanta::platform {

struct BlockRoots {
  std::string sys = "/sys";
  std::string proc = "/proc";
  std::string run = "/run";  // udev data under <run>/udev/data
};

struct BlockPartition {
  std::string name;  // e.g. "sda1", "nvme0n1p2"
  unsigned major = 0;
  unsigned minor = 0;
  std::vector<std::string> mountPoints;  // volume roots of this partition, ascending
};

struct BlockDisk {
  std::string name;    // e.g. "sda"
  std::string model;   // vendor and model as a user knows the drive; the name when unknown
  std::string serial;  // empty when the disk reports none
  bool removable = false;
  unsigned major = 0;
  unsigned minor = 0;
  std::vector<BlockPartition> partitions;  // ascending by name
};

// Undoes "\xNN" escapes (udev's way of writing blanks and other bytes in names and values).
std::string DecodeHexEscapes(const std::string& text);

// Reads the physical disks, their partitions and the partitions' volume roots, ascending by
// name. Fails (with the errno) when <sys>/block or <proc>/self/mountinfo cannot be read.
Result<std::vector<BlockDisk>> ReadBlockDisks(const BlockRoots& roots);

}  // namespace sorvanta::platform
