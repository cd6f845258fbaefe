// A do-nothing medium for testing run logic without a disk: files exist only as sizes,
// writes are accepted at once until the medium's capacity is used up (then they transfer
// 0 bytes, like a full disk), reads return the bytes a file holds without touching the
// buffer; writes can be made to fail from a chosen call on. Installs itself as the current
// platform::FileSystem for its lifetime. It can
// refuse every open (an unwritable folder) or only unbuffered ones (a file system without
// O_DIRECT), and records every seek and positioned transfer.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/direct_io.h"

namespace sorvanta::testing {

class NullMedium : public platform::FileSystem {
 public:
  explicit NullMedium(uint64_t capacity = std::numeric_limits<uint64_t>::max());
  ~NullMedium() override;

  Result<std::unique_ptr<platform::File>> Open(const std::string& path, platform::OpenMode mode,
                                               bool direct) override;
  bool Remove(const std::string& path) override;
  bool Exists(const std::string& path) override;
  void DropCache(const std::string&) override {}

  // errno for every open (0: none); refuseDirect fails O_DIRECT opens with EINVAL.
  void RefuseOpens(int error, bool refuseDirect = false);
  // Write calls from the n-th on (counted from 0 over the medium) fail with EIO.
  void FailWritesFrom(int n);
  // Every seek offset so far, in order (a positioned read or write counts as one).
  std::vector<uint64_t> Seeks();
  // Size of a file, or -1 when it does not exist.
  int64_t SizeOf(const std::string& path);
  // Every path that was ever created, with how often (emptying an existing file is not a creation).
  std::map<std::string, int> Created();
  // Called on the opening thread, outside the medium's lock, after each file is created: a
  // test can act at an exact point of a run (set before the run starts).
  void OnCreate(std::function<void(const std::string& path)> hook) { onCreate_ = std::move(hook); }

 private:
  friend class NullFile;
  std::unique_ptr<platform::File> OpenLocked(const std::string& path, platform::OpenMode mode, bool direct, int* error,
                                             bool* created);
  std::mutex mu_;
  uint64_t capacity_;
  uint64_t used_ = 0;
  std::map<std::string, uint64_t> sizes_;
  std::map<std::string, int> created_;
  std::vector<uint64_t> seeks_;
  int refuseError_ = 0;
  bool refuseDirect_ = false;
  int writeCalls_ = 0;
  int failWritesFrom_ = -1;
  std::function<void(const std::string&)> onCreate_;
};

}  // namespace sorvanta::testing
