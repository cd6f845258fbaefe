#include "cpubench/cpu_machine.h"

#include <cstdio>

#include "cpubench/exam_session.h"
#include "platform/paths.h"
#include "platform/system_info.h"
#include "base/language.h"
#include "base/text.h"

namespace sorvanta::cpubench {
namespace {

std::string TrimBlanks(const std::string& s) {
  size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// Whole GiB plus the leftover whole MiB as a fraction of a GiB.
double Gigabytes(uint64_t bytes) {
  return static_cast<double>(bytes >> 30) + static_cast<double>((bytes >> 20) % 1024) / 1024.0;
}

}  // namespace

CpuMachine ReadCpuMachine(const std::string& root) {
  CpuMachine m;
  m.brandString = platform::ProcessorBrandString(root);
  m.cpuName = TrimBlanks(m.brandString);
  if (m.brandString.empty()) m.cpuName = TrimBlanks(platform::CpuinfoModelName(root));
  m.clockMhz = platform::ProcessorClockMhz(root);
  m.logicalCores = CountLogicalProcessors();
  platform::BoardInfo board = platform::ReadBoardInfo(root);
  m.boardFound = board.found;
  m.boardVendor = board.vendor;
  m.boardName = board.name;
  platform::MemoryInfo mem = platform::ReadMemoryInfo(root);
  m.memoryOk = mem.ok;
  m.memoryTotalBytes = mem.ok ? mem.totalBytes : 0;
  m.memoryAvailableBytes = mem.ok ? mem.availableBytes : 0;
  platform::OsRelease os = platform::ReadOsRelease(root);
  m.osName = os.name;
  m.osVersion = os.versionId;
  m.architecture = platform::MachineArchitecture();
  m.machineId = platform::MachineId(root);
  // A fake tree in tests never reaches for the real data folder.
  if (m.machineId.empty() && (root.empty() || root == "/"))
    m.machineId = platform::KeptRandomMachineId(platform::LocalAppDataFolder());
  return m;
}

std::string CpuInfoLine(const CpuMachine& m) {
  return m.cpuName + FormatText(Tr(" 速度:%sGHz 逻辑核数:%d"), FloatText(m.clockMhz / 1000.0).c_str(), m.logicalCores);
}

std::string BoardInfoLine(const CpuMachine& m) { return m.boardVendor + " " + m.boardName; }

std::string MemoryInfoLine(const CpuMachine& m) {
  char buf[128];
  std::snprintf(buf, sizeof(buf), Tr("总量 %.2f GB (%.2f GB 剩余)"),
                static_cast<double>(static_cast<float>(Gigabytes(m.memoryTotalBytes))),
                static_cast<double>(static_cast<float>(Gigabytes(m.memoryAvailableBytes))));
  return buf;
}

std::string OsInfoLine(const CpuMachine& m) {
  const std::string version = m.osVersion.empty() ? " " : "(" + m.osVersion + ") ";
  return Tr("内核版本：") + m.osName + version + m.architecture;
}

Json::Value BuildDeviceObject(const CpuMachine& m, const std::string& tokenReply) {
  Json::Value d(Json::objectValue);
  d["socname"] = m.cpuName;
  d["RELEASE"] = m.osVersion;
  d["HARDWARE"] = " ";
  d["MODEL"] = m.boardName;
  d["MANUFACTURER"] = " ";
  d["BRAND"] = m.boardVendor;
  d["PRODUCT"] = " ";
  d["CPU_ABI"] = m.architecture;
  d["CPU_ABI2"] = " ";
  d["token"] = tokenReply;
  return d;
}

}  // namespace sorvanta::cpubench
