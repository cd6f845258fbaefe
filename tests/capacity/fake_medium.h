// A simulated drive for capacity tests, put under the real run as its FileSystem.
//
// Files are laid out one after another on a device of realSize bytes. Past the real size
// the drive either wraps (the address is taken modulo the real size, so later blocks
// overwrite earlier ones, as counterfeit drives do) or drops what is written and returns
// filler (0xA5, or zeros). Writes and reads can be made to fail, creation refused, and every call is counted.
// Transfers must be 4096-aligned like unbuffered I/O on a real drive.
#pragma once

#include <cerrno>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/direct_io.h"

namespace sorvanta::testing {

class FakeMedium : public platform::FileSystem {
 public:
  enum class Beyond { kWrap, kFiller, kZeros };

  explicit FakeMedium(uint64_t realSize, Beyond beyond = Beyond::kFiller)
      : device_(realSize), beyond_(beyond) {
    platform::SetFileSystemForTesting(this);
  }
  ~FakeMedium() override { platform::SetFileSystemForTesting(nullptr); }

  // Write calls (counted from 0 over the whole medium) that fail with EIO after `partial` bytes.
  void FailWrite(int call, size_t partial = 0) { failWrites_[call] = partial; }
  // Creation of the n-th file (0-based) and later ones fails with this errno.
  void RefuseCreateFrom(int n, int error = EROFS) { refuseFrom_ = n; refuseError_ = error; }
  // Reads of device addresses at or beyond this fail with EIO.
  void FailReadsFrom(uint64_t address) { failReadsFrom_ = address; }
  // Reads flip the first byte of every 4 KiB page at or beyond this device address.
  void CorruptReadsFrom(uint64_t address) { corruptFrom_ = address; }
  // Writes stop with ENOSPC once the files hold this many bytes together.
  // wholeOrNothing: a write that does not fit writes nothing (as ext4 does unbuffered).
  void LimitSpace(uint64_t bytes, bool wholeOrNothing = false) {
    spaceLimit_ = bytes;
    wholeOrNothing_ = wholeOrNothing;
  }

  // Files cannot grow past this many bytes: a write that would is cut there and fails
  // with EFBIG (FAT32 stops at 4 GiB - 1).
  void LimitFileSize(uint64_t bytes) { fileLimit_ = bytes; }
  // Every sync fails with EIO (the drive lost the data it had acknowledged).
  void FailSyncs() { failSyncs_ = true; }

  struct Stats {
    std::vector<std::string> created;        // in order
    std::map<std::string, int> readOpens;    // path -> opens for reading
    std::map<std::string, int> removes;      // path -> removals
    std::vector<uint64_t> writeLengths;      // every write call
    int reads = 0;
    // "write:", "sync:", "read-open:" and "remove:" followed by the path, in call order.
    std::vector<std::string> events;
  };
  Stats stats() {
    std::lock_guard<std::mutex> l(mu_);
    return stats_;
  }
  bool Exists(const std::string& path) override {
    std::lock_guard<std::mutex> l(mu_);
    return files_.count(path) > 0;
  }

  Result<std::unique_ptr<platform::File>> Open(const std::string& path, platform::OpenMode mode,
                                               bool direct) override;
  bool Remove(const std::string& path) override {
    std::lock_guard<std::mutex> l(mu_);
    ++stats_.removes[path];
    stats_.events.push_back("remove:" + path);
    return files_.erase(path) > 0;
  }
  void DropCache(const std::string&) override {}

 private:
  friend class FakeMediumFile;
  struct FileData {
    uint64_t base = 0;  // device address of offset 0
    uint64_t size = 0;
  };

  ssize_t Write(const std::string& path, const uint8_t* data, size_t len, uint64_t offset, int* err);
  ssize_t Read(const std::string& path, uint8_t* data, size_t len, uint64_t offset, int* err);
  // Calls fn(devicePointer or nullptr, bufferOffset, length) for the pieces of a transfer.
  template <typename Fn>
  void Pieces(uint64_t address, size_t len, Fn fn) {
    const uint64_t size = device_.size();
    size_t done = 0;
    while (done < len) {
      uint64_t a = address + done;
      if (a < size || beyond_ == Beyond::kWrap) {
        uint64_t at = a % size;
        size_t n = static_cast<size_t>(std::min<uint64_t>(len - done, size - at));
        fn(&device_[at], done, n);
        done += n;
      } else {
        fn(nullptr, done, len - done);
        done = len;
      }
    }
  }
  uint64_t Used() const {
    uint64_t n = 0;
    for (const auto& [p, f] : files_) n += f.size;
    return n;
  }

