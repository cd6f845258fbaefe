#include "platform/raw_disk.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/volumes.h"

namespace sorvanta::platform {
namespace {

std::string ReadLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

Result<WholeDiskInfo> InspectWholeDisk(const std::string& device, const BlockRoots& roots) {
  char resolved[PATH_MAX];
  if (!realpath(device.c_str(), resolved)) return Status::FromErrno(errno, device);
  WholeDiskInfo info;
  info.path = resolved;
  info.name = std::filesystem::path(info.path).filename().string();
  struct stat st {};
  if (stat(resolved, &st) != 0) return Status::FromErrno(errno, device);
  info.blockDevice = S_ISBLK(st.st_mode);
  if (!info.blockDevice) return info;

  // The kernel's name of the node may differ from the file name (a node made elsewhere).
  namespace fs = std::filesystem;
  std::error_code ec;
  const std::string byNumber = roots.sys + "/dev/block/" + std::to_string(major(st.st_rdev)) + ":" +
                               std::to_string(minor(st.st_rdev));
  fs::path dir = fs::canonical(byNumber, ec);
  if (ec) dir = roots.sys + "/class/block/" + info.name;
  info.name = dir.filename().string();
  info.wholeDisk = !fs::exists(dir / "partition", ec);
  info.sizeBytes = std::strtoull(ReadLine((dir / "size").string()).c_str(), nullptr, 10) * 512;
  info.removable = ReadLine((dir / "removable").string()) == "1" ||
                   fs::canonical(dir / "device", ec).string().find("/usb") != std::string::npos;

  // The devices whose mounts count: the disk and its partitions.
  std::vector<dev_t> numbers{st.st_rdev};
  auto heldBy = [&](const fs::path& d) {
    return fs::exists(d / "holders", ec) && !fs::is_empty(d / "holders", ec);
  };
  info.held = heldBy(dir);
  if (info.wholeDisk) {
    for (const auto& entry : fs::directory_iterator(dir, ec)) {
      if (!fs::exists(entry.path() / "partition", ec)) continue;
      unsigned ma = 0, mi = 0;
      if (std::sscanf(ReadLine((entry.path() / "dev").string()).c_str(), "%u:%u", &ma, &mi) == 2)
        numbers.push_back(makedev(ma, mi));
      info.held = info.held || heldBy(entry.path());
    }
  }
  for (const MountEntry& m : ReadMountInfo(roots.proc)) {
    if (std::find(numbers.begin(), numbers.end(), makedev(m.major, m.minor)) != numbers.end())
      info.mountPoints.push_back(m.mountPoint);
  }
  std::sort(info.mountPoints.begin(), info.mountPoints.end());
  info.mountPoints.erase(std::unique(info.mountPoints.begin(), info.mountPoints.end()), info.mountPoints.end());
  return info;
}

Status UnmountAll(std::vector<std::string> mountPoints) {
  // Longer paths first, so that a mount inside another goes before it.
  std::sort(mountPoints.begin(), mountPoints.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  for (const std::string& point : mountPoints) {
    if (umount2(point.c_str(), 0) != 0 && errno != EINVAL) return Status::FromErrno(errno, "umount " + point);
  }
  return Status::Ok();
}

Result<std::unique_ptr<RawDisk>> RawDisk::Open(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR | O_DIRECT | O_EXCL | O_CLOEXEC);
  if (fd < 0) return Status::FromErrno(errno, path);
  struct stat st {};
  uint64_t size = 0;
  if (fstat(fd, &st) != 0) {
    int e = errno;
    close(fd);
    return Status::FromErrno(e, path);
  }
  if (S_ISBLK(st.st_mode)) {
    if (ioctl(fd, BLKGETSIZE64, &size) != 0) {
      int e = errno;
      close(fd);
      return Status::FromErrno(e, path);
    }
  } else {
    size = static_cast<uint64_t>(st.st_size);
  }
  return std::unique_ptr<RawDisk>(new RawDisk(fd, size));
}

RawDisk::~RawDisk() { close(fd_); }

bool RawDisk::Read(uint64_t offset, uint8_t* data, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = pread(fd_, data + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      lastError_ = n < 0 ? errno : EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool RawDisk::Write(uint64_t offset, const uint8_t* data, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = pwrite(fd_, data + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      lastError_ = n < 0 ? errno : ENOSPC;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool RawDisk::Flush() {
  if (fsync(fd_) == 0) return true;
  lastError_ = errno;
  return false;
}

}  // namespace sorvanta::platform
