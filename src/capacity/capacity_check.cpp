#include "capacity/capacity_check.h"

#include <cstdio>

#include "platform/volumes.h"

namespace sorvanta {

std::vector<std::string> ListCapacityVolumes() {
  std::vector<std::string> roots;
  for (const platform::Volume& v : platform::Volumes().List()) {
    if (platform::SpaceOf(v.root)) roots.push_back(v.root);
  }
  return roots;
}

std::optional<CapacityVolume> ReadCapacityVolume(const std::string& root) {
  std::optional<platform::Volume> volume = platform::FindVolume(root);
  if (!volume) return std::nullopt;
  std::optional<platform::VolumeSpace> space = platform::SpaceOf(volume->root);
  if (!space) return std::nullopt;
  CapacityVolume out;
  out.root = volume->root;
  out.label = platform::Volumes().Label(*volume);
  out.fileSystem = platform::FileSystemDisplayName(volume->fsType);
  out.freeBytes = space->freeBytes;
  return out;
}

std::string VolumeInfoText(const CapacityVolume& volume) { return volume.label + ", " + volume.fileSystem; }

std::string FreeSpaceText(uint64_t freeBytes) {
  char buf[64];
  float mb = static_cast<float>(freeBytes) / 1048576.0f;
  std::snprintf(buf, sizeof(buf), "%.2f MB", static_cast<double>(mb));
  return buf;
}

CapacityCheck::CapacityCheck(uint32_t seed) : stream_(seed) {}

CapacityCheck::~CapacityCheck() {
  Stop();
  Wait();
}

bool CapacityCheck::Start(const CapacityOptions& options, CapacityReporter& reporter) {
  if (worker_.Active()) return false;
  auto run = std::make_shared<CapacityRun>(options, stream_, reporter);
  return worker_.Start([run] { return run->Run(); }, [run] { run->Stop(); });
}

void CapacityCheck::Stop() { worker_.RequestStop(); }

bool CapacityCheck::Active() const { return worker_.Active(); }

std::optional<CapacityResult> CapacityCheck::Wait() {
  worker_.Wait();
  return worker_.LastOutcome();
}

}  // namespace sorvanta
