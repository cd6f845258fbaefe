#include "support/simulated_medium.h"

#include <algorithm>
#include <cstring>

namespace sorvanta::testing {

class SimulatedFile : public platform::File {
 public:
  SimulatedFile(SimulatedMedium& m, std::string path, bool direct) : m_(m), path_(std::move(path)), direct_(direct) {}

  ssize_t Write(const void* data, size_t len) override {
    ssize_t n = m_.Write(path_, static_cast<const uint8_t*>(data), len, pos_, &err_);
    if (n > 0) pos_ += static_cast<uint64_t>(n);
    return n;
  }
  ssize_t Read(void* data, size_t len) override {
    ssize_t n = m_.Read(path_, static_cast<uint8_t*>(data), len, pos_, &err_);
    if (n > 0) pos_ += static_cast<uint64_t>(n);
    return n;
  }
  // A positioned transfer counts as a seek to its offset.
  ssize_t PWrite(const void* data, size_t len, uint64_t offset) override {
    m_.NoteSeek(offset);
    return m_.Write(path_, static_cast<const uint8_t*>(data), len, offset, &err_);
  }
  ssize_t PRead(void* data, size_t len, uint64_t offset) override {
    m_.NoteSeek(offset);
    return m_.Read(path_, static_cast<uint8_t*>(data), len, offset, &err_);
  }
  bool Seek(uint64_t offset) override {
    m_.NoteSeek(offset);
    pos_ = offset;
    return true;
  }
  bool Sync() override { return m_.Sync(path_, &err_); }
  int64_t Size() override { return m_.SizeOf(path_); }
  int LastError() const override { return err_; }
  bool Direct() const override { return direct_; }

 private:
  SimulatedMedium& m_;
  std::string path_;
  bool direct_;
  uint64_t pos_ = 0;
  int err_ = 0;
};

SimulatedMedium::SimulatedMedium(uint64_t capacity) : keepsData_(false), capacity_(capacity) {
  platform::SetFileSystemForTesting(this);
}

SimulatedMedium::SimulatedMedium(uint64_t realSize, Beyond beyond)
    : keepsData_(true), device_(realSize), beyond_(beyond), capacity_(std::numeric_limits<uint64_t>::max()) {
  platform::SetFileSystemForTesting(this);
}

SimulatedMedium::~SimulatedMedium() {
  volume_.reset();
  platform::SetFileSystemForTesting(nullptr);
}

class SimulatedMedium::Volume : public platform::VolumeSource {
 public:
  Volume(SimulatedMedium& medium, platform::Volume volume, uint64_t total, uint64_t free, bool follows)
      : medium_(medium), volume_(std::move(volume)), total_(total), free_(free), follows_(follows) {
    platform::SetVolumeSourceForTesting(this);
  }
  ~Volume() override { platform::SetVolumeSourceForTesting(nullptr); }
  std::vector<platform::Volume> List() override { return {volume_}; }
  Result<platform::VolumeSpace> Space(const std::string&) override {
    uint64_t held = 0;
    if (follows_) {
      std::lock_guard<std::mutex> lock(medium_.mu_);
      held = medium_.Used();
    }
    platform::VolumeSpace space;
    space.totalBytes = total_;
    space.freeBytes = free_ > held ? free_ - held : 0;
    return space;
  }
  std::string Label(const platform::Volume&) override { return ""; }

