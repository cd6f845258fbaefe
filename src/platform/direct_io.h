// Files for measuring and filling drives: unbuffered (O_DIRECT) or through the page
// cache, with 4096-aligned buffers.
//
// Engines open files through a FileSystem so that tests can put a fake medium under the
// real run logic (a drive that returns wrong data, fails writes, or is full). The default
// FileSystem is the real one. Files are not shared between threads unless a caller says so;
// PRead/PWrite on one File may be used from several threads at once.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/status.h"

namespace sorvanta::platform {

constexpr size_t kDirectAlign = 4096;

// A zero-filled, 4096-aligned heap buffer; size is rounded up to a multiple of 4096.
class AlignedBuffer {
 public:
  explicit AlignedBuffer(size_t size);
  ~AlignedBuffer();
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;
  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  bool ok() const { return data_ != nullptr; }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

enum class OpenMode {
  kCreateTruncate,  // write (and read); create or empty the file, never through a link
  kCreateNew,       // write (and read); a new file only: fails with EEXIST when the name is
                    // taken, by a link too, so that a file the program did not make is never touched
  kReadOnly,
  kReadWrite,       // existing file
};

// An open file. Operations return the byte count, or -1 with errno-style code in LastError().
// Write/Read move the file position; they loop over short transfers, so a short result means
// end of file (read) or an error/full medium (write).
class File {
 public:
  virtual ~File() = default;
  virtual ssize_t Write(const void* data, size_t len) = 0;
  virtual ssize_t Read(void* data, size_t len) = 0;
  virtual ssize_t PWrite(const void* data, size_t len, uint64_t offset) = 0;
  virtual ssize_t PRead(void* data, size_t len, uint64_t offset) = 0;
  virtual bool Seek(uint64_t offset) = 0;
  virtual bool Sync() = 0;
  virtual int64_t Size() = 0;
  // Reserves the first length bytes on the medium and makes the file that long; the failure
  // carries the errno (EOPNOTSUPP, kUnsupported, where the file system cannot reserve
  // without writing).
  virtual Status Allocate(uint64_t length) { return Status::FromErrno(EOPNOTSUPP, "fallocate"); }
  // errno of the last failed call (0 when none).
  virtual int LastError() const = 0;
  // Whether the file really bypasses the page cache.
  virtual bool Direct() const = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // Opens path; direct asks for O_DIRECT. A failure carries the errno (EEXIST for a taken
  // name under kCreateNew). A file system that refuses O_DIRECT fails with EINVAL: never
  // silently cached.
  virtual Result<std::unique_ptr<File>> Open(const std::string& path, OpenMode mode, bool direct) = 0;
  virtual bool Remove(const std::string& path) = 0;
  virtual bool Exists(const std::string& path) = 0;
  // Asks the kernel to drop the cached pages of a file (after writing it, before reading it).
  virtual void DropCache(const std::string& path) = 0;
};

// The real file system.
FileSystem& RealFileSystem();
// The current one (real unless a test installed another; nullptr restores the real one).
FileSystem& Files();
void SetFileSystemForTesting(FileSystem* fs);

// Reads the whole file at path from its medium, never from the page cache: with O_DIRECT,
// or where the file system refuses O_DIRECT, after its cached pages were dropped and found
// gone. Each chunk goes to consume in order. A failure names the step and carries its errno;
// pages that cannot be dropped fail with kFailed ("cached pages stay").
Status ReadFromMedium(const std::string& path, const std::function<void(const uint8_t*, size_t)>& consume);

}  // namespace sorvanta::platform
