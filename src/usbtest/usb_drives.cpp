#include "usbtest/usb_drives.h"

#include <climits>
#include <cstdlib>

namespace sorvanta::usbtest {
namespace {

// USB disks that report themselves fixed (most USB hard disks and SSDs) still have a USB
// controller in their sysfs device path.
bool OnUsbBus(const platform::BlockRoots& roots, const std::string& name) {
  char resolved[PATH_MAX];
  std::string link = roots.sys + "/block/" + name;
  if (!::realpath(link.c_str(), resolved)) return false;
  return std::string(resolved).find("/usb") != std::string::npos;
}

}  // namespace

std::vector<std::string> UsbTestDriveRoots(const platform::BlockRoots& roots) {
  std::vector<std::string> result;
  const Result<std::vector<platform::BlockDisk>> disks = platform::ReadBlockDisks(roots);
  if (!disks.ok()) return result;
  for (const platform::BlockDisk& disk : disks.value()) {
    if (!disk.removable && !OnUsbBus(roots, disk.name)) continue;
    for (const platform::BlockPartition& part : disk.partitions) {
      result.insert(result.end(), part.mountPoints.begin(), part.mountPoints.end());
    }
  }
  return result;
}

}  // namespace sorvanta::usbtest
