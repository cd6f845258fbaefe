#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <regex>
#include <set>

#include "diskbench/disk_engine.h"
#include "platform/clock.h"
#include "platform/direct_io.h"
#include "support/loop_volume.h"
#include "support/simulated_medium.h"
#include "support/recording_events.h"

namespace sorvanta {
namespace {

using namespace diskbench;
namespace fs = std::filesystem;
constexpr uint64_t kMiB = 1048576;

using Event = testing::Event;
using RecordingSink = testing::RecordingDiskEvents;

DiskEngineOptions Quick(const std::string& temp) {
  DiskEngineOptions o;
  o.randomTestMs = 250;
  o.concurrentTicks = 3;
  o.tickMs = 100;
  o.stopPauseMs = 5;
  o.tempFolder = temp;
  return o;
}

// A sequence (or test) on root with the short durations.
DiskTestOptions Quick(const std::string& root, uint64_t size, const std::string& temp) {
  DiskTestOptions o;
  o.root = root;
  o.writeSize = size;
  o.engine = Quick(temp);
  return o;
}

class DiskEngine : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) / ("diskengine_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "vol");
    fs::create_directories(dir_ / "tmp");
    root_ = (dir_ / "vol").string();
    temp_ = (dir_ / "tmp").string() + "/";
    // The folder and the temporary folder share a file system, so the file goes to temp.
    file_ = temp_ + kTestFileName;
    directWorks_ = platform::RealFileSystem().Open(temp_ + "probe", platform::OpenMode::kCreateTruncate, true).ok();
    fs::remove(temp_ + "probe");
  }
  void TearDown() override { fs::remove_all(dir_); }

  // The whole sequence on root_, reporting to sink.
  DiskResult Sequence(uint64_t size, RecordingSink& sink, std::stop_token stop = {}) {
    return RunTestSequence(Quick(root_, size, temp_), sink, stop);
  }
  DiskResult Sequence(uint64_t size) { return Sequence(size, sink_); }

  fs::path dir_;
  std::string root_, temp_, file_;
  bool directWorks_ = false;
  RecordingSink sink_;
  DiskResult result_;  // what a single test records
};

