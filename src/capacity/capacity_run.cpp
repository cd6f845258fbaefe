#include "capacity/capacity_run.h"

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include <unistd.h>

#include "platform/clock.h"
#include "platform/cpu.h"
#include "platform/volumes.h"
#include "base/crypto.h"
#include "base/language.h"
#include "base/text.h"

namespace sorvanta::capacity {
namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kGiB = kMiB * 1024;

// One run: the state of a fill, its files and its verification.
class CapacityRun {
 public:
  CapacityRun(const CapacityOptions& options, CapacityEvents& events, std::stop_token stop);
  CapacityResult Run();

 private:
  enum class Fill { kDone, kCreateFailed };
  bool Stopped() const { return stop_.stop_requested(); }
  Fill FillFreeSpace(BlockGenerators& generators);
  // Creates the next test file under a name nobody uses; nullptr when creation failed.
  std::unique_ptr<platform::File> CreateTestFile(std::string* path);
  // Says so when the medium was full with more than a block of the announced space unwritten.
  void NoteEarlyFull(uint64_t unwritten);
  // Syncs a finished test file; a failure counts as an error with its own log line.
  void SyncTestFile(platform::File& file, const std::string& path);
  // Wipe: overwrites the free blocks kept for root (as root), else notes them as unwritten.
  void FillReserved(BlockGenerators& generators);
  void Verify();
  // After an abort or a verification with mismatches: map where each block went, log the
  // real capacity.
  void JudgeRealCapacity();
  // The tail of the free space: returns the bytes written, or -1 when it failed. Sets
  // *fileFull when the file reached its size limit (the tail goes on in the next file).
  int64_t WriteTail(platform::File& file, const uint8_t* data, uint64_t offset, bool* fileFull);
  void Display(uint32_t stepStart, uint64_t stepBytes, int percent);
  void Cleanup();
  // What the check concluded, from how it ended and what it found.
  void Conclude(bool createFailed);

  using Clock = std::chrono::steady_clock;
  static double MBps(uint64_t bytes, Clock::duration took);

  const CapacityOptions& options_;
  CapacityEvents& events_;
  const std::stop_token stop_;
  std::shared_ptr<PatternStream> stream_;
  BlockBufferPool pool_;
  const RunTag tag_ = NewRunTag();

  uint64_t validSpace_ = 0;
  uint64_t reservedWritten_ = 0;  // wipe as root: bytes written to the reserved blocks
  uint32_t nextNumber_ = 0;        // number of the next test file name to try
  int errors_ = 0;
  int mismatches_ = 0;
  bool aborted_ = false;
  bool judged_ = false;          // the fates of the written blocks were read
  VerdictBreakdown breakdown_;   // from those fates
  uint64_t bytesRead_ = 0;       // by the verification
  Clock::duration fillTime_{};
  Clock::duration verifyTime_{};
  uint32_t lastDisplay_ = 0;
  std::vector<TestFileRecord> files_;
  CapacityResult result_;
};

}  // namespace

std::string CapacityTestFilePath(const std::string& root, size_t number) {
  std::string path = root;
  if (path.empty() || path.back() != '/') path += '/';
  return path + FormatText("temp_%u.tmp", static_cast<unsigned>(number));
}

std::string MegabytesText(uint64_t bytes) {
  return FormatText("%llu MB", static_cast<unsigned long long>(bytes / kMiB));
}

std::string CapacitySpeedText(uint64_t bytes, uint32_t stepMs) {
  if (stepMs == 0) return "-";
  return FormatText("%.2f MB/s", static_cast<double>(bytes) * 1000.0 / stepMs / static_cast<double>(kMiB));
}

CapacityResult RunCapacityCheck(const CapacityOptions& options, CapacityEvents& events, std::stop_token stop) {
  return CapacityRun(options, events, std::move(stop)).Run();
}

