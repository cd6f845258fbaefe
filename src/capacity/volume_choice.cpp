#include "capacity/volume_choice.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <system_error>
#include <utility>

#include "base/language.h"
#include "base/text.h"
#include "platform/volumes.h"

namespace sorvanta::capacity {
namespace {

using DevNumber = std::pair<unsigned, unsigned>;

// The block devices (disks and partitions) that sit on a removable or USB disk, by number
// and by name. Sticks that call themselves fixed disks still hang below a USB port in sysfs.
void RemovableDevices(const platform::BlockRoots& roots, std::map<DevNumber, bool>* byNumber,
                      std::map<std::string, bool>* byName) {
  const Result<std::vector<platform::BlockDisk>> disks = platform::ReadBlockDisks(roots);
  if (!disks.ok()) return;
  for (const platform::BlockDisk& disk : disks.value()) {
    bool removable = disk.removable;
    if (!removable) {
      std::error_code ec;
      std::filesystem::path device = std::filesystem::canonical(roots.sys + "/block/" + disk.name, ec);
      removable = !ec && device.string().find("/usb") != std::string::npos;
    }
    (*byNumber)[{disk.major, disk.minor}] = removable;
    (*byName)["/dev/" + disk.name] = removable;
    for (const platform::BlockPartition& part : disk.partitions) {
      (*byNumber)[{part.major, part.minor}] = removable;
      (*byName)["/dev/" + part.name] = removable;
    }
  }
}

}  // namespace

std::vector<VolumeChoice> ListVolumeChoices(const VolumeFacts& facts) {
  std::map<DevNumber, bool> byNumber;
  std::map<std::string, bool> byName;
  RemovableDevices(facts.block, &byNumber, &byName);
  std::vector<VolumeChoice> choices;
  for (const platform::Volume& v : platform::Volumes().List()) {
    std::optional<platform::VolumeSpace> space = platform::SpaceOf(v.root);
    if (!space) continue;
    VolumeChoice c;
    c.root = v.root;
    c.label = platform::Volumes().Label(v);
    c.fileSystem = platform::FileSystemDisplayName(v.fsType);
    c.totalBytes = space->totalBytes;
    auto number = byNumber.find({v.major, v.minor});
    auto name = byName.find(v.device);
    c.removable = (number != byNumber.end() && number->second) || (name != byName.end() && name->second);
    c.system = IsSystemVolume(v.root, facts);
    choices.push_back(std::move(c));
  }
  OrderVolumeChoices(&choices);
  return choices;
}

void OrderVolumeChoices(std::vector<VolumeChoice>* choices) {
  std::stable_sort(choices->begin(), choices->end(), [](const VolumeChoice& a, const VolumeChoice& b) {
    if (a.removable != b.removable) return a.removable;
    return a.root < b.root;
  });
}

int PreselectedVolume(const std::vector<VolumeChoice>& choices) {
  for (size_t i = 0; i < choices.size(); ++i) {
    if (!choices[i].system) return static_cast<int>(i);
  }
  return -1;
}

bool IsSystemVolume(const std::string& root, const VolumeFacts& facts) {
  for (const std::string& path : facts.systemPaths) {
    if (platform::SameFileSystem(root, path)) return true;
  }
  return false;
}

std::string SizeText(uint64_t bytes) {
  constexpr double kMiB = 1024.0 * 1024.0;
  char buf[32];
  double b = static_cast<double>(bytes);
  if (b < 1024.0 * kMiB) {
    std::snprintf(buf, sizeof(buf), "%.0f MB", b / kMiB);
  } else if (b < 1024.0 * 1024.0 * kMiB) {
    std::snprintf(buf, sizeof(buf), "%.2f GB", b / (1024.0 * kMiB));
  } else {
    std::snprintf(buf, sizeof(buf), "%.2f TB", b / (1024.0 * 1024.0 * kMiB));
  }
  return buf;
}

std::string VolumeChoiceText(const VolumeChoice& choice) {
  std::string text = choice.root + "  (";
  if (choice.removable) text += Tr("可移动") + std::string(", ");
  if (choice.system) text += Tr("系统") + std::string(", ");
  text += SizeText(choice.totalBytes);
  if (!choice.label.empty()) text += ", " + choice.label;
  return text + ")";
}

std::string RunQuestion(const std::string& root, uint64_t totalBytes, uint64_t freeBytes, CapacityMode mode) {
  const std::string free = SizeText(freeBytes);
  if (totalBytes > 0) {
    const std::string total = SizeText(totalBytes);
    if (mode == CapacityMode::kWipe)
      return FormatText(Tr("将向 %s（%s）写满可用空间 %s 的覆盖数据，使已删除的文件无法恢复，完成后删除。继续吗？"),
                        root.c_str(), total.c_str(), free.c_str());
    return FormatText(Tr("将向 %s（%s）写满可用空间 %s 的测试数据，测试后删除。继续吗？"), root.c_str(), total.c_str(),
                      free.c_str());
  }
  if (mode == CapacityMode::kWipe)
    return FormatText(Tr("将向 %s 写满可用空间 %s 的覆盖数据，使已删除的文件无法恢复，完成后删除。继续吗？"), root.c_str(),
                      free.c_str());
  return FormatText(Tr("将向 %s 写满可用空间 %s 的测试数据，测试后删除。继续吗？"), root.c_str(), free.c_str());
}

std::string SystemVolumeQuestion(const std::string& root, CapacityMode mode) {
  if (mode == CapacityMode::kWipe)
    return FormatText(Tr("%s 是正在运行的系统所在的卷。擦除会用测试数据填满它的全部可用空间，期间系统和其他程序可能因磁盘已满而出错。确定要继续吗？"),
                      root.c_str());
  return FormatText(Tr("%s 是正在运行的系统所在的卷。容量鉴定会用测试数据填满它的全部可用空间，期间系统和其他程序可能因磁盘已满而出错。确定要继续吗？"),
                    root.c_str());
}

}  // namespace sorvanta::capacity