TEST_F(DiskEngine, SequenceReportsEveryResultInOrderAndDeletesTheFile) {
  if (!directWorks_) GTEST_SKIP() << "temporary folder refuses O_DIRECT";
  const uint64_t size = 48 * kMiB + 1;  // not a multiple of the 16 MiB block
  DiskResult result = Sequence(size);
  EXPECT_FALSE(fs::exists(file_));
  EXPECT_FALSE(fs::exists(root_ + "/diskwritetest.bin"));

  std::vector<std::string> logs = sink_.Logs();
  ASSERT_EQ(logs.size(), 9u) << ::testing::PrintToString(logs);
  EXPECT_EQ(logs[0], "[>>]开始顺序读写测试：");
  EXPECT_TRUE(std::regex_match(logs[1], std::regex("\\[>\\]顺序写入：\r\n[0-9]+\\.[0-9]{2}MB/s"))) << logs[1];
  EXPECT_TRUE(std::regex_match(logs[2], std::regex("\\[>\\]顺序读取均速：\r\n[0-9]+\\.[0-9]{2}MB/s")));
  EXPECT_EQ(logs[3], "[>>]开始4K随机读写测试：");
  EXPECT_EQ(logs[4].rfind("[>]4K随机写均速：\r\n", 0), 0u);
  EXPECT_EQ(logs[5].rfind("[>]4K随机读均速：\r\n", 0), 0u);
  EXPECT_EQ(logs[6], "[>>]开始64并发4k测试");
  EXPECT_EQ(logs[7].rfind("[>]64并发4k写入均速：\r\n", 0), 0u);
  EXPECT_EQ(logs[8].rfind("[>]64并发4k读取均速：\r\n", 0), 0u);

  // Cells 1..7 once each in order (column 2 "未测试"), bars 0..3 right after their cells.
  std::vector<Event> cb = sink_.Of({"cell", "bar"});
  std::vector<std::pair<char, int>> shape;
  for (const Event& e : cb) shape.push_back({e.kind == "cell" ? 'C' : 'B', e.a});
  std::vector<std::pair<char, int>> want = {{'C', 1}, {'C', 2}, {'C', 3}, {'C', 4}, {'B', 0}, {'C', 5},
                                            {'B', 1}, {'C', 6}, {'B', 2}, {'C', 7}, {'B', 3}};
  ASSERT_EQ(shape, want);
  EXPECT_FALSE(cb[1].x.has_value());
  for (const Event& e : cb) {
    if (e.kind == "cell" && e.a == 2) continue;
    ASSERT_TRUE(e.x.has_value());
    EXPECT_GT(*e.x, 0) << e.kind << e.a;
  }
  EXPECT_EQ(*cb[3].x, *cb[4].x);  // bar 0 carries the 4K write speed
  // The result holds every cell as reported.
  EXPECT_TRUE(result.completed);
  EXPECT_TRUE(result.cells.cells[1].has_value() && !result.cells.Value(2));
  for (const Event& e : cb) {
    if (e.kind != "cell" || !e.x) continue;
    EXPECT_EQ(result.cells.Value(e.a), e.x) << e.a;
  }

  // The logged IOPS is the cell's speed x 1 MiB / 4096.
  std::smatch m;
  std::string line = logs[4];
  ASSERT_TRUE(std::regex_match(line, m, std::regex("\\[>\\]4K随机写均速：\r\n([0-9.]+)MB/s\r\n([0-9]+) IOPS")));
  EXPECT_EQ(m[1].str(), DiskSpeedText(*cb[3].x));
  EXPECT_EQ(std::stoull(m[2].str()), IopsOf(*cb[3].x));

  // Progress: line 0 for the write (one per block, then 100), line 1 for the read,
  // line -1 for the timed tests; all within 0..100.
  std::vector<int> write, read;
  for (const Event& e : sink_.Of("progress")) {
    EXPECT_GE(e.a, 0);
    EXPECT_LE(e.a, 100);
    EXPECT_FALSE(e.wait);
    if (e.b == 0) write.push_back(e.a);
    if (e.b == 1) read.push_back(e.a);
  }
  EXPECT_EQ(write, (std::vector<int>{0, 33, 66, 99, 100}));
  ASSERT_FALSE(read.empty());
  EXPECT_EQ(read.back(), 100);  // the file is one block longer than the size

  // Exactly one waiting speed call, the clearing one with neither value, before the 64-worker test.
  std::vector<Event> all = sink_.Calls();
  int clearing = 0;
  for (size_t i = 0; i < all.size(); ++i) {
    if (all[i].kind != "speed" || !all[i].wait) continue;
    ++clearing;
    EXPECT_FALSE(all[i].x || all[i].y);
    ASSERT_LT(i + 1, all.size());
    EXPECT_EQ(all[i + 1].text, "[>>]开始64并发4k测试");
  }
  EXPECT_EQ(clearing, 1);
}

TEST_F(DiskEngine, WriteStopsAfterTheBlockThatPassesTheSize) {
  if (!directWorks_) GTEST_SKIP() << "temporary folder refuses O_DIRECT";
  platform::AlignedBuffer block(kBlockSize);
  DiskTestOptions opt = Quick(root_, 16 * kMiB + 4096, temp_);
  ASSERT_TRUE(SeqWriteTest(file_, opt, block.data(), sink_, result_, {}));
  EXPECT_EQ(fs::file_size(file_), 32 * kMiB);
  ASSERT_TRUE(SeqReadTest(file_, opt, block.data(), sink_, result_, {}));
  std::vector<Event> cells = sink_.Of("cell");
  ASSERT_EQ(cells.size(), 3u);
  EXPECT_EQ(cells[2].a, 3);
  EXPECT_GT(*cells[2].x, 0);  // a read shorter than the first 50 ms report still has a speed
}

// Presses stop at a chosen notification; the running test reports nothing and the
// sequence ends with the file deleted.
struct StopCase {
  const char* name;
  std::function<bool(const Event&)> at;
  std::set<int> cellsBefore;  // columns reported before the stopped test
};

