#include "usbtest/endurance_settings.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include "support/scoped_env_var.h"
#include "support/temp_dir.h"
#include "usbtest/usb_drives.h"

namespace sorvanta::usbtest {
namespace {

using testing::ReadWholeFile;
using testing::ScopedEnvVar;
using testing::TempDir;
using testing::WriteWholeFile;

TEST(UsbTestSettings, LivesInTheConfigurationFolder) {
  {
    ScopedEnvVar config("XDG_CONFIG_HOME", "/cfg/x/");
    EXPECT_EQ(UsbTestSettingsPath(), "/cfg/x/sorvanta/usbtest.conf");
  }
  ScopedEnvVar home("HOME", "/home/someone");
  ScopedEnvVar relative("XDG_CONFIG_HOME", "relative/cfg");  // not absolute: ignored
  EXPECT_EQ(UsbTestSettingsPath(), "/home/someone/.config/sorvanta/usbtest.conf");
}

TEST(UsbTestSettings, SaveCreatesTheFolderAndLoadReadsItBack) {
  TempDir dir("usbsettings");
  const std::string path = dir.Path("a/b/usbtest.conf");
  EXPECT_EQ(LoadUsbTestSettings(path).copyFile, "");  // no file yet

  UsbTestSettings s{"/data/big file=1.bin", "/media/u/USB", "192.168.0.100:5000"};
  ASSERT_TRUE(SaveUsbTestSettings(path, s));
  EXPECT_EQ(ReadWholeFile(path), "copy_file=/data/big file=1.bin\ndrive=/media/u/USB\nswitch=192.168.0.100:5000\n");
  UsbTestSettings back = LoadUsbTestSettings(path);
  EXPECT_EQ(back.copyFile, s.copyFile);
  EXPECT_EQ(back.driveRoot, s.driveRoot);
  EXPECT_EQ(back.switchAddress, s.switchAddress);
  EXPECT_NE(::access((path + ".tmp").c_str(), F_OK), 0);

  // A value with a line break cannot be kept; the others still are.
  ASSERT_TRUE(SaveUsbTestSettings(path, {"/x\nswitch=evil:1", "/media/u/B", "h:2"}));
  back = LoadUsbTestSettings(path);
  EXPECT_EQ(back.copyFile, "");
  EXPECT_EQ(back.driveRoot, "/media/u/B");
  EXPECT_EQ(back.switchAddress, "h:2");
}

TEST(UsbTestSettings, FailedSaveKeepsTheOldFile) {
  TempDir dir("usbsettings");
  const std::string path = dir.Path("usbtest.conf");
  ASSERT_TRUE(SaveUsbTestSettings(path, {"/old", "/media/old", "old:1"}));
  // The new text cannot be written whole (a file-size limit, as a full disk would).
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit tight = old;
  tight.rlim_cur = 4;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &tight), 0);
  const bool saved = SaveUsbTestSettings(path, {"/new", "/media/new", "new:1"});
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(saved);
  EXPECT_EQ(LoadUsbTestSettings(path).copyFile, "/old");
}

TEST(UsbTestDrives, RemovableAndUsbDisksOnly) {
  TempDir dir("usbdrives");
  platform::BlockRoots roots{dir.Path("sys"), dir.Path("proc"), dir.Path("run")};
  auto disk = [&](const std::string& folder, const std::string& name, const char* removable, int major, int minor) {
    ASSERT_EQ(::system(("mkdir -p '" + folder + "/device' '" + folder + "/" + name + "1'").c_str()), 0);
    WriteWholeFile(folder + "/removable", removable);
    WriteWholeFile(folder + "/dev", std::to_string(major) + ":" + std::to_string(minor) + "\n");
    WriteWholeFile(folder + "/" + name + "1/partition", "1\n");
    WriteWholeFile(folder + "/" + name + "1/dev", std::to_string(major) + ":" + std::to_string(minor + 1) + "\n");
  };
  ASSERT_EQ(::system(("mkdir -p '" + dir.Path("sys/block") + "' '" + dir.Path("proc/self") + "'").c_str()), 0);
  disk(dir.Path("sys/block/sda"), "sda", "0\n", 8, 0);  // internal disk
  disk(dir.Path("sys/block/sdb"), "sdb", "1\n", 8, 16);  // card reader, stick
  // A USB hard disk that calls itself fixed: only its device path tells.
  const std::string usb = dir.Path("sys/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/block/sdc");
  disk(usb, "sdc", "0\n", 8, 32);
  ASSERT_EQ(::symlink(usb.c_str(), dir.Path("sys/block/sdc").c_str()), 0);
  WriteWholeFile(dir.Path("proc/self/mountinfo"),
                 "22 1 8:1 / / rw shared:1 - ext4 /dev/sda1 rw\n"
                 "40 22 8:17 / /media/u/STICK rw shared:2 - vfat /dev/sdb1 rw\n"
                 "41 22 8:33 / /media/u/DISK rw shared:3 - exfat /dev/sdc1 rw\n");

  EXPECT_EQ(UsbTestDriveRoots(roots), (std::vector<std::string>{"/media/u/STICK", "/media/u/DISK"}));
  EXPECT_TRUE(UsbTestDriveRoots({dir.Path("none"), dir.Path("proc"), dir.Path("run")}).empty());
}

}  // namespace
}  // namespace sorvanta::usbtest