CapacityRun::CapacityRun(const CapacityOptions& options, CapacityEvents& events, std::stop_token stop)
    : options_(options), events_(events), stop_(std::move(stop)), stream_(options.stream) {
  if (!stream_) stream_ = std::make_shared<PatternStream>(platform::TickMs());
  if (options_.maxBlockBuffers >= 0) pool_.SetLimit(static_cast<size_t>(options_.maxBlockBuffers));
}

CapacityResult CapacityRun::Run() {
  result_ = CapacityResult{};
  result_.mode = options_.mode;
  files_.clear();
  nextNumber_ = 0;
  const bool capacity = options_.mode == CapacityMode::kCapacityCheck;

  reservedWritten_ = 0;
  result_.freeBytes = options_.freeBytes;

  if (options_.freeBytes == 0) {
    events_.Log(Tr("剩余0字节..."));
    result_.end = CapacityEnd::kNoFreeSpace;
    return result_;
  }

  int generatorCount = options_.generatorThreads > 0 ? options_.generatorThreads
                                                     : std::min(platform::ProcessCpuCount(), 4);
  BlockGenerators generators(*stream_, pool_, capacity, tag_);
  generators.Start(generatorCount);

  lastDisplay_ = platform::TickMs();
  events_.Log(Tr("准备填充..."));
  validSpace_ = options_.freeBytes;
  errors_ = 0;
  mismatches_ = 0;
  aborted_ = false;

  const Clock::time_point fillStart = Clock::now();
  Fill fill = FillFreeSpace(generators);
  if (fill == Fill::kDone && !capacity && !aborted_) FillReserved(generators);
  fillTime_ = Clock::now() - fillStart;
  generators.Stop();  // they finish the block in hand while the run goes on
  result_.writtenBytes = options_.freeBytes - validSpace_ + reservedWritten_;
  if (fill == Fill::kCreateFailed) {
    for (const TestFileRecord& f : files_) result_.keptFiles.push_back(f.path);
    generators.Join();
    pool_.Clear();
    result_.end = CapacityEnd::kCreateFailed;
    result_.errors = errors_;
    Conclude(true);
    return result_;
  }

  if (capacity && !aborted_) {
    const Clock::time_point verifyStart = Clock::now();
    Verify();
    verifyTime_ = Clock::now() - verifyStart;
    result_.verifiedBytes = validSpace_;
  }
  if (capacity && !Stopped() && (aborted_ || mismatches_ > 0)) JudgeRealCapacity();
  Cleanup();

  if (!aborted_) {
    Message end;
    if (errors_ > 0) {
      // Also in wipe mode: a failed write left part of the free space as it was.
      end = SayText("处理结束！您的磁盘有错误！");
    } else if (!capacity && result_.unwrittenBytes >= kMiB) {
      // Saying the data is destroyed would be wrong while free blocks stayed unwritten.
      end = Say("处理结束！有%llu MB保留空间未能覆盖，请使用管理员权限（sudo）重新擦除！",
                static_cast<unsigned long long>(result_.unwrittenBytes / kMiB));
    } else if (!capacity) {
      end = SayText("处理结束！您的磁盘数据已毁尸灭迹！");
    } else {
      end = Say("处理结束！您的磁盘有效容量：%lld MB (%.2lf GB)", static_cast<long long>(validSpace_ / kMiB),
                static_cast<double>(validSpace_) / static_cast<double>(kGiB));
    }
    result_.endMessage = end.source;
    events_.Log(end.shown);
  }
  files_.clear();
  generators.Join();
  pool_.Clear();
  result_.end = aborted_ ? CapacityEnd::kAborted : CapacityEnd::kFinished;
  result_.errors = errors_;
  result_.aborted = aborted_;
  Conclude(false);
  return result_;
}