TEST_F(DiskEngine, StopInEachTestReportsNothingOfItAndDeletesTheFile) {
  if (!directWorks_) GTEST_SKIP() << "temporary folder refuses O_DIRECT";
  std::vector<StopCase> cases = {
      {"sequential write", [](const Event& e) { return e.kind == "progress" && e.b == 0; }, {}},
      {"sequential read", [](const Event& e) { return e.kind == "progress" && e.b == 1; }, {1, 2}},
      {"4K write", [](const Event& e) { return e.kind == "log" && e.text == "[>>]开始4K随机读写测试："; }, {1, 2, 3}},
      {"4K read", [](const Event& e) { return e.kind == "cell" && e.a == 4; }, {1, 2, 3, 4}},
      {"64 writers", [](const Event& e) { return e.kind == "log" && e.text == "[>>]开始64并发4k测试"; },
       {1, 2, 3, 4, 5}},
      {"64 readers", [](const Event& e) { return e.kind == "cell" && e.a == 6; }, {1, 2, 3, 4, 5, 6}},
  };
  for (const StopCase& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingSink sink;
    std::stop_source stop;
    sink.hook = [&](const Event& e) {
      if (c.at(e)) stop.request_stop();
    };
    DiskResult result = Sequence(40 * kMiB, sink, stop.get_token());
    EXPECT_TRUE(stop.stop_requested());
    EXPECT_FALSE(fs::exists(file_));
    std::set<int> cells;
    for (const Event& e : sink.Of("cell")) cells.insert(e.a);
    EXPECT_EQ(cells, c.cellsBefore);
    std::set<int> kept;
    for (int col = 1; col <= 7; ++col)
      if (result.cells.cells[static_cast<size_t>(col - 1)]) kept.insert(col);
    EXPECT_EQ(kept, c.cellsBefore);
    EXPECT_FALSE(result.completed);
    // No result line after the stop point beyond what the cells show.
    int results = 0;
    for (const std::string& l : sink.Logs()) results += l.rfind("[>]", 0) == 0;
    EXPECT_LE(results, static_cast<int>(c.cellsBefore.size()));
  }
}

TEST_F(DiskEngine, WriteWhoseOnlyLiveLineCameAfterASlowFirstBlockStillHasItsSpeed) {
  // The clock moves 100 ms during the first block and 1 ms per block after it: the only live
  // line averages over no finished block yet, and the write's figure must not be that 0.
  testing::SimulatedMedium medium;
  platform::SetTickSourceForTesting([this, &medium] {
    const int64_t blocks = std::max<int64_t>(medium.SizeOf(file_), 0) / kBlockSize;
    return blocks == 0 ? 1000u : 1100u + static_cast<uint32_t>(blocks);
  });
  platform::AlignedBuffer block(kBlockSize);
  const bool done = SeqWriteTest(file_, Quick(root_, 48 * kMiB, temp_), block.data(), sink_, result_, {});
  platform::SetTickSourceForTesting(nullptr);
  ASSERT_TRUE(done);
  ASSERT_TRUE(result_.cells.Value(1).has_value());
  EXPECT_GT(*result_.cells.Value(1), 400);  // 48 MiB in 103 ms
}

TEST_F(DiskEngine, UnwritableOrUncachedRefusingFolderEndsTheSequence) {
  testing::SimulatedMedium medium;
  medium.RefuseOpens(EACCES);
  Sequence(32 * kMiB);
  EXPECT_EQ(sink_.Logs(), (std::vector<std::string>{
                              "[>>]开始顺序读写测试：",
                              "[X]分区" + root_ + "不可写！请使用管理员权限（sudo）重启本程序！"}));
  EXPECT_TRUE(sink_.Of({"cell", "bar", "progress", "speed"}).empty());

  // A file system without O_DIRECT is not testable: never measured through the cache.
  RecordingSink second;
  medium.RefuseOpens(0, true);
  Sequence(32 * kMiB, second);
  ASSERT_EQ(second.Logs().size(), 2u);
  EXPECT_EQ(second.Logs()[1], "[X]分区" + root_ + "不支持无缓存读写（O_DIRECT），无法测试！");
  EXPECT_FALSE(medium.Exists(file_));
}

