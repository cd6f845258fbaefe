// The volume list of the capacity-check window: removable drives first, each with its size
// and label, so that a stick just plugged in is easy to pick, and the volume that holds the
// running system marked, so that it is never picked by default and never filled unasked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "capacity/capacity_run.h"
#include "platform/block_devices.h"

namespace sorvanta::capacity {

struct VolumeChoice {
  std::string root;        // mount point
  std::string label;       // may be empty
  std::string fileSystem;  // display name, e.g. "FAT32"
  uint64_t totalBytes = 0;
  bool removable = false;  // on a removable or USB disk
  bool system = false;     // holds the running system
};

// Where the facts about volumes come from; tests point them at fake trees and folders.
struct VolumeFacts {
  platform::BlockRoots block;
  // A volume holding one of these paths holds the running system.
  std::vector<std::string> systemPaths = {"/", "/usr", "/boot", "/boot/efi"};
};

// Every readable volume (as ListCapacityVolumes), ordered by OrderVolumeChoices.
std::vector<VolumeChoice> ListVolumeChoices(const VolumeFacts& facts = {});
// Removable volumes first, then the others; each group in root order.
void OrderVolumeChoices(std::vector<VolumeChoice>* choices);
// The entry to select when the list is built: the first that is not a system volume; -1 when
// every volume is one.
int PreselectedVolume(const std::vector<VolumeChoice>& choices);
// The volume at root is on the same file system as one of the system paths.
bool IsSystemVolume(const std::string& root, const VolumeFacts& facts = {});

// The list entry, e.g. "/media/u/USB  (可移动, 7.45 GB, MYUSB)" or "/  (系统, 29.40 GB)".
std::string VolumeChoiceText(const VolumeChoice& choice);
// "60 MB", "7.45 GB", "1.82 TB" (binary units, as the free-space field).
std::string SizeText(uint64_t bytes);
// The question before every run that writes, naming the volume, its size and the amount that
// will be written.
std::string RunQuestion(const std::string& root, uint64_t totalBytes, uint64_t freeBytes, CapacityMode mode);
// The second question before a run on the system volume, naming its mount point.
std::string SystemVolumeQuestion(const std::string& root, CapacityMode mode);

}  // namespace sorvanta::capacity
