// The machine as the CPU benchmark shows and sends it: the device object and the four
// information lines.
#include "cpubench/cpu_machine.h"

#include <gtest/gtest.h>

namespace sorvanta::cpubench {
namespace {

TEST(DeviceObject, CarriesTheMachineFieldsAndTheWholeReply) {
  CpuMachine m;
  m.cpuName = "Example CPU";
  m.osVersion = std::string("12");
  m.boardName = "B450M";
  m.boardVendor = "Maker Inc.";
  m.architecture = "x86_64";
  Json::Value d = BuildDeviceObject(m, "abc||p1||p2");
  EXPECT_EQ(d.size(), 10u);
  EXPECT_EQ(d["socname"].asString(), "Example CPU");
  EXPECT_EQ(d["RELEASE"].asString(), "12");
  EXPECT_EQ(d["HARDWARE"].asString(), " ");
  EXPECT_EQ(d["MODEL"].asString(), "B450M");
  EXPECT_EQ(d["MANUFACTURER"].asString(), " ");
  EXPECT_EQ(d["BRAND"].asString(), "Maker Inc.");
  EXPECT_EQ(d["PRODUCT"].asString(), " ");
  EXPECT_EQ(d["CPU_ABI"].asString(), "x86_64");
  EXPECT_EQ(d["CPU_ABI2"].asString(), " ");
  EXPECT_EQ(d["token"].asString(), "abc||p1||p2");
}

TEST(MachineLines, FormatsOfTheFourInformationLines) {
  CpuMachine m;
  m.cpuName = "Example CPU";
  m.clockMhz = 3600;
  m.logicalCores = 8;
  m.boardVendor = "Maker";
  m.boardName = "Board";
  m.memoryTotalBytes = (16ULL << 30) + (512ULL << 20) + 12345;  // 16 GiB + 512 MiB + a bit
  m.memoryAvailableBytes = (3ULL << 30) + (256ULL << 20);
  m.osName = "Debian GNU/Linux";
  m.osVersion = "12";
  m.architecture = "x86_64";
  EXPECT_EQ(CpuInfoLine(m), "Example CPU 速度:3.60GHz 逻辑核数:8");
  EXPECT_EQ(BoardInfoLine(m), "Maker Board");
  EXPECT_EQ(MemoryInfoLine(m), "总量 16.50 GB (3.25 GB 剩余)");
  EXPECT_EQ(OsInfoLine(m), "内核版本：Debian GNU/Linux(12) x86_64");
  m.osVersion.clear();
  EXPECT_EQ(OsInfoLine(m), "内核版本：Debian GNU/Linux x86_64");
  CpuMachine empty;
  EXPECT_EQ(CpuInfoLine(empty), " 速度:0.00GHz 逻辑核数:0");
  EXPECT_EQ(MemoryInfoLine(empty), "总量 0.00 GB (0.00 GB 剩余)");
}

}  // namespace
}  // namespace sorvanta::cpubench
