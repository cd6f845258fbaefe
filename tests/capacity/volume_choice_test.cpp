// The window's volume list: removable and USB drives first with size and label, the system
// volume marked and never preselected, read from a fake sysfs tree and a fake mount table.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "capacity/volume_choice.h"
#include "platform/volumes.h"
#include "support/fake_volumes.h"
#include "support/temp_dir.h"

namespace sorvanta::capacity {
namespace {

namespace fs = std::filesystem;
constexpr uint64_t kMiB = 1024 * 1024;

void Write(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p) << text;
}

TEST(VolumeChoice, RemovableFirstSystemVolumeNeverPreselected) {
  testing::TempDir tmp("volchoice");
  ASSERT_TRUE(tmp.ok());
  const fs::path sys = tmp.Path("sys");
  // sda: a fixed disk. sdb: flagged removable. sdc: says fixed but hangs below a USB port,
  // with its file system on the whole disk.
  Write(sys / "block/sda/dev", "8:0\n");
  Write(sys / "block/sda/removable", "0\n");
  Write(sys / "block/sda/sda1/dev", "8:1\n");
  Write(sys / "block/sda/sda1/partition", "1\n");
  Write(sys / "block/sdb/dev", "8:16\n");
  Write(sys / "block/sdb/removable", "1\n");
  Write(sys / "block/sdb/sdb1/dev", "8:17\n");
  Write(sys / "block/sdb/sdb1/partition", "1\n");
  const fs::path usbDisk = sys / "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/block/sdc";
  Write(usbDisk / "dev", "8:32\n");
  Write(usbDisk / "removable", "0\n");
  fs::create_directories(sys / "block/sda/device");
  fs::create_directories(sys / "block/sdb/device");
  fs::create_directories(usbDisk / "device");
  fs::create_symlink(usbDisk, sys / "block/sdc");
  Write(tmp.Path("proc/self/mountinfo"), "");

  const std::string home = tmp.Path("home"), stick = tmp.Path("stick"), usb = tmp.Path("usb");
  for (const auto& d : {home, stick, usb}) fs::create_directories(d);
  testing::FakeVolumes volumes;
  volumes.Add({"/proc", "/dev/sda1", "ext4", 8, 1}, 30ull * 1024 * kMiB);  // plays the system volume
  volumes.Add({home, "/dev/sda1", "ext4", 8, 1}, 100 * kMiB);
  volumes.Add({usb, "/dev/sdc", "exfat", 8, 32}, 2 * 1024 * kMiB + 512 * kMiB, "BACKUP");
  volumes.Add({stick, "/dev/sdb1", "vfat", 8, 17}, 60 * kMiB, "MYUSB");

  VolumeFacts facts;
  facts.block.sys = sys.string();
  facts.block.proc = tmp.Path("proc");
  facts.systemPaths = {"/proc"};
  std::vector<VolumeChoice> list = ListVolumeChoices(facts);
  std::vector<std::string> texts;
  for (const VolumeChoice& c : list) texts.push_back(VolumeChoiceText(c));
  EXPECT_EQ(texts, (std::vector<std::string>{stick + "  (可移动, 60 MB, MYUSB)", usb + "  (可移动, 2.50 GB, BACKUP)",
                                             "/proc  (系统, 30.00 GB)", home + "  (100 MB)"}));
  EXPECT_EQ(PreselectedVolume(list), 0);

  // Only the system volume: nothing is picked for the user.
  std::vector<VolumeChoice> systemOnly = {list[2]};
  EXPECT_EQ(PreselectedVolume(systemOnly), -1);
  std::vector<VolumeChoice> systemFirst = {list[2], list[3]};
  EXPECT_EQ(PreselectedVolume(systemFirst), 1);

  EXPECT_TRUE(IsSystemVolume("/"));  // the real machine's root always holds the system
  EXPECT_EQ(SystemVolumeQuestion("/", CapacityMode::kWipe),
            "/ 是正在运行的系统所在的卷。擦除会用测试数据填满它的全部可用空间，期间系统和其他程序可能因磁盘已满而出错。确定要继续吗？");
  EXPECT_EQ(SizeText(3ull * 1024 * 1024 * kMiB / 2), "1.50 TB");
}

}  // namespace
}  // namespace sorvanta::capacity
