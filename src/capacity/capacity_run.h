// One capacity check or free-space wipe of a volume: fills its free space with 16 MiB test
// blocks in "temp_%u.tmp" files (unbuffered), reads them back and compares SM3 digests
// (capacity check), then deletes the files and reports the effective capacity.
//
// The run tells what happens through CapacityEvents; it never prints and touches no widget.
#pragma once

#include <cstdint>
#include <memory>
#include <stop_token>
#include <string>
#include <vector>

#include "capacity/read_back.h"
#include "capacity/real_capacity.h"
#include "capacity/pattern_blocks.h"
#include "capacity/verdict.h"

namespace sorvanta::capacity {

constexpr uint32_t kBlocksPerTestFile = 100;
constexpr int kMaxRunErrors = 10;     // the 11th error aborts
constexpr int kTailAttempts = 100;

enum class CapacityMode { kCapacityCheck, kWipe };

// What a run tells while it goes. Calls come from the run's thread (one at a time, in
// order); texts are valid only during the call.
class CapacityEvents {
 public:
  virtual ~CapacityEvents() = default;
  // A log message without time stamp, e.g. "准备填充...".
  virtual void Log(const std::string& message) = 0;
  // Bytes still to write, later still to verify (MegabytesText shows them).
  virtual void Remaining(uint64_t bytes) = 0;
  // The last step moved bytes in stepMs (CapacitySpeedText shows it).
  virtual void Speed(uint64_t bytes, uint32_t stepMs) = 0;
  // Progress of the current phase, 0..100.
  virtual void Progress(int percent) = 0;
};

struct CapacityOptions {
  std::string root;        // volume root the test files go to
  uint64_t freeBytes = 0;  // free bytes read when Start was pressed
  CapacityMode mode = CapacityMode::kCapacityCheck;
  int generatorThreads = 0;  // 0: min(CPUs, 4)
  int hashThreads = 0;       // read-back hashers; 0: the CPUs of the process, at most 8
  uint32_t blocksPerFile = kBlocksPerTestFile;
  // The pattern stream, shared by the runs of one window so that it is seeded once; null:
  // a stream seeded from the clock for this run alone.
  std::shared_ptr<PatternStream> stream;
  // Test blocks held in memory at once; -1: as many as the queue and the read-back need.
  int maxBlockBuffers = -1;
};

enum class CapacityEnd {
  kNoFreeSpace,   // "剩余0字节...": nothing was done
  kCreateFailed,  // a test file could not be created; files written so far are kept
  kAborted,       // user stop, too many errors, or a read error
  kFinished,      // end message shown
};

struct CapacityResult {
  CapacityEnd end = CapacityEnd::kNoFreeSpace;
  CapacityMode mode = CapacityMode::kCapacityCheck;
  uint64_t freeBytes = 0;
  uint64_t writtenBytes = 0;   // bytes the fill wrote
  uint64_t verifiedBytes = 0;  // bytes read back intact (capacity check only)
  int errors = 0;              // write errors and mismatches
  bool aborted = false;
  // The end message in Chinese whatever the language (--json keeps it so); the log has it in
  // the language of the run. Empty when the run ended without one.
  std::string endMessage;
  // Test files left on the volume: those written before a creation failed, and any that
  // could not be deleted.
  std::vector<std::string> keptFiles;
  uint64_t unwrittenBytes = 0;  // wipe: free bytes kept for root that this run could not overwrite
  // Capacity check that lost data: what the drive really holds. kind kNone when the run
  // found nothing lost or did not look (wipe, user stop).
  CapacityVerdict realCapacity;
  // What the check concluded (kind kNone for a wipe), with its speeds and breakdown.
  Verdict verdict;
};

// Texts the window and the command line share with the run.
std::string CapacityTestFilePath(const std::string& root, size_t number);
std::string MegabytesText(uint64_t bytes);  // "%llu MB" of bytes / 1 MiB
std::string CapacitySpeedText(uint64_t bytes, uint32_t stepMs);  // "%.2f MB/s", "-" for 0 ms

// Runs the whole check or wipe on the calling thread. A stop request acts like the Stop
// button: the run notices it at its next block, deletes its files and returns.
CapacityResult RunCapacityCheck(const CapacityOptions& options, CapacityEvents& events, std::stop_token stop);

}  // namespace sorvanta::capacity
