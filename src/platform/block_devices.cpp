#include "platform/block_devices.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <set>
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

// Undoes udev's "\xNN" escapes (ID_MODEL_ENC, ID_FS_LABEL_ENC, by-label link names).
std::string DecodeUdev(const std::string& s) { return DecodeHexEscapes(s); }

std::string DiskModel(const BlockRoots& roots, const std::string& dir, const BlockDisk& disk) {
  std::string model = ReadAttr(dir + "/device/model");
  std::string vendor = ReadAttr(dir + "/device/vendor");
  // SCSI-attached SATA disks show only the 16 characters of the INQUIRY product field;
  // udev keeps the drive's whole model name, which is what the ranking and history use.
  std::string udev = Trim(DecodeUdev(UdevValue(roots, disk.major, disk.minor, "ID_MODEL_ENC")));
  if (udev.empty()) {
    udev = UdevValue(roots, disk.major, disk.minor, "ID_MODEL");
    std::replace(udev.begin(), udev.end(), '_', ' ');
    udev = Trim(udev);
  }
  if (udev.size() > model.size()) model = udev;
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

// Volume roots of one block device: the volume mounts with its device number or one of
// its source names. Bind mounts (a root other than "/") are left out; a device mounted
// only below its top (btrfs subvolumes) keeps the mounts with the shortest root.
std::vector<std::string> MountPointsOf(const std::vector<MountEntry>& mounts, unsigned major, unsigned minor,
                                       const std::vector<std::string>& sources) {
  std::vector<const MountEntry*> found;
  for (const MountEntry& m : mounts) {
    if (!IsVolumeMount(m)) continue;
    bool same = (m.major == major && m.minor == minor && major != 0) ||
                std::find(sources.begin(), sources.end(), m.source) != sources.end();
    if (same) found.push_back(&m);
  }
  // Every root starts with "/", so when the top itself is mounted only "/" is shortest.
  size_t shortest = std::string::npos;
  for (const MountEntry* m : found) shortest = std::min(shortest, m->root.size());
  std::vector<std::string> points;
  for (const MountEntry* m : found)
    if (m->root.size() == shortest) points.push_back(m->mountPoint);
  std::sort(points.begin(), points.end());
  points.erase(std::unique(points.begin(), points.end()), points.end());
  return points;
}

void AddPoints(std::vector<std::string>* to, const std::vector<std::string>& points) {
  to->insert(to->end(), points.begin(), points.end());
  std::sort(to->begin(), to->end());
  to->erase(std::unique(to->begin(), to->end()), to->end());
}

}  // namespace

std::string DecodeHexEscapes(const std::string& s) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x' && hex(s[i + 2]) >= 0 && hex(s[i + 3]) >= 0) {
      out += static_cast<char>(hex(s[i + 2]) * 16 + hex(s[i + 3]));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

