#include "diskbench/disk_engine.h"

#include <boost/thread/thread.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

#include "platform/clock.h"
#include "platform/direct_io.h"
#include "platform/paths.h"
#include "platform/random.h"
#include "platform/volumes.h"
#include "base/language.h"
#include "base/text.h"

namespace sorvanta::diskbench {
namespace {

using platform::File;
using platform::Files;
using platform::OpenMode;
using platform::ThreadRand;
using platform::TickDiff;
using platform::TickMs;

// Percent of done over size, never above 100 (a file may end one block past the size).
int Percent(uint64_t done, uint64_t size) {
  uint64_t p = done * 100 / std::max<uint64_t>(size, 1);
  return static_cast<int>(std::min<uint64_t>(p, 100));
}

uint64_t Transferred(ssize_t n) { return n > 0 ? static_cast<uint64_t>(n) : 0; }

std::string HexCode(int error) {
  char code[32];
  std::snprintf(code, sizeof(code), "%x", static_cast<unsigned>(error));
  return code;
}

// A transfer that failed is a failure of the test, never a fast operation that moved
// nothing: its line names the error and the test ends without a result.
void LogIoFailure(DiskEvents& events, const std::string& root, bool write, int error) {
  const std::string code = HexCode(error);
  events.Log(write ? FormatText(Tr("[X]分区%s写入失败！错误代码：0x%s测试终止"), root.c_str(), code.c_str())
                   : FormatText(Tr("[X]分区%s读取失败！错误代码：0x%s测试终止"), root.c_str(), code.c_str()));
}

// Opens the test file; direct unless the system cache was chosen. A file system that
// refuses O_DIRECT is named as such instead of the generic failure line.
std::unique_ptr<File> OpenTestFile(const std::string& path, OpenMode mode, const DiskTestOptions& opt,
                                   DiskEvents& events, const std::string& failLine, int* error = nullptr) {
  const std::string& root = opt.root;
  bool direct = !opt.systemCache;
  Result<std::unique_ptr<File>> opened = Files().Open(path, mode, direct);
  const int err = opened.status().errnoValue();
  std::unique_ptr<File> f = std::move(opened).value_or(nullptr);
  if (error) *error = err;
  if (!f && failLine.size()) {
    if (direct && err == EINVAL)
      events.Log(FormatText(Tr("[X]分区%s不支持无缓存读写（O_DIRECT），无法测试！"), root.c_str()));
    else
      events.Log(failLine);
  }
  return f;
}

// Changes count bytes of the first span bytes of data: value first, then position.
void Scribble(uint8_t* data, int count, uint32_t span) {
  for (int i = 0; i < count; ++i) {
    uint8_t value = static_cast<uint8_t>(ThreadRand() % 255);
    data[static_cast<uint32_t>(ThreadRand()) % span] = value;
  }
}

void FillRandom(uint8_t* data, size_t len) {
  for (size_t i = 0; i < len; ++i) data[i] = static_cast<uint8_t>(ThreadRand() % 255);
}

// A result cell: recorded in the result, then reported.
void ReportCell(DiskEvents& events, DiskResult& result, std::optional<double> mbps, int column) {
  result.cells.SetCell(column, mbps);
  events.Cell(mbps, column);
}

uint32_t BudgetMs(const DiskEngineOptions& opt) { return opt.randomTestMs + 1; }

// The errors of a transfer that mean its position could not be reached.
bool PositionFailed(int error) { return error == ESPIPE || error == EOVERFLOW || error == ENXIO; }

bool RandomTest(bool write, const std::string& path, const DiskTestOptions& opt, uint8_t* buffer, DiskEvents& events,
                DiskResult& result, std::stop_token stop) {
  const std::string& root = opt.root;
  std::string fail = write ? FormatText(Tr("[X]分区%s不可写！测试终止"), root.c_str())
                           : FormatText(Tr("[X]分区%s不可读！测试终止"), root.c_str());
  std::unique_ptr<File> f =
      OpenTestFile(path, write ? OpenMode::kReadWrite : OpenMode::kReadOnly, opt, events, fail);
  if (!f) return false;
  if (write) FillRandom(buffer, kSmallIo);
  int64_t length = f->Size();
  uint64_t blocks = length > 0 ? static_cast<uint64_t>(length) / kSmallIo : 0;
  uint32_t start = TickMs();
  uint32_t now = start;
  std::time_t lastSecond = platform::WallClock();
  uint64_t total = 0;
  for (;;) {
    uint64_t offset = RandomOffset(blocks, ThreadRand() % 1000);
    // One positioned transfer per I/O: a separate seek would cost a second system call
    // each time, which at queue depth 1 shows in the figure.
    ssize_t n;
    if (write) {
      Scribble(buffer, 64, kSmallIo);
      n = f->PWrite(buffer, kSmallIo, offset);
    } else {
      n = f->PRead(buffer, kSmallIo, offset);
    }
    if (n < 0 && PositionFailed(f->LastError())) {
      events.Log(FormatText(Tr("[X]分区%s定位文件%llu失败！测试终止"), root.c_str(),
                            static_cast<unsigned long long>(offset)));
      return false;
    }
    if (n < 0) {
      LogIoFailure(events, root, write, f->LastError());
      return false;
    }
    total += Transferred(n);
    now = TickMs();
    std::time_t second = platform::WallClock();
    uint32_t elapsed = TickDiff(now, start);
    if (second != lastSecond) {
      lastSecond = second;
      uint64_t pct = static_cast<uint64_t>(elapsed) * 100 / std::max<uint32_t>(opt.engine.randomTestMs, 1);
      events.Progress(static_cast<int>(std::min<uint64_t>(pct, 100)), -1);
      events.Speed(SpeedMBps(total, elapsed), std::nullopt, false);
    }
    if (stop.stop_requested() || elapsed >= BudgetMs(opt.engine)) break;
  }
  f.reset();
  if (stop.stop_requested()) {
    platform::SleepMs(opt.engine.stopPauseMs);
    return false;
  }
  double speed = SpeedMBps(total, TickDiff(now, start));
  events.Log(std::string(write ? Tr("[>]4K随机写均速：") : Tr("[>]4K随机读均速：")) + "\r\n" + DiskSpeedText(speed) +
             "MB/s\r\n" + std::to_string(IopsOf(speed)) + " IOPS");
  ReportCell(events, result, speed, write ? 4 : 5);
  events.Bar(speed, write ? 0 : 1);
  return true;
}

void ConcurrentWorker(bool write, GM_TestFile* task, const DiskTestOptions& opt, DiskEvents& events,
                      std::stop_token stop) {
  const std::string& root = opt.root;
  platform::ThreadSrand(static_cast<uint32_t>(task->seed));
  int err = 0;
  std::unique_ptr<File> f =
      OpenTestFile(task->path, write ? OpenMode::kReadWrite : OpenMode::kReadOnly, opt, events, "", &err);
  if (!f) {
    const std::string code = HexCode(err);
    events.Log(write ? FormatText(Tr("[X]分区%s不可写！错误代码：0x%s测试终止"), root.c_str(), code.c_str())
                     : FormatText(Tr("[X]分区%s不可读！错误代码：0x%s测试终止"), root.c_str(), code.c_str()));
    task->error = err ? err : EIO;
    return;
  }
  platform::AlignedBuffer buffer(kSmallIo);
  if (!buffer.ok()) {
    task->error = ENOMEM;
    return;
  }
  if (write) FillRandom(buffer.data(), kSmallIo);
  uint32_t start = TickMs();
  uint64_t total = 0;
  for (;;) {
    uint64_t offset = ConcurrentOffset(*task, ThreadRand() % 1000);
    // One positioned transfer per I/O, as in the single-thread test.
    ssize_t n;
    if (write) {
      Scribble(buffer.data(), 64, kSmallIo);
      n = f->PWrite(buffer.data(), kSmallIo, offset);
    } else {
      n = f->PRead(buffer.data(), kSmallIo, offset);
    }
    if (n < 0 && PositionFailed(f->LastError())) {
      events.Log(FormatText(Tr("[X]分区%s定位文件%llu失败！测试终止"), root.c_str(),
                            static_cast<unsigned long long>(offset)));
      break;
    }
    if (n < 0) {
      task->error = f->LastError() ? f->LastError() : EIO;
      break;
    }
    total += Transferred(n);
    if (task->moved) task->moved->fetch_add(Transferred(n), std::memory_order_relaxed);
    if (stop.stop_requested() || TickDiff(TickMs(), start) >= BudgetMs(opt.engine)) break;
  }
  f.reset();
  if (!stop.stop_requested() && task->error == 0) task->speed = SpeedMBps(total, TickDiff(TickMs(), start));
}

// One phase of the concurrent test: 64 workers, the driver's ticks with the live speed of
// all workers, the summed result. A worker that fails adds 0 and the others go on; the
// phase's line then says how many failed. False only when stopped.
bool ConcurrentPhase(bool write, std::vector<GM_TestFile>& tasks, const DiskTestOptions& opt, DiskEvents& events,
                     DiskResult& result, std::stop_token stop) {
  const std::string& root = opt.root;
  std::vector<boost::thread> threads;
  threads.reserve(tasks.size());
  std::atomic<uint64_t> moved{0};
  for (GM_TestFile& task : tasks) {
    task.moved = &moved;
    try {
      threads.emplace_back([write, &task, &opt, &events, stop] { ConcurrentWorker(write, &task, opt, events, stop); });
    } catch (const boost::thread_resource_error&) {
      task.error = EAGAIN;  // a worker that cannot start adds 0, like one that cannot open the file
    }
  }
  uint32_t tickStart = TickMs();
  uint64_t movedBefore = 0;
  for (int k = 0; k < opt.engine.concurrentTicks; ++k) {
    platform::SleepMs(opt.engine.tickMs);
    events.Progress(k * 5, -1);
    // What all workers moved during this tick, as the live line of the sequential tests.
    const uint32_t now = TickMs();
    const uint64_t movedNow = moved.load(std::memory_order_relaxed);
    events.Speed(SpeedMBps(movedNow - movedBefore, TickDiff(now, tickStart)), std::nullopt, false);
    movedBefore = movedNow;
    tickStart = now;
    if (stop.stop_requested()) break;
  }
  for (boost::thread& t : threads) t.join();
  for (GM_TestFile& task : tasks) task.moved = nullptr;
  if (stop.stop_requested()) return false;
  int failed = 0;
  int error = 0;
  double sum = 0;
  for (GM_TestFile& task : tasks) {
    sum += task.speed;
    task.speed = 0;
    if (task.error == 0) continue;
    ++failed;
    error = task.error;
    task.error = 0;
  }
  result.failedWorkers += failed;
  const std::string figures = DiskSpeedText(sum) + "MB/s\r\n" + std::to_string(IopsOf(sum)) + " IOPS";
  if (failed > 0) {
    const std::string code = HexCode(error);
    const size_t rest = tasks.size() - static_cast<size_t>(failed);
    events.Log((write ? FormatText(Tr("[X]分区%s64并发4k写入：%d个线程读写出错，错误代码：0x%s，其余%zu个线程合计："),
                                   root.c_str(), failed, code.c_str(), rest)
                      : FormatText(Tr("[X]分区%s64并发4k读取：%d个线程读写出错，错误代码：0x%s，其余%zu个线程合计："),
                                   root.c_str(), failed, code.c_str(), rest)) +
               "\r\n" + figures);
  } else {
    events.Log(std::string(write ? Tr("[>]64并发4k写入均速：") : Tr("[>]64并发4k读取均速：")) + "\r\n" + figures);
  }
  ReportCell(events, result, sum, write ? 6 : 7);
  events.Bar(sum, write ? 2 : 3);
  return true;
}

}  // namespace

double SpeedMBps(uint64_t bytes, uint32_t ms) {
  double seconds = static_cast<double>(std::max<uint32_t>(ms, 1)) / 1000.0;
  return static_cast<double>(bytes) / seconds / 1024.0 / 1024.0;
}

uint64_t IopsOf(double mbps) {
  if (!(mbps > 0)) return 0;
  return static_cast<uint64_t>(mbps * 1048576.0) / 4096;
}

std::string DiskSpeedText(double mbps) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.2f", static_cast<double>(static_cast<float>(mbps)));
  return text;
}

