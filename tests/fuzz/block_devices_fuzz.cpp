// The disk list read from a fake tree: the input is a mountinfo text and, after the first
// NUL byte, the disk's udev database entry (where the serial may come from).
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "fuzz_input.h"
#include "platform/block_devices.h"

namespace {

void Write(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// A tree with one disk sda (8:0) and its partition sda1 (8:1).
const sorvanta::platform::BlockRoots& Roots() {
  static const sorvanta::platform::BlockRoots roots = [] {
    const std::string& top = sorvanta::fuzz::ScratchFolder();
    for (const char* dir : {"/sys", "/sys/block", "/sys/block/sda", "/sys/block/sda/device", "/sys/block/sda/sda1",
                            "/proc", "/proc/self", "/run", "/run/udev", "/run/udev/data"})
      mkdir((top + dir).c_str(), 0755);
    Write(top + "/sys/block/sda/dev", "8:0\n");
    Write(top + "/sys/block/sda/removable", "1\n");
    Write(top + "/sys/block/sda/device/model", "Fuzz Disk\n");
    Write(top + "/sys/block/sda/sda1/dev", "8:1\n");
    Write(top + "/sys/block/sda/sda1/partition", "1\n");
    sorvanta::platform::BlockRoots r;
    r.sys = top + "/sys";
    r.proc = top + "/proc";
    r.run = top + "/run";
    return r;
  }();
  return roots;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace sorvanta;
  const std::string input = fuzz::Text(data, size);
  const size_t nul = input.find('\0');
  const platform::BlockRoots& roots = Roots();
  Write(roots.proc + "/self/mountinfo", input.substr(0, nul));
  Write(roots.run + "/udev/data/b8:0", nul == std::string::npos ? std::string() : input.substr(nul + 1));
  const Result<std::vector<platform::BlockDisk>> disks = platform::ReadBlockDisks(roots);
  fuzz::Require(disks.ok());
  fuzz::Require(disks->size() == 1 && disks->at(0).name == "sda");
  return 0;
}