Result<std::vector<BlockDisk>> ReadBlockDisks(const BlockRoots& roots) {
  std::vector<BlockDisk> found;
  std::vector<BlockDisk>* disks = &found;
  std::vector<std::string> names;
  int error = 0;
  if (!ListDir(roots.sys + "/block", &names, &error)) return Status::FromErrno(error, "read " + roots.sys + "/block");
  std::ifstream mountinfo(roots.proc + "/self/mountinfo");
  if (!mountinfo) return Status::FromErrno(errno ? errno : ENOENT, "read " + roots.proc + "/self/mountinfo");
  std::stringstream text;
  text << mountinfo.rdbuf();
  std::vector<MountEntry> mounts = ParseMountInfo(text.str());

  // Where each block device lies on the physical disks: disk index and partition name
  // ("" for the whole disk).
  using Leaf = std::pair<size_t, std::string>;
  std::map<std::string, Leaf> leafOf;
  std::vector<std::string> virtualNames;
  for (const std::string& name : names) {
    std::string dir = roots.sys + "/block/" + name;
    // Virtual block devices (loop, zram, dm, md) have no device behind them.
    if (!Exists(dir + "/device")) {
      virtualNames.push_back(name);
      continue;
    }
    if (ReadAttr(dir + "/device/type") == "5") continue;  // optical drive
    BlockDisk disk;
    disk.name = name;
    ParseDev(ReadAttr(dir + "/dev"), &disk.major, &disk.minor);
    disk.model = DiskModel(roots, dir, disk);
    disk.serial = DiskSerial(roots, dir, disk);
    disk.removable = ReadAttr(dir + "/removable") == "1";
    leafOf[name] = {disks->size(), ""};

    std::vector<std::string> entries;
    ListDir(dir, &entries, nullptr);
    for (const std::string& entry : entries) {
      std::string partDir = dir + "/" + entry;
      if (!Exists(partDir + "/partition")) continue;
      BlockPartition part;
      part.name = entry;
      if (!ParseDev(ReadAttr(partDir + "/dev"), &part.major, &part.minor)) continue;
      // btrfs shows an anonymous device number, so the source names the partition too.
      part.mountPoints = MountPointsOf(mounts, part.major, part.minor, {"/dev/" + part.name});
      leafOf[entry] = {disks->size(), entry};
      disk.partitions.push_back(std::move(part));
    }
    // A file system on the whole disk (no partition table) counts as its partition.
    std::vector<std::string> whole = MountPointsOf(mounts, disk.major, disk.minor, {"/dev/" + name});
    if (!whole.empty()) {
      BlockPartition part;
      part.name = name;
      part.major = disk.major;
      part.minor = disk.minor;
      part.mountPoints = whole;
      disk.partitions.insert(disk.partitions.begin(), std::move(part));
    }
    disks->push_back(std::move(disk));
  }

  // The physical leaves under a device-mapper or md device, following slaves/ down.
  std::function<void(const std::string&, int, std::set<Leaf>*)> leaves = [&](const std::string& name, int depth,
                                                                            std::set<Leaf>* out) {
    auto it = leafOf.find(name);
    if (it != leafOf.end()) {
      out->insert(it->second);
      return;
    }
    if (depth > 8) return;
    std::vector<std::string> slaves;
    ListDir(roots.sys + "/block/" + name + "/slaves", &slaves, nullptr);
    for (const std::string& slave : slaves) leaves(slave, depth + 1, out);
  };
  for (const std::string& name : virtualNames) {
    std::set<Leaf> found;
    leaves(name, 0, &found);
    if (found.empty()) continue;
    std::string dir = roots.sys + "/block/" + name;
    // The device itself and its partitions (md0p1), each under every name it is mounted by.
    std::vector<std::pair<std::string, std::string>> devices = {{name, ReadAttr(dir + "/dev")}};
    std::vector<std::string> entries;
    ListDir(dir, &entries, nullptr);
    for (const std::string& entry : entries)
      if (Exists(dir + "/" + entry + "/partition")) devices.push_back({entry, ReadAttr(dir + "/" + entry + "/dev")});
    std::string dmName = ReadAttr(dir + "/dm/name");
    std::string mdName = ReadAttr(dir + "/md/name");  // not every kernel has it
    std::vector<std::string> points;
    for (const auto& [dev, number] : devices) {
      unsigned major = 0, minor = 0;
      ParseDev(number, &major, &minor);
      std::vector<std::string> sources = {"/dev/" + dev};
      if (dev == name && !dmName.empty()) sources.push_back("/dev/mapper/" + dmName);
      if (dev == name && !mdName.empty()) sources.push_back("/dev/md/" + mdName);
      AddPoints(&points, MountPointsOf(mounts, major, minor, sources));
    }
    if (points.empty()) continue;
    for (const Leaf& leaf : found) {
      BlockDisk& disk = (*disks)[leaf.first];
      std::string partName = leaf.second.empty() ? disk.name : leaf.second;
      auto part = std::find_if(disk.partitions.begin(), disk.partitions.end(),
                               [&](const BlockPartition& p) { return p.name == partName; });
      if (part == disk.partitions.end()) {
        BlockPartition whole;
        whole.name = disk.name;
        whole.major = disk.major;
        whole.minor = disk.minor;
        disk.partitions.insert(disk.partitions.begin(), std::move(whole));
        part = disk.partitions.begin();
      }
      AddPoints(&part->mountPoints, points);
    }
  }
  return found;
}

}  // namespace sorvanta::platform