 private:
  SimulatedMedium& medium_;
  const platform::Volume volume_;
  const uint64_t total_, free_;
  const bool follows_;
};

void SimulatedMedium::ListAsVolume(const std::string& root, uint64_t totalBytes, uint64_t freeBytes,
                                   const std::string& fsType, bool freeFollowsFiles) {
  volume_.reset();
  volume_ = std::make_unique<Volume>(*this, platform::Volume{root, "/dev/fake1", fsType, 8, 1}, totalBytes, freeBytes,
                                     freeFollowsFiles);
}

Result<std::unique_ptr<platform::File>> SimulatedMedium::Open(const std::string& path, platform::OpenMode mode,
                                                              bool direct) {
  bool created = false;
  int error = 0;
  std::unique_ptr<platform::File> file = OpenLocked(path, mode, direct, &error, &created);
  if (created && onCreate_) onCreate_(path);
  if (!file) return Status::FromErrno(error, "open " + path);
  return file;
}

std::unique_ptr<platform::File> SimulatedMedium::OpenLocked(const std::string& path, platform::OpenMode mode,
                                                            bool direct, int* error, bool* created) {
  std::lock_guard<std::mutex> lock(mu_);
  int ignored = 0;
  int& err = error ? *error : ignored;
  err = 0;
  if (refuseError_ || (direct && refuseDirect_)) {
    err = refuseError_ ? refuseError_ : EINVAL;
    return nullptr;
  }
  auto it = files_.find(path);
  if (mode == platform::OpenMode::kCreateNew && it != files_.end()) {
    err = EEXIST;
    return nullptr;
  }
  if (mode == platform::OpenMode::kCreateTruncate || mode == platform::OpenMode::kCreateNew) {
    if (it != files_.end()) {
      it->second.size = 0;  // emptied, not created again
    } else {
      if (refuseCreateFrom_ >= 0 && static_cast<int>(stats_.created.size()) >= refuseCreateFrom_) {
        err = refuseCreateError_;
        return nullptr;
      }
      stats_.created.push_back(path);
      ++createdCount_[path];
      *created = true;
      // Files follow one another on the device, as a fill writes them.
      uint64_t end = next_;
      for (const auto& [p, f] : files_) end = std::max(end, f.base + f.size);
      files_[path] = FileData{end, 0};
      next_ = end;
    }
  } else {
    if (it == files_.end()) {
      err = ENOENT;
      return nullptr;
    }
    if (mode == platform::OpenMode::kReadOnly && keepsData_) {
      ++stats_.readOpens[path];
      stats_.events.push_back("read-open:" + path);
    }
  }
  return std::make_unique<SimulatedFile>(*this, path, direct);
}

bool SimulatedMedium::Remove(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  ++stats_.removes[path];
  stats_.events.push_back("remove:" + path);
  if (failRemoves_) return false;
  return files_.erase(path) > 0;
}

bool SimulatedMedium::Exists(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  return files_.count(path) > 0;
}

uint64_t SimulatedMedium::Used() const {
  uint64_t n = 0;
  for (const auto& [p, f] : files_) n += f.size;
  return n;
}

void SimulatedMedium::Pieces(uint64_t address, size_t len, const std::function<void(uint8_t*, size_t, size_t)>& fn) {
  const uint64_t size = device_.size();
  size_t done = 0;
  while (done < len) {
    uint64_t a = address + done;
    if (size > 0 && (a < size || beyond_ == Beyond::kWrap)) {
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

ssize_t SimulatedMedium::Write(const std::string& path, const uint8_t* data, size_t len, uint64_t offset, int* err) {
  std::lock_guard<std::mutex> lock(mu_);
  // Only a drive that keeps data records each write: a sizes-only run may write millions.
  if (keepsData_) {
    stats_.writeLengths.push_back(len);
    stats_.events.push_back("write:" + path);
  }
  const int call = writeCalls_++;
  if (keepsData_ && (len % platform::kDirectAlign || offset % platform::kDirectAlign ||
                     reinterpret_cast<uintptr_t>(data) % platform::kDirectAlign)) {
    *err = EINVAL;
    return -1;
  }
  auto it = files_.find(path);
  if (it == files_.end()) return -1;
  FileData& f = it->second;
  if (failWritesFrom_ >= 0 && call >= failWritesFrom_) {
    *err = EIO;
    return -1;
  }
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
  const uint64_t used = Used() - f.size + std::min<uint64_t>(f.size, offset);
  if (used + allowed > spaceLimit_) {
    allowed = spaceLimit_ > used ? static_cast<size_t>(spaceLimit_ - used) : 0;
    allowed &= ~(platform::kDirectAlign - 1);
    if (wholeOrNothing_) allowed = 0;
    failure = ENOSPC;
  }
  // A full sizes-only medium takes what fits, without an error.
  const uint64_t end = offset + allowed;
  const uint64_t grow = end > f.size ? end - f.size : 0;
  const uint64_t room = capacity_ - std::min(capacity_, Used());
  if (grow > room) {
    const uint64_t fits = f.size + room;
    allowed = fits > offset ? static_cast<size_t>(fits - offset) : 0;
  }
  if (keepsData_) {
    Pieces(f.base + offset, allowed, [&](uint8_t* dev, size_t at, size_t n) {
      if (dev) std::memcpy(dev, data + at, n);
    });
  }
  if (allowed > 0) f.size = std::max<uint64_t>(f.size, offset + allowed);
  if (failure) {
    *err = failure;
    return allowed > 0 ? static_cast<ssize_t>(allowed) : -1;
  }
  return static_cast<ssize_t>(grow > room ? allowed : len);
}

ssize_t SimulatedMedium::Read(const std::string& path, uint8_t* data, size_t len, uint64_t offset, int* err) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = files_.find(path);
  if (!keepsData_) {
    if (it == files_.end() || offset >= it->second.size) return 0;
    return static_cast<ssize_t>(std::min<uint64_t>(len, it->second.size - offset));
  }
  ++stats_.reads;
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

bool SimulatedMedium::Sync(const std::string& path, int* err) {
  std::lock_guard<std::mutex> lock(mu_);
  if (keepsData_) stats_.events.push_back("sync:" + path);
  if (failSyncs_) *err = EIO;
  return !failSyncs_;
}

void SimulatedMedium::NoteSeek(uint64_t offset) {
  std::lock_guard<std::mutex> lock(mu_);
  seeks_.push_back(offset);
}

void SimulatedMedium::RefuseOpens(int error, bool refuseDirect) {
  std::lock_guard<std::mutex> lock(mu_);
  refuseError_ = error;
  refuseDirect_ = refuseDirect;
}

void SimulatedMedium::RefuseCreateFrom(int n, int error) {
  std::lock_guard<std::mutex> lock(mu_);
  refuseCreateFrom_ = n;
  refuseCreateError_ = error;
}

void SimulatedMedium::FailWritesFrom(int n) {
  std::lock_guard<std::mutex> lock(mu_);
  failWritesFrom_ = n;
  writeCalls_ = 0;
}

void SimulatedMedium::FailWrite(int call, size_t partial) {
  std::lock_guard<std::mutex> lock(mu_);
  failWrites_[call] = partial;
}

void SimulatedMedium::FailReadsFrom(uint64_t address) {
  std::lock_guard<std::mutex> lock(mu_);
  failReadsFrom_ = address;
}

void SimulatedMedium::CorruptReadsFrom(uint64_t address) {
  std::lock_guard<std::mutex> lock(mu_);
  corruptFrom_ = address;
}

void SimulatedMedium::LimitSpace(uint64_t bytes, bool wholeOrNothing) {
  std::lock_guard<std::mutex> lock(mu_);
  spaceLimit_ = bytes;
  wholeOrNothing_ = wholeOrNothing;
}

void SimulatedMedium::LimitFileSize(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mu_);
  fileLimit_ = bytes;
}

void SimulatedMedium::FailRemoves() {
  std::lock_guard<std::mutex> lock(mu_);
  failRemoves_ = true;
}

void SimulatedMedium::FailSyncs() {
  std::lock_guard<std::mutex> lock(mu_);
  failSyncs_ = true;
}

SimulatedMedium::Stats SimulatedMedium::stats() {
  std::lock_guard<std::mutex> lock(mu_);
  return stats_;
}

std::vector<uint64_t> SimulatedMedium::Seeks() {
  std::lock_guard<std::mutex> lock(mu_);
  return seeks_;
}

int64_t SimulatedMedium::SizeOf(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = files_.find(path);
  return it == files_.end() ? -1 : static_cast<int64_t>(it->second.size);
}

std::map<std::string, int> SimulatedMedium::Created() {
  std::lock_guard<std::mutex> lock(mu_);
  return createdCount_;
}

}  // namespace sorvanta::testing
