// sorvanta-cli disks: the mounted volumes of the physical disks, with model and serial.
#include <json/json.h>

#include <cstdio>
#include <iostream>
#include <sstream>

#include "cli/command.h"
#include "diskbench/disk_identification.h"

namespace sorvanta::cli {
namespace {

int RunDisks(const JsonStyle& style, bool verbose) {
  const bool json = style.on();
  // The identification's diagnostic lines are shown only when asked for.
  std::ostringstream quiet;
  std::ostream& diag = verbose ? (json ? std::cerr : std::cout) : quiet;
  std::string error;
  diskbench::DiskIdentification identification;
  if (identification.Open({}, &error, diag) != 0) {
    return Failure(style, kExitFailed, error);
  }
  diskbench::DiskList list;
  bool ok = identification.Enumerate(list, diag);
  identification.Release();
  diag.flush();
  if (!ok) {
    if (verbose) std::fputs(quiet.str().c_str(), stderr);
    return Failure(style, kExitFailed, SayText("读取硬盘列表失败"));
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
    PrintJson(out, style);
    return kExitOk;
  }
  if (list.empty()) {
    std::printf("%s\n", Tr("没有找到带分区且已挂载的物理硬盘"));
    return 0;
  }
  for (const auto& [key, entry] : list)
    std::printf("%s\t%s\t%s\n", Printable(entry.roots.front()).c_str(), Printable(entry.model).c_str(),
                entry.serial.empty() ? "-" : Printable(entry.serial).c_str());
  return 0;
}

std::function<int()> SetUp(CLI::App& sub) {
  auto json = std::make_shared<JsonStyle>();
  auto verbose = std::make_shared<bool>(false);
  AddJsonOption(sub, json.get());
  sub.add_flag("-v,--verbose", *verbose, Tr("显示识别硬盘时的诊断信息"));
  return [json, verbose] { return RunDisks(*json, *verbose); };
}

CliCommandRegistrar reg{CliCommand{"disks", "disks [--json] [--verbose]", N_("列出物理硬盘上已挂载的分区与型号、序列号"), SetUp}};

}  // namespace
}  // namespace sorvanta::cli