std::unique_ptr<platform::File> CapacityRun::CreateTestFile(std::string* path) {
  // A name that is taken (a file of the user's, a link, another run's file) is skipped:
  // the run only ever writes to and deletes files it created itself.
  constexpr uint32_t kMaxSkips = 100000;
  for (uint32_t skipped = 0;; ++skipped) {
    *path = CapacityTestFilePath(options_.root, nextNumber_++);
    Result<std::unique_ptr<platform::File>> opened = platform::Files().Open(*path, platform::OpenMode::kCreateNew, true);
    const int error = opened.status().errnoValue();
    std::unique_ptr<platform::File> file = std::move(opened).value_or(nullptr);
    if (!file && error == EEXIST && skipped < kMaxSkips) {
      events_.Log(FormatText(Tr("文件已存在,跳过:%s"), path->c_str()));
      continue;
    }
    events_.Log(FormatText(Tr("创建文件:%s"), path->c_str()));
    if (!file) {
      if (error == EINVAL) events_.Log(Tr("文件系统不支持绕过缓存的直接读写"));
      events_.Log(Tr("无法创建文件,介质只读或没有权限"));
    }
    return file;
  }
}

void CapacityRun::SyncTestFile(platform::File& file, const std::string& path) {
  // A refused sync means the drive may not hold what it acknowledged: an error, never a
  // clean pass or a wipe reported as complete.
  if (file.Sync()) return;
  ++errors_;
  events_.Log(FormatText(Tr("文件同步失败！%s"), path.c_str()));
}

void CapacityRun::NoteEarlyFull(uint64_t unwritten) {
  // File-system bookkeeping costs a few KiB; more than a block means another program took
  // free space while the run was filling it, so the capacity found is smaller than the drive's.
  if (unwritten > kCapacityBlockSize) {
    events_.Log(FormatText(Tr("可用空间在检测过程中减少了%llu MB（可能有其他程序占用），结果偏小！"),
                         static_cast<unsigned long long>(unwritten / kMiB)));
  }
}

void CapacityRun::FillReserved(BlockGenerators& generators) {
  // The free blocks kept for root hold deleted data as well. Root overwrites them with one
  // more file, in ever smaller writes until the file system takes no more; anyone else is
  // told how much stayed as it was instead of hearing that everything is destroyed.
  std::optional<platform::VolumeSpace> space = platform::SpaceOf(options_.root);
  const uint64_t reserved = space && space->rootFreeBytes > space->freeBytes ? space->rootFreeBytes - space->freeBytes : 0;
  if (reserved < kMiB) return;
  if (geteuid() != 0) {
    result_.unwrittenBytes = reserved;
    return;
  }
  events_.Log(FormatText(Tr("覆盖保留空间...%llu MB"), static_cast<unsigned long long>(reserved / kMiB)));
  std::string path;
  std::unique_ptr<platform::File> file = CreateTestFile(&path);
  if (!file) return;
  uint64_t offset = 0;
  uint64_t length = kCapacityBlockSize;
  while (reservedWritten_ < reserved) {
    length = std::min(length, (reserved - reservedWritten_) & ~static_cast<uint64_t>(platform::kDirectAlign - 1));
    if (length < platform::kDirectAlign) break;
    TestBlock block = generators.Take([this] { return Stopped(); });
    if (!block.data) break;
    ssize_t n = file->PWrite(block.data->data(), length, offset);
    pool_.Release(std::move(block.data));
    if (n > 0) {
      uint64_t whole = static_cast<uint64_t>(n) & ~static_cast<uint64_t>(platform::kDirectAlign - 1);
      offset += whole;
      reservedWritten_ += whole;
    }
    if (n != static_cast<ssize_t>(length)) {
      if (file->LastError() == EFBIG) break;  // one file is enough for the reserved blocks
      length = (length / 2) & ~static_cast<uint64_t>(platform::kDirectAlign - 1);
    }
    if (Stopped()) break;
  }
  SyncTestFile(*file, path);
  file.reset();
  files_.push_back(TestFileRecord{path, {}});
  if (Stopped()) {
    events_.Log(Tr("用户终止!"));
    aborted_ = true;
    return;
  }
  if (reserved > reservedWritten_ + kMiB)
    events_.Log(FormatText(Tr("有%llu MB空闲空间由文件系统保留,无法写入"),
                         static_cast<unsigned long long>((reserved - reservedWritten_) / kMiB)));
}

