#include "platform/direct_io.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

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

namespace {

// Reads fd to its end in chunks of buffer's size; 0 or the errno of the failed read.
int ReadToEnd(int fd, AlignedBuffer& buffer, const std::function<void(const uint8_t*, size_t)>& consume) {
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return 0;
    consume(buffer.data(), static_cast<size_t>(n));
  }
}

// Whether any page of the open file is in the page cache (false for an empty file).
Result<bool> AnyPageCached(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return Status::FromErrno(errno, "fstat");
  if (st.st_size == 0) return false;
  const size_t length = static_cast<size_t>(st.st_size);
  void* map = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
  if (map == MAP_FAILED) return Status::FromErrno(errno, "mmap");
  const long page = ::sysconf(_SC_PAGESIZE);
  std::vector<unsigned char> resident((length + static_cast<size_t>(page) - 1) / static_cast<size_t>(page));
  const int rc = ::mincore(map, length, resident.data());
  const int error = errno;
  ::munmap(map, length);
  if (rc != 0) return Status::FromErrno(error, "mincore");
  for (unsigned char r : resident)
    if (r & 1) return true;
  return false;
}

}  // namespace

Status ReadFromMedium(const std::string& path, const std::function<void(const uint8_t*, size_t)>& consume) {
  AlignedBuffer buffer(1 << 20);
  if (!buffer.ok()) return Status::FromErrno(ENOMEM, "buffer");
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
  if (fd >= 0) {
    const int error = ReadToEnd(fd, buffer, consume);
    ::close(fd);
    return error == 0 ? Status::Ok() : Status::FromErrno(error, "read " + path);
  }
  if (errno != EINVAL) return Status::FromErrno(errno, "open " + path);

  // No O_DIRECT here: drop the file's clean cached pages (dirty ones are written first) and
  // read only when none is left.
  fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Status::FromErrno(errno, "open " + path);
  ::fdatasync(fd);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  Result<bool> cached = AnyPageCached(fd);
  Status status;
  if (!cached.ok()) {
    status = cached.status();
  } else if (cached.value()) {
    status = Status::Error(StatusCode::kFailed, "cached pages stay: " + path);
  } else if (const int error = ReadToEnd(fd, buffer, consume); error != 0) {
    status = Status::FromErrno(error, "read " + path);
  }
  ::close(fd);
  return status;
}

}  // namespace sorvanta::platform