TEST_F(DiskEngine, ReadOnlyVolumeIsReportedNotWritable) {
  std::string why = testing::LoopVolume::Unavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  testing::LoopVolume vol(32 * kMiB);
  if (!vol.ok()) GTEST_SKIP() << vol.error();
  ASSERT_EQ(mount(nullptr, vol.root().c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0) << errno;
  // The temporary folder is on another file system, so the file would go to the volume root.
  RunTestSequence(Quick(vol.root(), 32 * kMiB, temp_), sink_, {});
  mount(nullptr, vol.root().c_str(), nullptr, MS_REMOUNT, nullptr);
  ASSERT_EQ(sink_.Logs().size(), 2u);
  EXPECT_EQ(sink_.Logs()[1], "[X]分区" + vol.root() + "不可写！请使用管理员权限（sudo）重启本程序！");
}

TEST_F(DiskEngine, RandomTestOnAFileShorterThanOneBlockStaysAtOffsetZero) {
  testing::SimulatedMedium medium;
  ASSERT_EQ(medium.Open(file_, platform::OpenMode::kCreateTruncate, true).value()->Write(std::string(100, 'x').data(), 100), 100);
  platform::AlignedBuffer block(kBlockSize);
  ASSERT_TRUE(RandRead4KTest(file_, Quick(root_, 0, temp_), block.data(), sink_, result_, {}));
  std::vector<uint64_t> seeks = medium.Seeks();
  ASSERT_FALSE(seeks.empty());
  for (uint64_t s : seeks) EXPECT_EQ(s, 0u);
  std::vector<Event> cells = sink_.Of({"cell", "bar"});
  ASSERT_EQ(cells.size(), 2u);
  EXPECT_EQ(cells[0].a, 5);
  EXPECT_EQ(cells[1].a, 1);
}

TEST_F(DiskEngine, FullMediumEndsTheWriteNormallyAndLaterTestsUseTheShorterFile) {
  testing::SimulatedMedium medium(40 * kMiB);  // fills up in the third 16 MiB block
  Sequence(kDefaultWriteSize + kMiB);
  EXPECT_EQ(medium.Created()[file_], 1);
  EXPECT_FALSE(medium.Exists(file_));
  std::set<int> cells;
  for (const Event& e : sink_.Of("cell")) {
    cells.insert(e.a);
    ASSERT_TRUE(e.x.has_value()) << e.a;
  }
  // Above 20 GiB column 2 is left alone; the rest are measured on the 40 MiB file.
  EXPECT_EQ(cells, (std::set<int>{1, 3, 4, 5, 6, 7}));
  int lastWrite = -1;
  for (const Event& e : sink_.Of("progress"))
    if (e.b == 0) lastWrite = e.a;
  EXPECT_EQ(lastWrite, 0);  // 40 MiB of 20 GiB: the write ended early, not at 100 %
  // Random positions are 4 KiB aligned; the 64 workers' regions lie past the short file.
  uint64_t past = 0;
  for (uint64_t s : medium.Seeks()) {
    EXPECT_EQ(s % 4096, 0u);
    past += s >= 40 * kMiB;
  }
  EXPECT_GT(past, 0u);
}

TEST_F(DiskEngine, TakenNamesSurviveAndUnalignedSizesMeasureAllSixtyFourWorkers) {
  if (!directWorks_) GTEST_SKIP() << "temporary folder refuses O_DIRECT";
  // A file of the user's and a link, both named like the test file, are left alone.
  { std::ofstream(file_, std::ios::binary) << "mine"; }
  { std::ofstream((dir_ / "precious.txt").string(), std::ios::binary) << "precious"; }
  fs::create_symlink(dir_ / "precious.txt", temp_ + "diskwritetest_1.bin");

  // 64 MiB - 64 bytes: one 64th is not a whole number of 4 KiB pages, which unbuffered
  // I/O refuses at unaligned offsets.
  Sequence(64 * kMiB - 64);
  for (const std::string& line : sink_.Logs()) EXPECT_EQ(line.rfind("[X]", 0), std::string::npos) << line;
  std::map<int, double> cells;
  for (const Event& e : sink_.Of("cell"))
    if (e.x) cells[e.a] = *e.x;
  ASSERT_TRUE(cells.count(6) && cells.count(7));
  EXPECT_GT(cells[6], 0);
  EXPECT_GT(cells[7], 0);

  std::ifstream mine(file_, std::ios::binary), precious(dir_ / "precious.txt", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(mine), {}), "mine");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(precious), {}), "precious");
  EXPECT_TRUE(fs::is_symlink(temp_ + "diskwritetest_1.bin"));
  EXPECT_FALSE(fs::exists(temp_ + "diskwritetest_2.bin"));  // the run's own file, deleted
}