std::vector<std::string> TestFileFallbackFolders() {
  std::vector<std::string> folders;
  if (const char* home = std::getenv("HOME"); home && *home == '/') folders.push_back(home);
  folders.push_back("/var/tmp");
  folders.push_back("/tmp");
  return folders;
}

bool FolderWritable(const std::string& folder) {
  return ::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

std::string TestFileFolder(const std::string& root, const std::string& tempFolder,
                           const std::vector<std::string>& fallbacks,
                           const std::function<bool(const std::string&)>& writable) {
  std::string temp = tempFolder;
  if (!temp.empty() && temp.back() != '/') temp += '/';
  if (!temp.empty() && platform::SameFileSystem(root, temp)) return temp;
  if (writable(root)) return root;
  // A volume whose root only the administrator may write (such as "/") is still measured
  // through a folder of this user's on the same file system.
  for (const std::string& folder : fallbacks) {
    if (platform::SameFileSystem(root, folder) && writable(folder)) return folder;
  }
  return root;
}

std::string DiskTestFilePath(const std::string& root, const std::string& tempFolder) {
  return platform::JoinPath(TestFileFolder(root, tempFolder), kTestFileName);
}

uint64_t RandomOffset(uint64_t blocks, int k) {
  return (static_cast<uint64_t>(k) * blocks / 1000) * kSmallIo;
}

std::vector<GM_TestFile> MakeConcurrentRecords(const std::string& path, uint64_t writeSize) {
  std::vector<GM_TestFile> tasks(kConcurrentWorkers);
  // Whole 4 KiB pages, so that every worker's offsets suit unbuffered I/O whatever the size.
  uint64_t length = (writeSize / kConcurrentWorkers) & ~static_cast<uint64_t>(kSmallIo - 1);
  for (int i = 0; i < kConcurrentWorkers; ++i) {
    tasks[i].path = path;
    tasks[i].seed = i;
    tasks[i].regionLength = length;
    tasks[i].regionStart = static_cast<uint64_t>(i) * length;
  }
  return tasks;
}

uint64_t ConcurrentOffset(const GM_TestFile& task, int k) {
  return task.regionStart + (static_cast<uint64_t>(k) * (task.regionLength / kSmallIo) / 1000) * kSmallIo;
}

CacheDrop DetectCacheDrop(const std::vector<double>& samples) {
  CacheDrop d;
  if (samples.size() < 11) return d;
  size_t half = std::max<size_t>(samples.size() / 2, 1);
  d.peak = *std::max_element(samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(half));
  d.last = samples.back();
  double threshold = 0.7 * d.peak;
  if (!(threshold > d.last)) return d;
  double sum = 0;
  int count = 0;
  for (double s : samples) {
    if (s < threshold) {
      sum += s;
      ++count;
    }
  }
  d.found = true;
  d.afterCache = count ? sum / count : 0;
  return d;
}

void ReportSeqWrite(const std::string& root, double average, const std::vector<double>& samples,
                    uint64_t writeSize, DiskEvents& events, DiskResult& result) {
  events.Log(Tr("[>]顺序写入：") + std::string("\r\n") + DiskSpeedText(average) + "MB/s");
  ReportCell(events, result, average, 1);
  if (writeSize <= kDefaultWriteSize) ReportCell(events, result, std::nullopt, 2);
  CacheDrop d = DetectCacheDrop(samples);
  result.cacheDrop = d;
  if (!d.found) return;
  events.Log(Tr("[>]缓内速度：") + std::string("\r\n") + DiskSpeedText(d.peak) + "MB/s");
  events.Log(Tr("[>]缓外速度：") + std::string("\r\n") + DiskSpeedText(d.afterCache) + "MB/s");
  ReportCell(events, result, d.peak, 1);
  ReportCell(events, result, d.last, 2);
}

namespace {

// The live speed line of the sequential tests: sent at most every 50 ms, with the bytes
// since the last line and the running average.
struct LiveSpeed {
  LiveSpeed(uint32_t startTick, DiskEvents& events) : start(startTick), reportTime(startTick), events(events) {}

  // Counts bytes; averageBytes is the total the average is taken over.
  void Add(uint64_t bytes, uint64_t averageBytes) {
    sinceReport += bytes;
    uint32_t now = TickMs();
    if (TickDiff(now, reportTime) > 50) {
      double instant = SpeedMBps(sinceReport, TickDiff(now, reportTime));
      average = SpeedMBps(averageBytes, TickDiff(now, start));
      reported = true;
      events.Speed(instant, average, false);
      sinceReport = 0;
      reportTime = now;
    }
  }

  // The last average sent, or the whole test's when no line was sent or the only one came
  // after a slow first block of a write, whose average is taken over nothing yet.
  double Final(uint64_t totalBytes, uint32_t elapsedMs) const {
    return reported && average > 0 ? average : SpeedMBps(totalBytes, elapsedMs);
  }

  uint32_t start;
  uint32_t reportTime;
  DiskEvents& events;
  uint64_t sinceReport = 0;
  double average = 0;
  bool reported = false;
};

}  // namespace

bool SeqWriteTest(const std::string& path, const DiskTestOptions& opt, uint8_t* buffer, DiskEvents& events,
                  DiskResult& result, std::stop_token stop) {
  const std::string& root = opt.root;
  const uint64_t writeSize = opt.writeSize;
  std::unique_ptr<File> f = OpenTestFile(path, OpenMode::kCreateTruncate, opt, events,
                                         FormatText(Tr("[X]分区%s不可写！请使用管理员权限（sudo）重启本程序！"), root.c_str()));
  if (!f) return false;
  FillRandom(buffer, kBlockSize);
  uint32_t start = TickMs();
  LiveSpeed live(start, events);
  uint32_t sampleTime = start;
  uint64_t total = 0;
  uint64_t totalAtSample = 0;
  std::vector<double> samples;
  samples.reserve(20);
  const uint64_t size = std::max<uint64_t>(writeSize, 1);
  for (;;) {
    Scribble(buffer, 128, kBlockSize);
    ssize_t n = f->Write(buffer, kBlockSize);
    if (n < 0 && f->LastError() != ENOSPC) {  // a full medium ends the write normally
      LogIoFailure(events, root, true, f->LastError());
      return false;
    }
    uint64_t written = Transferred(n);
    live.Add(written, total);  // the average does not count this block yet
    events.Progress(Percent(total, size), 0);
    total += written;
    if (total >= writeSize) {
      events.Progress(100, 0);
      break;
    }
    if (total * 20 / size >= samples.size() + 1) {
      uint32_t now = TickMs();
      samples.push_back(SpeedMBps(total - totalAtSample, TickDiff(now, sampleTime)));
      sampleTime = now;
      totalAtSample = total;
    }
    if (written == 0 || stop.stop_requested()) break;
  }
  uint32_t elapsed = TickDiff(TickMs(), start);
  f.reset();
  if (stop.stop_requested()) {
    platform::SleepMs(opt.engine.stopPauseMs);
    return false;
  }
  // A write that ended before the first 50 ms report still has a measured average.
  ReportSeqWrite(root, live.Final(total, elapsed), samples, writeSize, events, result);
  return true;
}

bool SeqReadTest(const std::string& path, const DiskTestOptions& opt, uint8_t* buffer, DiskEvents& events,
                 DiskResult& result, std::stop_token stop) {
  const std::string& root = opt.root;
  std::unique_ptr<File> f =
      OpenTestFile(path, OpenMode::kReadOnly, opt, events, FormatText(Tr("[X]分区%s不可读！测试终止"), root.c_str()));
  if (!f) return false;
  uint32_t start = TickMs();
  LiveSpeed live(start, events);
  uint64_t total = 0;
  for (;;) {
    ssize_t n = f->Read(buffer, kBlockSize);
    if (n < 0) {
      LogIoFailure(events, root, false, f->LastError());
      return false;
    }
    uint64_t got = Transferred(n);
    total += got;
    live.Add(got, total);
    events.Progress(Percent(total, opt.writeSize), 1);
    if (got == 0 || stop.stop_requested()) break;
  }
  uint32_t elapsed = TickDiff(TickMs(), start);
  f.reset();
  if (stop.stop_requested()) {
    platform::SleepMs(opt.engine.stopPauseMs);
    return false;
  }
  double average = live.Final(total, elapsed);
  events.Log(Tr("[>]顺序读取均速：") + std::string("\r\n") + DiskSpeedText(average) + "MB/s");
  ReportCell(events, result, average, 3);
  return true;
}

bool RandWrite4KTest(const std::string& path, const DiskTestOptions& opt, uint8_t* buffer, DiskEvents& events,
                     DiskResult& result, std::stop_token stop) {
  return RandomTest(true, path, opt, buffer, events, result, stop);
}

bool RandRead4KTest(const std::string& path, const DiskTestOptions& opt, uint8_t* buffer, DiskEvents& events,
                    DiskResult& result, std::stop_token stop) {
  return RandomTest(false, path, opt, buffer, events, result, stop);
}

void ConcurrentWriteWorker(GM_TestFile* task, const DiskTestOptions& opt, DiskEvents& events,
                           std::stop_token stop) {
  ConcurrentWorker(true, task, opt, events, stop);
}

void ConcurrentReadWorker(GM_TestFile* task, const DiskTestOptions& opt, DiskEvents& events,
                          std::stop_token stop) {
  ConcurrentWorker(false, task, opt, events, stop);
}

bool Concurrent4KTest(const std::string& path, const DiskTestOptions& opt, DiskEvents& events, DiskResult& result,
                      std::stop_token stop) {
  std::vector<GM_TestFile> tasks = MakeConcurrentRecords(path, opt.writeSize);
  if (!ConcurrentPhase(true, tasks, opt, events, result, stop)) return false;
  return ConcurrentPhase(false, tasks, opt, events, result, stop);
}

namespace {

// Creates the test file under the first free name (diskwritetest.bin, diskwritetest_1.bin,
// ...), so that a file or link of that name which this run did not make is never truncated,
// written through or deleted. Returns 0, or the errno of the last try (EEXIST: every name
// was taken); *path is the last name tried.
int ClaimTestFile(std::string* path) {
  const std::string first = *path;
  const std::string stem = first.substr(0, first.size() - 4);  // without ".bin"
  int err = 0;
  for (int n = 0; n < 1000; ++n) {
    *path = n == 0 ? first : stem + "_" + std::to_string(n) + ".bin";
    const Result<std::unique_ptr<File>> claimed = Files().Open(*path, OpenMode::kCreateNew, false);
    if (claimed.ok()) return 0;
    err = claimed.status().errnoValue();
    if (err != EEXIST) break;
  }
  return err ? err : EEXIST;
}

}  // namespace

DiskResult RunTestSequence(const DiskTestOptions& options, DiskEvents& events, std::stop_token stop) {
  DiskResult result;
  DiskTestOptions opt = options;
  const std::string& root = opt.root;
  opt.engine.tempFolder = opt.engine.tempFolder.empty() ? platform::TempFolder() : opt.engine.tempFolder;
  const std::string& temp = opt.engine.tempFolder;
  const std::string folder = TestFileFolder(root, temp);
  std::string path = platform::JoinPath(folder, kTestFileName);
  if (platform::NormalizeRoot(folder) != platform::NormalizeRoot(root) && !platform::SameFileSystem(root, temp))
    events.Log(FormatText(Tr("[>]分区%s根目录不可写，测试文件放在：%s"), root.c_str(), folder.c_str()));
  // The file goes whatever way the sequence ends, an exception included; only a file this
  // run created is deleted.
  const int claimError = ClaimTestFile(&path);
  const bool claimed = claimError == 0;
  struct RemoveOnExit {
    const std::string& path;
    bool claimed;
    ~RemoveOnExit() {
      if (claimed) Files().Remove(path);
    }
  } removeOnExit{path, claimed};

  platform::AlignedBuffer block(kBlockSize);
  if (!block.ok()) {
    events.Log(Tr("[X]内存不足，测试终止"));
    return result;
  }
  events.Log(Tr("[>>]开始顺序读写测试："));
  if (claimError == EEXIST) {
    events.Log(FormatText(Tr("[X]分区%s不可写！测试文件名均被占用，测试终止"), root.c_str()));
    return result;
  }
  if (!claimed) {  // a name that does not exist: the write's open fails the same way and says why
    SeqWriteTest(path, opt, block.data(), events, result, stop);
    return result;
  }
  if (!SeqWriteTest(path, opt, block.data(), events, result, stop)) return result;
  if (!SeqReadTest(path, opt, block.data(), events, result, stop)) return result;
  events.Log(Tr("[>>]开始4K随机读写测试："));
  if (!RandWrite4KTest(path, opt, block.data(), events, result, stop)) return result;
  if (!RandRead4KTest(path, opt, block.data(), events, result, stop)) return result;
  events.Speed(std::nullopt, std::nullopt, true);
  events.Log(Tr("[>>]开始64并发4k测试"));
  result.completed = Concurrent4KTest(path, opt, events, result, stop) && result.failedWorkers == 0;
  return result;
}

}  // namespace sorvanta::diskbench
