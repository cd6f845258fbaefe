#include "diskbench/disk_identification.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "base/language.h"
#include "base/text.h"

namespace sorvanta::diskbench {
namespace {

std::string Hex(int code) {
  char text[16];
  std::snprintf(text, sizeof(text), "%x", static_cast<unsigned>(code));
  return text;
}

}  // namespace

int DiskIdentification::Open(const platform::BlockRoots& roots, std::string* error) {
  std::ostream discard(nullptr);  // a stream without a buffer drops what is written to it
  return Open(roots, error, discard);
}

int DiskIdentification::Open(const platform::BlockRoots& roots, std::string* error, std::ostream& out) {
  std::string tree = roots.sys + "/block";
  DIR* dir = opendir(tree.c_str());
  if (!dir) {
    if (error) *error = "Failed to open " + tree + ". Error code = 0x" + Hex(errno);
    return 1;
  }
  closedir(dir);
  out << "Connected to " << tree << "\n";
  open_ = roots;
  return 0;
}

bool DiskIdentification::Enumerate(DiskList& list) {
  std::ostream discard(nullptr);
  return Enumerate(list, discard);
}

bool DiskIdentification::Enumerate(DiskList& list, std::ostream& out) {
  if (!open_) return false;
  const Result<std::vector<platform::BlockDisk>> read = platform::ReadBlockDisks(*open_);
  if (!read.ok()) {
    out << "Query for processes failed. " << "Error code = 0x" << Hex(read.status().errnoValue()) << "\n";
    open_.reset();
    return false;
  }
  const std::vector<platform::BlockDisk>& disks = read.value();
  for (const platform::BlockDisk& disk : disks) {
    if (!disk.serial.empty()) out << FormatText(Tr("硬盘SerialNumber:%s"), disk.serial.c_str()) << "\n";
    out << FormatText(Tr("硬盘型号:%s"), disk.model.c_str()) << "\n";
    for (const platform::BlockPartition& part : disk.partitions) {
      for (const std::string& root : part.mountPoints) {
        out << FormatText(Tr("硬盘型号:%s\t磁盘盘符:%s"), disk.model.c_str(), root.c_str()) << "\n";
        std::string key = disk.model + "/" + root;
        auto it = list.find(key);
        if (it != list.end()) {
          // Two disks of one model under one volume (md mirror) give that root once.
          std::vector<std::string>& roots = it->second.roots;
          if (std::find(roots.begin(), roots.end(), root) == roots.end()) roots.push_back(root);
        }
        else
          list.emplace(key, DiskEntry{disk.serial, {root}, disk.model, disk.removable});
      }
    }
  }
  return true;
}

}  // namespace sorvanta::diskbench
