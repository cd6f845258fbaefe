#include "platform/system_info.h"

#include "platform/file_replace.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace sorvanta::platform {
namespace {

// Values longer than this read as empty, like the fixed buffers the readers once used.
constexpr size_t kValueLimit = 50;

std::string UnderRoot(const std::string& root, const char* relative) {
  std::string path = root.empty() ? std::string("/") : root;
  if (path.back() != '/') path += '/';
  return path + relative;
}

bool ReadWholeFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  *out = s.str();
  return true;
}

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

// A one-line sysfs value: trailing line end and NULs removed (device-tree strings end in
// a NUL); empty when it is too long or holds further lines or bytes.
std::string OneLineValue(const std::string& raw) {
  std::string v = raw;
  while (!v.empty() && (v.back() == '\n' || v.back() == '\0' || v.back() == '\r')) v.pop_back();
  if (v.size() >= kValueLimit) return "";
  for (char c : v)
    if (c == '\n' || c == '\0') return "";
  return v;
}

// The value of the first "key : value" line of cpuinfo whose key is name.
bool CpuinfoValue(const std::string& text, const std::string& name, std::string* value) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    if (Trim(line.substr(0, colon)) != name) continue;
    *value = Trim(line.substr(colon + 1));
    return true;
  }
  return false;
}

std::string OsReleaseValue(const std::string& text, const std::string& key) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.compare(0, key.size() + 1, key + "=") != 0) continue;
    std::string v = Trim(line.substr(key.size() + 1));
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
      v = v.substr(1, v.size() - 2);
    return v.size() >= kValueLimit ? "" : v;
  }
  return "";
}

}  // namespace

std::string CpuinfoModelName(const std::string& root) {
  std::string text;
  if (!ReadWholeFile(UnderRoot(root, "proc/cpuinfo"), &text)) return "";
  std::string v;
  for (const char* key : {"model name", "Hardware", "Processor"})
    if (CpuinfoValue(text, key, &v) && !v.empty()) return v;
  return "";
}

std::string ProcessorBrandString(const std::string& root) {
#if defined(__x86_64__) || defined(__i386__)
  (void)root;
  unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (!__get_cpuid(0x80000000u, &eax, &ebx, &ecx, &edx) || eax < 0x80000004u) return "null";
  char brand[49] = {};
  for (unsigned int leaf = 0; leaf < 3; ++leaf) {
    unsigned int r[4] = {};
    __cpuid(0x80000002u + leaf, r[0], r[1], r[2], r[3]);
    std::memcpy(brand + leaf * 16, r, 16);
  }
  return std::string(brand, strnlen(brand, 48));
#else
  return CpuinfoModelName(root);
#endif
}

uint32_t ProcessorClockMhz(const std::string& root) {
  std::string text;
  if (ReadWholeFile(UnderRoot(root, "sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq"), &text)) {
    unsigned long long khz = std::strtoull(text.c_str(), nullptr, 10);
    if (khz > 0) return static_cast<uint32_t>(khz / 1000);
  }
  if (ReadWholeFile(UnderRoot(root, "proc/cpuinfo"), &text)) {
    std::string v;
    if (CpuinfoValue(text, "cpu MHz", &v)) {
      double mhz = std::strtod(v.c_str(), nullptr);
      if (mhz > 0 && mhz < 4.0e9) return static_cast<uint32_t>(mhz);
    }
  }
  return 0;
}

BoardInfo ReadBoardInfo(const std::string& root) {
  BoardInfo info;
  std::string raw;
  if (ReadWholeFile(UnderRoot(root, "sys/class/dmi/id/board_vendor"), &raw)) {
    info.found = true;
    info.vendor = OneLineValue(raw);
  }
  if (ReadWholeFile(UnderRoot(root, "sys/class/dmi/id/board_name"), &raw)) {
    info.found = true;
    info.name = OneLineValue(raw);
  }
  if (!info.found && ReadWholeFile(UnderRoot(root, "proc/device-tree/model"), &raw)) {
    info.found = true;
    info.name = OneLineValue(raw);
  }
  return info;
}