// Puts transfer failures under the engine: reads and/or writes fail with EIO.
class FailingMedium : public platform::FileSystem {
 public:
  explicit FailingMedium(testing::SimulatedMedium& inner) : inner_(inner) { platform::SetFileSystemForTesting(this); }
  ~FailingMedium() override { platform::SetFileSystemForTesting(&inner_); }
  Result<std::unique_ptr<platform::File>> Open(const std::string& path, platform::OpenMode mode,
                                               bool direct) override {
    Result<std::unique_ptr<platform::File>> f = inner_.Open(path, mode, direct);
    if (!f.ok()) return f;
    return std::unique_ptr<platform::File>(std::make_unique<File>(std::move(f).value(), *this));
  }
  bool Remove(const std::string& path) override { return inner_.Remove(path); }
  bool Exists(const std::string& path) override { return inner_.Exists(path); }
  void DropCache(const std::string& path) override { inner_.DropCache(path); }

  std::atomic<bool> failReads{false};
  std::atomic<bool> failWrites{false};

 private:
  class File : public platform::File {
   public:
    File(std::unique_ptr<platform::File> inner, FailingMedium& m) : inner_(std::move(inner)), m_(m) {}
    ssize_t Write(const void* d, size_t n) override { return m_.failWrites ? Fail() : inner_->Write(d, n); }
    ssize_t Read(void* d, size_t n) override { return m_.failReads ? Fail() : inner_->Read(d, n); }
    ssize_t PWrite(const void* d, size_t n, uint64_t o) override {
      return m_.failWrites ? Fail() : inner_->PWrite(d, n, o);
    }
    ssize_t PRead(void* d, size_t n, uint64_t o) override { return m_.failReads ? Fail() : inner_->PRead(d, n, o); }
    bool Seek(uint64_t o) override { return inner_->Seek(o); }
    bool Sync() override { return inner_->Sync(); }
    int64_t Size() override { return inner_->Size(); }
    int LastError() const override { return error_; }
    bool Direct() const override { return inner_->Direct(); }

   private:
    ssize_t Fail() {
      error_ = EIO;
      return -1;
    }
    std::unique_ptr<platform::File> inner_;
    FailingMedium& m_;
    int error_ = 0;
  };
  testing::SimulatedMedium& inner_;
};

TEST_F(DiskEngine, FailedTransfersEndTheTestWithTheErrorInsteadOfAFastResult) {
  testing::SimulatedMedium inner;
  FailingMedium medium(inner);
  medium.failReads = true;
  Sequence(32 * kMiB);
  std::vector<std::string> logs = sink_.Logs();
  ASSERT_EQ(logs.size(), 3u) << ::testing::PrintToString(logs);
  EXPECT_EQ(logs[2], "[X]分区" + root_ + "读取失败！错误代码：0x5测试终止");
  for (const Event& e : sink_.Of("cell")) EXPECT_NE(e.a, 3);

  // A file of the run's own for the single and the 64-thread tests.
  medium.failReads = false;
  ASSERT_TRUE(medium.Open(file_, platform::OpenMode::kCreateNew, true).ok());
  ASSERT_EQ(inner.Open(file_, platform::OpenMode::kReadWrite, true).value()->PWrite("", 32 * kMiB, 0),
            static_cast<ssize_t>(32 * kMiB));
  medium.failWrites = true;
  RecordingSink second;
  platform::AlignedBuffer block(kBlockSize);
  DiskTestOptions opt = Quick(root_, 32 * kMiB, temp_);
  EXPECT_FALSE(RandWrite4KTest(file_, opt, block.data(), second, result_, {}));
  EXPECT_EQ(second.Logs(), (std::vector<std::string>{"[X]分区" + root_ + "写入失败！错误代码：0x5测试终止"}));
  EXPECT_TRUE(second.Of({"cell", "bar"}).empty());
}