  std::mutex mu_;
  std::vector<uint8_t> device_;
  Beyond beyond_;
  std::map<std::string, FileData> files_;
  uint64_t next_ = 0;
  int writeCalls_ = 0;
  std::map<int, size_t> failWrites_;
  int refuseFrom_ = -1;
  int refuseError_ = EROFS;
  uint64_t failReadsFrom_ = UINT64_MAX;
  uint64_t corruptFrom_ = UINT64_MAX;
  uint64_t spaceLimit_ = UINT64_MAX;
  uint64_t fileLimit_ = UINT64_MAX;
  bool wholeOrNothing_ = false;
  bool failSyncs_ = false;
  Stats stats_;
};

class FakeMediumFile : public platform::File {
 public:
  FakeMediumFile(FakeMedium& m, std::string path) : m_(m), path_(std::move(path)) {}
  ssize_t Write(const void* data, size_t len) override {
    ssize_t n = PWrite(data, len, pos_);
    if (n > 0) pos_ += n;
    return n;
  }
  ssize_t Read(void* data, size_t len) override {
    ssize_t n = PRead(data, len, pos_);
    if (n > 0) pos_ += n;
    return n;
  }
  ssize_t PWrite(const void* data, size_t len, uint64_t offset) override {
    return m_.Write(path_, static_cast<const uint8_t*>(data), len, offset, &err_);
  }
  ssize_t PRead(void* data, size_t len, uint64_t offset) override {
    return m_.Read(path_, static_cast<uint8_t*>(data), len, offset, &err_);
  }
  bool Seek(uint64_t offset) override {
    pos_ = offset;
    return true;
  }
  bool Sync() override {
    std::lock_guard<std::mutex> l(m_.mu_);
    m_.stats_.events.push_back("sync:" + path_);
    if (m_.failSyncs_) err_ = EIO;
    return !m_.failSyncs_;
  }
  int64_t Size() override {
    std::lock_guard<std::mutex> l(m_.mu_);
    auto it = m_.files_.find(path_);
    return it == m_.files_.end() ? -1 : static_cast<int64_t>(it->second.size);
  }
  int LastError() const override { return err_; }
  bool Direct() const override { return true; }

 private:
  FakeMedium& m_;
  std::string path_;
  uint64_t pos_ = 0;
  int err_ = 0;
};

inline Result<std::unique_ptr<platform::File>> FakeMedium::Open(const std::string& path, platform::OpenMode mode,
                                                                bool direct) {
  std::lock_guard<std::mutex> l(mu_);
  if (mode == platform::OpenMode::kCreateNew && files_.count(path)) {
    return Status::FromErrno(EEXIST, "open " + path);
  }
  if (mode == platform::OpenMode::kCreateTruncate || mode == platform::OpenMode::kCreateNew) {
    if (refuseFrom_ >= 0 && static_cast<int>(stats_.created.size()) >= refuseFrom_) {
      return Status::FromErrno(refuseError_, "open " + path);
    }
    stats_.created.push_back(path);
    // Files follow one another on the device, as a fill writes them.
    uint64_t end = next_;
    for (const auto& [p, f] : files_) end = std::max(end, f.base + f.size);
    files_[path] = FileData{end, 0};
    next_ = end;
  } else {
    if (!files_.count(path)) {
      return Status::FromErrno(ENOENT, "open " + path);
    }
    if (mode == platform::OpenMode::kReadOnly) {
      ++stats_.readOpens[path];
      stats_.events.push_back("read-open:" + path);
    }
  }
  return std::unique_ptr<platform::File>(std::make_unique<FakeMediumFile>(*this, path));
}

inline ssize_t FakeMedium::Write(const std::string& path, const uint8_t* data, size_t len, uint64_t offset,
                                 int* err) {
  std::lock_guard<std::mutex> l(mu_);
  stats_.writeLengths.push_back(len);
  stats_.events.push_back("write:" + path);
  int call = writeCalls_++;
  if (len % platform::kDirectAlign || offset % platform::kDirectAlign ||
      reinterpret_cast<uintptr_t>(data) % platform::kDirectAlign) {
    *err = EINVAL;
    return -1;
  }
  FileData& f = files_.at(path);
  size_t allowed = len;
  int failure = 0;
  auto fw = failWrites_.find(call);
  if (fw != failWrites_.end()) {
    allowed = std::min(len, fw->second);
    failure = EIO;
  }
  if (offset + allowed > fileLimit_) {
    allowed = fileLimit_ > offset ? static_cast<size_t>(fileLimit_ - offset) & ~(platform::kDirectAlign - 1) : 0;
    failure = EFBIG;
  }
  uint64_t used = Used() - f.size + std::min<uint64_t>(f.size, offset);
  if (used + allowed > spaceLimit_) {
    allowed = spaceLimit_ > used ? static_cast<size_t>(spaceLimit_ - used) : 0;
    allowed &= ~(platform::kDirectAlign - 1);
    if (wholeOrNothing_) allowed = 0;
    failure = ENOSPC;
  }
  Pieces(f.base + offset, allowed, [&](uint8_t* dev, size_t at, size_t n) {
    if (dev) std::memcpy(dev, data + at, n);
  });
  f.size = std::max<uint64_t>(f.size, offset + allowed);
  if (failure) {
    *err = failure;
    return allowed > 0 ? static_cast<ssize_t>(allowed) : -1;
  }
  return static_cast<ssize_t>(len);
}

inline ssize_t FakeMedium::Read(const std::string& path, uint8_t* data, size_t len, uint64_t offset, int* err) {
  std::lock_guard<std::mutex> l(mu_);
  ++stats_.reads;
  auto it = files_.find(path);
  if (it == files_.end() || len % platform::kDirectAlign || offset % platform::kDirectAlign) {
    *err = it == files_.end() ? EBADF : EINVAL;
    return -1;
  }
  const FileData& f = it->second;
  if (offset >= f.size) return 0;
  size_t n = static_cast<size_t>(std::min<uint64_t>(len, f.size - offset));
  if (f.base + offset + n > failReadsFrom_) {
    *err = EIO;
    return -1;
  }
  Pieces(f.base + offset, n, [&](uint8_t* dev, size_t at, size_t k) {
    if (dev) std::memcpy(data + at, dev, k);
    else std::memset(data + at, beyond_ == Beyond::kZeros ? 0 : 0xA5, k);
  });
  for (uint64_t page = 0; page < n; page += platform::kDirectAlign) {
    if (f.base + offset + page >= corruptFrom_) data[page] ^= 0xFF;
  }
  return static_cast<ssize_t>(n);
}

}  // namespace sorvanta::testing
