#include "capacity/real_capacity.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <unordered_map>

#include "base/language.h"
#include "base/text.h"
#include "platform/direct_io.h"

namespace sorvanta::capacity {
namespace {

// A drive that fails every read can take seconds per read; after this many in a row the
// rest is not read.
constexpr int kMaxReadFailuresInRow = 16;

bool Intact(const BlockFate& f) {
  return (f.kind == BlockFate::kOwn || f.kind == BlockFate::kUntagged) && !f.mismatch;
}

}  // namespace

std::vector<BlockFate> ReadBlockFates(const std::vector<TestFileRecord>& files, const RunTag& tag,
                                      std::stop_token stop) {
  std::unordered_map<uint64_t, size_t> bySequence;
  size_t total = 0;
  for (const TestFileRecord& file : files) {
    for (const WrittenBlock& wb : file.blocks) bySequence.emplace(wb.sequence, total++);
  }
  std::vector<BlockFate> fates;
  fates.reserve(total);
  platform::AlignedBuffer sector(kTagSectorBytes);
  int failuresInRow = 0;
  for (const TestFileRecord& record : files) {
    std::unique_ptr<platform::File> file =
        platform::Files().Open(record.path, platform::OpenMode::kReadOnly, true).value_or(nullptr);
    for (const WrittenBlock& wb : record.blocks) {
      if (stop.stop_requested()) return {};
      BlockFate fate;
      fate.size = wb.size;
      fate.mismatch = wb.check == WrittenBlock::kMismatch;
      if (wb.size < kCapacityBlockSize) {
        fate.kind = BlockFate::kUntagged;
      } else if (!file || !sector.ok() || failuresInRow >= kMaxReadFailuresInRow) {
        fate.kind = BlockFate::kUnreadable;
        ++failuresInRow;
      } else {
        ssize_t n = file->PRead(sector.data(), kTagSectorBytes, wb.offset + kTagSectorOffset);
        uint64_t sequence = 0;
        if (n < 0) {
          fate.kind = BlockFate::kUnreadable;
          ++failuresInRow;
        } else {
          failuresInRow = 0;
          fate.kind = BlockFate::kForeign;  // also a short read: the block is not there
          if (n == static_cast<ssize_t>(kTagSectorBytes) && ReadBlockTag(sector.data(), tag, &sequence)) {
            auto it = bySequence.find(sequence);
            if (sequence == wb.sequence) {
              fate.kind = BlockFate::kOwn;
            } else if (it != bySequence.end()) {
              fate.kind = BlockFate::kOther;
              fate.holds = it->second;
            }
          }
        }
      }
      fates.push_back(fate);
    }
  }
  return fates;
}

CapacityVerdict JudgeBlockFates(const std::vector<BlockFate>& fates) {
  CapacityVerdict verdict;
  const size_t n = fates.size();
  // Position of each block in the test data.
  std::vector<uint64_t> start(n + 1, 0);
  for (size_t i = 0; i < n; ++i) start[i + 1] = start[i] + fates[i].size;

  size_t prefix = 0;
  while (prefix < n && Intact(fates[prefix])) ++prefix;
  verdict.ownPrefixBytes = start[prefix];
  if (prefix == n) return verdict;

  // A wrapping drive keeps only the last lap of the fill: a run of blocks at the end that
  // hold their own data, as long as the real size. Blocks ahead of it hold later blocks'
  // numbers when the period is a whole number of blocks, else pattern bytes of later blocks.
  size_t run = 0;
  while (run < n && (fates[n - 1 - run].kind == BlockFate::kOwn ||
                     (fates[n - 1 - run].kind == BlockFate::kUntagged && !fates[n - 1 - run].mismatch)))
    ++run;
  std::optional<uint64_t> shortest;  // shortest distance to a later block found in place of one
  for (size_t i = 0; i < n; ++i) {
    const BlockFate& f = fates[i];
    if (f.kind != BlockFate::kOther || f.holds <= i) continue;
    uint64_t d = start[f.holds] - start[i];
    if (!shortest || d < *shortest) shortest = d;
  }
  bool lostAhead = prefix == 0 && run > 0 && run < n;
  for (size_t i = 0; lostAhead && i < n - run; ++i)
    lostAhead = fates[i].kind == BlockFate::kForeign || fates[i].kind == BlockFate::kOther;
  if (shortest || lostAhead) {
    verdict.kind = FailureKind::kWrap;
    verdict.periodBytes = run > 0 ? start[n] - start[n - run] : *shortest;
    verdict.estimateBytes = verdict.periodBytes;
    return verdict;
  }

  switch (fates[prefix].kind) {
    case BlockFate::kForeign:
      verdict.kind = FailureKind::kDrop;
      break;
    case BlockFate::kUnreadable:
      verdict.kind = FailureKind::kReadError;
      break;
    default:  // its own tag (or an earlier block's) but other data: damaged on the way
      verdict.kind = FailureKind::kCorrupt;
      break;
  }
  verdict.estimateBytes = verdict.ownPrefixBytes;
  return verdict;
}

std::string FailureKindName(FailureKind kind) {
  switch (kind) {
    case FailureKind::kWrap: return "wrap";
    case FailureKind::kDrop: return "drop";
    case FailureKind::kCorrupt: return "corrupt";
    case FailureKind::kReadError: return "readError";
    case FailureKind::kNone: break;
  }
  return {};
}

std::string VerdictText(const CapacityVerdict& verdict) {
  const char* why = nullptr;
  switch (verdict.kind) {
    case FailureKind::kWrap: why = N_("超出部分的写入回绕覆盖了前面的数据"); break;
    case FailureKind::kDrop: why = N_("超出部分的写入被丢弃，读回的不是写入的数据"); break;
    case FailureKind::kCorrupt: why = N_("超出部分读回的数据已损坏"); break;
    case FailureKind::kReadError: why = N_("超出部分无法读取"); break;
    case FailureKind::kNone: return {};
  }
  return FormatText(Tr("估计真实容量：约 %llu MB（%s）"),
                    static_cast<unsigned long long>(verdict.estimateBytes / (1024 * 1024)), Tr(why));
}

}  // namespace sorvanta::capacity
