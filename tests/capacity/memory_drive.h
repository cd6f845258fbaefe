// A drive in memory at sector level for the quick probe: it claims one size and keeps
// another, wrapping its addresses, dropping writes beyond it or failing reads there, may
// hand back recent writes from a write cache, and may die after a number of writes. Sectors
// nobody wrote hold bytes derived from their place, so that any change shows.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <vector>

#include "capacity/quick_probe.h"

namespace sorvanta::testing {

class MemoryDrive : public capacity::ProbeDevice {
 public:
  enum Mode { kHonest, kWrap, kDrop, kUnreadable };
  static constexpr uint64_t kSector = 4096;

  MemoryDrive(uint64_t claimed, uint64_t real, Mode mode, uint64_t cacheBytes = 0, uint32_t seed = 1)
      : claimed_(claimed), real_(real), mode_(mode), cacheSectors_(cacheBytes / kSector), seed_(seed) {}

  uint64_t Size() const override { return claimed_; }
  bool Read(uint64_t offset, uint8_t* data, size_t len) override {
    if (dead_) return false;
    for (size_t s = 0; s < len; s += kSector) {
      const uint64_t at = offset + s;
      if (FromCache(at, data + s)) continue;
      if (mode_ != kHonest && mode_ != kWrap && at >= real_) {
        if (mode_ == kUnreadable) return false;
        std::memset(data + s, 0, kSector);
        continue;
      }
      Physical(Map(at), data + s);
    }
    return true;
  }
  bool Write(uint64_t offset, const uint8_t* data, size_t len) override {
    if (dead_ || (writesLeft_ >= 0 && writesLeft_-- == 0)) {
      dead_ = true;
      return false;
    }
    bytesWritten += len;
    ++writes;
    for (size_t s = 0; s < len; s += kSector) {
      const uint64_t at = offset + s;
      std::vector<uint8_t> sector(data + s, data + s + kSector);
      if (cacheSectors_ > 0) {
        order_.push_back(at);
        auto& slot = cache_[at];
        ++slot.first;
        slot.second = sector;
        if (order_.size() > cacheSectors_) {
          auto old = cache_.find(order_.front());
          if (--old->second.first == 0) cache_.erase(old);
          order_.pop_front();
        }
      }
      if (mode_ == kDrop && at >= real_) continue;
      if (mode_ == kUnreadable && at >= real_) continue;
      stored_[Map(at)] = std::move(sector);
    }
    return true;
  }
  bool Flush() override { return !dead_; }

  // Every write after the next n fails, and so does everything else: the probe "crashed".
  void DieAfterWrites(int64_t n) { writesLeft_ = n; }
  // The drive comes back (power cycled): its cache is gone, what it stored stays.
  void Revive() {
    dead_ = false;
    writesLeft_ = -1;
    cache_.clear();
    order_.clear();
  }
  // Sectors that no longer hold what they held at the start.
  size_t ChangedSectors() const {
    size_t changed = 0;
    std::vector<uint8_t> original(kSector);
    for (const auto& [at, bytes] : stored_) {
      Original(at, original.data());
      changed += std::memcmp(original.data(), bytes.data(), kSector) != 0;
    }
    return changed;
  }
  uint64_t bytesWritten = 0;
  int64_t writes = 0;

 private:
  uint64_t Map(uint64_t at) const { return mode_ == kWrap ? at % real_ : at; }
  void Original(uint64_t physical, uint8_t* out) const {
    uint32_t x = static_cast<uint32_t>(physical / kSector) * 2654435761u + seed_;
    for (size_t i = 0; i < kSector; ++i) {
      x = x * 1103515245u + 12345u;
      out[i] = static_cast<uint8_t>(x >> 16);
    }
  }
  void Physical(uint64_t physical, uint8_t* out) const {
    auto it = stored_.find(physical);
    if (it == stored_.end()) return Original(physical, out);
    std::memcpy(out, it->second.data(), kSector);
  }
  bool FromCache(uint64_t at, uint8_t* out) const {
    auto it = cache_.find(at);
    if (it == cache_.end()) return false;
    std::memcpy(out, it->second.second.data(), kSector);
    return true;
  }

  const uint64_t claimed_, real_;
  const Mode mode_;
  const size_t cacheSectors_;
  const uint32_t seed_;
  std::map<uint64_t, std::vector<uint8_t>> stored_;  // physical offset -> bytes
  std::deque<uint64_t> order_;  // cached writes, oldest first
  std::map<uint64_t, std::pair<int, std::vector<uint8_t>>> cache_;  // offset -> (writes in order_, latest bytes)
  bool dead_ = false;
  int64_t writesLeft_ = -1;
};

}  // namespace sorvanta::testing
