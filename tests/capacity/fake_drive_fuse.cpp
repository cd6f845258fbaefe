// A drive that claims more than it holds, for loop devices: a FUSE file system with one
// file, "disk", of the claimed size, whose bytes map by position to a backing file of the
// real size: modulo the real size (wrap), discarded and read as zeros beyond it (drop), or
// one to one (honest). It may keep the last writes in a cache that answers reads by
// position, and may stop answering writes after a number of them (to kill a prober in the
// middle: counted from SIGUSR2 on, it prints "frozen" and goes on after SIGUSR1).
//
//   fake_drive_fuse MOUNTPOINT BACKING CLAIMED REAL wrap|drop|honest [CACHE_BYTES [FREEZE_AFTER_WRITES]]
#define FUSE_USE_VERSION 31
#include <fuse3/fuse.h>

#include <fcntl.h>
#include <linux/falloc.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr uint64_t kSector = 4096;

struct Drive {
  int backing = -1;
  uint64_t claimed = 0, real = 0;
  enum { kWrap, kDrop, kHonest } mode = kHonest;
  size_t cacheSectors = 0;
  std::deque<uint64_t> order;
  std::map<uint64_t, std::pair<int, std::vector<char>>> cache;  // sector -> (times in order, bytes)
  long long freezeAfter = -1;
  long long writes = 0;
};
Drive drive;
volatile sig_atomic_t armed = 0;
volatile sig_atomic_t released = 0;

void Arm(int) { armed = 1; }
void Release(int) { released = 1; }

// Maps [off, off+len) of the disk to the backing file piece by piece; 0 or the first error.
template <typename F>
int Each(uint64_t off, size_t len, F f) {
  size_t done = 0;
  while (done < len) {
    const uint64_t at = off + done;
    uint64_t physical = at;
    size_t piece = len - done;
    bool present = true;
    if (drive.mode == Drive::kWrap) {
      physical = at % drive.real;
      piece = std::min<uint64_t>(piece, drive.real - physical);
    } else if (at >= drive.real) {
      present = false;
    } else {
      piece = std::min<uint64_t>(piece, drive.real - at);
    }
    int r = f(done, physical, piece, present);
    if (r < 0) return r;
    done += piece;
  }
  return 0;
}

int GetAttr(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof(*st));
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  if (std::strcmp(path, "/disk") != 0) return -ENOENT;
  st->st_mode = S_IFREG | 0600;
  st->st_nlink = 1;
  st->st_size = static_cast<off_t>(drive.claimed);
  return 0;
}