CapacityRun::Fill CapacityRun::FillFreeSpace(BlockGenerators& generators) {
  const bool capacity = options_.mode == CapacityMode::kCapacityCheck;
  const uint32_t perFile = std::max<uint32_t>(1, options_.blocksPerFile);
  std::unique_ptr<platform::File> file;
  TestFileRecord current;
  uint64_t offset = 0;

  auto closeFile = [&] {
    SyncTestFile(*file, current.path);
    file.reset();
    files_.push_back(std::move(current));
    current = TestFileRecord{};
    offset = 0;
  };

  for (;;) {
    if (!file) {
      std::string path;
      file = CreateTestFile(&path);
      if (!file) return Fill::kCreateFailed;
      current.path = path;
    }

    uint32_t stepStart = platform::TickMs();
    TestBlock block = generators.Take([this] { return Stopped(); });
    if (!block.data) {
      if (Stopped()) {  // Stop while waiting for a block
        events_.Log(Tr("用户终止!"));
      } else {  // the generators gave up (no memory left for blocks)
        events_.Log(Tr("内存不足,检测中断！"));
      }
      aborted_ = true;
      break;
    }

    int64_t count = 0;
    bool tail = false;
    bool nextFile = false;
    if (validSpace_ >= kCapacityBlockSize) {
      ssize_t n = file->PWrite(block.data->data(), kCapacityBlockSize, offset);
      if (n == static_cast<ssize_t>(kCapacityBlockSize)) {
        count = n;
      } else if (file->LastError() == ENOSPC) {
        // The file system holds less than it announced (its own bookkeeping): what still
        // fits is the tail of the free space, not a fault of the medium.
        count = WriteTail(*file, block.data->data(), offset, &nextFile);
        tail = !nextFile;
        NoteEarlyFull(validSpace_ - std::min<uint64_t>(validSpace_, static_cast<uint64_t>(std::max<int64_t>(count, 0))));
      } else if (file->LastError() == EFBIG && (n > 0 || offset > 0)) {
        // The file reached the largest size the file system allows (4 GiB - 1 on FAT32):
        // what fitted counts, and the fill goes on in the next file.
        count = std::max<ssize_t>(n, 0) & ~static_cast<ssize_t>(platform::kDirectAlign - 1);
        nextFile = true;
      } else {
        ++errors_;
        if (errors_ > kMaxRunErrors) {
          events_.Log(Tr("错误过多，检测中断！"));
          aborted_ = true;
          pool_.Release(std::move(block.data));
          break;
        }
        events_.Log(FormatText(Tr("文件写入错误！位置：%llu MB"), static_cast<unsigned long long>(validSpace_ / kMiB)));
        count = std::max<ssize_t>(n, 0);
      }
    } else {
      // Less than a block is left: write exactly that (a full block could spill into space
      // the file system keeps for root).
      count = WriteTail(*file, block.data->data(), offset, &nextFile);
      tail = !nextFile;
    }
    if (count < 0) {  // the tail failed: the fill ends, verification still runs
      pool_.Release(std::move(block.data));
      break;
    }

    uint64_t written = static_cast<uint64_t>(count);
    validSpace_ -= std::min(written, validSpace_);
    events_.Remaining(validSpace_);

    if (Stopped()) {
      events_.Log(Tr("用户终止!"));
      aborted_ = true;
      pool_.Release(std::move(block.data));
      break;
    }

    if (capacity && written > 0) {
      WrittenBlock wb;
      wb.offset = offset;
      wb.size = block.size;
      wb.sequence = block.sequence;
      std::memcpy(wb.digest, block.digest, sizeof(wb.digest));
      if (written != kCapacityBlockSize) {
        Sm3Digest(block.data->data(), written, wb.digest);
        wb.size = static_cast<uint32_t>(written);
      }
      current.blocks.push_back(wb);
    }
    offset += written;

    size_t n = current.blocks.size();
    if (nextFile || (written > 0 && n >= perFile) || (written == 0 && n > 0)) closeFile();

    const uint64_t done = options_.freeBytes - validSpace_;
    Display(stepStart, written, static_cast<int>(done * 100 / options_.freeBytes));

    pool_.Release(std::move(block.data));
    if (validSpace_ == 0 || tail) break;
  }
  if (file) closeFile();
  return Fill::kDone;
}