// A 64-thread worker that fails adds 0 and the others go on; the read phase still runs and
// the failures are counted, so the row is not complete.
TEST_F(DiskEngine, FailingConcurrentWorkerAddsZeroAndTheOthersGoOn) {
  testing::SimulatedMedium medium;
  ASSERT_EQ(medium.Open(file_, platform::OpenMode::kCreateNew, true).value()->PWrite("", 32 * kMiB, 0),
            static_cast<ssize_t>(32 * kMiB));
  medium.FailWrite(1);  // the first write of the 64 writers
  DiskResult result;
  ASSERT_TRUE(Concurrent4KTest(file_, Quick(root_, 32 * kMiB, temp_), sink_, result, {}));
  EXPECT_EQ(result.failedWorkers, 1);
  ASSERT_TRUE(result.cells.Value(6) && result.cells.Value(7));
  EXPECT_GT(*result.cells.Value(6), 0);
  EXPECT_GT(*result.cells.Value(7), 0);
  std::vector<std::string> logs = sink_.Logs();
  ASSERT_EQ(logs.size(), 2u) << ::testing::PrintToString(logs);
  EXPECT_TRUE(std::regex_match(logs[0], std::regex("\\[X\\]分区" + root_ +
                                                   "64并发4k写入：1个线程读写出错，错误代码：0x5，其余63个线程合计：\r\n"
                                                   "[0-9]+\\.[0-9]{2}MB/s\r\n[0-9]+ IOPS")))
      << logs[0];
  EXPECT_EQ(logs[1].rfind("[>]64并发4k读取均速：\r\n", 0), 0u);
  // Each tick of both phases shows what all workers moved during it.
  int speeds = 0;
  for (const Event& e : sink_.Of("speed")) speeds += e.x.has_value() && !e.y && !e.wait;
  EXPECT_EQ(speeds, 6);
}

// A write error that is not a full disk fails the sequential write with its error code
// instead of ending it like a full disk with the speed of the blocks before it.
TEST_F(DiskEngine, WriteErrorFailsTheSequentialWriteWithItsCode) {
  testing::SimulatedMedium medium;
  medium.FailWritesFrom(2);
  platform::AlignedBuffer block(kBlockSize);
  EXPECT_FALSE(SeqWriteTest(file_, Quick(root_, 40 * kMiB, temp_), block.data(), sink_, result_, {}));
  EXPECT_EQ(medium.SizeOf(file_), static_cast<int64_t>(32 * kMiB));
  EXPECT_EQ(sink_.Logs(), (std::vector<std::string>{"[X]分区" + root_ + "写入失败！错误代码：0x5测试终止"}));
  EXPECT_TRUE(sink_.Of("cell").empty());
}

// The timed loops end once more than their duration has passed (20,001 ms or more for the
// real 20 s), checked after each I/O. The clock here advances 1 ms per I/O, so a 30 ms
// loop makes exactly 31 I/Os.
TEST_F(DiskEngine, TimedLoopsRunUntilMoreThanTheirDurationHasPassed) {
  testing::SimulatedMedium medium;
  std::string data(1 << 20, 'x');
  ASSERT_EQ(medium.Open(file_, platform::OpenMode::kCreateTruncate, true).value()->Write(data.data(), data.size()),
            static_cast<ssize_t>(data.size()));
  platform::SetTickSourceForTesting([&medium] { return 5000u + static_cast<uint32_t>(medium.Seeks().size()); });
  DiskTestOptions o = Quick(root_, 0, temp_);
  o.engine.randomTestMs = 30;
  platform::AlignedBuffer block(kBlockSize);
  const bool random = RandWrite4KTest(file_, o, block.data(), sink_, result_, {});
  const size_t randomIos = medium.Seeks().size();
  GM_TestFile task;
  task.path = file_;
  task.regionLength = data.size();
  ConcurrentReadWorker(&task, o, sink_, {});
  const size_t concurrentIos = medium.Seeks().size() - randomIos;
  platform::SetTickSourceForTesting(nullptr);
  EXPECT_TRUE(random);
  EXPECT_EQ(randomIos, 31u);
  EXPECT_EQ(concurrentIos, 31u);
}

