// A simulated medium put under the real engines as their platform::FileSystem (installed for
// its lifetime), configured for what a test needs:
//
// - Sizes only (SimulatedMedium(capacity)): files exist as sizes, writes are accepted at once
//   until the capacity is used up (then they transfer what fits, down to 0 bytes, like a
//   full disk), reads return the bytes a file holds without touching the buffer. Fit for
//   runs that write gigabytes (the disk engine).
// - A drive that keeps data (SimulatedMedium(realSize, beyond)): files lie one after another
//   on a device of realSize bytes; past the real size the drive either wraps (the address
//   modulo the real size, so later blocks overwrite earlier ones, as counterfeit drives do)
//   or drops what is written and reads back filler (0xA5) or zeros. Transfers must be
//   4096-aligned like unbuffered I/O on a real drive.
//
// Either kind can announce less room than it has (LimitSpace), cap the file size, fail
// writes, syncs, reads or removals, refuse opens or creations, be listed as a volume whose
// free space shrinks with its files (ListAsVolume), and records every call. Folders of real
// files are listed as volumes by FakeVolumes instead.
#pragma once

#include <cerrno>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/direct_io.h"
#include "platform/volumes.h"

namespace sorvanta::testing {

class SimulatedMedium : public platform::FileSystem {
 public:
  enum class Beyond { kWrap, kFiller, kZeros };

  // Sizes only, full at capacity.
  explicit SimulatedMedium(uint64_t capacity = std::numeric_limits<uint64_t>::max());
  // A drive that keeps realSize bytes of data and claims to hold more.
  SimulatedMedium(uint64_t realSize, Beyond beyond);
  ~SimulatedMedium() override;

  Result<std::unique_ptr<platform::File>> Open(const std::string& path, platform::OpenMode mode,
                                               bool direct) override;
  bool Remove(const std::string& path) override;
  bool Exists(const std::string& path) override;
  void DropCache(const std::string&) override {}

  // Failures and limits.
  // errno for every open (0: none); refuseDirect fails O_DIRECT opens with EINVAL.
  void RefuseOpens(int error, bool refuseDirect = false);
  // Creation of the n-th file (0-based) and later ones fails with this errno.
  void RefuseCreateFrom(int n, int error = EROFS);
  // Write calls from the n-th on (counted from 0 over the medium) fail with EIO.
  void FailWritesFrom(int n);
  // Write call number call fails with EIO after partial bytes.
  void FailWrite(int call, size_t partial = 0);
  // Reads of device addresses at or beyond this fail with EIO (a drive that keeps data).
  void FailReadsFrom(uint64_t address);
  // Reads flip the first byte of every 4 KiB page at or beyond this device address.
  void CorruptReadsFrom(uint64_t address);
  // Writes stop with ENOSPC once the files hold this many bytes together (whole 4 KiB
  // pages). wholeOrNothing: a write that does not fit writes nothing (as ext4 does unbuffered).
  void LimitSpace(uint64_t bytes, bool wholeOrNothing = false);
  // Files cannot grow past this many bytes: a write that would is cut there and fails
  // with EFBIG (FAT32 stops at 4 GiB - 1).
  void LimitFileSize(uint64_t bytes);
  // Every sync fails with EIO (the drive lost the data it had acknowledged).
  void FailSyncs();
  // Every removal fails and the file stays.
  void FailRemoves();
  // Lists the medium as the one mounted volume at root (device /dev/fake1, 8:1) until it
  // goes: totalBytes in all, and freeBytes free less what its files hold (freeFollowsFiles
  // false: a file system whose free figure never moves).
  void ListAsVolume(const std::string& root, uint64_t totalBytes, uint64_t freeBytes,
                    const std::string& fsType = "ext4", bool freeFollowsFiles = true);
  // Called on the opening thread, outside the medium's lock, after each file is created: a
  // test can act at an exact point of a run (set before the run starts).
  void OnCreate(std::function<void(const std::string& path)> hook) { onCreate_ = std::move(hook); }

  // What happened.
  struct Stats {
    std::vector<std::string> created;      // in order
    std::map<std::string, int> readOpens;  // path -> opens for reading
    std::map<std::string, int> removes;    // path -> removals
    std::vector<uint64_t> writeLengths;    // every write call
    int reads = 0;
    // "write:", "sync:", "read-open:" and "remove:" followed by the path, in call order.
    std::vector<std::string> events;
  };
  Stats stats();
  // Every seek offset so far, in order (a positioned read or write counts as one).
  std::vector<uint64_t> Seeks();
  // Size of a file, or -1 when it does not exist.
  int64_t SizeOf(const std::string& path);
  // Every path that was ever created, with how often (emptying an existing file is not a creation).
  std::map<std::string, int> Created();

 private:
  friend class SimulatedFile;
  struct FileData {
    uint64_t base = 0;  // device address of offset 0
    uint64_t size = 0;
  };

  std::unique_ptr<platform::File> OpenLocked(const std::string& path, platform::OpenMode mode, bool direct, int* error,
                                             bool* created);
  ssize_t Write(const std::string& path, const uint8_t* data, size_t len, uint64_t offset, int* err);
  ssize_t Read(const std::string& path, uint8_t* data, size_t len, uint64_t offset, int* err);
  bool Sync(const std::string& path, int* err);
  void NoteSeek(uint64_t offset);
  // Calls fn(devicePointer or nullptr, bufferOffset, length) for the pieces of a transfer.
  void Pieces(uint64_t address, size_t len, const std::function<void(uint8_t*, size_t, size_t)>& fn);
  uint64_t Used() const;

  class Volume;
  std::unique_ptr<Volume> volume_;
  std::mutex mu_;
  const bool keepsData_;
  std::vector<uint8_t> device_;
  Beyond beyond_ = Beyond::kFiller;
  uint64_t capacity_;
  std::map<std::string, FileData> files_;
  uint64_t next_ = 0;
  int writeCalls_ = 0;
  int failWritesFrom_ = -1;
  std::map<int, size_t> failWrites_;
  int refuseError_ = 0;
  bool refuseDirect_ = false;
  int refuseCreateFrom_ = -1;
  int refuseCreateError_ = EROFS;
  uint64_t failReadsFrom_ = UINT64_MAX;
  uint64_t corruptFrom_ = UINT64_MAX;
  uint64_t spaceLimit_ = UINT64_MAX;
  bool wholeOrNothing_ = false;
  uint64_t fileLimit_ = UINT64_MAX;
  bool failSyncs_ = false;
  bool failRemoves_ = false;
  Stats stats_;
  std::vector<uint64_t> seeks_;
  std::map<std::string, int> createdCount_;
  std::function<void(const std::string&)> onCreate_;
};

}  // namespace sorvanta::testing
