// The disk test engine: measures one volume with one test file.
//
// RunTestSequence runs, on the caller's thread, a sequential write and read with 16 MiB
// blocks, a 4 KiB random write and read, and a 64-thread 4 KiB random write and read. It
// reports live through the events it is given (log lines, progress, speed, bars and result
// cells), ends early once its stop token is set, and returns the figures it measured.
// Files are opened through platform::Files(), unbuffered (O_DIRECT) unless the options ask
// for the system cache. The test file is deleted before and after the sequence, whatever
// the outcome.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "diskbench/disk_events.h"
#include "diskbench/disk_results.h"

namespace sorvanta::diskbench {

constexpr uint64_t kDefaultWriteSize = 21474836480ull;  // 20 GiB
constexpr uint32_t kBlockSize = 16777216;               // 16 MiB sequential block
constexpr uint32_t kSmallIo = 4096;                     // random I/O size
constexpr int kConcurrentWorkers = 64;
constexpr const char* kTestFileName = "diskwritetest.bin";

// Durations of the timed tests. The defaults are the real ones; tests shorten them.
struct DiskEngineOptions {
  uint32_t randomTestMs = 20000;  // 4 KiB and concurrent loops run until more than this passed
  int concurrentTicks = 20;       // ticks the concurrent driver waits
  uint32_t tickMs = 1000;         // length of one tick
  uint32_t stopPauseMs = 1000;    // pause of a single-thread test after a stop
  std::string tempFolder;         // empty: platform::TempFolder()
};

// What one sequence measures and how.
struct DiskTestOptions {
  std::string root;                        // the volume's root; named in messages
  uint64_t writeSize = kDefaultWriteSize;  // bytes of the sequential write
  bool systemCache = false;                // open the file through the page cache ("启用系统缓存")
  DiskEngineOptions engine;                // durations and the temporary folder
};

// Argument record of one concurrent worker.
struct GM_TestFile {
  std::string path;
  double speed = 0;            // MB/s; 0 until the worker finishes unstopped
  int seed = 0;                // worker index 0..63, also its generator seed
  uint64_t regionStart = 0;    // bytes
  uint64_t regionLength = 0;   // bytes = write size / 64, rounded down to whole 4 KiB pages
  int error = 0;               // errno of a failed open or transfer; the worker then adds 0
  // Bytes moved so far, counted live for the driver's once-a-tick speed line (may be null).
  std::atomic<uint64_t>* moved = nullptr;
};

// Bytes over milliseconds in MB/s (1 MB = 1,048,576 bytes). An interval of 0 ms counts as
// 1 ms so that a very fast transfer never reports an infinite speed.
double SpeedMBps(uint64_t bytes, uint32_t ms);
// speed x 1,048,576 truncated, over 4096.
uint64_t IopsOf(double mbps);
// "%.2f" of the value narrowed to single precision.
std::string DiskSpeedText(double mbps);

// The folder for a volume's test file: the temporary folder when the volume holds it (same
// file system), else the root when this user may write it, else the first writable folder
// of fallbacks on the same file system, else the root (whose write then fails with the hint).
std::vector<std::string> TestFileFallbackFolders();  // $HOME, /var/tmp, /tmp
bool FolderWritable(const std::string& folder);
std::string TestFileFolder(const std::string& root, const std::string& tempFolder,
                           const std::vector<std::string>& fallbacks = TestFileFallbackFolders(),
                           const std::function<bool(const std::string&)>& writable = FolderWritable);
// The test file for a volume root, in TestFileFolder. A run uses the first free name from
// it on (diskwritetest.bin, diskwritetest_1.bin, ...).
std::string DiskTestFilePath(const std::string& root, const std::string& tempFolder);

// Offset of a single-thread random I/O: one of 1000 4 KiB-aligned positions over blocks.
uint64_t RandomOffset(uint64_t blocks, int k);
// The 64 records of the concurrent test: region length = write size / 64 in whole 4 KiB pages.
std::vector<GM_TestFile> MakeConcurrentRecords(const std::string& path, uint64_t writeSize);
// Offset of a concurrent worker's I/O for draw k (0..999).
uint64_t ConcurrentOffset(const GM_TestFile& task, int k);

// Outcome of the write-cache drop detection over the per-5 % speed samples.
struct CacheDrop {
  bool found = false;
  double peak = 0;        // MB/s, largest sample of the first half
  double afterCache = 0;  // MB/s, mean of all samples below 0.7 x peak
  double last = 0;        // MB/s, last sample
};
// Needs at least 11 samples; a drop means 0.7 x peak is strictly above the last sample.
CacheDrop DetectCacheDrop(const std::vector<double>& samples);
// What a sequence (or one of its tests) measured.
struct DiskResult {
  DiskCells cells;         // result columns 1..7 as reported; a stopped or failed test's stay empty
  CacheDrop cacheDrop;     // of the sequential write, once it completed
  // The whole sequence ran to its end and every test produced its figure (no 64-thread
  // worker failed): only such a result is a complete row.
  bool completed = false;
  int failedWorkers = 0;   // 64-thread workers (both phases) that failed and added 0
};

// The results of a completed sequential write: the average line and cells 1 and 2, then
// the cache-drop lines and cells when a drop is found; the cells and the drop detection
// also go to result.
void ReportSeqWrite(const std::string& root, double average, const std::vector<double>& samples,
                    uint64_t writeSize, DiskEvents& events, DiskResult& result);

// The tests. Each returns true when it completed, false when it failed or was stopped, and
// records the cells it reports in result. opt.root is used only in messages (opt.writeSize
// by the sequential and concurrent tests); buffer is the 16 MiB block (4096-aligned).
bool SeqWriteTest(const std::string& path, const DiskTestOptions& opt, uint8_t* buffer, DiskEvents& events,
                  DiskResult& result, std::stop_token stop);
bool SeqReadTest(const std::string& path, const DiskTestOptions& opt, uint8_t* buffer, DiskEvents& events,
                 DiskResult& result, std::stop_token stop);
bool RandWrite4KTest(const std::string& path, const DiskTestOptions& opt, uint8_t* buffer, DiskEvents& events,
                     DiskResult& result, std::stop_token stop);
bool RandRead4KTest(const std::string& path, const DiskTestOptions& opt, uint8_t* buffer, DiskEvents& events,
                    DiskResult& result, std::stop_token stop);
bool Concurrent4KTest(const std::string& path, const DiskTestOptions& opt, DiskEvents& events, DiskResult& result,
                      std::stop_token stop);
// Thread bodies of the concurrent test; each fills task->speed unless stopped or failed.
void ConcurrentWriteWorker(GM_TestFile* task, const DiskTestOptions& opt, DiskEvents& events,
                           std::stop_token stop);
void ConcurrentReadWorker(GM_TestFile* task, const DiskTestOptions& opt, DiskEvents& events,
                          std::stop_token stop);

// The whole sequence on the volume at opt.root.
DiskResult RunTestSequence(const DiskTestOptions& opt, DiskEvents& events, std::stop_token stop);

}  // namespace sorvanta::diskbench
