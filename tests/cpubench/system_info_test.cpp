#include "platform/system_info.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "cpubench/cpu_machine.h"
#include "support/temp_dir.h"

namespace sorvanta::platform {
namespace {

namespace fs = std::filesystem;

// A fake root holding only the files a test writes.
class FakeTree {
 public:
  void Write(const std::string& relative, const std::string& content) {
    fs::path p = fs::path(dir_.path()) / relative;
    fs::create_directories(p.parent_path());
    sorvanta::testing::WriteWholeFile(p.string(), content);
  }
  const std::string& root() const { return dir_.path(); }

 private:
  sorvanta::testing::TempDir dir_{"sysinfo"};
};

TEST(SystemInfo, EmptyTreeGivesNothingAndFailsQuietly) {
  FakeTree t;
  EXPECT_EQ(CpuinfoModelName(t.root()), "");
  EXPECT_EQ(ProcessorClockMhz(t.root()), 0u);
  EXPECT_FALSE(ReadBoardInfo(t.root()).found);
  EXPECT_FALSE(ReadMemoryInfo(t.root()).ok);  // a fake root never falls back to sysinfo()
  EXPECT_FALSE(ReadOsRelease(t.root()).found);
  EXPECT_EQ(MachineId(t.root()), "");
  cpubench::CpuMachine m = cpubench::ReadCpuMachine(t.root());
  EXPECT_FALSE(m.boardFound);
  EXPECT_FALSE(m.memoryOk);
  EXPECT_EQ(MemoryInfoLine(m), "总量 0.00 GB (0.00 GB 剩余)");
}

TEST(SystemInfo, ProcessorNameAndClockFromCpuinfoAndCpufreq) {
  FakeTree t;
  t.Write("proc/cpuinfo",
          "processor\t: 0\nvendor_id\t: Example\nmodel name\t:   Example CPU 9000  \ncpu MHz\t\t: 2894.563\n\n"
          "processor\t: 1\nmodel name\t: Other\ncpu MHz\t\t: 800.000\n");
  EXPECT_EQ(CpuinfoModelName(t.root()), "Example CPU 9000");
  EXPECT_EQ(ProcessorClockMhz(t.root()), 2894u);
  t.Write("sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq", "4200000\n");
  EXPECT_EQ(ProcessorClockMhz(t.root()), 4200u);

  FakeTree arm;
  arm.Write("proc/cpuinfo", "processor\t: 0\nBogoMIPS\t: 108.00\n\nHardware\t: BCM2835\n");
  EXPECT_EQ(CpuinfoModelName(arm.root()), "BCM2835");
}

TEST(SystemInfo, BoardFromDmiElseDeviceTreeAndLongValuesReadEmpty) {
  FakeTree t;
  t.Write("sys/class/dmi/id/board_vendor", "Maker Inc.\n");
  t.Write("sys/class/dmi/id/board_name", std::string(50, 'X') + "\n");
  t.Write("proc/device-tree/model", "ignored when DMI exists");
  BoardInfo b = ReadBoardInfo(t.root());
  EXPECT_TRUE(b.found);
  EXPECT_EQ(b.vendor, "Maker Inc.");
  EXPECT_EQ(b.name, "");  // 50 bytes: too long

  FakeTree pi;
  pi.Write("proc/device-tree/model", std::string("Raspberry Pi 4 Model B Rev 1.4") + '\0');
  b = ReadBoardInfo(pi.root());
  EXPECT_TRUE(b.found);
  EXPECT_EQ(b.vendor, "");
  EXPECT_EQ(b.name, "Raspberry Pi 4 Model B Rev 1.4");
}

TEST(SystemInfo, MemoryOsReleaseAndMachineId) {
  FakeTree t;
  t.Write("proc/meminfo", "MemTotal:       16384000 kB\nMemFree:  100 kB\nMemAvailable:    8192000 kB\n");
  MemoryInfo mem = ReadMemoryInfo(t.root());
  EXPECT_TRUE(mem.ok);
  EXPECT_EQ(mem.totalBytes, 16384000ULL * 1024);
  EXPECT_EQ(mem.availableBytes, 8192000ULL * 1024);

  t.Write("usr/lib/os-release", "NAME=\"Fallback\"\n");
  EXPECT_EQ(ReadOsRelease(t.root()).name, "Fallback");
  t.Write("etc/os-release", "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\n"
                            "VERSION_ID='12'\nID=debian\n");
  OsRelease os = ReadOsRelease(t.root());
  EXPECT_TRUE(os.found);
  EXPECT_EQ(os.name, "Debian GNU/Linux");
  EXPECT_EQ(os.versionId, "12");

  t.Write("var/lib/dbus/machine-id", "dbusid\n");
  EXPECT_EQ(MachineId(t.root()), "dbusid");
  t.Write("etc/machine-id", "  5f3a9c0d1e2b4a6f8c7d9e0f1a2b3c4d \nextra\n");
  EXPECT_EQ(MachineId(t.root()), "5f3a9c0d1e2b4a6f8c7d9e0f1a2b3c4d");

  cpubench::CpuMachine m = cpubench::ReadCpuMachine(t.root());
  EXPECT_EQ(m.osVersion, "12");
  EXPECT_EQ(m.machineId, "5f3a9c0d1e2b4a6f8c7d9e0f1a2b3c4d");
  EXPECT_GE(m.logicalCores, 1);
  EXPECT_TRUE(m.cpuName.empty() || (m.cpuName.front() != ' ' && m.cpuName.back() != ' '));
}

// Containers often lack a machine-id: the DMI UUID comes next, then an id made once and kept.
TEST(SystemInfo, MachineIdFallsBackToTheDmiUuidThenToAKeptRandomId) {
  FakeTree t;
  t.Write("etc/machine-id", "uninitialized\n");
  t.Write("sys/class/dmi/id/product_uuid", "00000000-0000-0000-0000-000000000000\n");
  EXPECT_EQ(MachineId(t.root()), "");
  t.Write("sys/class/dmi/id/product_uuid", "FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF\n");
  EXPECT_EQ(MachineId(t.root()), "");
  t.Write("sys/class/dmi/id/product_uuid", "4c4c4544-0042-3510-8052-b4c04f4e3232\n");
  EXPECT_EQ(MachineId(t.root()), "4c4c4544-0042-3510-8052-b4c04f4e3232");

  sorvanta::testing::TempDir data("machine-id");
  ASSERT_TRUE(data.ok());
  const std::string first = KeptRandomMachineId(data.path());
  ASSERT_EQ(first.size(), 32u);
  EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(KeptRandomMachineId(data.path()), first);
  EXPECT_EQ(sorvanta::testing::ReadWholeFile(data.Path("sorvanta-machine-id")), first + "\n");
  // A damaged file gets a fresh id; another folder (another machine) gets another one.
  sorvanta::testing::WriteWholeFile(data.Path("sorvanta-machine-id"), "xyz");
  const std::string fresh = KeptRandomMachineId(data.path());
  EXPECT_EQ(fresh.size(), 32u);
  EXPECT_NE(fresh, first);
  EXPECT_EQ(KeptRandomMachineId("/nonexistent-folder-for-test"), "");
}

TEST(SystemInfo, ArchitectureNames) {
  EXPECT_EQ(ArchitectureFromMachine("x86_64"), "x86_64");
  EXPECT_EQ(ArchitectureFromMachine("i686"), "x86");
  EXPECT_EQ(ArchitectureFromMachine("aarch64"), "arm64-v8a");
  EXPECT_EQ(ArchitectureFromMachine("armv7l"), "armeabi-v7a");
  EXPECT_EQ(ArchitectureFromMachine("riscv64"), "riscv64");
  EXPECT_FALSE(MachineArchitecture().empty());
}

}  // namespace
}  // namespace sorvanta::platform
