#include "platform/direct_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sorvanta::platform {
namespace {

class PosixFile : public File {
 public:
  PosixFile(int fd, bool direct) : fd_(fd), direct_(direct) {}
  ~PosixFile() override { close(fd_); }

  ssize_t Write(const void* data, size_t len) override {
    return Loop(len, [&](size_t done) {
      return ::write(fd_, static_cast<const char*>(data) + done, len - done);
    });
  }
  ssize_t Read(void* data, size_t len) override {
    return Loop(len, [&](size_t done) { return ::read(fd_, static_cast<char*>(data) + done, len - done); });
  }
  ssize_t PWrite(const void* data, size_t len, uint64_t offset) override {
    return Loop(len, [&](size_t done) {
      return ::pwrite(fd_, static_cast<const char*>(data) + done, len - done, static_cast<off_t>(offset + done));
    });
  }
  ssize_t PRead(void* data, size_t len, uint64_t offset) override {
    return Loop(len, [&](size_t done) {
      return ::pread(fd_, static_cast<char*>(data) + done, len - done, static_cast<off_t>(offset + done));
    });
  }
  bool Seek(uint64_t offset) override {
    if (lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return Fail();
    return true;
  }
  bool Sync() override { return fsync(fd_) == 0 || Fail(); }
  Status Allocate(uint64_t length) override {
    if (length == 0) return Status::Ok();
    int rc;
    do {
      rc = fallocate(fd_, 0, 0, static_cast<off_t>(length));
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? Status::Ok() : Status::FromErrno(errno, "fallocate");
  }
  int64_t Size() override {
    struct stat st {};
    if (fstat(fd_, &st) != 0) return Fail(), -1;
    return st.st_size;
  }
  int LastError() const override { return lastError_.load(); }
  bool Direct() const override { return direct_; }

 private:
  bool Fail() {
    lastError_.store(errno);
    return false;
  }
  // Repeats a transfer until len bytes moved, end of file, or an error. An error after
  // some bytes moved returns the bytes moved; the error stays in LastError().
  template <typename Op>
  ssize_t Loop(size_t len, Op op) {
    size_t done = 0;
    while (done < len) {
      ssize_t n = op(done);
      if (n < 0) {
        if (errno == EINTR) continue;
        Fail();
        return done > 0 ? static_cast<ssize_t>(done) : -1;
      }
      if (n == 0) {
        if (done < len) lastError_.store(0);
        break;
      }
      done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
  }

  int fd_;
  bool direct_;
  std::atomic<int> lastError_{0};
};

class PosixFileSystem : public FileSystem {
 public:
  Result<std::unique_ptr<File>> Open(const std::string& path, OpenMode mode, bool direct) override {
    int flags = O_CLOEXEC;
    switch (mode) {
      case OpenMode::kCreateTruncate: flags |= O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW; break;
      case OpenMode::kCreateNew: flags |= O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW; break;
      case OpenMode::kReadOnly: flags |= O_RDONLY; break;
      case OpenMode::kReadWrite: flags |= O_RDWR; break;
    }
    if (direct) flags |= O_DIRECT;
    int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) return Status::FromErrno(errno, "open " + path);
    return std::unique_ptr<File>(std::make_unique<PosixFile>(fd, direct));
  }
  bool Remove(const std::string& path) override { return ::unlink(path.c_str()) == 0; }
  bool Exists(const std::string& path) override { return ::access(path.c_str(), F_OK) == 0; }
  void DropCache(const std::string& path) override {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
  }
};

std::atomic<FileSystem*> g_fsOverride{nullptr};

}  // namespace

AlignedBuffer::AlignedBuffer(size_t size) {
  size_ = (size + kDirectAlign - 1) & ~(kDirectAlign - 1);
  if (size_ == 0) size_ = kDirectAlign;
  void* p = nullptr;
  if (posix_memalign(&p, kDirectAlign, size_) != 0) {
    size_ = 0;
    return;
  }
  std::memset(p, 0, size_);
  data_ = static_cast<uint8_t*>(p);
}

AlignedBuffer::~AlignedBuffer() { std::free(data_); }

FileSystem& RealFileSystem() {
  static PosixFileSystem fs;
  return fs;
}

FileSystem& Files() {
  FileSystem* o = g_fsOverride.load(std::memory_order_acquire);
  return o ? *o : RealFileSystem();
}

void SetFileSystemForTesting(FileSystem* fs) { g_fsOverride.store(fs, std::memory_order_release); }

}  // namespace sorvanta::platform
