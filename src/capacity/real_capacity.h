// The real capacity of a drive that failed the check. After the run, the last sector of every
// written block is read back (4 KiB per 16 MiB) and its number and run tag say what the drive
// kept there: the block itself, another block of the run (the drive wraps its addresses),
// nothing of this run (writes dropped), or an error. From that map follows one verdict.
#pragma once

#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

#include "capacity/read_back.h"
#include "capacity/pattern_blocks.h"

namespace sorvanta::capacity {

// What the tag sector of one written block held.
struct BlockFate {
  enum Kind : uint8_t {
    kOwn,         // its own number and this run's tag
    kOther,       // the number of another block of the run (index in `holds`)
    kForeign,     // no tag of this run: zeros, filler, stale data
    kUnreadable,  // the read failed (or was given up after many failures)
    kUntagged,    // a tail block shorter than a block has no tag sector
  };
  Kind kind = kUntagged;
  size_t holds = 0;         // kOther: index of the block whose number was found
  uint32_t size = 0;        // bytes of the block
  bool mismatch = false;    // the verification found its digest different
};

enum class FailureKind { kNone, kWrap, kDrop, kCorrupt, kReadError };

struct CapacityVerdict {
  FailureKind kind = FailureKind::kNone;  // kNone: every block holds its own data
  uint64_t ownPrefixBytes = 0;  // bytes from the start of the test data that hold their own data
  uint64_t periodBytes = 0;     // kWrap: distance after which writes land on earlier blocks
  uint64_t estimateBytes = 0;   // the real capacity: the period for a wrap, else the prefix
};

// Reads the tag sector of every block of files (unbuffered, through the current FileSystem)
// and returns one fate per block in file and block order; mismatch is copied from the
// verification. After 16 failed reads in a row the rest is marked unreadable without reading.
// Returns an empty list when a stop is requested meanwhile.
std::vector<BlockFate> ReadBlockFates(const std::vector<TestFileRecord>& files, const RunTag& tag,
                                      std::stop_token stop);

// The verdict of a map of fates in volume order.
CapacityVerdict JudgeBlockFates(const std::vector<BlockFate>& fates);

// "wrap", "drop", "corrupt", "readError"; empty for kNone.
std::string FailureKindName(FailureKind kind);
// The log line in the current language, e.g. "估计真实容量：约 256 MB（超出部分的写入回绕覆盖了前面的数据）";
// empty for kNone.
std::string VerdictText(const CapacityVerdict& verdict);

}  // namespace sorvanta::capacity
