// sorvanta-cli disk ROOT: the disk benchmark on one volume through the same run logic as
// the window (prefill, laps, TRIM, score request and history), and disk --history ROOT.
#include <json/json.h>

#include <cstdio>
#include <iostream>
#include <sstream>

#include "cli/command.h"
#include "diskbench/disk_presenter.h"
#include "diskbench/disk_events_loop.h"
#include "diskbench/disk_results.h"
#include "platform/volumes.h"
#include "base/text.h"

namespace sorvanta::cli {
namespace {

using namespace sorvanta::diskbench;

const char* kUsage =
    "disk ROOT [--size N[K|M|G]] [--prefill 50|90|50,90] [--laps N] [--trim] [--cache] [--submit] [--json] | "
    "disk --history ROOT [--json]";

// A log text on one line: every "\r\n" becomes a blank.
std::string OneLine(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
      out += ' ';
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

// One completed row as the command line reports it.
struct RowReport {
  int row = 0;
  DiskRowCells cells;
  std::array<double, 7> figures{};  // the cells as submitted, for the IOPS beside them
  std::string score;
  DiskChartData chart;
  DiskCells exact;  // the row's sequence's cells at full precision
};

// The window of the command line: log lines on standard output (standard error with
// --json), the live speed line on a terminal, messages on standard error.
class CliDiskView : public DiskRunView {
 public:
  CliDiskView(TaskLoop& loop, bool json, DiskRunOptions options)
      : loop_(loop), json_(json), options_(options) {}

  void SetDriveLines(const std::vector<std::string>&, int) override {}
  DiskRunOptions Options() override { return options_; }
  void SetOptionChecked(DiskOption, bool) override {}
  void SetLaps(int laps) override { options_.laps = laps; }
  void SetRunning(bool) override {}
  void SetStopEnabled(bool) override {}
  void SetScoreText(const std::string&) override {}
  void SetInfoLine(const std::string& text) override {
    if (json_ || text.rfind("实时速度：", 0) != 0) return;
    PrintLiveLine("进度 " + std::to_string(percent_) + "%  " + text);
  }
  void AppendLog(const std::string& line) override { Print(line); }
  void SetLogText(const std::string& text) override { Print(text); }
  void SetProgress(int percent) override { percent_ = percent; }
  void SetCell(int, int, const std::string&) override {}
  void DrawLine(int, const double*, const double*, int) override {}
  void SetBar(int, double, double) override {}
  void ClearBar(int) override {}
  void ShowStatus(const std::string& text) override {
    if (!text.empty()) Print(text);
  }
  void ShowMessage(const std::string& text, const std::string&, DiskMessageIcon) override {
    if (!json_) EndLiveLine();
    std::fprintf(stderr, "%s\n", Printable(text).c_str());
  }
  void Post(std::function<void()> task) override { loop_.Post(std::move(task)); }
  void RowCompleted(int row, const std::string& score, const DiskResult& result) override {
    if (run_ && row >= 0 && row <= 3) {
      size_t r = static_cast<size_t>(row);
      rows.push_back(RowReport{row, run_->Table()[r], run_->Figures()[r], score, run_->Chart(), result.cells});
    }
  }

  void Attach(const DiskBenchRun* run) { run_ = run; }
  std::vector<RowReport> rows;

  void Finish() {
    if (!json_) EndLiveLine();
  }

 private:
  void Print(const std::string& text) {
    if (!json_) EndLiveLine();
    std::FILE* out = json_ ? stderr : stdout;
    std::fprintf(out, "%s\n", Printable(OneLine(text)).c_str());
    std::fflush(out);
  }

  TaskLoop& loop_;
  bool json_;
  DiskRunOptions options_;
  int percent_ = 0;
  const DiskBenchRun* run_ = nullptr;
};

// The seven cells of a row as the scripts read them (values rounded to 0.01).
Json::Value CellsJson(const DiskRowCells& cells) {
  DiskCells results;
  for (int c = 1; c <= 7; ++c) {
    const std::string& text = cells[static_cast<size_t>(c - 1)];
    if (text.empty()) continue;
    results.SetCell(c, text == "未测试" ? std::nullopt : std::optional<double>(CellNumber(text)));
  }
  return results.ToJson();
}

Json::Value ArrayJson(const std::array<double, kChartPoints>& values) {
  Json::Value a(Json::arrayValue);
  for (double v : values) a.append(v);
  return a;
}

Json::Value RowJson(const RowReport& r) {
  Json::Value o = r.exact.ToJson();
  o["row"] = r.row;
  o["label"] = kDiskRowLabels[static_cast<size_t>(r.row)];
  o["score"] = r.score;
  Json::Value chart(Json::objectValue);
  chart["x"] = ArrayJson(r.chart.x);
  chart["write"] = ArrayJson(r.chart.y[0]);
  chart["read"] = ArrayJson(r.chart.y[1]);
  o["chart"] = chart;
  return o;
}

void PrintJson(const Json::Value& v) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  std::cout << Json::writeString(builder, v) << std::endl;
}

// The cells' texts, with the IOPS of the 4 KiB columns from their figures.
void PrintCells(const DiskRowCells& cells, const std::array<double, 7>& figures) {
  for (int c = 1; c <= 7; ++c) {
    const std::string& text = cells[static_cast<size_t>(c - 1)];
    std::string iops;
    if (c >= 4 && text.find("MB/s") != std::string::npos)
      iops = "  " + std::to_string(IopsOf(figures[static_cast<size_t>(c - 1)])) + " IOPS";
    std::printf("  %-12s %s%s\n", kDiskCellLabels[static_cast<size_t>(c - 1)], text.empty() ? "-" : text.c_str(),
                iops.c_str());
  }
}

bool ParsePrefill(const std::string& text, DiskRunOptions* o) {
  for (const std::string& part : SplitPieces(text, ",")) {
    if (part == "50") {
      o->prefill50 = true;
    } else if (part == "90") {
      o->prefill90 = true;
    } else {
      return false;
    }
  }
  return o->prefill50 || o->prefill90;
}

// Finds the disk entry of root; a volume on no identified disk gets an entry of its own
// (no serial) so that it can still be measured.
DiskList ListFor(const std::string& root, bool* identified) {
  DiskList list;
  std::ostringstream quiet;
  std::string error;
  DiskIdentification identification;
  if (identification.Open({}, &error, quiet) == 0) identification.Enumerate(list, quiet);
  *identified = false;
  for (const auto& [key, entry] : list)
    for (const std::string& r : entry.roots)
      if (r == root) *identified = true;
  if (!*identified) {
    DiskList own;
    own["/" + root] = DiskEntry{"", {root}, "未识别的硬盘", false};
    return own;
  }
  return list;
}

int RunHistory(const std::string& root, bool json) {
  bool identified = false;
  DiskList list = ListFor(root, &identified);
  DiskHistoryFiles files{DiskHistoryFolder(), ""};
  for (const auto& [key, entry] : list)
    if (entry.roots.front() == root) files.base = DiskHistoryBaseName(root + " " + entry.model);
  std::optional<std::string> text = ReadHistoryFile(files.List());
  if (!text || text->empty()) {
    if (json) {
      PrintJson(Json::Value(Json::arrayValue));
    } else {
      std::printf("分区%s没有跑分记录\n", root.c_str());
    }
    return 0;
  }
  DiskResultTable table{};
  ApplyHistoryList(*text, &table);
  Json::Value rows(Json::arrayValue);
  for (int r = 0; r < 4; ++r) {
    const DiskRowCells& cells = table[static_cast<size_t>(r)];
    bool any = false;
    for (const std::string& c : cells) any = any || !c.empty();
    if (!any) continue;
    int32_t score = 0;
    if (std::optional<std::string> bytes = ReadHistoryFile(files.Score(r)))
      if (std::optional<int32_t> stored = DecodeScore(*bytes)) score = *stored;
    if (json) {
      Json::Value o = CellsJson(cells);
      o["row"] = r;
      o["label"] = kDiskRowLabels[static_cast<size_t>(r)];
      o["score"] = score;
      rows.append(o);
    } else {
      std::printf("%s  得分：%d\n", kDiskRowLabels[static_cast<size_t>(r)], score);
      std::array<double, 7> figures{};  // a stored text read back as a figure
      for (size_t c = 0; c < 7; ++c) figures[c] = CellNumber(cells[c]);
      PrintCells(cells, figures);
    }
  }
  if (json) PrintJson(rows);
  return 0;
}

int RunDisk(const std::vector<std::string>& args) {
  std::string root;
  std::optional<uint64_t> size;
  bool json = false, submit = false, history = false;
  DiskRunOptions options;
  bool lapsGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool hasValue = i + 1 < args.size();
    if (a == "--cache") {
      options.systemCache = true;
    } else if (a == "--json") {
      json = true;
    } else if (a == "--trim") {
      options.trim = true;
    } else if (a == "--submit") {
      submit = true;
    } else if (a == "--history") {
      history = true;
    } else if (a == "--size" && hasValue) {
      size = ParseByteSize(args[++i]);
      if (!size) {
        std::fprintf(stderr, "写入大小无效: %s（字节数，可带 K、M、G 后缀）\n", args[i].c_str());
        return 2;
      }
    } else if (a == "--prefill" && hasValue) {
      if (!ParsePrefill(args[++i], &options)) {
        std::fprintf(stderr, "预占比例无效: %s（50、90 或 50,90）\n", args[i].c_str());
        return 2;
      }
    } else if (a == "--laps" && hasValue) {
      const std::string& n = args[++i];
      if (n.empty() || n.size() > 6 || n.find_first_not_of("0123456789") != std::string::npos || std::stoi(n) < 1) {
        std::fprintf(stderr, "圈数无效: %s（正整数）\n", n.c_str());
        return 2;
      }
      options.laps = std::stoi(n);
      options.wholeDisk = true;
      lapsGiven = true;
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
  if (history) return RunHistory(root, json);
  if (lapsGiven && (options.prefill50 || options.prefill90)) {
    std::fprintf(stderr, "--laps 与 --prefill 不能同时使用\n");
    return 2;
  }
  if (options.trim && !platform::RunningAsRoot()) {
    std::fprintf(stderr, "TRIM需要root权限（请用sudo运行），本次不执行TRIM\n");
    options.trim = false;
  }
  bool identified = false;
  DiskList list = ListFor(root, &identified);
  if (submit && !identified) {
    std::fprintf(stderr, "分区%s不在已识别的物理硬盘上，没有序列号，无法提交成绩\n", root.c_str());
    return 2;
  }

  DiskRunConfig config;
  if (size) {
    config.standardWriteSize = *size;
    config.minFreeBytes = *size;
  }
  config.submit = submit;
  config.saveHistory = submit;
  config.elevateTrim = false;
  config.openIdentification = [](std::string*) { return 0; };
  config.closeIdentification = [] {};
  config.enumerate = [list](DiskList& out) {
    out = list;
    return true;
  };
  TaskLoop loop;
  CliDiskView view(loop, json, options);
  DiskBenchRun run(view, config);
  view.Attach(&run);
  LoopDiskEvents events(loop, run);
  run.SetEvents(&events);

  run.OnRefreshDisks();
  int index = 0;
  for (size_t i = 0; i < run.Entries().size(); ++i)
    for (const std::string& r : run.Entries()[i].roots)
      if (r == root) index = static_cast<int>(i);
  run.OnSelectDisk(index);

  bool started = false;
  bool stopped = false;
  {
    // Like the stop button: the run ends and removes its files, whatever signal comes next.
    InterruptScope interrupt([&loop, &run] { loop.Post([&run] { run.OnStopRun(); }); });
    started = run.OnStartRun();
    if (started) loop.RunUntil([&run] { return !run.Running(); }, 0xFFFFFFFFu);
    stopped = interrupt.Interrupted();
  }
  view.Finish();
  if (!started) return 1;
  const std::vector<RowReport>& rows = view.rows;

  if (json) {
    Json::Value out = rows.empty() ? DiskCells().ToJson() : rows.back().exact.ToJson();
    Json::Value list(Json::arrayValue);
    for (const RowReport& r : rows) list.append(RowJson(r));
    out["rows"] = list;
    if (!rows.empty()) {
      out["row"] = rows.back().row;
      out["score"] = rows.back().score;
    }
    PrintJson(out);
  } else {
    for (const RowReport& r : rows) {
      std::printf("%s%s\n", kDiskRowLabels[static_cast<size_t>(r.row)],
                  submit && !options.systemCache ? ("  得分：" + r.score).c_str() : "");
      PrintCells(r.cells, r.figures);
    }
  }
  if (stopped) {
    std::fprintf(stderr, "已停止\n");
    return 130;
  }
  if (rows.empty()) return 1;
  return rows.back().cells[6].find("MB/s") != std::string::npos ? 0 : 1;
}

CliCommandRegistrar reg{CliCommand{"disk", kUsage, "测试分区的顺序、4K随机与64并发4K读写速度（可预占、跑圈、TRIM、提交）", RunDisk}};

}  // namespace
}  // namespace sorvanta::cli
