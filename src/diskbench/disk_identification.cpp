#include "diskbench/disk_identification.h"

#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <optional>
#include <streambuf>

namespace sorvanta {
namespace {

std::mutex g_mu;
std::optional<platform::BlockRoots> g_open;  // set while the identification is open

std::string Hex(int code) {
  char text[16];
  std::snprintf(text, sizeof(text), "%x", static_cast<unsigned>(code));
  return text;
}

// Accepts every character and keeps none.
class DiscardBuffer : public std::streambuf {
 protected:
  int overflow(int c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

}  // namespace

std::ostream& DiscardedDiagnostics() {
  thread_local DiscardBuffer buffer;
  thread_local std::ostream stream(&buffer);
  return stream;
}

int InitDiskIdentification(const platform::BlockRoots& roots, std::string* error, std::ostream& out) {
  std::lock_guard<std::mutex> lock(g_mu);
  std::string tree = roots.sys + "/block";
  DIR* dir = opendir(tree.c_str());
  if (!dir) {
    if (error) *error = "Failed to open " + tree + ". Error code = 0x" + Hex(errno);
    return 1;
  }
  closedir(dir);
  out << "Connected to " << tree << "\n";
  g_open = roots;
  return 0;
}

bool EnumerateDisks(DiskList& list, std::ostream& out) {
  std::lock_guard<std::mutex> lock(g_mu);
  if (!g_open) return false;
  const Result<std::vector<platform::BlockDisk>> read = platform::ReadBlockDisks(*g_open);
  if (!read.ok()) {
    out << "Query for processes failed. " << "Error code = 0x" << Hex(read.status().errnoValue()) << "\n";
    g_open.reset();
    return false;
  }
  const std::vector<platform::BlockDisk>& disks = read.value();
  for (const platform::BlockDisk& disk : disks) {
    if (!disk.serial.empty()) out << "硬盘SerialNumber:" << disk.serial << "\n";
    out << "硬盘型号:" << disk.model << "\n";
    for (const platform::BlockPartition& part : disk.partitions) {
      for (const std::string& root : part.mountPoints) {
        out << "硬盘型号:" << disk.model << "\t磁盘盘符:" << root << "\n";
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

void ReleaseDiskIdentification() {
  std::lock_guard<std::mutex> lock(g_mu);
  g_open.reset();
}

}  // namespace sorvanta
