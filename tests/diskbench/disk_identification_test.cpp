#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "diskbench/disk_identification.h"

namespace sorvanta {
namespace {

using namespace diskbench;

namespace fs = std::filesystem;

// A fake /sys, /proc and /run tree in a temporary folder.
class FakeTree {
 public:
  FakeTree() {
    base_ = fs::path(::testing::TempDir()) / ("disktree_" + std::to_string(getpid()));
    fs::remove_all(base_);
    fs::create_directories(base_ / "sys/block");
    fs::create_directories(base_ / "proc/self");
    fs::create_directories(base_ / "run/udev/data");
    roots.sys = (base_ / "sys").string();
    roots.proc = (base_ / "proc").string();
    roots.run = (base_ / "run").string();
  }
  ~FakeTree() { fs::remove_all(base_); }

  void Write(const std::string& rel, const std::string& text) {
    fs::path p = base_ / rel;
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
  }
  // A physical disk; empty model/vendor/serial files are left out.
  void Disk(const std::string& name, const std::string& dev, const std::string& model,
            const std::string& vendor = "", const std::string& serial = "", bool removable = false) {
    std::string d = "sys/block/" + name;
    fs::create_directories(base_ / d / "device");
    Write(d + "/dev", dev + "\n");
    Write(d + "/removable", removable ? "1\n" : "0\n");
    if (!model.empty()) Write(d + "/device/model", model + "   \n");
    if (!vendor.empty()) Write(d + "/device/vendor", vendor + "\n");
    if (!serial.empty()) Write(d + "/device/serial", serial + "\n");
  }
  void Partition(const std::string& disk, const std::string& name, const std::string& dev) {
    Write("sys/block/" + disk + "/" + name + "/dev", dev + "\n");
    Write("sys/block/" + disk + "/" + name + "/partition", "1\n");
  }
  void Mount(const std::string& dev, const std::string& point, const std::string& fsType,
             const std::string& source, const std::string& root = "/") {
    mountinfo_ += std::to_string(++id_) + " 1 " + dev + " " + root + " " + point + " rw - " + fsType + " " + source +
                  " rw\n";
    Write("proc/self/mountinfo", mountinfo_);
  }
  // A device-mapper or md device built on the given block devices.
  void Stacked(const std::string& name, const std::string& dev, const std::vector<std::string>& slaves,
               const std::string& dmName = "") {
    Write("sys/block/" + name + "/dev", dev + "\n");
    for (const std::string& slave : slaves) Write("sys/block/" + name + "/slaves/" + slave, "");
    if (!dmName.empty()) Write("sys/block/" + name + "/dm/name", dmName + "\n");
  }

  platform::BlockRoots roots;

