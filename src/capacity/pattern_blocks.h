// Test data for the capacity check: 16 MiB blocks built from a random 23,333-byte pattern,
// made ahead of the writer by generator threads and handed over through a bounded queue.
//
// Every block of a run differs from every other: the patterns come from one pseudo-random
// stream shared by all generators (never one stream per thread, which would give identical
// blocks in lockstep), and each block carries its sequence number in the bytes behind the
// pattern. A drive that wraps its addresses therefore can never hand back another block
// whose digest matches. Beside the number sits a random tag drawn once per run, so that the
// sector holding both tells this run's blocks from stale data and says which block it is.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include <boost/thread/thread.hpp>

#include "platform/direct_io.h"

namespace sorvanta::capacity {

constexpr uint32_t kCapacityBlockSize = 16u * 1024 * 1024;
constexpr size_t kPatternBytes = 23333;
constexpr size_t kPatternCopies = 719;  // 719 * 23,333 = 16,776,427 bytes; 789 bytes remain
constexpr size_t kBlockQueueLimit = 10;

// Where a block's sequence number and run tag lie: right behind the last pattern copy, in
// the block's last 4 KiB sector (the one a tag read-back fetches).
constexpr size_t kBlockTagOffset = kPatternBytes * kPatternCopies;
constexpr size_t kTagSectorBytes = 4096;
constexpr size_t kTagSectorOffset = kCapacityBlockSize - kTagSectorBytes;

// 16 random bytes that mark the blocks of one run.
using RunTag = std::array<uint8_t, 16>;
// A fresh tag from the system's random source.
RunTag NewRunTag();

// The classic rand() generator (x = x * 214013 + 2531011, output bits 16..30), one stream for
// the whole window. Thread-safe: a caller draws a whole pattern in one piece.
class PatternStream {
 public:
  explicit PatternStream(uint32_t seed) : state_(seed) {}
  // Writes rand() % 255 for each of n bytes (values 0..254) and returns the number of
  // patterns drawn before this one, which numbers the block.
  uint64_t Draw(uint8_t* out, size_t n);

 private:
  std::mutex mu_;
  uint32_t state_;
  uint64_t drawn_ = 0;
};

// Fills a 16 MiB buffer: a fresh pattern copied 719 times, then in the last 789 bytes the
// block's sequence number (8 bytes, little-endian), the run tag and zeros. Returns the number.
uint64_t BuildTestBlock(PatternStream& stream, uint8_t* block, const RunTag& tag = {});
// Fills one tag sector (kTagSectorBytes) on its own, as the last sector of a block numbered
// number would read: pattern bytes, then the number and the run tag at their places.
void BuildTagSector(uint8_t* sector, uint64_t number, const RunTag& tag);
// Reads the number from a block's last sector (kTagSectorBytes long); false when the sector
// does not carry this tag.
bool ReadBlockTag(const uint8_t* tagSector, const RunTag& tag, uint64_t* sequence);

// Reusable 16 MiB aligned buffers, so that a run does not map and zero a new one per block.
class BlockBufferPool {
 public:
  // At most limit buffers exist at once (by default as many as memory allows).
  void SetLimit(size_t limit);
  // nullptr when memory is exhausted or the limit is reached.
  std::unique_ptr<platform::AlignedBuffer> Acquire();
  void Release(std::unique_ptr<platform::AlignedBuffer> buffer);
  void Clear();
  // Buffers handed out and not given back yet: when this is 0 and Acquire fails, waiting
  // cannot help, since no buffer will come back.
  size_t Outstanding();

 private:
  std::mutex mu_;
  std::vector<std::unique_ptr<platform::AlignedBuffer>> free_;
  size_t limit_ = SIZE_MAX;
  size_t outstanding_ = 0;
};

// One block of test data on its way to the medium.
struct TestBlock {
  std::unique_ptr<platform::AlignedBuffer> data;  // 16 MiB; owned until written
  uint32_t size = 0;                              // bytes the digest covers; 0 when none taken
  uint8_t digest[32] = {};
  uint64_t sequence = 0;  // the number written into the block
};

// The generator threads and the queue of at most 10 blocks between them and the writer.
// The queue lock guards every look at the queue; the stop lock guards writes of the stop flag.
class BlockGenerators {
 public:
  // withDigest: take the SM3 digest of each block (capacity check) or not (wipe); every
  // block carries tag.
  BlockGenerators(PatternStream& stream, BlockBufferPool& pool, bool withDigest, const RunTag& tag = {});
  ~BlockGenerators();  // stops and joins

  // Clears the stop flag and starts count generator threads.
  void Start(int count);
  // Waits for the next block (in the order the generators finished them). Returns a block
  // without data when the generators ended (stopped, or out of memory with no buffer left
  // to wait for) or when cancelled() turns true (checked every 50 ms).
  TestBlock Take(const std::function<bool()>& cancelled = {});
  // Sets the stop flag under the stop lock; generators end and free what is queued.
  void Stop();
  // Stop() and wait for every generator thread to end.
  void Join();
  // Blocks the generators have made so far (for measurements).
  uint64_t Made() const { return made_.load(); }

 private:
  void Generate();

  PatternStream& stream_;
  BlockBufferPool& pool_;
  const bool withDigest_;
  const RunTag tag_;

  std::mutex queueLock_;
  std::condition_variable queued_;
  std::deque<TestBlock> queue_;

  std::mutex stopLock_;
  std::atomic<bool> stop_{false};
  std::atomic<int> alive_{0};
  std::atomic<uint64_t> made_{0};
  std::vector<boost::thread> threads_;
};

}  // namespace sorvanta::capacity