int64_t CapacityRun::WriteTail(platform::File& file, const uint8_t* data, uint64_t offset, bool* fileFull) {
  events_.Log(FormatText(Tr("收尾...%llu KB"), static_cast<unsigned long long>(validSpace_ / 1024)));
  // Unbuffered transfers are whole 4 KiB pages; a smaller rest cannot be written this way.
  uint64_t length = std::min<uint64_t>(validSpace_, kCapacityBlockSize) & ~static_cast<uint64_t>(platform::kDirectAlign - 1);
  if (length == 0) return 0;
  int64_t reported = 0;
  for (int attempt = 1; attempt <= kTailAttempts; ++attempt) {
    ssize_t n = file.PWrite(data, length, offset);
    if (n == static_cast<ssize_t>(length)) return n;
    reported = std::max<ssize_t>(n, 0);
    if (file.LastError() == EFBIG && (reported > 0 || offset > 0)) {
      // The file is at its size limit, the volume is not full: the rest goes to the next file.
      *fileFull = true;
      return reported & ~static_cast<int64_t>(platform::kDirectAlign - 1);
    }
    if (reported > 1) {
      if (attempt == kTailAttempts) {
        --reported;
        break;
      }
      length = static_cast<uint64_t>(reported);  // try again with what fitted
      continue;
    }
    // Nothing fitted. A full file system (ext4 refuses an unbuffered write whole when its
    // own bookkeeping took part of the announced room) gets one more try with what it says
    // it still has, else with half.
    if (file.LastError() != ENOSPC || attempt == kTailAttempts) break;
    std::optional<platform::VolumeSpace> space = platform::SpaceOf(options_.root);
    uint64_t room = space ? space->freeBytes & ~static_cast<uint64_t>(platform::kDirectAlign - 1) : 0;
    uint64_t next = room < length ? room : (length / 2) & ~static_cast<uint64_t>(platform::kDirectAlign - 1);
    if (next == 0) break;
    length = next;
  }
  events_.Log(FormatText(Tr("收尾失败！请不要操作测试分区！validSpace: %llu /n: %u"),
                       static_cast<unsigned long long>(validSpace_), static_cast<unsigned>(reported)));
  return -1;
}

void CapacityRun::Display(uint32_t stepStart, uint64_t stepBytes, int percent) {
  uint32_t now = platform::TickMs();
  uint32_t stepMs = platform::TickDiff(now, stepStart);
  if (platform::TickDiff(now, lastDisplay_) > 1000) {
    lastDisplay_ = now;
    events_.Progress(percent);
    events_.Speed(stepBytes, stepMs);
  }
}

