// What the CPU benchmark window shows about the machine and sends as the device object.
//
// ReadCpuMachine gathers everything once (on the window's thread when it opens); the
// line functions turn it into the four information lines; BuildDeviceObject turns it,
// with a token reply, into the JSON object that RunCpuExamSession takes.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <string>

namespace sorvanta::cpubench {

struct CpuMachine {
  std::string brandString;    // raw processor brand string (fingerprint input; may start with blanks)
  std::string cpuName;        // brand string without surrounding blanks (else cpuinfo's name); "socname"
  uint32_t clockMhz = 0;      // processor clock in MHz, 0 when unknown
  int logicalCores = 0;       // CountLogicalProcessors()
  bool boardFound = false;    // false: the window says "主板信息获取异常！"
  std::string boardVendor;    // "BRAND"
  std::string boardName;      // "MODEL"
  bool memoryOk = false;      // false: the window says "内存信息获取异常！"
  uint64_t memoryTotalBytes = 0;
  uint64_t memoryAvailableBytes = 0;
  std::string osName;         // os-release NAME
  std::string osVersion;      // os-release VERSION_ID; "RELEASE"
  std::string architecture;   // "x86_64", "x86", "arm64-v8a", ...; "CPU_ABI"
  std::string machineId;      // MachineId(), else KeptRandomMachineId(): the fingerprint's stable identity
};

// Reads the machine under root ("/" normally; tests use a fake tree). The brand string
// comes from CPUID on x86 whatever the root, and the core count from the affinity set.
CpuMachine ReadCpuMachine(const std::string& root = "/");

// "CPU信息：" line: name + " 速度:" + GHz with two decimals + "GHz" + " 逻辑核数:" + count.
std::string CpuInfoLine(const CpuMachine& m);
// "主板信息：" line: vendor + " " + name.
std::string BoardInfoLine(const CpuMachine& m);
// "内存信息：" line: "总量 %.2f GB (%.2f GB 剩余)" (whole GiB + leftover whole MiB / 1024).
std::string MemoryInfoLine(const CpuMachine& m);
// "系统信息：" line: "内核版本：" + NAME + "(" + VERSION_ID + ") " + architecture, or
// "内核版本：" + NAME + " " + architecture when there is no version.
std::string OsInfoLine(const CpuMachine& m);

// The device object for RunCpuExamSession: "socname", "RELEASE", "HARDWARE" (" "), "MODEL",
// "MANUFACTURER" (" "), "BRAND", "PRODUCT" (" "), "CPU_ABI", "CPU_ABI2" (" ") and
// "token" (the whole token reply), every value a string.
Json::Value BuildDeviceObject(const CpuMachine& m, const std::string& tokenReply);

}  // namespace sorvanta::cpubench
