// A VolumeSource for tests: volumes are folders the test owns, with the free size the
// test chooses, and can be removed and restored to play a drive that is pulled out.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "platform/volumes.h"

namespace sorvanta::testing {

class FakeVolumes : public platform::VolumeSource {
 public:
  // Installs itself as the current source; the destructor restores the real one.
  FakeVolumes();
  ~FakeVolumes() override;

  // Adds (or replaces) a volume at root as a new mount (a new mount id); freeBytes of -1 reports the real statvfs figure.
  void Add(const std::string& root, long long freeBytes = -1, const std::string& fsType = "ext4",
           const std::string& label = "");
  // Adds a volume with the device the mount table names for it, whose space is wholly made
  // up: totalBytes in all, half of it free.
  void Add(const platform::Volume& volume, uint64_t totalBytes, const std::string& label = "");
  void Remove(const std::string& root);
  void SetFree(const std::string& root, long long freeBytes);

  std::vector<platform::Volume> List() override;
  Result<platform::VolumeSpace> Space(const std::string& path) override;
  std::string Label(const platform::Volume& volume) override;

 private:
  struct Entry {
    long long freeBytes;
    std::string label;
    platform::Volume volume;
    long long totalBytes = -1;  // -1: the real statvfs figures, with freeBytes over them
  };
  int lastMountId_ = 0;
  std::mutex mu_;
  std::map<std::string, Entry> volumes_;
};

}  // namespace sorvanta::testing