int ReadDir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0) return -ENOENT;
  fill(buf, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buf, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buf, "disk", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

int Open(const char* path, fuse_file_info* fi) {
  if (std::strcmp(path, "/disk") != 0) return -ENOENT;
  fi->direct_io = 1;  // no page cache over the disk: only the drive's own cache, if any
  return 0;
}

int Read(const char*, char* buf, size_t size, off_t offset, fuse_file_info*) {
  const uint64_t off = static_cast<uint64_t>(offset);
  if (off >= drive.claimed) return 0;
  size = std::min<uint64_t>(size, drive.claimed - off);
  int r = Each(off, size, [&](size_t done, uint64_t physical, size_t piece, bool present) {
    if (!present) {
      std::memset(buf + done, 0, piece);
      return 0;
    }
    ssize_t n = pread(drive.backing, buf + done, piece, static_cast<off_t>(physical));
    return n == static_cast<ssize_t>(piece) ? 0 : -EIO;
  });
  if (r < 0) return r;
  for (uint64_t s = off / kSector * kSector; s < off + size; s += kSector) {
    auto it = drive.cache.find(s);
    if (it == drive.cache.end() || it->second.second.empty()) continue;
    const uint64_t from = std::max(s, off), to = std::min(s + kSector, off + size);
    std::memcpy(buf + (from - off), it->second.second.data() + (from - s), to - from);
  }
  return static_cast<int>(size);
}

int Write(const char*, const char* buf, size_t size, off_t offset, fuse_file_info*) {
  if (armed && drive.freezeAfter >= 0 && drive.writes++ == drive.freezeAfter) {
    std::printf("frozen\n");
    std::fflush(stdout);
    while (!released) pause();
  }
  const uint64_t off = static_cast<uint64_t>(offset);
  if (off + size > drive.claimed) return -ENOSPC;
  int r = Each(off, size, [&](size_t done, uint64_t physical, size_t piece, bool present) {
    if (!present) return 0;
    ssize_t n = pwrite(drive.backing, buf + done, piece, static_cast<off_t>(physical));
    return n == static_cast<ssize_t>(piece) ? 0 : -EIO;
  });
  if (r < 0) return r;
  if (drive.cacheSectors == 0) return static_cast<int>(size);
  for (uint64_t s = off / kSector * kSector; s < off + size; s += kSector) {
    if (s < off || s + kSector > off + size) {  // a partly written sector leaves the cache
      auto it = drive.cache.find(s);
      if (it != drive.cache.end()) it->second.second.clear();
      continue;
    }
    drive.order.push_back(s);
    auto& slot = drive.cache[s];
    ++slot.first;
    slot.second.assign(buf + (s - off), buf + (s - off) + kSector);
    if (drive.order.size() > drive.cacheSectors) {
      auto old = drive.cache.find(drive.order.front());
      if (--old->second.first == 0) drive.cache.erase(old);
      drive.order.pop_front();
    }
  }
  for (auto it = drive.cache.begin(); it != drive.cache.end();) {
    it = it->second.second.empty() && it->second.first == 0 ? drive.cache.erase(it) : std::next(it);
  }
  return static_cast<int>(size);
}

// Zeroing and punching holes (mkfs asks the loop device for both) punch holes in the
// backing file where the range maps to, and forget cached sectors in it.
int Fallocate(const char*, int mode, off_t offset, off_t length, fuse_file_info*) {
  if (!(mode & (FALLOC_FL_PUNCH_HOLE | FALLOC_FL_ZERO_RANGE))) return 0;
  const uint64_t off = static_cast<uint64_t>(offset);
  const uint64_t end = std::min<uint64_t>(off + static_cast<uint64_t>(length), drive.claimed);
  if (end <= off) return 0;
  // A range longer than a wrapping drive's real size covers all of it.
  const bool all = drive.mode == Drive::kWrap && end - off >= drive.real;
  int r = all ? (fallocate(drive.backing, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0,
                           static_cast<off_t>(drive.real)) == 0 ? 0 : -errno)
              : Each(off, end - off, [](size_t, uint64_t physical, size_t piece, bool present) {
                  if (!present) return 0;
                  return fallocate(drive.backing, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                                   static_cast<off_t>(physical), static_cast<off_t>(piece)) == 0 ? 0 : -errno;
                });
  for (auto it = drive.cache.lower_bound(off / kSector * kSector); it != drive.cache.end() && it->first < end; ++it)
    it->second.second.clear();
  return r < 0 ? r : 0;
}

int Fsync(const char*, int, fuse_file_info*) { return fdatasync(drive.backing) == 0 ? 0 : -errno; }
int Truncate(const char*, off_t, fuse_file_info*) { return 0; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: %s MOUNTPOINT BACKING CLAIMED REAL wrap|drop|honest [CACHE [FREEZE]]\n", argv[0]);
    return 2;
  }
  drive.backing = open(argv[2], O_RDWR);
  drive.claimed = std::strtoull(argv[3], nullptr, 10);
  drive.real = std::strtoull(argv[4], nullptr, 10);
  const std::string mode = argv[5];
  drive.mode = mode == "wrap" ? Drive::kWrap : mode == "drop" ? Drive::kDrop : Drive::kHonest;
  if (argc > 6) drive.cacheSectors = std::strtoull(argv[6], nullptr, 10) / kSector;
  if (argc > 7) drive.freezeAfter = std::strtoll(argv[7], nullptr, 10);
  if (drive.backing < 0 || drive.real == 0 || drive.claimed < drive.real) {
    std::fprintf(stderr, "bad backing file or sizes\n");
    return 2;
  }
  signal(SIGUSR1, Release);
  signal(SIGUSR2, Arm);

  fuse_operations ops{};
  ops.getattr = GetAttr;
  ops.readdir = ReadDir;
  ops.open = Open;
  ops.read = Read;
  ops.write = Write;
  ops.fsync = Fsync;
  ops.truncate = Truncate;
  ops.fallocate = Fallocate;
  // Foreground, one thread (the cache and the counters are not shared), others may read.
  char* args[] = {argv[0], argv[1], const_cast<char*>("-f"), const_cast<char*>("-s"), const_cast<char*>("-o"),
                  const_cast<char*>("allow_other")};
  return fuse_main(6, args, &ops, nullptr);
}
