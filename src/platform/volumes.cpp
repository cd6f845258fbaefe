#include "platform/volumes.h"

#include "platform/block_devices.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <atomic>
#include <climits>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace sorvanta::platform {
namespace {

std::string DecodeOctalEscapes(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '7' && s[i + 2] >= '0' && s[i + 2] <= '7' &&
        s[i + 3] >= '0' && s[i + 3] <= '7') {
      out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}

const std::set<std::string>& BlockFsTypes() {
  static const std::set<std::string> types = {
      "ext2", "ext3", "ext4", "vfat", "msdos", "fat", "exfat", "ntfs", "ntfs3", "fuseblk",
      "btrfs", "xfs", "f2fs", "jfs", "reiserfs", "hfs", "hfsplus", "udf", "iso9660", "nilfs2",
      "bcachefs", "zfs"};
  return types;
}

class RealVolumes : public VolumeSource {
 public:
  std::vector<Volume> List() override {
    std::map<std::string, Volume> byRoot;
    std::vector<MountEntry> entries = ReadMountInfo();
    // Bind mounts show a part of a volume again (root other than "/"); they are not volume
    // roots. A device mounted only below its top (btrfs subvolumes) keeps its top-most mounts.
    std::map<std::string, size_t> shortest;
    auto device = [](const MountEntry& e) { return std::to_string(e.major) + ":" + std::to_string(e.minor) + e.source; };
    for (const MountEntry& e : entries) {
      if (!IsVolumeMount(e)) continue;
      auto it = shortest.find(device(e));
      if (it == shortest.end() || e.root.size() < it->second) shortest[device(e)] = e.root.size();
    }
    for (const MountEntry& e : entries) {
      if (!IsVolumeMount(e) || e.root.size() != shortest[device(e)]) continue;
      Volume v{e.mountPoint, e.source, e.fsType, e.major, e.minor, e.mountId};
      byRoot[e.mountPoint] = v;
    }
    std::vector<Volume> out;
    for (auto& [root, v] : byRoot) out.push_back(v);
    return out;
  }

  Result<VolumeSpace> Space(const std::string& path) override {
    struct statvfs st {};
    if (statvfs(path.c_str(), &st) != 0) return Status::FromErrno(errno, "statvfs " + path);
    VolumeSpace space;
    space.freeBytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
    space.totalBytes = static_cast<uint64_t>(st.f_blocks) * st.f_frsize;
    space.rootFreeBytes = static_cast<uint64_t>(st.f_bfree) * st.f_frsize;
    return space;
  }

  std::string Label(const Volume& volume) override {
    std::string label = LabelFromByLabel(volume);
    if (!label.empty()) return label;
    return LabelFromUdev(volume);
  }

 private:
  static std::string LabelFromByLabel(const Volume& volume) {
    const char* dirPath = "/dev/disk/by-label";
    DIR* dir = opendir(dirPath);
    if (!dir) return {};
    std::string found;
    while (dirent* ent = readdir(dir)) {
      std::string name = ent->d_name;
      if (name == "." || name == "..") continue;
      std::string link = std::string(dirPath) + "/" + name;
      struct stat st {};
      if (stat(link.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) continue;
      if (major(st.st_rdev) == volume.major && minor(st.st_rdev) == volume.minor) {
        found = DecodeHexEscapes(name);  // udev writes blanks and other bytes as \xNN
        break;
      }
    }
    closedir(dir);
    return found;
  }

  static std::string LabelFromUdev(const Volume& volume) {
    std::ifstream in("/run/udev/data/b" + std::to_string(volume.major) + ":" +
                     std::to_string(volume.minor));
    std::string line, plain, encoded;
    while (std::getline(in, line)) {
      if (line.rfind("E:ID_FS_LABEL=", 0) == 0) plain = line.substr(14);
      if (line.rfind("E:ID_FS_LABEL_ENC=", 0) == 0) encoded = DecodeHexEscapes(line.substr(18));
    }
    return encoded.empty() ? plain : encoded;  // the plain value has odd bytes replaced
  }
};

std::atomic<VolumeSource*> g_override{nullptr};

}  // namespace

std::vector<MountEntry> ParseMountInfo(const std::string& text) {
  std::vector<MountEntry> out;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    // id parent major:minor root mountpoint options [optional...] - fstype source superopts
    std::istringstream f(line);
    std::vector<std::string> fields;
    std::string w;
    while (f >> w) fields.push_back(w);
    auto dash = std::find(fields.begin(), fields.end(), "-");
    if (fields.size() < 6 || dash == fields.end() || dash - fields.begin() < 6 ||
        fields.end() - dash < 3)
      continue;
    MountEntry e;
    if (std::sscanf(fields[0].c_str(), "%d", &e.mountId) != 1) e.mountId = -1;
    unsigned maj = 0, min = 0;
    if (std::sscanf(fields[2].c_str(), "%u:%u", &maj, &min) != 2) continue;
    e.major = maj;
    e.minor = min;
    e.root = DecodeOctalEscapes(fields[3]);
    e.mountPoint = DecodeOctalEscapes(fields[4]);
    e.fsType = *(dash + 1);
    e.source = DecodeOctalEscapes(*(dash + 2));
    out.push_back(std::move(e));
  }
  return out;
}

std::vector<MountEntry> ReadMountInfo(const std::string& procRoot) {
  std::ifstream in(procRoot + "/self/mountinfo");
  if (!in) return {};
  std::stringstream ss;
  ss << in.rdbuf();
  return ParseMountInfo(ss.str());
}

bool IsVolumeMount(const MountEntry& e) {
  if (BlockFsTypes().count(e.fsType) == 0) return false;
  // A block file system needs a device behind it; btrfs reports an anonymous major 0.
  return e.source.rfind("/dev/", 0) == 0 || e.major != 0;
}

VolumeSource& SystemVolumes() {
  static RealVolumes real;
  return real;
}

VolumeSource& Volumes() {
  VolumeSource* o = g_override.load(std::memory_order_acquire);
  return o ? *o : SystemVolumes();
}

void SetVolumeSourceForTesting(VolumeSource* source) {
  g_override.store(source, std::memory_order_release);
}

std::string NormalizeRoot(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

std::optional<Volume> FindVolume(const std::string& root) {
  std::string want = NormalizeRoot(root);
  if (want.empty()) return std::nullopt;
  for (Volume& v : Volumes().List()) {
    if (v.root == want) return v;
  }
  return std::nullopt;
}

bool IsVolumeRoot(const std::string& path) { return FindVolume(path).has_value(); }

std::optional<VolumeSpace> SpaceOf(const std::string& path) {
  Result<VolumeSpace> space = Volumes().Space(path);
  if (!space.ok()) return std::nullopt;
  return space.value();
}

std::string FileSystemDisplayName(const std::string& fsType) {
  if (fsType == "vfat" || fsType == "msdos" || fsType == "fat") return "FAT32";
  if (fsType == "ntfs" || fsType == "ntfs3" || fsType == "fuseblk") return "NTFS";
  if (fsType == "exfat") return "exFAT";
  std::string up = fsType;
  for (char& c : up) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return up;
}

bool SameFileSystem(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev;
}

}  // namespace sorvanta::platform
