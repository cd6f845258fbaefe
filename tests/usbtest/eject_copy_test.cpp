// The platform pieces under the endurance test: the timed copy and the udisks2 eject.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>

#include "platform/eject.h"
#include "platform/file_copy.h"
#include "support/deadline.h"
#include "support/fake_volumes.h"
#include "support/sync_recorder.h"
#include "support/temp_dir.h"

namespace sorvanta::platform {
namespace {

using testing::ReadWholeFile;
using testing::WriteWholeFile;

class InTempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.ok());
    dir_ = tmp_.path();
  }
  void TearDown() override { EXPECT_TRUE(tmp_.Remove()); }
  testing::TempDir tmp_{"eject"};
  std::string dir_;
};

using FileCopyTest = InTempDir;

TEST_F(FileCopyTest, CopiesWholeFilesAndReplacesLongerTargets) {
  std::mt19937 gen(3);
  std::string data((3 << 20) + 123, '\0');
  for (auto& c : data) c = static_cast<char>(gen());
  ASSERT_TRUE(WriteWholeFile(dir_ + "/src.bin", data));
  ASSERT_TRUE(WriteWholeFile(dir_ + "/empty.bin", ""));
  ASSERT_TRUE(WriteWholeFile(dir_ + "/dst.bin", std::string(5 << 20, 'x')));

  Status copied = CopyWholeFile(dir_ + "/src.bin", dir_ + "/dst.bin");
  ASSERT_TRUE(copied.ok()) << copied.message();
  EXPECT_EQ(ReadWholeFile(dir_ + "/dst.bin"), data);  // no tail of the old, longer file
  copied = CopyWholeFile(dir_ + "/empty.bin", dir_ + "/dst.bin");
  ASSERT_TRUE(copied.ok()) << copied.message();
  EXPECT_EQ(ReadWholeFile(dir_ + "/dst.bin"), "");

  copied = CopyWholeFile(dir_ + "/missing.bin", dir_ + "/dst2.bin");
  EXPECT_FALSE(copied.ok());
  EXPECT_NE(copied.message().find("missing.bin"), std::string::npos);
  EXPECT_NE(::access((dir_ + "/dst2.bin").c_str(), F_OK), 0);  // nothing created for a missing source
  EXPECT_FALSE(CopyWholeFile(dir_ + "/src.bin", dir_ + "/no/folder/dst.bin").ok());
}

// A copy that did not reach the device is a failed copy, whatever was transferred.
TEST_F(FileCopyTest, CopyCutShortOrNotSyncedFails) {
  ASSERT_TRUE(WriteWholeFile(dir_ + "/src.bin", std::string(1 << 20, 'a')));
  // A device that takes no byte (writes fail with ENOSPC).
  Status copied = CopyWholeFile(dir_ + "/src.bin", "/dev/full");
  EXPECT_FALSE(copied.ok());
  EXPECT_FALSE(copied.message().empty());

  const std::string target = dir_ + "/dst.bin";
  testing::FailSyncsOf(target);
  copied = CopyWholeFile(dir_ + "/src.bin", target);
  EXPECT_FALSE(copied.ok());
  testing::FailSyncsOf("");
  EXPECT_NE(copied.message().find(target), std::string::npos) << copied.message();

  testing::ClearSyncs();
  copied = CopyWholeFile(dir_ + "/src.bin", target);
  ASSERT_TRUE(copied.ok()) << copied.message();
  EXPECT_GE(testing::SyncCount(target), 1);
}

using EjectTest = InTempDir;

// The system ejector's defaults: three attempts, 200 ms apart, then the eject fails.
TEST_F(EjectTest, GivesUpAfterThreeAttemptsTwoHundredMillisecondsApart) {
  testing::FakeVolumes volumes;
  volumes.Add(dir_);
  int powerOffs = 0;
  UdisksEjector ejector(
      [&](const std::vector<std::string>& argv) {
        if (argv[1] == "unmount") {
          volumes.Remove(dir_);
          return 0;
        }
        ++powerOffs;
        return 1;
      },
      dir_);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ejector.Eject(dir_).ok());
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(powerOffs, 3);
  EXPECT_GE(ms, 400);
  EXPECT_LT(ms, testing::ScaledMs(1500));
}

TEST_F(EjectTest, WholeDiskOfAPartitionFromSysfs) {
  // <sys>/class/block/sdz1 -> ../../devices/usb/block/sdz/sdz1 (a partition), sdz -> the disk.
  std::string devices = dir_ + "/devices/usb/block/sdz";
  ASSERT_EQ(std::system(("mkdir -p '" + devices + "/sdz1' '" + dir_ + "/class/block'").c_str()), 0);
  std::ofstream(devices + "/sdz1/partition") << "1\n";
  ASSERT_EQ(::symlink("../../devices/usb/block/sdz/sdz1", (dir_ + "/class/block/sdz1").c_str()), 0);
  ASSERT_EQ(::symlink("../../devices/usb/block/sdz", (dir_ + "/class/block/sdz").c_str()), 0);

  EXPECT_EQ(WholeDiskOf("/dev/sdz1", dir_), "/dev/sdz");
  EXPECT_EQ(WholeDiskOf("/dev/sdz", dir_), "/dev/sdz");
  EXPECT_EQ(WholeDiskOf("/dev/unknown9", dir_), "/dev/unknown9");
}

TEST_F(EjectTest, UnmountsThenPowersOffAndFinishesAfterAPartialAttempt) {
  testing::FakeVolumes volumes;
  const std::string root = dir_;
  volumes.Add(root);  // the fake reports device "/dev/fake"

  std::vector<std::vector<std::string>> calls;
  int powerOffFailures = 1;
  UdisksEjector ejector(
      [&](const std::vector<std::string>& argv) {
        calls.push_back(argv);
        if (argv[1] == "unmount") {
          volumes.Remove(root);
          return 0;
        }
        return powerOffFailures-- > 0 ? 1 : 0;
      },
      dir_, 3, 1);

  ASSERT_TRUE(ejector.Eject(root + "/").ok());
  using Args = std::vector<std::string>;
  EXPECT_EQ(calls, (std::vector<Args>{
                       Args{"udisksctl", "unmount", "--block-device", "/dev/fake", "--no-user-interaction"},
                       Args{"udisksctl", "power-off", "--block-device", "/dev/fake", "--no-user-interaction"},
                       // Already unmounted: the second attempt only powers off.
                       Args{"udisksctl", "power-off", "--block-device", "/dev/fake", "--no-user-interaction"}}));

  // A later eject of the same, now unmounted, root still knows its device.
  calls.clear();
  powerOffFailures = 10;
  EXPECT_FALSE(ejector.Eject(root).ok());
  EXPECT_EQ(calls.size(), 3u);  // three attempts, then failure

  calls.clear();
  EXPECT_FALSE(ejector.Eject(dir_ + "/never-mounted").ok());
  EXPECT_TRUE(calls.empty());
}

}  // namespace
}  // namespace sorvanta::platform
