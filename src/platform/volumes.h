// Mounted volumes: the Linux stand-in for drive letters.
//
// A volume root is the mount point of a mounted block-device file system, read from
// /proc/self/mountinfo; pseudo and network file systems are not volumes. All queries go
// through the current VolumeSource, which tests replace with a fake to add, remove and
// size volumes without touching the machine's own.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/status.h"

namespace sorvanta::platform {

// One line of mountinfo, octal escapes (\040 for a blank) decoded.
struct MountEntry {
  int mountId = -1;  // the kernel's id of this mount (reused once the mount is gone)
  unsigned major = 0;
  unsigned minor = 0;
  std::string root;        // path inside the file system that is mounted
  std::string mountPoint;  // where it is mounted
  std::string fsType;      // e.g. "ext4", "vfat", "fuseblk"
  std::string source;      // e.g. "/dev/sdb1"
};

// Parses the text of a mountinfo file; malformed lines are skipped.
std::vector<MountEntry> ParseMountInfo(const std::string& text);
// Reads <procRoot>/self/mountinfo; empty on failure.
std::vector<MountEntry> ReadMountInfo(const std::string& procRoot = "/proc");
// True for block-device file systems (ext4, vfat, ntfs, exfat, btrfs, xfs, fuseblk, ...),
// false for pseudo, virtual and network ones.
bool IsVolumeMount(const MountEntry& entry);

struct Volume {
  std::string root;    // mount point, e.g. "/media/user/USB"
  std::string device;  // e.g. "/dev/sdb1"
  std::string fsType;  // mountinfo type
  unsigned major = 0;
  unsigned minor = 0;
  int mountId = -1;    // mountinfo id of the mount (-1: unknown)
};

struct VolumeSpace {
  uint64_t freeBytes = 0;   // what this user can write (f_bavail * f_frsize)
  uint64_t totalBytes = 0;  // f_blocks * f_frsize
  uint64_t rootFreeBytes = 0;  // f_bfree * f_frsize: free blocks, those kept for root included (0: unknown)
};

class VolumeSource {
 public:
  virtual ~VolumeSource() = default;
  // Every mounted volume, ordered by root; a root mounted twice is listed once (the last mount).
  virtual std::vector<Volume> List() = 0;
  // Space of the file system holding path, or why it cannot be read.
  virtual Result<VolumeSpace> Space(const std::string& path) = 0;
  // The volume's label, or empty.
  virtual std::string Label(const Volume& volume) = 0;
};

// The real source over /proc/self/mountinfo, statvfs and /dev/disk/by-label.
VolumeSource& SystemVolumes();
// The current source (the real one unless a test installed another).
VolumeSource& Volumes();
// nullptr restores the real source.
void SetVolumeSourceForTesting(VolumeSource* source);

// Removes trailing slashes ("/media/u/USB/" -> "/media/u/USB"; "/" stays).
std::string NormalizeRoot(const std::string& path);
// The path is currently the root of a listed volume ("drive root exists").
bool IsVolumeRoot(const std::string& path);
// The listed volume whose root is path, if any.
std::optional<Volume> FindVolume(const std::string& root);
// Free and total bytes of the volume holding path; nullopt when unreadable.
std::optional<VolumeSpace> SpaceOf(const std::string& path);
// The file-system name a user knows: "FAT32" for vfat, "NTFS" for ntfs/ntfs3/fuseblk,
// "exFAT", else the type in upper case ("EXT4").
std::string FileSystemDisplayName(const std::string& fsType);
// Both paths exist and lie on the same file system (same st_dev).
bool SameFileSystem(const std::string& a, const std::string& b);

}  // namespace sorvanta::platform