TEST(DiskEngineMath, ConcurrentRegionsSplitTheWriteSize) {
  const uint64_t size = 64ull * 4096 * 1000 * 3 + 12345;  // not a multiple of 64 x 4096
  std::vector<GM_TestFile> tasks = MakeConcurrentRecords("/x/f", size);
  ASSERT_EQ(tasks.size(), 64u);
  const uint64_t len = 4096ull * 1000 * 3;  // whole pages, so that unbuffered I/O can use them
  for (int i = 0; i < 64; ++i) {
    EXPECT_EQ(tasks[i].seed, i);
    EXPECT_EQ(tasks[i].path, "/x/f");
    EXPECT_EQ(tasks[i].regionLength, len);
    EXPECT_EQ(tasks[i].regionStart, i * len);
    EXPECT_EQ(tasks[i].speed, 0);
    EXPECT_EQ(ConcurrentOffset(tasks[i], 0), tasks[i].regionStart);
    uint64_t last = ConcurrentOffset(tasks[i], 999);
    EXPECT_LT(last + 4096, tasks[i].regionStart + len + 1);
    EXPECT_EQ((last - tasks[i].regionStart) % 4096, 0u);
  }
  // k x (length / 4096) / 1000 blocks into the region: 3000 blocks -> 3 per step.
  EXPECT_EQ(ConcurrentOffset(tasks[1], 500), len + 1500 * 4096);
  // Regions smaller than one page leave every worker at offset 0.
  std::vector<GM_TestFile> tiny = MakeConcurrentRecords("/x/f", 64 * 4000);
  EXPECT_EQ(ConcurrentOffset(tiny[7], 999), 0u);
  std::vector<GM_TestFile> odd = MakeConcurrentRecords("/x/f", 67108800);  // 64 MiB - 64
  EXPECT_EQ(odd[1].regionStart, 1044480u);  // 255 pages, not 1048575 bytes
  EXPECT_EQ(ConcurrentOffset(odd[63], 999) % 4096, 0u);
  EXPECT_EQ(RandomOffset(0, 999), 0u);
  EXPECT_EQ(RandomOffset(2000, 999), 1998u * 4096);
}

TEST(DiskEngineMath, CacheDropDetection) {
  // Fewer than 11 samples: never a drop.
  EXPECT_FALSE(DetectCacheDrop({900, 900, 900, 900, 900, 900, 900, 900, 900, 100}).found);
  // Peak from the first half only; after-cache is the mean of every sample below 0.7 x peak.
  std::vector<double> s = {800, 1000, 950, 900, 850, 900, 300, 200, 5000, 400, 100};
  CacheDrop d = DetectCacheDrop(s);
  ASSERT_TRUE(d.found);
  EXPECT_EQ(d.peak, 1000);
  EXPECT_EQ(d.last, 100);
  EXPECT_DOUBLE_EQ(d.afterCache, (300 + 200 + 400 + 100) / 4.0);
  // A last sample exactly at 0.7 x peak is not a drop.
  std::vector<double> edge(11, 500);
  edge[0] = 1000;
  edge.back() = 0.7 * 1000;
  EXPECT_FALSE(DetectCacheDrop(edge).found);
  edge.back() = 699.99;
  EXPECT_TRUE(DetectCacheDrop(edge).found);
}

