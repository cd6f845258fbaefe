// Read-back of the test files for verification: one reader thread reads the blocks ahead
// (unbuffered) while hasher threads take their SM3 digests on the other cores, and the
// caller receives the results strictly in file and block order, so that what it reports
// stays in the same order as a one-block-at-a-time check.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/thread/thread.hpp>

#include "capacity/pattern_blocks.h"

namespace sorvanta::capacity {

// A block as written: where it lies in its file, the digest of its first size bytes, the
// number it carries and what the verification found.
struct WrittenBlock {
  enum Check : uint8_t { kUnverified, kIntact, kMismatch };
  uint64_t offset = 0;
  uint32_t size = 0;
  uint8_t digest[32] = {};
  uint64_t sequence = 0;
  Check check = kUnverified;
};

// One test file of a run and, in capacity-check mode, the blocks written to it in order.
struct TestFileRecord {
  std::string path;
  std::vector<WrittenBlock> blocks;
};

// One step of the read-back, in order.
struct ReadBackItem {
  enum Kind {
    kOpened,      // the file was opened for reading
    kOpenFailed,  // it could not be opened; a kReadFailed follows if it has blocks
    kBlock,       // block `block` of the file was read and hashed
    kReadFailed,  // reading the block failed; nothing follows
    kNoMemory,    // no buffer could be had for the block; nothing follows
  };
  Kind kind = kOpened;
  size_t file = 0;
  size_t block = 0;
  uint64_t bytesRead = 0;  // kBlock: bytes that came back (the digest covers min(read, size))
  uint8_t digest[32] = {};
};

class ReadBack {
 public:
  // Reads files (which must outlive this object) through the current FileSystem.
  // hashThreads >= 1; the pipeline holds hashThreads + 2 buffers of 16 MiB.
  ReadBack(const std::vector<TestFileRecord>& files, BlockBufferPool& pool, int hashThreads);
  ~ReadBack();  // cancels and joins

  // Waits for the next item in order; false when every file was read or reading ended.
  bool Next(ReadBackItem* item);
  // Stops reading and hashing early.
  void Cancel();

 private:
  struct Slot {
    ReadBackItem item;
    std::unique_ptr<platform::AlignedBuffer> buffer;
    size_t hashLength = 0;
    bool claimed = false;
    bool ready = false;
  };
  void Read();
  void Hash();
  // Appends a slot; false when cancelled.
  bool Push(std::unique_ptr<Slot> slot);

  const std::vector<TestFileRecord>& files_;
  BlockBufferPool& pool_;
  const size_t maxBuffers_;

  std::mutex mu_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<Slot>> slots_;
  size_t buffersOut_ = 0;
  bool readerDone_ = false;
  bool cancelled_ = false;
  std::vector<boost::thread> threads_;
};

}  // namespace sorvanta::capacity
