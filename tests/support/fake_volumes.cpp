#include "support/fake_volumes.h"

namespace sorvanta::testing {

FakeVolumes::FakeVolumes() { platform::SetVolumeSourceForTesting(this); }
FakeVolumes::~FakeVolumes() { platform::SetVolumeSourceForTesting(nullptr); }

void FakeVolumes::Add(const std::string& root, long long freeBytes, const std::string& fsType,
                      const std::string& label) {
  std::lock_guard<std::mutex> l(mu_);
  const std::string normal = platform::NormalizeRoot(root);
  // Each Add is a new mount.
  volumes_[normal] = Entry{freeBytes, label, platform::Volume{normal, "/dev/fake", fsType, 0, 0, ++lastMountId_}};
}

void FakeVolumes::Add(const platform::Volume& volume, uint64_t totalBytes, const std::string& label) {
  std::lock_guard<std::mutex> l(mu_);
  Entry e{static_cast<long long>(totalBytes / 2), label, volume, static_cast<long long>(totalBytes)};
  e.volume.root = platform::NormalizeRoot(volume.root);
  volumes_[e.volume.root] = e;
}

void FakeVolumes::Remove(const std::string& root) {
  std::lock_guard<std::mutex> l(mu_);
  volumes_.erase(platform::NormalizeRoot(root));
}

void FakeVolumes::SetFree(const std::string& root, long long freeBytes) {
  std::lock_guard<std::mutex> l(mu_);
  auto it = volumes_.find(platform::NormalizeRoot(root));
  if (it != volumes_.end()) it->second.freeBytes = freeBytes;
}

std::vector<platform::Volume> FakeVolumes::List() {
  std::lock_guard<std::mutex> l(mu_);
  std::vector<platform::Volume> out;
  for (const auto& [root, e] : volumes_) out.push_back(e.volume);
  return out;
}

Result<platform::VolumeSpace> FakeVolumes::Space(const std::string& path) {
  long long fixed = -1;
  {
    std::lock_guard<std::mutex> l(mu_);
    // The volume whose root is the longest prefix of path.
    size_t best = 0;
    const Entry* match = nullptr;
    for (const auto& [root, e] : volumes_) {
      bool under = path == root || (path.rfind(root, 0) == 0 && (root == "/" || path[root.size()] == '/'));
      if (under && root.size() >= best) {
        best = root.size();
        match = &e;
      }
    }
    if (match && match->totalBytes >= 0) {
      platform::VolumeSpace space;
      space.totalBytes = static_cast<uint64_t>(match->totalBytes);
      space.freeBytes = static_cast<uint64_t>(match->freeBytes);
      return space;
    }
    if (match) fixed = match->freeBytes;
  }
  Result<platform::VolumeSpace> space = platform::SystemVolumes().Space(path);
  if (space.ok() && fixed >= 0) space->freeBytes = space->rootFreeBytes = static_cast<uint64_t>(fixed);
  return space;
}

std::string FakeVolumes::Label(const platform::Volume& volume) {
  std::lock_guard<std::mutex> l(mu_);
  auto it = volumes_.find(volume.root);
  return it == volumes_.end() ? std::string() : it->second.label;
}

}  // namespace sorvanta::testing
