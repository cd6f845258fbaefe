// One capacity check or free-space wipe of a volume: fills its free space with 16 MiB test
// blocks in "temp_%u.tmp" files (unbuffered), reads them back and compares SM3 digests
// (capacity check), then deletes the files and reports the effective capacity.
//
// The run reports through a CapacityReporter; it never prints and touches no widget.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "capacity/read_back.h"
#include "capacity/real_capacity.h"
#include "capacity/pattern_blocks.h"

namespace sorvanta {

constexpr uint32_t kBlocksPerTestFile = 100;
constexpr int kMaxRunErrors = 10;     // the 11th error aborts
constexpr int kTailAttempts = 100;
constexpr uint32_t kEndPauseMs = 2333;  // Start stays disabled this long after a run

enum class CapacityMode { kCapacityCheck, kWipe };

// What a run shows. Calls come from the run's worker thread (one at a time, in order);
// texts are valid only during the call. The window's controls map as noted.
class CapacityReporter {
 public:
  virtual ~CapacityReporter() = default;
  // A log message without time stamp, e.g. "准备填充...".
  virtual void Log(const std::string& message) = 0;
  // "剩余数据:" field: "%llu MB" still to write, later still to verify.
  virtual void Remaining(const std::string& text) = 0;
  // "速度:" field: "%.2f MB/S" or "-".
  virtual void Speed(const std::string& text) = 0;
  // Progress of the current phase, 0..100.
  virtual void Progress(int percent) = 0;
  // The volume list, "刷新" and the mode checkbox.
  virtual void VolumeControlsEnabled(bool enabled) = 0;
  // The Start/Stop button.
  virtual void StartButtonEnabled(bool enabled) = 0;
  virtual void StartButtonText(const std::string& text) = 0;
};

struct CapacityOptions {
  std::string root;        // volume root the test files go to
  uint64_t freeBytes = 0;  // free bytes read when Start was pressed
  CapacityMode mode = CapacityMode::kCapacityCheck;
  int generatorThreads = 0;  // 0: min(CPUs, 4)
  int hashThreads = 0;       // read-back hashers; 0: the CPUs of the process, at most 8
  uint32_t blocksPerFile = kBlocksPerTestFile;
  uint32_t endPauseMs = kEndPauseMs;
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
  std::string endMessage;            // empty when the run ended without one
  std::vector<std::string> keptFiles;  // test files left on the volume (failed creation)
  uint64_t unwrittenBytes = 0;  // wipe: free bytes kept for root that this run could not overwrite
  // Capacity check that lost data: what the drive really holds. kind kNone when the run
  // found nothing lost or did not look (wipe, user stop).
  CapacityVerdict verdict;
};

// Texts the window and the command line share with the run.
extern const char* const kCapacityHelpText;
extern const char* const kBusyCloseText;  // "正在处理,请先停止!"
std::string CapacityTestFilePath(const std::string& root, size_t number);
std::string MegabytesText(uint64_t bytes);  // "%llu MB" of bytes / 1 MiB
std::string CapacitySpeedText(uint64_t bytes, uint32_t stepMs);  // "%.2f MB/S", "-" for 0 ms

class CapacityRun {
 public:
  // The stream and the reporter must outlive the run.
  CapacityRun(CapacityOptions options, PatternStream& stream, CapacityReporter& reporter);
  CapacityRun(const CapacityRun&) = delete;
  CapacityRun& operator=(const CapacityRun&) = delete;

  // Runs the whole check on the calling thread, including the pause before Start is
  // enabled again; once per object. The running flag is set on construction so that Stop
  // works at once.
  CapacityResult Run();
  // Any thread: like the Stop button. The run notices at its next block.
  void Stop() { running_.store(false); }
  bool Running() const { return running_.load(); }

 private:
  enum class Fill { kDone, kCreateFailed };
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
  void ResetInterface();

  CapacityOptions options_;
  PatternStream& stream_;
  CapacityReporter& reporter_;
  BlockBufferPool pool_;
  std::atomic<bool> running_{true};
  const RunTag tag_ = NewRunTag();

  uint64_t validSpace_ = 0;
  uint64_t reservedWritten_ = 0;  // wipe as root: bytes written to the reserved blocks
  uint32_t nextNumber_ = 0;        // number of the next test file name to try
  int errors_ = 0;
  int mismatches_ = 0;
  bool aborted_ = false;
  uint32_t lastDisplay_ = 0;
  std::vector<TestFileRecord> files_;
  CapacityResult result_;
};

}  // namespace sorvanta
