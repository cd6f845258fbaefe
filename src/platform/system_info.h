// What the machine is: processor, mainboard, memory, operating system and identity.
//
// Every reader that looks at files takes the root of the file tree ("/" on a real
// machine) so that tests can point it at a fake tree holding proc/, sys/ and etc/.
// Readers never fail loudly: a missing file gives an empty text, 0 or found = false.
// All functions are safe to call from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace sorvanta::platform {

// The processor brand string of CPUID leaves 0x80000002..0x80000004 up to the first
// zero byte, unchanged (leading blanks kept); "null" when the processor does not offer
// those leaves. On machines without CPUID it is /proc/cpuinfo "model name" (or
// "Hardware") under root, empty when there is none.
std::string ProcessorBrandString(const std::string& root = "/");

// /proc/cpuinfo "model name", else "Hardware", else "Processor", under root; the value
// after the first ":" with surrounding blanks removed. Empty when none is found.
std::string CpuinfoModelName(const std::string& root = "/");

// Processor clock in MHz: sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq (kHz)
// under root, else the first "cpu MHz" of proc/cpuinfo. 0 when neither gives a number.
uint32_t ProcessorClockMhz(const std::string& root = "/");

// Mainboard maker and model. found is false when neither the DMI files nor the device
// tree model exist ("cannot read the board"). A value of 50 bytes or more reads as
// empty, as do values that are not one line of text.
struct BoardInfo {
  bool found = false;
  std::string vendor;  // sys/class/dmi/id/board_vendor
  std::string name;    // sys/class/dmi/id/board_name, else proc/device-tree/model
};
BoardInfo ReadBoardInfo(const std::string& root = "/");

// Physical memory in bytes from proc/meminfo (MemTotal, MemAvailable) under root; on the
// real root sysinfo() stands in when meminfo is unreadable. ok is false when neither works.
struct MemoryInfo {
  bool ok = false;
  uint64_t totalBytes = 0;
  uint64_t availableBytes = 0;
};
MemoryInfo ReadMemoryInfo(const std::string& root = "/");

// Operating system from etc/os-release (else usr/lib/os-release) under root: NAME and
// VERSION_ID with their quotes removed. found is false when neither file can be read.
// Values of 50 bytes or more read as empty.
struct OsRelease {
  bool found = false;
  std::string name;       // e.g. "Debian GNU/Linux"
  std::string versionId;  // e.g. "12"
};
OsRelease ReadOsRelease(const std::string& root = "/");

// The machine's architecture as the service knows it: "x86_64", "x86", "arm64-v8a",
// "armeabi-v7a", else the kernel's machine name (uname).
std::string MachineArchitecture();
// Maps a kernel machine name (uname -m) to the text above.
std::string ArchitectureFromMachine(const std::string& unameMachine);

// The stable machine identity: the first line of etc/machine-id, else of
// var/lib/dbus/machine-id, else the DMI product UUID (sys/class/dmi/id/product_uuid,
// readable by root only) under root, blanks removed. Placeholders ("uninitialized", a
// UUID of all zeros or all ones) are passed over. Empty when none gives an identity.
std::string MachineId(const std::string& root = "/");

// For machines without any of the above (containers): 32 random hexadecimal digits made
// once and kept in <folder>/sorvanta-machine-id, so that such machines of one model do not
// share one identity. Empty when the id can be neither read nor stored.
std::string KeptRandomMachineId(const std::string& folder);

}  // namespace sorvanta::platform
