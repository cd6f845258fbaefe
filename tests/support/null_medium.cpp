#include "support/null_medium.h"

#include <algorithm>
#include <cerrno>

namespace sorvanta::testing {

class NullFile : public platform::File {
 public:
  NullFile(NullMedium* m, std::string path, bool direct) : m_(m), path_(std::move(path)), direct_(direct) {}

  ssize_t Write(const void* d, size_t n) override {
    ssize_t got = WriteAt(d, n, pos_);
    if (got > 0) pos_ += static_cast<uint64_t>(got);
    return got;
  }
  ssize_t Read(void* d, size_t n) override {
    ssize_t got = ReadAt(d, n, pos_);
    if (got > 0) pos_ += static_cast<uint64_t>(got);
    return got;
  }
  // A positioned transfer counts as a seek to its offset.
  ssize_t PWrite(const void* d, size_t n, uint64_t offset) override {
    NoteSeek(offset);
    return WriteAt(d, n, offset);
  }
  ssize_t PRead(void* d, size_t n, uint64_t offset) override {
    NoteSeek(offset);
    return ReadAt(d, n, offset);
  }
  ssize_t WriteAt(const void*, size_t n, uint64_t offset) {
    std::lock_guard<std::mutex> lock(m_->mu_);
    auto it = m_->sizes_.find(path_);
    if (it == m_->sizes_.end()) return -1;
    if (m_->failWritesFrom_ >= 0 && m_->writeCalls_++ >= m_->failWritesFrom_) {
      error_ = EIO;
      return -1;
    }
    uint64_t end = offset + n;
    uint64_t grow = end > it->second ? end - it->second : 0;
    uint64_t room = m_->capacity_ - m_->used_;
    if (grow > room) {  // a full medium takes what fits
      grow = room;
      end = it->second + room;
      if (end <= offset) return 0;
      n = static_cast<size_t>(end - offset);
    }
    m_->used_ += grow;
    it->second = std::max(it->second, end);
    return static_cast<ssize_t>(n);
  }
  ssize_t ReadAt(void*, size_t n, uint64_t offset) {
    std::lock_guard<std::mutex> lock(m_->mu_);
    auto it = m_->sizes_.find(path_);
    if (it == m_->sizes_.end() || offset >= it->second) return 0;
    return static_cast<ssize_t>(std::min<uint64_t>(n, it->second - offset));
  }
  bool Seek(uint64_t offset) override {
    NoteSeek(offset);
    pos_ = offset;
    return true;
  }
  void NoteSeek(uint64_t offset) {
    std::lock_guard<std::mutex> lock(m_->mu_);
    m_->seeks_.push_back(offset);
  }
  bool Sync() override { return true; }
  int64_t Size() override {
    std::lock_guard<std::mutex> lock(m_->mu_);
    auto it = m_->sizes_.find(path_);
    return it == m_->sizes_.end() ? -1 : static_cast<int64_t>(it->second);
  }
  int LastError() const override { return error_; }
  bool Direct() const override { return direct_; }

 private:
  NullMedium* m_;
  std::string path_;
  bool direct_;
  uint64_t pos_ = 0;
  int error_ = 0;
};

NullMedium::NullMedium(uint64_t capacity) : capacity_(capacity) { platform::SetFileSystemForTesting(this); }
NullMedium::~NullMedium() { platform::SetFileSystemForTesting(nullptr); }

Result<std::unique_ptr<platform::File>> NullMedium::Open(const std::string& path, platform::OpenMode mode,
                                                         bool direct) {
  bool created = false;
  int error = 0;
  std::unique_ptr<platform::File> file = OpenLocked(path, mode, direct, &error, &created);
  if (created && onCreate_) onCreate_(path);
  if (!file) return Status::FromErrno(error, "open " + path);
  return file;
}

std::unique_ptr<platform::File> NullMedium::OpenLocked(const std::string& path, platform::OpenMode mode, bool direct,
                                                       int* error, bool* created) {
  std::lock_guard<std::mutex> lock(mu_);
  if (refuseError_ || (direct && refuseDirect_)) {
    if (error) *error = refuseError_ ? refuseError_ : EINVAL;
    return nullptr;
  }
  auto it = sizes_.find(path);
  if (mode == platform::OpenMode::kCreateNew && it != sizes_.end()) {
    if (error) *error = EEXIST;
    return nullptr;
  }
  if (mode == platform::OpenMode::kCreateTruncate || mode == platform::OpenMode::kCreateNew) {
    if (it != sizes_.end()) {
      used_ -= it->second;  // emptied, not created again
    } else {
      ++created_[path];
      *created = true;
    }
    sizes_[path] = 0;
  } else if (it == sizes_.end()) {
    if (error) *error = ENOENT;
    return nullptr;
  }
  if (error) *error = 0;
  return std::make_unique<NullFile>(this, path, direct);
}

bool NullMedium::Remove(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = sizes_.find(path);
  if (it == sizes_.end()) return false;
  used_ -= it->second;
  sizes_.erase(it);
  return true;
}

bool NullMedium::Exists(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  return sizes_.count(path) > 0;
}

void NullMedium::RefuseOpens(int error, bool refuseDirect) {
  std::lock_guard<std::mutex> lock(mu_);
  refuseError_ = error;
  refuseDirect_ = refuseDirect;
}

void NullMedium::FailWritesFrom(int n) {
  std::lock_guard<std::mutex> lock(mu_);
  failWritesFrom_ = n;
  writeCalls_ = 0;
}

std::vector<uint64_t> NullMedium::Seeks() {
  std::lock_guard<std::mutex> lock(mu_);
  return seeks_;
}

int64_t NullMedium::SizeOf(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = sizes_.find(path);
  return it == sizes_.end() ? -1 : static_cast<int64_t>(it->second);
}

std::map<std::string, int> NullMedium::Created() {
  std::lock_guard<std::mutex> lock(mu_);
  return created_;
}

}  // namespace sorvanta::testing
