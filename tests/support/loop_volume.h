// A small ext4 image mounted on a loop device, for tests that need a real volume they may
// fill, unmount and mount again. Needs root and a loop device; Available() says why not.
#pragma once

#include <cstdint>
#include <string>

namespace sorvanta::testing {

class LoopVolume {
 public:
  // Creates an image of sizeBytes under a fresh temporary folder, formats it as ext4 and
  // mounts it. Check ok() (and skip the test with error() when false).
  // reservedPercent: blocks kept for root (mkfs.ext4 -m).
  explicit LoopVolume(uint64_t sizeBytes, int reservedPercent = 0);
  ~LoopVolume();  // unmounts, detaches and deletes everything
  LoopVolume(const LoopVolume&) = delete;
  LoopVolume& operator=(const LoopVolume&) = delete;

  bool ok() const { return mounted_; }
  const std::string& error() const { return error_; }
  // The mount point (a volume root while mounted).
  const std::string& root() const { return mountPoint_; }
  // The image file behind the volume (read it after Unmount to see what reached the medium).
  const std::string& image() const { return image_; }
  // The loop device the image is attached to.
  const std::string& device() const { return device_; }
  bool Unmount();
  bool Mount();
  // Writes out what is cached for this volume only (syncfs): sync() would also wait for every
  // other file system of a busy machine, for minutes, where no time-out can stop it.
  bool Sync() const;

  // Empty when this process may use loop devices, else the reason ("needs root", ...).
  static std::string Unavailable();

 private:
  std::string dir_;
  std::string image_;
  std::string mountPoint_;
  std::string device_;
  std::string error_;
  bool mounted_ = false;
};

}  // namespace sorvanta::testing
