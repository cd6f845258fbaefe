// The drives an endurance test is meant for: mounted volumes of removable or USB disks.
#pragma once

#include <string>
#include <vector>

#include "platform/block_devices.h"

namespace sorvanta::usbtest {

// Mount points of the partitions of disks that are removable or sit on a USB bus, in
// disk order; empty when sysfs or mountinfo cannot be read.
std::vector<std::string> UsbTestDriveRoots(const platform::BlockRoots& roots = platform::BlockRoots());

}  // namespace sorvanta::usbtest