TEST(DiskEngineMath, SequentialWriteResultCells) {
  RecordingSink sink;
  DiskResult r;
  std::vector<double> drop = {800, 1000, 950, 900, 850, 900, 300, 200, 250, 400, 100};
  ReportSeqWrite("/v", 512.345, {1, 2, 3}, kDefaultWriteSize, sink, r);      // up to 20 GiB: column 2 "未测试"
  ReportSeqWrite("/v", 512.345, {1, 2, 3}, kDefaultWriteSize + 1, sink, r);  // larger: column 2 untouched
  EXPECT_FALSE(r.cacheDrop.found);
  ReportSeqWrite("/v", 600, drop, kDefaultWriteSize + 1, sink, r);           // drop: peak and last sample
  std::vector<Event> c = sink.Of("cell");
  ASSERT_EQ(c.size(), 6u);
  EXPECT_EQ(c[0].a, 1);
  EXPECT_EQ(c[1].a, 2);
  EXPECT_FALSE(c[1].x.has_value());
  EXPECT_EQ(c[2].a, 1);
  EXPECT_EQ(c[3].a, 1);
  EXPECT_EQ(*c[3].x, 600);
  EXPECT_EQ(c[4].a, 1);
  EXPECT_EQ(*c[4].x, 1000);
  EXPECT_EQ(c[5].a, 2);
  EXPECT_EQ(*c[5].x, 100);
  std::vector<std::string> logs = sink.Logs();
  ASSERT_EQ(logs.size(), 5u);
  EXPECT_EQ(logs[0], "[>]顺序写入：\r\n512.34MB/s");  // narrowed to float first
  EXPECT_EQ(logs[3], "[>]缓内速度：\r\n1000.00MB/s");
  EXPECT_EQ(logs[4], "[>]缓外速度：\r\n250.00MB/s");
  // The result keeps the drop and the cells as they ended.
  EXPECT_TRUE(r.cacheDrop.found);
  EXPECT_EQ(r.cacheDrop.peak, 1000);
  EXPECT_EQ(r.cells.Value(1), 1000);
  EXPECT_EQ(r.cells.Value(2), 100);
}

TEST(DiskEngineMath, UnitsAndTestFilePlace) {
  EXPECT_DOUBLE_EQ(SpeedMBps(1048576, 1000), 1.0);
  EXPECT_DOUBLE_EQ(SpeedMBps(1048576, 0), 1000.0);  // 0 ms counts as 1 ms, never infinite
  EXPECT_EQ(IopsOf(1.0), 256u);
  EXPECT_EQ(IopsOf(0.0039), 0u);
  EXPECT_EQ(DiskSpeedText(812.345), "812.34");  // single precision, then "%.2f"
  std::string tmp = ::testing::TempDir();
  EXPECT_EQ(DiskTestFilePath(tmp, tmp), (tmp.back() == '/' ? tmp : tmp + "/") + kTestFileName);
  EXPECT_EQ(DiskTestFilePath("/proc", tmp), std::string("/proc/") + kTestFileName);

  // A root this user may not write, with the temporary folder elsewhere: the first writable
  // fallback on the same file system holds the file; with none, the root (and its hint).
  const std::string root = tmp + "place_root", other = tmp + "place_other";
  fs::create_directories(root);
  fs::create_directories(other);
  auto allButRoot = [&](const std::string& p) { return p != root; };
  EXPECT_EQ(TestFileFolder(root, "/proc/", {"/proc", other}, allButRoot), other);
  EXPECT_EQ(TestFileFolder(root, "/proc/", {"/proc"}, allButRoot), root);
  EXPECT_EQ(TestFileFolder(root, "/proc/", {other}, [](const std::string&) { return false; }), root);
  fs::remove_all(root);
  fs::remove_all(other);
}

// What a user runs with; every other test shortens the timed tests.
TEST(DiskEngineDefaults, DurationsAndSizesOfARealRun) {
  DiskEngineOptions o;
  EXPECT_EQ(o.randomTestMs, 20000u);  // the loops end once 20,001 ms have passed
  EXPECT_EQ(o.concurrentTicks, 20);
  EXPECT_EQ(o.tickMs, 1000u);
  EXPECT_EQ(o.stopPauseMs, 1000u);
  EXPECT_EQ(o.tempFolder, "");
  EXPECT_EQ(kDefaultWriteSize, 21474836480ull);
  EXPECT_EQ(kBlockSize, 16777216u);
  EXPECT_EQ(kSmallIo, 4096u);
  EXPECT_EQ(kConcurrentWorkers, 64);
}

}  // namespace
}  // namespace sorvanta
