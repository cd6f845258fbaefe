// sorvanta-cli disk ROOT: the disk benchmark sequence on one volume, headless.
#include <json/json.h>

#include <cstdio>
#include <iostream>
#include <mutex>

#include "cli/command.h"
#include "diskbench/disk_engine.h"
#include "diskbench/disk_results.h"
#include "platform/volumes.h"
#include "service/bench_sink.h"

namespace sorvanta::cli {
namespace {

const char* kUsage = "disk ROOT [--size N[K|M|G]] [--cache] [--json]";

// Prints the engine's log lines, keeps a live speed line on a terminal and collects cells.
// With --json the log goes to standard error so that standard output holds only the object.
class CliDiskSink : public BenchSink {
 public:
  explicit CliDiskSink(bool json) : json_(json) {}

  void Log(const std::string& text) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (!json_) EndLiveLine();
    std::string line = text;
    for (size_t p; (p = line.find("\r\n")) != std::string::npos;) line.replace(p, 2, 1, ' ');
    std::fprintf(json_ ? stderr : stdout, "%s\n", line.c_str());
    std::fflush(json_ ? stderr : stdout);
  }
  void Done(const std::string&, const std::string&) override {}
  void Progress(int percent, int, bool) override {
    std::lock_guard<std::mutex> lock(mu_);
    percent_ = percent;
  }
  void Speed(std::optional<double> instant, std::optional<double> average, bool) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (json_) return;
    if (!instant && !average) {
      EndLiveLine();
      return;
    }
    std::string line = "进度 " + std::to_string(percent_) + "%";
    if (instant) line += "  即时 " + DiskSpeedText(*instant) + "MB/s";
    if (average) line += "  平均 " + DiskSpeedText(*average) + "MB/s";
    PrintLiveLine(line);
  }
  void Bar(double, int) override {}
  void Cell(std::optional<double> mbps, int column) override {
    std::lock_guard<std::mutex> lock(mu_);
    results_.SetCell(column, mbps);
  }
  void RowDone(int) override {}

  DiskResults Results() {
    std::lock_guard<std::mutex> lock(mu_);
    return results_;
  }
  void Finish() {
    std::lock_guard<std::mutex> lock(mu_);
    if (!json_) EndLiveLine();
  }

 private:
  std::mutex mu_;
  bool json_;
  int percent_ = 0;
  DiskResults results_;
};

int RunDisk(const std::vector<std::string>& args) {
  std::string root;
  uint64_t size = kDefaultWriteSize;
  bool cache = false;
  bool json = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--cache") {
      cache = true;
    } else if (a == "--json") {
      json = true;
    } else if (a == "--size" && i + 1 < args.size()) {
      std::optional<uint64_t> parsed = ParseByteSize(args[++i]);
      if (!parsed) {
        std::fprintf(stderr, "写入大小无效: %s（字节数，可带 K、M、G 后缀）\n", args[i].c_str());
        return 2;
      }
      size = *parsed;
    } else if (!a.empty() && a[0] != '-' && root.empty()) {
      root = a;
    } else {
      std::fprintf(stderr, "未知参数: %s\n用法: sorvanta-cli %s\n", a.c_str(), kUsage);
      return 2;
    }
  }
  if (root.empty()) {
    std::fprintf(stderr, "用法: sorvanta-cli %s\n", kUsage);
    return 2;
  }
  root = platform::NormalizeRoot(root);
  if (!platform::IsVolumeRoot(root)) {
    std::fprintf(stderr, "%s 不是已挂载分区的根目录（sorvanta-cli disks 列出可测分区）\n", root.c_str());
    return 2;
  }
  std::optional<platform::VolumeSpace> space = platform::SpaceOf(root);
  if (space && space->freeBytes < size) {
    std::fprintf(stderr, "分区%s可用空间不足：需要%.2fG，可用%.2fG\n", root.c_str(),
                 static_cast<double>(size) / 1073741824.0, static_cast<double>(space->freeBytes) / 1073741824.0);
    return 1;
  }

  CliDiskSink sink(json);
  g_stopRequested = false;
  g_useSystemCache = cache;
  g_currentRow = 0;
  SetCurrentBenchSink(&sink);
  {
    // Like the stop button: the run ends and its file goes, whatever signal comes next.
    InterruptScope interrupt([] { g_stopRequested = true; });
    RunTestSequence(root, size);
  }
  SetCurrentBenchSink(nullptr);
  sink.Finish();
  bool stopped = g_stopRequested.exchange(false);
  DiskResults results = sink.Results();

  if (json) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    std::cout << Json::writeString(builder, results.ToJson()) << std::endl;
  } else {
    for (int column = 1; column <= 7; ++column) {
      std::string text = results.Text(column);
      if (column >= 4 && results.Value(column))
        text += "  " + std::to_string(IopsOf(*results.Value(column))) + " IOPS";
      std::printf("%-12s %s\n", kDiskCellLabels[column - 1], text.c_str());
    }
  }
  if (stopped) {
    std::fprintf(stderr, "已停止\n");
    return 130;
  }
  return results.Value(7) ? 0 : 1;
}

CliCommandRegistrar reg{CliCommand{"disk", kUsage, "测试分区的顺序、4K随机与64并发4K读写速度", RunDisk}};

}  // namespace
}  // namespace sorvanta::cli
