#include "support/loop_volume.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace sorvanta::testing {
namespace {

// Runs a shell command and returns its first output line; status in *status.
std::string Run(const std::string& cmd, int* status) {
  std::string out;
  FILE* p = popen((cmd + " 2>/dev/null").c_str(), "r");
  if (!p) {
    *status = -1;
    return out;
  }
  char buf[512];
  if (fgets(buf, sizeof(buf), p)) out = buf;
  while (fgets(buf, sizeof(buf), p)) {
  }
  *status = pclose(p);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

}  // namespace

std::string LoopVolume::Unavailable() {
  if (geteuid() != 0) return "needs root (loop devices and mount)";
  if (access("/dev/loop-control", F_OK) != 0) return "needs /dev/loop-control";
  int st = 0;
  Run("command -v mkfs.ext4 && command -v losetup", &st);
  if (st != 0) return "needs mkfs.ext4 and losetup";
  return "";
}

LoopVolume::LoopVolume(uint64_t sizeBytes, int reservedPercent) {
  error_ = Unavailable();
  if (!error_.empty()) return;
  char tmpl[] = "/tmp/sorvanta-loop-XXXXXX";
  if (!mkdtemp(tmpl)) {
    error_ = "mkdtemp failed";
    return;
  }
  dir_ = tmpl;
  image_ = dir_ + "/image.ext4";
  mountPoint_ = dir_ + "/mnt";
  int st = 0;
  Run("truncate -s " + std::to_string(sizeBytes) + " " + image_ + " && mkdir -p " + mountPoint_ +
          " && mkfs.ext4 -q -F -m " + std::to_string(reservedPercent) + " " + image_,
      &st);
  if (st != 0) {
    error_ = "cannot create the ext4 image";
    return;
  }
  device_ = Run("losetup --find --show " + image_, &st);
  if (st != 0 || device_.empty()) {
    error_ = "no free loop device";
    device_.clear();
    return;
  }
  Mount();
  if (!mounted_) error_ = "mount failed";
}

bool LoopVolume::Mount() {
  if (mounted_) return true;
  mounted_ = !device_.empty() && ::mount(device_.c_str(), mountPoint_.c_str(), "ext4", 0, nullptr) == 0;
  return mounted_;
}

bool LoopVolume::Sync() const {
  if (!mounted_) return false;
  const int fd = ::open(mountPoint_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = ::syncfs(fd) == 0;
  ::close(fd);
  return ok;
}

bool LoopVolume::Unmount() {
  if (!mounted_) return true;
  if (::umount2(mountPoint_.c_str(), 0) != 0 && ::umount2(mountPoint_.c_str(), MNT_DETACH) != 0) return false;
  mounted_ = false;
  return true;
}

LoopVolume::~LoopVolume() {
  Unmount();
  int st = 0;
  if (!device_.empty()) Run("losetup -d " + device_, &st);
  if (!dir_.empty()) Run("rm -rf " + dir_, &st);
}

}  // namespace sorvanta::testing
