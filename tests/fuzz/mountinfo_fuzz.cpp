// Lines of /proc/self/mountinfo, which name whatever a user or a device mounted.
#include "fuzz_input.h"
#include "platform/volumes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace sorvanta;
  for (const platform::MountEntry& entry : platform::ParseMountInfo(fuzz::Text(data, size))) {
    platform::IsVolumeMount(entry);
    platform::NormalizeRoot(entry.mountPoint);
    platform::FileSystemDisplayName(entry.fsType);
  }
  return 0;
}
