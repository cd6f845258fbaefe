// A whole disk as raw bytes, for tests that write at chosen places of a drive and put back
// what was there: what the disk is (whole or partition, removable, size, where it is
// mounted) and exclusive unbuffered access to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/status.h"
#include "platform/block_devices.h"

namespace sorvanta::platform {

struct WholeDiskInfo {
  std::string path;  // the device node, links resolved, e.g. "/dev/sdb"
  std::string name;  // e.g. "sdb"
  bool blockDevice = false;  // false: a file, a folder or something else
  bool wholeDisk = false;    // false: a partition (or not a block device)
  bool removable = false;    // marked removable, or attached through USB
  uint64_t sizeBytes = 0;
  std::vector<std::string> mountPoints;  // of the disk and its partitions, ascending
  bool held = false;  // another device (device-mapper, md) is built on it
};

// Looks at device through <sys>/class/block and <proc>/self/mountinfo. Fails when device
// does not exist.
Result<WholeDiskInfo> InspectWholeDisk(const std::string& device, const BlockRoots& roots = {});

// Unmounts every mount point, the deepest first; stops at the first failure.
Status UnmountAll(std::vector<std::string> mountPoints);

// A block device (or, for tests, an image file) opened for reading and writing with
// O_DIRECT, and with O_EXCL so that the kernel refuses while a file system on it is mounted.
class RawDisk {
 public:
  static Result<std::unique_ptr<RawDisk>> Open(const std::string& path);
  ~RawDisk();
  RawDisk(const RawDisk&) = delete;
  RawDisk& operator=(const RawDisk&) = delete;

  uint64_t Size() const { return size_; }
  // Whole 4096-byte sectors from and to 4096-aligned buffers; false on a failure or a short
  // transfer, with the errno in LastError().
  bool Read(uint64_t offset, uint8_t* data, size_t len);
  bool Write(uint64_t offset, const uint8_t* data, size_t len);
  // fsync: everything written is on the medium.
  bool Flush();
  int LastError() const { return lastError_; }

 private:
  RawDisk(int fd, uint64_t size) : fd_(fd), size_(size) {}
  int fd_;
  uint64_t size_;
  int lastError_ = 0;
};

}  // namespace sorvanta::platform
