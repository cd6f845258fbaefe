// Volume information for the window and the command line, and whole runs with real
// unbuffered I/O: on a temporary folder declared a small volume, and on a loop-mounted ext4
// volume (root only). Also the mount-table watch that refreshes the volume list.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "base/run_thread.h"
#include "capacity/capacity_presenter.h"
#include "support/recording_events.h"
#include "platform/mount_watch.h"
#include "support/deadline.h"
#include "support/fake_volumes.h"
#include "support/loop_volume.h"

namespace sorvanta::capacity {
namespace {

using RecordingReporter = testing::RecordingCapacityEvents;

constexpr uint64_t kB = kCapacityBlockSize;

std::string FreshFolder(const std::string& name) {
  std::string dir = ::testing::TempDir() + "sorvanta_capacity_" + name + "_" + std::to_string(getpid());
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

int TestFilesIn(const std::string& dir) {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().filename().string().rfind("temp_", 0) == 0) ++n;
  return n;
}

TEST(CapacityVolumes, ListingAndInformationComeFromTheVolumeLayer) {
  testing::FakeVolumes volumes;
  std::string dir = FreshFolder("info");
  volumes.Add(dir, 3 * kB + 512 * 1024, "vfat", "MYUSB");
  volumes.Add(dir + "/gone", 1);  // listed by the mount table but not readable

  std::vector<std::string> roots = ListCapacityVolumes();
  EXPECT_EQ(roots, (std::vector<std::string>{dir}));
  std::optional<CapacityVolume> v = ReadCapacityVolume(dir + "/");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->root, dir);
  EXPECT_EQ(VolumeInfoText(*v), "MYUSB, FAT32");
  EXPECT_EQ(VolumeInfoText(CapacityVolume{dir, "", "EXT4", 0}), "EXT4");  // no label, no leading comma
  EXPECT_EQ(v->freeBytes, 3 * kB + 512 * 1024);
  EXPECT_EQ(FreeSpaceText(v->freeBytes), "48.50 MB");
  EXPECT_FALSE(ReadCapacityVolume(dir + "/gone"));
  EXPECT_FALSE(ReadCapacityVolume(dir + "/not-a-volume"));
  std::filesystem::remove_all(dir);
}

TEST(CapacityVolumes, RunWithUnbufferedFilesOnADeclaredSmallVolume) {
  testing::FakeVolumes volumes;
  std::string dir = FreshFolder("run");
  volumes.Add(dir, 2 * kB + 8192);
  std::optional<CapacityVolume> v = ReadCapacityVolume(dir);
  ASSERT_TRUE(v);

  RecordingReporter reporter;
  RunThread<CapacityResult> check;
  CapacityOptions o;
  o.root = v->root;
  o.freeBytes = v->freeBytes;
  o.stream = std::make_shared<PatternStream>(42);
  int filesDuringRun = 0;
  reporter.hook = [&](const testing::Event& c) {
    if (c.kind == "log" && c.text == "清理数据中...") filesDuringRun = TestFilesIn(dir);
  };
  auto body = [&] { return RunCapacityCheck(o, reporter, std::stop_token()); };
  ASSERT_TRUE(check.Start(body));
  EXPECT_FALSE(check.Start(body));  // one run at a time
  check.Wait();
  std::optional<CapacityResult> res = check.LastOutcome();
  ASSERT_TRUE(res);
  if (reporter.CountLogsStartingWith("文件系统不支持") > 0) GTEST_SKIP() << "temporary folder refuses O_DIRECT";
  EXPECT_EQ(filesDuringRun, 1);
  EXPECT_EQ(res->end, CapacityEnd::kFinished);
  EXPECT_EQ(res->verifiedBytes, 2 * kB + 8192);
  EXPECT_TRUE(reporter.Logs().back().rfind("处理结束！您的磁盘有效容量：32 MB", 0) == 0);
  EXPECT_FALSE(check.Active());
  EXPECT_EQ(TestFilesIn(dir), 0);
  std::filesystem::remove_all(dir);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(CapacityVolumes, FilesAndLinksNamedLikeTestFilesSurviveCheckAndWipe) {
  // A file of the user's and a link to a file elsewhere, both named like test files: a
  // run must neither write through them nor delete them, and still measure the volume.
  testing::FakeVolumes volumes;
  std::string dir = FreshFolder("taken");
  std::string outside = FreshFolder("outside");
  volumes.Add(dir, 2 * kB + 8192);
  const std::string precious(100000, 'p');
  std::ofstream(outside + "/precious.txt", std::ios::binary) << precious;
  std::ofstream(dir + "/temp_0.tmp", std::ios::binary) << "mine";
  std::filesystem::create_symlink(outside + "/precious.txt", dir + "/temp_1.tmp");

  for (CapacityMode mode : {CapacityMode::kCapacityCheck, CapacityMode::kWipe}) {
    RecordingReporter reporter;
    CapacityOptions o;
    o.root = dir;
    o.freeBytes = 2 * kB + 8192;
    o.mode = mode;
    o.stream = std::make_shared<PatternStream>(5);
    CapacityResult res = RunCapacityCheck(o, reporter, std::stop_token());
    if (reporter.CountLogsStartingWith("文件系统不支持") > 0) GTEST_SKIP() << "temporary folder refuses O_DIRECT";
    EXPECT_EQ(res.end, CapacityEnd::kFinished);
    EXPECT_EQ(res.errors, 0);
    std::vector<std::string> logs = reporter.Logs();
    EXPECT_TRUE(std::find(logs.begin(), logs.end(), "创建文件:" + dir + "/temp_2.tmp") != logs.end());
    EXPECT_EQ(ReadAll(dir + "/temp_0.tmp"), "mine");
    EXPECT_TRUE(std::filesystem::is_symlink(dir + "/temp_1.tmp"));
    EXPECT_EQ(ReadAll(outside + "/precious.txt"), precious);
    EXPECT_EQ(TestFilesIn(dir), 2);  // only the user's two
    if (mode == CapacityMode::kCapacityCheck) {
      EXPECT_EQ(logs.back(), "处理结束！您的磁盘有效容量：32 MB (0.03 GB)");
    }
  }
  std::filesystem::remove_all(dir);
  std::filesystem::remove_all(outside);
}

// Counts the 1 KiB pieces of an image that begin with the marker.
size_t MarkedPieces(const std::string& image, const std::string& marker) {
  std::string bytes = ReadAll(image);
  size_t n = 0;
  for (size_t at = 0; at + marker.size() <= bytes.size(); at += 1024)
    if (bytes.compare(at, marker.size(), marker) == 0) ++n;
  return n;
}

TEST(CapacityVolumes, WipeAsRootOverwritesTheBlocksKeptForRoot) {
  std::string why = testing::LoopVolume::Unavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  testing::LoopVolume loop(64ull * 1024 * 1024, 10);  // about 6 MB kept for root
  if (!loop.ok()) GTEST_SKIP() << loop.error();

  // A deleted file that had taken every free block (root may), every 1 KiB marked.
  const std::string marker = "SORVANTA-DELETED";
  std::string piece = marker + std::string(1024 - marker.size(), 'd');
  std::string chunk;
  for (int i = 0; i < 1024; ++i) chunk += piece;
  {
    std::FILE* f = std::fopen((loop.root() + "/secret.bin").c_str(), "wb");
    ASSERT_TRUE(f);
    std::setvbuf(f, nullptr, _IONBF, 0);
    while (std::fwrite(chunk.data(), 1, chunk.size(), f) == chunk.size()) {
    }
    std::fclose(f);
  }
  ASSERT_TRUE(loop.Sync());
  std::filesystem::remove(loop.root() + "/secret.bin");
  ASSERT_TRUE(loop.Sync());

  std::optional<CapacityVolume> v = ReadCapacityVolume(loop.root());
  ASSERT_TRUE(v);
  RecordingReporter reporter;
  CapacityOptions o;
  o.root = v->root;
  o.freeBytes = v->freeBytes;
  o.mode = CapacityMode::kWipe;
  o.stream = std::make_shared<PatternStream>(3);
  CapacityResult res = RunCapacityCheck(o, reporter, std::stop_token());
  EXPECT_EQ(res.errors, 0);
  EXPECT_GT(res.writtenBytes, v->freeBytes + 4 * 1024 * 1024);  // the reserved blocks too
  EXPECT_EQ(reporter.Logs().back(), "处理结束！您的磁盘数据已毁尸灭迹！");
  EXPECT_EQ(TestFilesIn(loop.root()), 0);
  ASSERT_TRUE(loop.Unmount());
  // ext4 keeps about 2 % of its blocks even from root; the 6 MB kept for root are gone.
  EXPECT_LT(MarkedPieces(loop.image(), marker) * 1024, 2u * 1024 * 1024);
}

TEST(CapacityVolumes, LoopVolumeCheckAndWipeFillTheWholeFreeSpace) {
  std::string why = testing::LoopVolume::Unavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  testing::LoopVolume loop(96ull * 1024 * 1024);
  if (!loop.ok()) GTEST_SKIP() << loop.error();

  for (CapacityMode mode : {CapacityMode::kCapacityCheck, CapacityMode::kWipe}) {
    std::optional<CapacityVolume> v = ReadCapacityVolume(loop.root());
    ASSERT_TRUE(v);
    EXPECT_EQ(v->fileSystem, "EXT4");
    RecordingReporter reporter;
    CapacityOptions o;
    o.root = v->root;
    o.freeBytes = v->freeBytes;
    o.mode = mode;
    o.stream = std::make_shared<PatternStream>(9);
    CapacityResult res = RunCapacityCheck(o, reporter, std::stop_token());
    EXPECT_EQ(res.end, CapacityEnd::kFinished);
    EXPECT_EQ(res.errors, 0);
    // Unbuffered transfers are whole 4 KiB pages: a smaller rest of a 1 KiB-block ext4 stays.
    EXPECT_LE(res.writtenBytes, v->freeBytes);
    EXPECT_GT(res.writtenBytes + 4096, v->freeBytes);
    if (mode == CapacityMode::kCapacityCheck) {
      EXPECT_EQ(res.verifiedBytes, res.writtenBytes);
    } else {
      EXPECT_EQ(reporter.Logs().back(), "处理结束！您的磁盘数据已毁尸灭迹！");
    }
    EXPECT_EQ(TestFilesIn(loop.root()), 0);
  }
}

TEST(MountWatch, ReportsVolumesComingAndGoing) {
  std::string why = testing::LoopVolume::Unavailable();
  if (!why.empty()) GTEST_SKIP() << why;
  testing::LoopVolume loop(16ull * 1024 * 1024);
  if (!loop.ok()) GTEST_SKIP() << loop.error();
  std::atomic<int> changes{0};
  platform::MountWatch watch([&] { ++changes; });
  ASSERT_TRUE(watch.ok());
  ASSERT_TRUE(loop.Unmount());
  EXPECT_TRUE(testing::WaitUntil([&] { return changes.load() >= 1; }, "a change after the unmount"));
  int seen = changes.load();
  ASSERT_TRUE(loop.Mount());
  EXPECT_TRUE(testing::WaitUntil([&] { return changes.load() > seen; }, "a change after the mount"));
}

}  // namespace
}  // namespace sorvanta::capacity