void CapacityRun::Verify() {
  validSpace_ = 0;
  int hashers = options_.hashThreads > 0 ? options_.hashThreads : std::clamp(platform::ProcessCpuCount(), 1, 8);
  const uint64_t freeBytes = options_.freeBytes;
  ReadBack readBack(files_, pool_, hashers);
  ReadBackItem item;
  uint32_t stepStart = platform::TickMs();
  while (!aborted_ && readBack.Next(&item)) {
    const TestFileRecord& record = files_[item.file];
    switch (item.kind) {
      case ReadBackItem::kOpened:
        events_.Log(FormatText(Tr("校验文件：%s"), record.path.c_str()));
        break;
      case ReadBackItem::kOpenFailed:
        events_.Log(FormatText(Tr("无法读取文件：%s,介质损坏！"), record.path.c_str()));
        break;
      case ReadBackItem::kNoMemory:
        events_.Log(Tr("内存不足,检测中断！"));
        aborted_ = true;
        break;
      case ReadBackItem::kReadFailed:
        events_.Log(Tr("读取错误!数据意外终止！"));
        aborted_ = true;
        break;
      case ReadBackItem::kBlock: {
        if (Stopped()) {
          events_.Log(Tr("用户终止!"));
          aborted_ = true;
          break;
        }
        bytesRead_ += item.bytesRead;
        WrittenBlock& wb = files_[item.file].blocks[item.block];
        if (std::memcmp(item.digest, wb.digest, sizeof(wb.digest)) == 0) {
          wb.check = WrittenBlock::kIntact;
          validSpace_ += wb.size;
        } else {
          wb.check = WrittenBlock::kMismatch;
          ++mismatches_;
          ++errors_;
          events_.Log(FormatText(Tr("%s文件检测到%d个错误，位置：%llu MB"), record.path.c_str(), errors_,
                               static_cast<unsigned long long>(wb.offset / kMiB)));
          if (errors_ > kMaxRunErrors) {
            events_.Log(Tr("错误过多，检测中断！"));
            aborted_ = true;
            break;
          }
        }
        uint64_t intact = std::min(validSpace_, freeBytes);
        events_.Remaining(freeBytes - intact);
        events_.Progress(static_cast<int>(intact * 100 / freeBytes));
        uint32_t now = platform::TickMs();
        if (platform::TickDiff(now, lastDisplay_) > 1000) {
          lastDisplay_ = now;
          events_.Speed(item.bytesRead, platform::TickDiff(now, stepStart));
        }
        stepStart = now;
        break;
      }
    }
  }
}

void CapacityRun::JudgeRealCapacity() {
  std::vector<BlockFate> fates = ReadBlockFates(files_, tag_, stop_);
  if (fates.empty()) return;  // stopped meanwhile, or nothing was written
  judged_ = true;
  breakdown_ = BreakdownOfFates(fates);
  result_.realCapacity = JudgeBlockFates(fates);
  std::string line = VerdictText(result_.realCapacity);
  if (!line.empty()) events_.Log(line);
}

void CapacityRun::Cleanup() {
  events_.Log(Tr("清理数据中..."));
  // A file that cannot be deleted stays on the volume; the result names it.
  for (const TestFileRecord& f : files_) {
    if (!platform::Files().Remove(f.path) && platform::Files().Exists(f.path)) result_.keptFiles.push_back(f.path);
  }
  events_.Progress(100);
  events_.Remaining(0);
}

double CapacityRun::MBps(uint64_t bytes, Clock::duration took) {
  const double seconds = std::chrono::duration<double>(took).count();
  return bytes > 0 && seconds > 0 ? static_cast<double>(bytes) / kMiB / seconds : 0;
}

void CapacityRun::Conclude(bool createFailed) {
  if (options_.mode != CapacityMode::kCapacityCheck) return;  // a wipe ends with its end message
  Verdict& v = result_.verdict;
  v.claimedBytes = options_.freeBytes;
  v.errors = errors_;
  v.writeMBps = MBps(result_.writtenBytes, fillTime_);
  v.readMBps = MBps(bytesRead_, verifyTime_);
  if (Stopped() && aborted_) {
    v.kind = VerdictKind::kStopped;
    return;
  }
  if (judged_) {
    v.breakdownKnown = true;
    v.breakdown = breakdown_;
  } else if (!aborted_ && !createFailed) {
    // Every written block was verified: the intact ones and the rest.
    v.breakdownKnown = true;
    v.breakdown.intactBytes = result_.verifiedBytes;
    v.breakdown.damagedBytes = result_.writtenBytes - std::min(result_.writtenBytes, result_.verifiedBytes);
  }
  v.estimateBytes = v.breakdownKnown ? v.breakdown.intactBytes : result_.verifiedBytes;
  if (result_.realCapacity.kind != FailureKind::kNone) {
    v.kind = VerdictKind::kFailed;
    v.failure = result_.realCapacity.kind;
    v.estimateBytes = result_.realCapacity.estimateBytes;
  } else if (errors_ > 0) {
    v.kind = VerdictKind::kErrors;
  } else if (aborted_ || createFailed) {
    v.kind = VerdictKind::kIncomplete;
  } else {
    v.kind = VerdictKind::kPassed;
  }
}

}  // namespace sorvanta::capacity