 private:
  fs::path base_;
  std::string mountinfo_;
  int id_ = 20;
};

struct Enumerated {
  bool ok = false;
  DiskList list;
  std::string out;
};

Enumerated Enumerate(const FakeTree& tree) {
  Enumerated r;
  std::ostringstream out;
  DiskIdentification identification;
  EXPECT_EQ(identification.Open(tree.roots, nullptr, out), 0);
  r.ok = identification.Enumerate(r.list, out);
  identification.Release();
  r.out = out.str();
  return r;
}

TEST(DiskIdentification, OneDiskWithTwoVolumesGivesTwoEntries) {
  FakeTree t;
  t.Disk("sda", "8:0", "Samsung SSD 870 EVO 500GB", "ATA", "S5Y1NX0R123456");
  t.Partition("sda", "sda1", "8:1");
  t.Partition("sda", "sda2", "8:2");
  t.Partition("sda", "sda3", "8:3");  // swap, not mounted
  t.Mount("8:1", "/", "ext4", "/dev/sda1");
  t.Mount("8:2", "/home", "ext4", "/dev/sda2");
  t.Mount("0:40", "/run/user/0", "tmpfs", "tmpfs");
  Enumerated e = Enumerate(t);
  ASSERT_TRUE(e.ok);
  const std::string model = "Samsung SSD 870 EVO 500GB";  // the bus name "ATA" is not a maker
  ASSERT_EQ(e.list.size(), 2u);
  auto it = e.list.begin();
  EXPECT_EQ(it->first, model + "//");
  EXPECT_EQ(it->second.roots, std::vector<std::string>{"/"});
  EXPECT_EQ(it->second.serial, "S5Y1NX0R123456");
  ++it;
  EXPECT_EQ(it->first, model + "//home");
  EXPECT_EQ(it->second.model, model);
  EXPECT_EQ(it->second.serial, "S5Y1NX0R123456");
  EXPECT_EQ(e.out, "Connected to " + t.roots.sys + "/block\n"
                   "硬盘SerialNumber:S5Y1NX0R123456\n"
                   "硬盘型号:" + model + "\n"
                   "硬盘型号:" + model + "\t磁盘盘符:/\n"
                   "硬盘型号:" + model + "\t磁盘盘符:/home\n");
}

TEST(DiskIdentification, UsbStickSameModelDisksAndDisksWithoutVolumes) {
  FakeTree t;
  // A USB stick: maker from the vendor file, serial only in the udev database.
  t.Disk("sdb", "8:16", "DataTraveler 3.0", "Kingston", "", true);
  t.Partition("sdb", "sdb1", "8:17");
  t.Mount("8:17", "/media/u/KINGSTON", "vfat", "/dev/sdb1");
  t.Write("run/udev/data/b8:16", "S:disk/by-id/usb-x\nE:ID_SERIAL_SHORT=60A44C3FACC9\n");
  // Two disks of one model, told apart by their roots.
  t.Disk("sdc", "8:32", "WDC WD10EZEX", "ATA", "WD-B");
  t.Partition("sdc", "sdc1", "8:33");
  t.Mount("8:33", "/mnt/b", "ext4", "/dev/sdc1");
  t.Disk("sdd", "8:48", "WDC WD10EZEX", "ATA", "WD-A");
  t.Partition("sdd", "sdd1", "8:49");
  t.Mount("8:49", "/mnt/a", "xfs", "/dev/sdd1");
  // A disk whose partition is not mounted, and a partitionless disk mounted whole.
  t.Disk("sde", "8:64", "Spare", "", "SPARE1");
  t.Partition("sde", "sde1", "8:65");
  t.Disk("sdf", "8:80", "Whole", "", "WHOLE1");
  t.Mount("8:80", "/data", "ext4", "/dev/sdf");
  // A loop device is not a physical disk.
  t.Write("sys/block/loop0/dev", "7:0\n");
  t.Partition("loop0", "loop0p1", "259:9");
  t.Mount("259:9", "/mnt/loop", "ext4", "/dev/loop0p1");
  // NVMe with btrfs, whose mountinfo device number is anonymous; no serial anywhere.
  t.Disk("nvme0n1", "259:0", "KINGSTON SNV2S1000G");
  t.Partition("nvme0n1", "nvme0n1p2", "259:2");
  t.Mount("0:33", "/srv", "btrfs", "/dev/nvme0n1p2");

  Enumerated e = Enumerate(t);
  ASSERT_TRUE(e.ok);
  std::vector<std::string> keys;
  for (const auto& [k, v] : e.list) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"KINGSTON SNV2S1000G//srv", "Kingston DataTraveler 3.0//media/u/KINGSTON",
                                            "WDC WD10EZEX//mnt/a", "WDC WD10EZEX//mnt/b", "Whole//data"}));
  EXPECT_EQ(e.list["Kingston DataTraveler 3.0//media/u/KINGSTON"].serial, "60A44C3FACC9");
  EXPECT_EQ(e.list["WDC WD10EZEX//mnt/a"].serial, "WD-A");
  EXPECT_EQ(e.list["WDC WD10EZEX//mnt/b"].serial, "WD-B");
  EXPECT_EQ(e.list["KINGSTON SNV2S1000G//srv"].serial, "");
  // No serial line for a disk without one; the others print theirs.
  EXPECT_EQ(e.out.find("硬盘SerialNumber:\n"), std::string::npos);
  EXPECT_NE(e.out.find("硬盘SerialNumber:SPARE1\n硬盘型号:Spare\n"), std::string::npos);
  EXPECT_NE(e.out.find("磁盘盘符:/data"), std::string::npos);
}

