#include "platform/block_devices.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "platform/volumes.h"

namespace sorvanta::platform {
namespace {

std::string Trim(std::string s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// The first line of a small attribute file, trimmed; empty when missing.
std::string ReadAttr(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return {};
  return Trim(line);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

bool ParseDev(const std::string& text, unsigned* major, unsigned* minor) {
  return std::sscanf(text.c_str(), "%u:%u", major, minor) == 2;
}

// Sorted names of the entries of a folder (no dot entries); false when it cannot be opened.
bool ListDir(const std::string& path, std::vector<std::string>* names, int* error) {
  DIR* dir = opendir(path.c_str());
  if (!dir) {
    if (error) *error = errno;
    return false;
  }
  while (dirent* ent = readdir(dir)) {
    std::string name = ent->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  closedir(dir);
  std::sort(names->begin(), names->end());
  return true;
}

// A value of the disk's udev database entry ("E:KEY=value"), or empty.
std::string UdevValue(const BlockRoots& roots, unsigned major, unsigned minor, const std::string& key) {
  std::ifstream in(roots.run + "/udev/data/b" + std::to_string(major) + ":" + std::to_string(minor));
  std::string line;
  const std::string prefix = "E:" + key + "=";
  while (std::getline(in, line)) {
    if (line.rfind(prefix, 0) == 0) return Trim(line.substr(prefix.size()));
  }
  return {};
}

std::string DiskModel(const BlockRoots& roots, const std::string& dir, const BlockDisk& disk) {
  std::string model = ReadAttr(dir + "/device/model");
  std::string vendor = ReadAttr(dir + "/device/vendor");
  if (model.empty()) {
    model = UdevValue(roots, disk.major, disk.minor, "ID_MODEL");
    std::replace(model.begin(), model.end(), '_', ' ');
  }
  if (model.empty()) return disk.name;
  // SATA disks report the bus ("ATA") as vendor and virtio a PCI id; neither names the maker.
  bool vendorUseful = !vendor.empty() && vendor != "ATA" && vendor.rfind("0x", 0) != 0 &&
                      model.rfind(vendor, 0) != 0;
  return vendorUseful ? vendor + " " + model : model;
}

std::string DiskSerial(const BlockRoots& roots, const std::string& dir, const BlockDisk& disk) {
  std::string serial = ReadAttr(dir + "/device/serial");
  if (serial.empty()) serial = ReadAttr(dir + "/serial");
  if (serial.empty()) serial = UdevValue(roots, disk.major, disk.minor, "ID_SERIAL_SHORT");
  return serial;
}

}  // namespace

bool ReadBlockDisks(const BlockRoots& roots, std::vector<BlockDisk>* disks, int* error) {
  disks->clear();
  if (error) *error = 0;
  std::vector<std::string> names;
  if (!ListDir(roots.sys + "/block", &names, error)) return false;
  std::ifstream mountinfo(roots.proc + "/self/mountinfo");
  if (!mountinfo) {
    if (error) *error = errno ? errno : ENOENT;
    return false;
  }
  std::stringstream text;
  text << mountinfo.rdbuf();
  std::vector<MountEntry> mounts = ParseMountInfo(text.str());

  for (const std::string& name : names) {
    std::string dir = roots.sys + "/block/" + name;
    // Virtual block devices (loop, zram, dm, md) have no device behind them.
    if (!Exists(dir + "/device")) continue;
    if (ReadAttr(dir + "/device/type") == "5") continue;  // optical drive
    BlockDisk disk;
    disk.name = name;
    ParseDev(ReadAttr(dir + "/dev"), &disk.major, &disk.minor);
    disk.model = DiskModel(roots, dir, disk);
    disk.serial = DiskSerial(roots, dir, disk);
    disk.removable = ReadAttr(dir + "/removable") == "1";

    std::vector<std::string> entries;
    ListDir(dir, &entries, nullptr);
    for (const std::string& entry : entries) {
      std::string partDir = dir + "/" + entry;
      if (!Exists(partDir + "/partition")) continue;
      BlockPartition part;
      part.name = entry;
      if (!ParseDev(ReadAttr(partDir + "/dev"), &part.major, &part.minor)) continue;
      for (const MountEntry& m : mounts) {
        if (!IsVolumeMount(m)) continue;
        // btrfs shows an anonymous device number, so the source names the partition too.
        bool same = (m.major == part.major && m.minor == part.minor) || m.source == "/dev/" + part.name;
        if (same) part.mountPoints.push_back(m.mountPoint);
      }
      std::sort(part.mountPoints.begin(), part.mountPoints.end());
      part.mountPoints.erase(std::unique(part.mountPoints.begin(), part.mountPoints.end()),
                             part.mountPoints.end());
      disk.partitions.push_back(std::move(part));
    }
    disks->push_back(std::move(disk));
  }
  return true;
}

}  // namespace sorvanta::platform
