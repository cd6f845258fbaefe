#include "capacity/pattern_blocks.h"

#include <chrono>
#include <cstring>
#include <random>
#include <thread>

#include "base/crypto.h"

namespace sorvanta::capacity {

uint64_t PatternStream::Draw(uint8_t* out, size_t n) {
  std::lock_guard<std::mutex> lock(mu_);
  uint32_t x = state_;
  for (size_t i = 0; i < n; ++i) {
    x = x * 214013u + 2531011u;
    out[i] = static_cast<uint8_t>(((x >> 16) & 0x7fff) % 255);
  }
  state_ = x;
  return drawn_++;
}

RunTag NewRunTag() {
  std::random_device device;
  RunTag tag;
  for (size_t i = 0; i < tag.size(); i += 4) {
    uint32_t r = device();
    for (size_t k = 0; k < 4; ++k) tag[i + k] = static_cast<uint8_t>(r >> (8 * k));
  }
  return tag;
}

uint64_t BuildTestBlock(PatternStream& stream, uint8_t* block, const RunTag& tag) {
  uint64_t number = stream.Draw(block, kPatternBytes);
  for (size_t i = 1; i < kPatternCopies; ++i) std::memcpy(block + i * kPatternBytes, block, kPatternBytes);
  uint8_t* rest = block + kBlockTagOffset;
  std::memset(rest, 0, kCapacityBlockSize - kBlockTagOffset);
  for (int i = 0; i < 8; ++i) rest[i] = static_cast<uint8_t>(number >> (8 * i));
  std::memcpy(rest + 8, tag.data(), tag.size());
  return number;
}

void BuildTagSector(uint8_t* sector, uint64_t number, const RunTag& tag) {
  const size_t tagAt = kBlockTagOffset - kTagSectorOffset;
  uint32_t x = static_cast<uint32_t>(number * 2654435761u) ^ 0x5a17u;
  for (size_t i = 0; i < tagAt; ++i) {
    x = x * 214013u + 2531011u;
    sector[i] = static_cast<uint8_t>(((x >> 16) & 0x7fff) % 255);
  }
  std::memset(sector + tagAt, 0, kTagSectorBytes - tagAt);
  for (int i = 0; i < 8; ++i) sector[tagAt + i] = static_cast<uint8_t>(number >> (8 * i));
  std::memcpy(sector + tagAt + 8, tag.data(), tag.size());
}

bool ReadBlockTag(const uint8_t* tagSector, const RunTag& tag, uint64_t* sequence) {
  // A run without a tag cannot tell its blocks from a zeroed sector.
  if (tag == RunTag{}) return false;
  const uint8_t* rest = tagSector + (kBlockTagOffset - kTagSectorOffset);
  if (std::memcmp(rest + 8, tag.data(), tag.size()) != 0) return false;
  uint64_t number = 0;
  for (int i = 0; i < 8; ++i) number |= static_cast<uint64_t>(rest[i]) << (8 * i);
  *sequence = number;
  return true;
}

void BlockBufferPool::SetLimit(size_t limit) {
  std::lock_guard<std::mutex> lock(mu_);
  limit_ = limit;
}

std::unique_ptr<platform::AlignedBuffer> BlockBufferPool::Acquire() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!free_.empty()) {
      auto b = std::move(free_.back());
      free_.pop_back();
      ++outstanding_;
      return b;
    }
    if (outstanding_ >= limit_) return nullptr;
    ++outstanding_;  // counted before the allocation so that the limit holds across threads
  }
  auto b = std::make_unique<platform::AlignedBuffer>(kCapacityBlockSize);
  if (!b->ok()) {
    std::lock_guard<std::mutex> lock(mu_);
    --outstanding_;
    return nullptr;
  }
  return b;
}

void BlockBufferPool::Release(std::unique_ptr<platform::AlignedBuffer> buffer) {
  if (!buffer) return;
  std::lock_guard<std::mutex> lock(mu_);
  free_.push_back(std::move(buffer));
  if (outstanding_ > 0) --outstanding_;
}

void BlockBufferPool::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  free_.clear();
}

size_t BlockBufferPool::Outstanding() {
  std::lock_guard<std::mutex> lock(mu_);
  return outstanding_;
}

BlockGenerators::BlockGenerators(PatternStream& stream, BlockBufferPool& pool, bool withDigest, const RunTag& tag)
    : stream_(stream), pool_(pool), withDigest_(withDigest), tag_(tag) {}

BlockGenerators::~BlockGenerators() { Join(); }

void BlockGenerators::Start(int count) {
  {
    std::lock_guard<std::mutex> lock(stopLock_);
    stop_.store(false);
  }
  for (int i = 0; i < count; ++i) {
    alive_.fetch_add(1);
    threads_.emplace_back([this] { Generate(); });
  }
}

void BlockGenerators::Generate() {
  for (;;) {
    size_t queued;
    {
      std::lock_guard<std::mutex> lock(queueLock_);
      queued = queue_.size();
    }
    if (stop_.load()) break;
    if (queued < kBlockQueueLimit) {
      TestBlock block;
      block.data = pool_.Acquire();
      if (!block.data) {
        // Out of memory: wait for the writer to give a buffer back, or give up when none
        // is out, so that the writer learns of it instead of waiting for ever.
        if (pool_.Outstanding() == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        continue;
      }
      block.sequence = BuildTestBlock(stream_, block.data->data(), tag_);
      if (withDigest_) {
        Sm3Digest(block.data->data(), kCapacityBlockSize, block.digest);
        block.size = kCapacityBlockSize;
      }
      made_.fetch_add(1);
      std::lock_guard<std::mutex> lock(queueLock_);
      queue_.push_back(std::move(block));
      queued_.notify_one();
    } else {
      std::unique_lock<std::mutex> lock(queueLock_);
      // Sleep 50 ms or until the writer takes a block or the run stops.
      queued_.wait_for(lock, std::chrono::milliseconds(50));
    }
  }
  // The generator that sees the stop first frees what is still queued; one that gave up
  // for lack of memory leaves the queue to the writer.
  std::lock_guard<std::mutex> lock(queueLock_);
  if (stop_.load()) {
    for (TestBlock& b : queue_) pool_.Release(std::move(b.data));
    queue_.clear();
  }
  alive_.fetch_sub(1);
  queued_.notify_all();
}

TestBlock BlockGenerators::Take(const std::function<bool()>& cancelled) {
  std::unique_lock<std::mutex> lock(queueLock_);
  auto ready = [this] { return !queue_.empty() || alive_.load() == 0; };
  while (!ready()) {
    if (cancelled && cancelled()) return TestBlock{};
    queued_.wait_for(lock, std::chrono::milliseconds(50), ready);
  }
  if (queue_.empty()) return TestBlock{};
  TestBlock b = std::move(queue_.front());
  queue_.pop_front();
  queued_.notify_all();  // a generator waiting for room may go on
  return b;
}

void BlockGenerators::Stop() {
  {
    std::lock_guard<std::mutex> lock(stopLock_);
    stop_.store(true);
  }
  std::lock_guard<std::mutex> lock(queueLock_);
  queued_.notify_all();
}

void BlockGenerators::Join() {
  Stop();
  for (auto& t : threads_) t.join();
  threads_.clear();
  std::lock_guard<std::mutex> lock(queueLock_);
  for (TestBlock& b : queue_) pool_.Release(std::move(b.data));
  queue_.clear();
}

}  // namespace sorvanta::capacity
