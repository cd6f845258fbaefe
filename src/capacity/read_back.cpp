#include "capacity/read_back.h"

#include <algorithm>

#include "base/crypto.h"

namespace sorvanta::capacity {

ReadBack::ReadBack(const std::vector<TestFileRecord>& files, BlockBufferPool& pool, int hashThreads)
    : files_(files), pool_(pool), maxBuffers_(static_cast<size_t>(std::max(1, hashThreads)) + 2) {
  threads_.emplace_back([this] { Read(); });
  for (int i = 0; i < std::max(1, hashThreads); ++i) threads_.emplace_back([this] { Hash(); });
}

ReadBack::~ReadBack() {
  Cancel();
  for (auto& t : threads_) t.join();
  for (auto& s : slots_) pool_.Release(std::move(s->buffer));
}

void ReadBack::Cancel() {
  std::lock_guard<std::mutex> lock(mu_);
  cancelled_ = true;
  changed_.notify_all();
}

bool ReadBack::Push(std::unique_ptr<Slot> slot) {
  std::lock_guard<std::mutex> lock(mu_);
  if (cancelled_) {
    if (slot->buffer) {
      pool_.Release(std::move(slot->buffer));
      --buffersOut_;
    }
    return false;
  }
  slots_.push_back(std::move(slot));
  changed_.notify_all();
  return true;
}

void ReadBack::Read() {
  auto finish = [this] {
    std::lock_guard<std::mutex> lock(mu_);
    readerDone_ = true;
    changed_.notify_all();
  };
  for (size_t f = 0; f < files_.size(); ++f) {
    const TestFileRecord& record = files_[f];
    std::unique_ptr<platform::File> file =
        platform::Files().Open(record.path, platform::OpenMode::kReadOnly, true).value_or(nullptr);
    auto opened = std::make_unique<Slot>();
    opened->item.kind = file ? ReadBackItem::kOpened : ReadBackItem::kOpenFailed;
    opened->item.file = f;
    opened->ready = true;
    if (!Push(std::move(opened))) return finish();
    for (size_t k = 0; k < record.blocks.size(); ++k) {
      const WrittenBlock& wb = record.blocks[k];
      std::unique_ptr<platform::AlignedBuffer> buffer;
      {
        std::unique_lock<std::mutex> lock(mu_);
        changed_.wait(lock, [this] { return cancelled_ || buffersOut_ < maxBuffers_; });
        if (cancelled_) break;
        ++buffersOut_;
      }
      buffer = pool_.Acquire();
      while (!buffer) {
        // Out of memory: wait for a buffer the caller gives back; with none out, no
        // buffer will come, and the read-back ends as short of memory (not a medium fault).
        std::unique_lock<std::mutex> lock(mu_);
        const size_t others = --buffersOut_;
        if (others == 0) {
          lock.unlock();
          auto slot = std::make_unique<Slot>();
          slot->item.kind = ReadBackItem::kNoMemory;
          slot->item.file = f;
          slot->item.block = k;
          slot->ready = true;
          Push(std::move(slot));
          return finish();
        }
        changed_.wait(lock, [&] { return cancelled_ || buffersOut_ < others; });
        if (cancelled_) return finish();
        ++buffersOut_;
        lock.unlock();
        buffer = pool_.Acquire();
      }
      ssize_t n = -1;
      if (buffer && file) {
        size_t length = (static_cast<size_t>(wb.size) + platform::kDirectAlign - 1) & ~(platform::kDirectAlign - 1);
        n = file->PRead(buffer->data(), length, wb.offset);
      }
      auto slot = std::make_unique<Slot>();
      slot->item.file = f;
      slot->item.block = k;
      if (n < 0) {
        slot->item.kind = ReadBackItem::kReadFailed;
        slot->ready = true;
        if (buffer) pool_.Release(std::move(buffer));
        {
          std::lock_guard<std::mutex> lock(mu_);
          --buffersOut_;
        }
        Push(std::move(slot));
        return finish();
      }
      slot->item.kind = ReadBackItem::kBlock;
      slot->item.bytesRead = static_cast<uint64_t>(n);
      slot->hashLength = std::min<size_t>(static_cast<size_t>(n), wb.size);
      slot->buffer = std::move(buffer);
      if (!Push(std::move(slot))) return finish();
    }
    if (!file) {
      // Nothing to read from a file that did not open; with blocks, the first read failed.
      if (!record.blocks.empty()) return finish();
    }
    std::lock_guard<std::mutex> lock(mu_);
    if (cancelled_) break;
  }
  finish();
}

void ReadBack::Hash() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    Slot* todo = nullptr;
    changed_.wait(lock, [&] {
      if (cancelled_) return true;
      for (auto& s : slots_) {
        if (!s->claimed && !s->ready && s->item.kind == ReadBackItem::kBlock) {
          todo = s.get();
          return true;
        }
      }
      return readerDone_;
    });
    if (!todo) return;  // cancelled, or nothing more will come
    todo->claimed = true;
    lock.unlock();
    Sm3Digest(todo->buffer->data(), todo->hashLength, todo->item.digest);
    lock.lock();
    todo->ready = true;
    changed_.notify_all();
  }
}

bool ReadBack::Next(ReadBackItem* item) {
  std::unique_ptr<Slot> slot;
  {
    std::unique_lock<std::mutex> lock(mu_);
    changed_.wait(lock, [this] {
      return cancelled_ || (!slots_.empty() && slots_.front()->ready) || (slots_.empty() && readerDone_);
    });
    if (cancelled_ || slots_.empty()) return false;
    slot = std::move(slots_.front());
    slots_.pop_front();
    if (slot->buffer) {
      pool_.Release(std::move(slot->buffer));
      --buffersOut_;
    }
    changed_.notify_all();
  }
  *item = slot->item;
  return true;
}

}  // namespace sorvanta::capacity
