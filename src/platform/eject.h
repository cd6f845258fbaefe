// Safe eject of a removable drive: unmount its volume and power the drive off, the way a
// desktop's "safely remove" does, through udisks2 (the udisksctl command).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/status.h"

namespace sorvanta::platform {

class DriveEjector {
 public:
  virtual ~DriveEjector() = default;
  // Ejects the drive whose volume is mounted at root; the failure names the step that
  // failed. May be called again after a failure (the drive may already be unmounted by then).
  virtual Status Eject(const std::string& root) = 0;
};

// Runs a program (argv[0] looked up in PATH) without a shell, output discarded; returns its
// exit status, or -1 when it cannot be started or is killed.
int RunProgram(const std::vector<std::string>& argv);

// True when the udisksctl command is on PATH (Debian package udisks2).
bool UdisksAvailable();

// The whole-disk device of a partition ("/dev/sdb1" -> "/dev/sdb", via <sysRoot>/class/block);
// a device that is not a partition is returned as it is (after resolving symlinks).
std::string WholeDiskOf(const std::string& device, const std::string& sysRoot = "/sys");

// udisks2: "udisksctl unmount" of the volume's block device, then "udisksctl power-off" of
// its disk; up to `attempts` tries, retryMs apart. Never asks for a password. Fails with
// kNotFound when no block device was ever seen at the root, else kFailed naming the command
// of the last try that failed.
class UdisksEjector : public DriveEjector {
 public:
  using Runner = std::function<int(const std::vector<std::string>& argv)>;
  explicit UdisksEjector(Runner runner = RunProgram, std::string sysRoot = "/sys", int attempts = 3,
                         uint32_t retryMs = 200);
  Status Eject(const std::string& root) override;

 private:
  Status TryOnce(const std::string& root, const std::string& device);

  Runner runner_;
  std::string sysRoot_;
  int attempts_;
  uint32_t retryMs_;
  std::mutex mu_;
  std::map<std::string, std::string> lastDevice_;  // root -> block device last seen mounted there
};

// The real ejector, and the current one (the real one unless a test installed another).
DriveEjector& SystemEjector();
DriveEjector& Ejector();
// nullptr restores the real ejector.
void SetEjectorForTesting(DriveEjector* ejector);

}  // namespace sorvanta::platform