MemoryInfo ReadMemoryInfo(const std::string& root) {
  MemoryInfo info;
  std::string text;
  if (ReadWholeFile(UnderRoot(root, "proc/meminfo"), &text)) {
    std::string total, avail;
    if (CpuinfoValue(text, "MemTotal", &total)) {
      info.ok = true;
      info.totalBytes = std::strtoull(total.c_str(), nullptr, 10) * 1024;
      if (CpuinfoValue(text, "MemAvailable", &avail))
        info.availableBytes = std::strtoull(avail.c_str(), nullptr, 10) * 1024;
      return info;
    }
  }
  if (root.empty() || root == "/") {
    struct sysinfo si;
    if (sysinfo(&si) == 0) {
      info.ok = true;
      info.totalBytes = static_cast<uint64_t>(si.totalram) * si.mem_unit;
      info.availableBytes = static_cast<uint64_t>(si.freeram + si.bufferram) * si.mem_unit;
    }
  }
  return info;
}

OsRelease ReadOsRelease(const std::string& root) {
  OsRelease os;
  std::string text;
  if (!ReadWholeFile(UnderRoot(root, "etc/os-release"), &text) &&
      !ReadWholeFile(UnderRoot(root, "usr/lib/os-release"), &text))
    return os;
  os.found = true;
  os.name = OsReleaseValue(text, "NAME");
  os.versionId = OsReleaseValue(text, "VERSION_ID");
  return os;
}

std::string ArchitectureFromMachine(const std::string& m) {
  if (m == "x86_64" || m == "amd64") return "x86_64";
  if (m.size() == 4 && m[0] == 'i' && m.compare(2, 2, "86") == 0) return "x86";
  if (m == "aarch64" || m == "arm64") return "arm64-v8a";
  if (m.compare(0, 5, "armv7") == 0 || m.compare(0, 5, "armv8") == 0) return "armeabi-v7a";
  if (m.compare(0, 3, "arm") == 0) return "armeabi";
  return m;
}

std::string MachineArchitecture() {
  struct utsname u;
  if (uname(&u) != 0) return "";
  return ArchitectureFromMachine(u.machine);
}

namespace {

// The first line of a file, blanks removed; empty when the file cannot be read.
std::string FirstLine(const std::string& path) {
  std::string text;
  if (!ReadWholeFile(path, &text)) return "";
  return Trim(text.substr(0, text.find('\n')));
}

// A UUID that tells machines apart: hexadecimal digits and "-" with at least one digit
// other than 0 and f, so that the all-zero and all-one placeholders of unset DMI fields
// are refused.
bool DistinctId(const std::string& id) {
  bool distinct = false;
  for (char c : id) {
    if (c == '-') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    if (c != '0' && c != 'f' && c != 'F') distinct = true;
  }
  return distinct;
}

}  // namespace

std::string MachineId(const std::string& root) {
  for (const char* relative : {"etc/machine-id", "var/lib/dbus/machine-id"}) {
    const std::string id = FirstLine(UnderRoot(root, relative));
    if (!id.empty() && id != "uninitialized") return id;
  }
  const std::string uuid = FirstLine(UnderRoot(root, "sys/class/dmi/id/product_uuid"));
  return DistinctId(uuid) ? uuid : "";
}

std::string KeptRandomMachineId(const std::string& folder) {
  if (folder.empty()) return "";  // no home folder to keep it in
  const std::string path = folder + "/sorvanta-machine-id";
  std::string kept = FirstLine(path);
  if (kept.size() == 32 && DistinctId(kept)) return kept;

  unsigned char bytes[16];
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) return "";
  static const char kHex[] = "0123456789abcdef";
  std::string id;
  for (unsigned char b : bytes) {
    id += kHex[b >> 4];
    id += kHex[b & 15];
  }
  // Written aside and renamed into place, so that a cut-off write never leaves half an id.
  if (!ReplaceFileContents(path, id + "\n", 0600).ok()) return "";
  return id;
}

}  // namespace sorvanta::platform