TEST(DiskIdentification, WholeDiskStackedVolumesFullModelsAndBindMounts) {
  FakeTree t;
  // A virtual machine's disk formatted without a partition table, also bind-mounted.
  t.Disk("vda", "254:0", "", "0x1af4", "VDISK1");
  t.Mount("254:0", "/", "ext4", "/dev/vda");
  t.Mount("254:0", "/srv/www", "ext4", "/dev/vda", "/var/www");
  // LVM on sda3 holding the root; dm-crypt on top of LVM for /home (two levels down).
  t.Disk("sda", "8:0", "Samsung SSD 860", "ATA", "S3Z");
  t.Write("run/udev/data/b8:0", "E:ID_MODEL=Samsung_SSD_860_EVO_500GB\n"
                                "E:ID_MODEL_ENC=Samsung\\x20SSD\\x20860\\x20EVO\\x20500GB\\x20\\x20\n");
  t.Partition("sda", "sda3", "8:3");
  t.Stacked("dm-0", "253:0", {"sda3"}, "vg-root");
  t.Stacked("dm-1", "253:1", {"dm-0"}, "home_crypt");
  t.Mount("253:0", "/mnt/lvm", "xfs", "/dev/mapper/vg-root");
  t.Mount("0:45", "/home", "btrfs", "/dev/mapper/home_crypt", "/@home");
  t.Mount("0:45", "/home/u/snap", "btrfs", "/dev/mapper/home_crypt", "/@home/u/.snapshots");
  // md RAID 1 over two whole disks: the volume belongs to both.
  t.Disk("sdb", "8:16", "ST4000", "ATA", "ZA1");
  t.Disk("sdc", "8:32", "ST4000", "ATA", "ZA2");
  t.Stacked("md0", "9:0", {"sdb", "sdc"});
  t.Mount("9:0", "/raid", "ext4", "/dev/md0");

  Enumerated e = Enumerate(t);
  ASSERT_TRUE(e.ok);
  std::vector<std::string> keys;
  for (const auto& [k, v] : e.list) keys.push_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"ST4000//raid", "Samsung SSD 860 EVO 500GB//home",
                                            "Samsung SSD 860 EVO 500GB//mnt/lvm", "vda//"}));
  EXPECT_EQ(e.list["ST4000//raid"].roots, std::vector<std::string>{"/raid"});
  EXPECT_EQ(e.list["vda//"].serial, "VDISK1");
  EXPECT_EQ(e.out.find("/srv/www"), std::string::npos);
  EXPECT_EQ(e.out.find("/home/u/snap"), std::string::npos);
}

TEST(DiskIdentification, HexEscapesOfUdevNamesDecodeEveryByte) {
  EXPECT_EQ(platform::DecodeHexEscapes("My\\x20Disk\\x2fA\\xe4\\xb8\\xadB\\x2"), "My Disk/A\xe4\xb8\xad" "B\\x2");
  EXPECT_EQ(platform::DecodeHexEscapes("\\xZZ\\x41"), "\\xZZA");
}

TEST(DiskIdentification, UnreadableTreesFailAndCloseTheIdentification) {
  FakeTree t;
  platform::BlockRoots missing = t.roots;
  missing.sys += "/nowhere";
  std::string error;
  std::ostringstream out;
  DiskIdentification identification;
  EXPECT_EQ(identification.Open(missing, &error, out), 1);
  EXPECT_EQ(error.rfind("Failed to open " + missing.sys + "/block. Error code = 0x2", 0), 0u) << error;
  DiskList list;
  EXPECT_FALSE(identification.Enumerate(list, out));  // never opened

  // mountinfo missing: the query fails, says so, and the identification is closed.
  ASSERT_EQ(identification.Open(t.roots, nullptr, out), 0);
  out.str("");
  EXPECT_FALSE(identification.Enumerate(list, out));
  EXPECT_EQ(out.str(), "Query for processes failed. Error code = 0x2\n");
  t.Mount("8:1", "/", "ext4", "/dev/sda1");
  EXPECT_FALSE(identification.Enumerate(list, out));
  identification.Release();
  identification.Release();  // harmless twice
}

// Without a stream from the caller the diagnostic lines are dropped, never printed.
TEST(DiskIdentification, DiagnosticsReachNoTerminalByDefault) {
  FakeTree t;
  t.Disk("sda", "8:0", "Samsung SSD", "ATA", "S1");
  t.Partition("sda", "sda1", "8:1");
  t.Mount("8:1", "/", "ext4", "/dev/sda1");
  ::testing::internal::CaptureStdout();
  DiskIdentification identification;
  ASSERT_EQ(identification.Open(t.roots), 0);
  DiskList list;
  EXPECT_TRUE(identification.Enumerate(list));
  identification.Release();
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(list.size(), 1u);
}

}  // namespace
}  // namespace sorvanta
