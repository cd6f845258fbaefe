// sorvanta-cli disks: the mounted volumes of the physical disks, with model and serial.
#include <json/json.h>

#include <cstdio>
#include <iostream>
#include <sstream>

#include "cli/command.h"
#include "diskbench/disk_identification.h"

namespace sorvanta::cli {
namespace {

int RunDisks(const std::vector<std::string>& args) {
  bool json = false;
  bool verbose = false;
  for (const std::string& a : args) {
    if (a == "--json") {
      json = true;
    } else if (a == "--verbose" || a == "-v") {
      verbose = true;
    } else {
      std::fprintf(stderr, "未知参数: %s\n用法: sorvanta-cli disks [--json] [--verbose]\n", a.c_str());
      return 2;
    }
  }
  // The identification's diagnostic lines are shown only when asked for.
  std::ostringstream quiet;
  std::ostream& diag = verbose ? (json ? std::cerr : std::cout) : quiet;
  std::string error;
  diskbench::DiskIdentification identification;
  if (identification.Open({}, &error, diag) != 0) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  diskbench::DiskList list;
  bool ok = identification.Enumerate(list, diag);
  identification.Release();
  diag.flush();
  if (!ok) {
    std::fprintf(stderr, "读取硬盘列表失败\n");
    if (verbose) std::fputs(quiet.str().c_str(), stderr);
    return 1;
  }
  if (json) {
    Json::Value out(Json::arrayValue);
    for (const auto& [key, entry] : list) {
      Json::Value e;
      e["root"] = entry.roots.front();
      e["model"] = entry.model;
      e["serial"] = entry.serial;
      out.append(e);
    }
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    std::cout << Json::writeString(builder, out) << std::endl;
    return 0;
  }
  if (list.empty()) {
    std::printf("没有找到带分区且已挂载的物理硬盘\n");
    return 0;
  }
  for (const auto& [key, entry] : list)
    std::printf("%s\t%s\t%s\n", Printable(entry.roots.front()).c_str(), Printable(entry.model).c_str(),
                entry.serial.empty() ? "-" : Printable(entry.serial).c_str());
  return 0;
}

CliCommandRegistrar reg{CliCommand{"disks", "disks [--json] [--verbose]",
                                   "列出物理硬盘上已挂载的分区（根目录、型号、序列号）", RunDisks}};

}  // namespace
}  // namespace sorvanta::cli
