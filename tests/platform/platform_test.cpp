#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <thread>

#include "platform/clock.h"
#include "platform/cpu.h"
#include "platform/direct_io.h"
#include "platform/paths.h"
#include "platform/random.h"
#include "platform/volumes.h"
#include "support/fake_volumes.h"
#include "support/scoped_env_var.h"
#include "support/temp_dir.h"

namespace sorvanta::platform {
namespace {

const char* kMountInfo =
    "22 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw\n"
    "23 22 0:21 / /proc rw,nosuid shared:12 - proc proc rw\n"
    "24 22 0:5 / /dev rw shared:2 - devtmpfs udev rw\n"
    "30 22 8:17 / /media/user/MY\\040USB rw,nosuid shared:40 - vfat /dev/sdb1 rw\n"
    "31 22 0:45 / /home rw shared:41 - btrfs /dev/nvme0n1p3 rw\n"
    "32 22 0:50 / /mnt/nas rw shared:42 - nfs4 server:/export rw\n"
    "33 22 0:51 / /run/user/1000 rw shared:43 - tmpfs tmpfs rw\n"
    "34 22 8:33 / /media/user/NTFS rw shared:44 - fuseblk /dev/sdc1 rw\n"
    "garbage line\n";

TEST(MountInfo, VolumesAreBlockFileSystemsOnly) {
  auto entries = ParseMountInfo(kMountInfo);
  ASSERT_EQ(entries.size(), 8u);
  EXPECT_EQ(entries[3].mountPoint, "/media/user/MY USB");  // \040 decoded
  EXPECT_EQ(entries[3].major, 8u);
  EXPECT_EQ(entries[3].minor, 17u);
  EXPECT_EQ(entries[3].mountId, 30);
  std::set<std::string> volumes;
  for (const auto& e : entries)
    if (IsVolumeMount(e)) volumes.insert(e.mountPoint);
  EXPECT_EQ(volumes, (std::set<std::string>{"/", "/media/user/MY USB", "/home", "/media/user/NTFS"}));
}

TEST(Volumes, FakeSourceAddsRemovesAndSizes) {
  testing::FakeVolumes fake;
  std::string dir = ::testing::TempDir();
  fake.Add(dir + "vol/", 12345);
  EXPECT_TRUE(IsVolumeRoot(dir + "vol"));
  EXPECT_TRUE(IsVolumeRoot(dir + "vol/"));
  EXPECT_FALSE(IsVolumeRoot(dir));
  auto space = SpaceOf(dir);  // the folder exists; the fake only fixes the free figure under vol
  ASSERT_TRUE(space.has_value());
  fake.Remove(dir + "vol");
  EXPECT_FALSE(IsVolumeRoot(dir + "vol"));
  EXPECT_EQ(FileSystemDisplayName("vfat"), "FAT32");
  EXPECT_EQ(FileSystemDisplayName("fuseblk"), "NTFS");
  EXPECT_EQ(FileSystemDisplayName("ext4"), "EXT4");
}

TEST(Clock, TickDifferencesWrapAround) {
  EXPECT_EQ(TickDiff(5u, 0xFFFFFFFBu), 10u);
  SetTickSourceForTesting([] { return 77u; });
  EXPECT_EQ(TickMs(), 77u);
  SetTickSourceForTesting(nullptr);
  uint32_t a = TickMs();
  SleepMs(20);
  EXPECT_GE(TickDiff(TickMs(), a), 19u);
}

TEST(ThreadRand, ClassicSequenceAndPerThreadState) {
  ThreadSrand(1);
  // The classic LCG's first outputs for seed 1.
  EXPECT_EQ(ThreadRand(), 41);
  EXPECT_EQ(ThreadRand(), 18467);
  EXPECT_EQ(ThreadRand(), 6334);
  ThreadSrand(1);
  int other = -1;
  std::thread t([&] {
    ThreadSrand(99);
    other = ThreadRand();
  });
  t.join();
  EXPECT_EQ(ThreadRand(), 41);  // the other thread did not disturb this one
  EXPECT_NE(other, 41);
}

TEST(Paths, FoldersAndJoin) {
  EXPECT_EQ(JoinPath("/a/", "/b"), "/a/b");
  EXPECT_EQ(JoinPath("/", "x"), "/x");
  EXPECT_EQ(TempFolder().back(), '/');
  setenv("XDG_DATA_HOME", (::testing::TempDir() + "xdg").c_str(), 1);
  EXPECT_EQ(LocalAppDataFolder(), ::testing::TempDir() + "xdg");
  unsetenv("XDG_DATA_HOME");
  EXPECT_FALSE(ProgramFolder().empty());
  EXPECT_GE(ProcessCpuCount(), 1);
  EXPECT_TRUE(PinCurrentThreadToNthCpu(0));
  EXPECT_FALSE(PinCurrentThreadToNthCpu(100000));
}

// An installed copy (under /usr, or a folder this user cannot write) keeps its files in
// ~/.local/state/sorvanta, created private; a build tree keeps them beside the program.
TEST(Paths, ProgramWriteFolderFallsBackToTheStateFolder) {
  testing::TempDir home("home");
  testing::ScopedEnvVar homeVar("HOME", home.path());
  testing::ScopedEnvVar stateVar("XDG_STATE_HOME", "relative/is/ignored");

  EXPECT_EQ(ProgramWriteFolder(home.path()), home.path());
  const std::string state = home.path() + "/.local/state/sorvanta";
  EXPECT_EQ(ProgramWriteFolder("/usr/bin"), state);
  struct stat st {};
  ASSERT_EQ(stat(state.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(ProgramWriteFolder("/usr"), state);
  EXPECT_EQ(ProgramWriteFolder(home.Path("missing")), state);  // nothing to write into

  testing::ScopedEnvVar stateAbs("XDG_STATE_HOME", home.Path("st/"));
  EXPECT_EQ(ProgramWriteFolder("/usr/local/bin"), home.Path("st/sorvanta"));
  if (geteuid() != 0) {  // root may write into a read-only folder
    ASSERT_EQ(chmod(home.path().c_str(), 0555), 0);
    EXPECT_EQ(ProgramWriteFolder(home.path()), home.Path("st/sorvanta"));
    chmod(home.path().c_str(), 0755);
  }
}

TEST(DirectIo, AlignedBufferAndRoundTrip) {
  AlignedBuffer buf(5000);
  ASSERT_TRUE(buf.ok());
  EXPECT_EQ(buf.size(), 8192u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(buf.data()) % kDirectAlign, 0u);
  std::string path = ::testing::TempDir() + "direct_io.bin";
  Result<std::unique_ptr<File>> opened = Files().Open(path, OpenMode::kCreateTruncate, /*direct=*/false);
  ASSERT_TRUE(opened.ok()) << opened.status().message();
  std::unique_ptr<File> f = std::move(opened).value();
  for (size_t i = 0; i < buf.size(); ++i) buf.data()[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(f->Write(buf.data(), buf.size()), 8192);
  EXPECT_EQ(f->Size(), 8192);
  AlignedBuffer back(4096);
  EXPECT_EQ(f->PRead(back.data(), 4096, 4096), 4096);
  EXPECT_EQ(back.data()[1], static_cast<uint8_t>(4097));
  EXPECT_EQ(f->PRead(back.data(), 4096, 8192), 0);  // end of file
  f.reset();
  EXPECT_TRUE(Files().Remove(path));
  const Result<std::unique_ptr<File>> missing = Files().Open(path, OpenMode::kReadOnly, false);
  EXPECT_FALSE(missing.ok());
  EXPECT_EQ(missing.status().errnoValue(), ENOENT);
}

}  // namespace
}  // namespace sorvanta::platform

#include "support/loop_volume.h"

namespace sorvanta::platform {
namespace {

TEST(LoopVolume, MountsAsAVolumeRootAndComesBack) {
  if (std::string why = testing::LoopVolume::Unavailable(); !why.empty()) GTEST_SKIP() << why;
  testing::LoopVolume vol(32ull << 20);
  ASSERT_TRUE(vol.ok()) << vol.error();
  EXPECT_TRUE(IsVolumeRoot(vol.root()));
  auto space = SpaceOf(vol.root());
  ASSERT_TRUE(space.has_value());
  EXPECT_GT(space->freeBytes, 16ull << 20);
  ASSERT_TRUE(vol.Unmount());
  EXPECT_FALSE(IsVolumeRoot(vol.root()));
  ASSERT_TRUE(vol.Mount());
  EXPECT_TRUE(IsVolumeRoot(vol.root()));
}

}  // namespace
}  // namespace sorvanta::platform
