// sorvanta-cli disk ROOT: the disk benchmark on one volume through the same run logic as
// the window (prefill, laps, TRIM, score request and history), and disk --history ROOT.
#include <json/json.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>

#include "cli/command.h"
#include "diskbench/disk_presenter.h"
#include "diskbench/disk_events_loop.h"
#include "diskbench/disk_results.h"
#include "platform/system_info.h"
#include "platform/volumes.h"
#include "base/text.h"

namespace sorvanta::cli {
namespace {

using namespace sorvanta::diskbench;

const char* kUsage = N_("disk ROOT [--size N] [--prefill P|--laps N] [选项]");

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

// One row as the command line reports it: completed, or cut short by a stop.
struct RowReport {
  int row = 0;
  std::string score;
  DiskChartData chart;
  DiskCells exact;   // the row's sequence's cells at full precision
  std::string text;  // the row as the window copies it
  bool aborted = false;
  bool complete = false;  // every test of the run produced its figure
};

// The live line's phase, from the engine's log lines: its name and, for the timed tests,
// their length in seconds (0: the sequential tests, shown in percent).
struct Phase {
  std::string name;
  int seconds = 0;
};

// True when the engine's line starts with (or, anywhere, contains) one of the engine's texts,
// in Chinese or as the engine's catalogue entry shows it in the run's language. The texts are
// the engine's (ZH_ here: their English lives with the engine's own entries).
bool LineHas(const std::string& line, const char* text, bool anywhere = false) {
  for (const std::string& t : {std::string(text), std::string(Tr(text))}) {
    if (anywhere ? line.find(t) != std::string::npos : line.rfind(t, 0) == 0) return true;
  }
  return false;
}

std::optional<Phase> PhaseAfter(const std::string& line, const DiskEngineOptions& engine) {
  const int randomSeconds = static_cast<int>((engine.randomTestMs + 999) / 1000);
  const int concurrentSeconds = static_cast<int>((static_cast<uint64_t>(engine.concurrentTicks) * engine.tickMs + 999) / 1000);
  if (LineHas(line, ZH_("[>>]开始顺序读写测试："))) return Phase{Tr("顺序读写"), 0};
  if (LineHas(line, ZH_("[>>]开始4K随机读写测试："))) return Phase{Tr("4K随机写"), randomSeconds};
  if (LineHas(line, ZH_("[>]4K随机写均速："))) return Phase{Tr("4K随机读"), randomSeconds};
  if (LineHas(line, ZH_("[>>]开始64并发4k测试"))) return Phase{Tr("64线程4K随机写"), concurrentSeconds};
  if (LineHas(line, ZH_("[>]64并发4k写入均速：")) || LineHas(line, ZH_("64并发4k写入："), true))
    return Phase{Tr("64线程4K随机读"), concurrentSeconds};
  return std::nullopt;
}

// The window of the command line: log lines on standard output (standard error with
// --json), a live status line on a terminal (phase, seconds or percent, current speed) and
// a plain one every 5 s otherwise, messages on standard error.
class CliDiskView : public DiskRunView {
 public:
  CliDiskView(TaskLoop& loop, bool json, DiskRunOptions options, DiskEngineOptions engine)
      : loop_(loop), json_(json), live_(!json && StdoutIsTerminal()), options_(options), engine_(engine) {}

  void SetDriveLines(const std::vector<std::string>&, int) override {}
  DiskRunOptions Options() override { return options_; }
  void SetOptionChecked(DiskOption, bool) override {}
  void SetLaps(int laps) override { options_.laps = laps; }
  void SetRunning(bool) override {}
  void SetStopEnabled(bool) override {}
  void SetScoreText(const std::string&) override {}
  void SetInfoLine(const std::string& text) override {
    if (!LineHas(text, ZH_("实时速度："))) return;
    const auto now = std::chrono::steady_clock::now();
    std::string status = phase_.name.empty() ? "" : phase_.name + "  ";
    if (phase_.seconds > 0) {
      const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - phaseStart_).count();
      status += std::to_string(std::min<int64_t>(elapsed, phase_.seconds)) + "/" + std::to_string(phase_.seconds) + "s  ";
    } else {
      status += FormatText(Tr("进度 %d%%"), percent_) + "  ";
    }
    status += text;
    if (live_) {
      PrintLiveLine(status);
    } else if (now - lastPlain_ >= std::chrono::seconds(5)) {
      lastPlain_ = now;
      Print(status);
    }
  }
  void AppendLog(const std::string& line) override {
    if (std::optional<Phase> next = PhaseAfter(line, engine_)) {
      phase_ = *next;
      phaseStart_ = lastPlain_ = std::chrono::steady_clock::now();
    }
    Print(line);
  }
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
    ShowNotice(Message{text, text}, DiskMessageIcon{});
  }
  // Both texts of a message box: the shown one for the terminal, the Chinese one for --json.
  void ShowNotice(const Message& message, DiskMessageIcon) override {
    lastMessage = message;
    EndLiveLine();
    std::fprintf(stderr, "%s\n", Printable(message.shown).c_str());
  }
  // Naming the volume on the command line is the confirmation.
  bool Confirm(const std::string&) override { return true; }
  void Post(std::function<void()> task) override { loop_.Post(std::move(task)); }
  void RowCompleted(int row, const std::string& score, const DiskResult& result) override {
    Keep(row, score, result, false);
  }
  void RowStopped(int row, const DiskResult& result) override { Keep(row, "", result, true); }

  void Attach(const DiskBenchRun* run) { run_ = run; }
  std::vector<RowReport> rows;
  Message lastMessage;  // the newest message box, for the JSON of a run that did not start

  void Finish() { EndLiveLine(); }

 private:
  void Keep(int row, const std::string& score, const DiskResult& result, bool aborted) {
    if (!run_ || row < 0 || row > 3) return;
    rows.push_back(RowReport{row, score, run_->Chart(), result.cells, run_->ResultText(row), aborted, result.completed});
  }
  void Print(const std::string& text) {
    EndLiveLine();
    std::FILE* out = json_ ? stderr : stdout;
    std::fprintf(out, "%s\n", Printable(OneLine(text)).c_str());
    std::fflush(out);
  }

  TaskLoop& loop_;
  bool json_;
  bool live_;
  DiskRunOptions options_;
  DiskEngineOptions engine_;
  int percent_ = 0;
  Phase phase_;
  std::chrono::steady_clock::time_point phaseStart_{}, lastPlain_{};
  const DiskBenchRun* run_ = nullptr;
};

// The text of a cell whose test did not run (the engine's, like LineHas's texts).
const char* const kNotTested = ZH_("未测试");

// The seven cells of a row as the scripts read them (values rounded to 0.01).
Json::Value CellsJson(const DiskRowCells& cells) {
  DiskCells results;
  for (int c = 1; c <= 7; ++c) {
    const std::string& text = cells[static_cast<size_t>(c - 1)];
    if (text.empty()) continue;
    results.SetCell(c, text == kNotTested || text == Tr(kNotTested) ? std::nullopt : std::optional<double>(CellNumber(text)));
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
  o["aborted"] = r.aborted;
  Json::Value chart(Json::objectValue);
  chart["x"] = ArrayJson(r.chart.x);
  chart["write"] = ArrayJson(r.chart.y[0]);
  chart["read"] = ArrayJson(r.chart.y[1]);
  o["chart"] = chart;
  return o;
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
    // Part of the name of the volume's history files: the same in every language.
    own["/" + root] = DiskEntry{"", {root}, ZH_("未识别的硬盘"), false};
    return own;
  }
  return list;
}

int RunHistory(const std::string& root, const JsonStyle& style) {
  const bool json = style.on();
  bool identified = false;
  DiskList list = ListFor(root, &identified);
  DiskHistoryFiles files{DiskHistoryFolder(), ""};
  std::string driveText = root;
  for (const auto& [key, entry] : list)
    if (entry.roots.front() == root) driveText = root + " " + entry.model;
  files.base = DiskHistoryBaseName(driveText);
  std::optional<std::string> text = ReadHistoryFile(files.List());
  if (!text || text->empty()) {
    if (json) {
      PrintJson(Json::Value(Json::arrayValue), style);
    } else {
      std::printf(Tr("分区%s没有跑分记录\n"), root.c_str());
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
      DiskReport report;
      report.driveText = driveText;
      platform::BoardInfo board = platform::ReadBoardInfo();
      report.board = board.found ? board.vendor + " " + board.name : "";
      report.rowLabel = Tr(kDiskRowLabels[static_cast<size_t>(r)]);
      if (std::optional<std::string> bytes = ReadHistoryFile(files.Chart(r)))
        if (std::optional<DiskChartData> chart = DecodeChart(*bytes)) report.writeGiB = chart->x[kChartPoints - 1];
      report.cells = cells;
      report.score = std::to_string(score);
      report.time = HistoryFileTime(files.Score(r));
      std::printf("%s", Printable(DiskReportText(report)).c_str());
    }
  }
  if (json) PrintJson(rows, style);
  return kExitOk;
}

struct DiskArgs {
  std::string root;
  std::string size;
  std::string prefill;
  std::string laps;
  bool cache = false, trim = false, submit = false, history = false;
  JsonStyle json;
};

// The smallest write worth measuring: every one of the 64 threads gets a 256 KiB file.
constexpr uint64_t kMinWriteSize = 16ull << 20;

int RunDisk(const DiskArgs& a) {
  std::string root = a.root;
  std::optional<uint64_t> size;
  const bool json = a.json.on();
  const bool submit = a.submit, history = a.history;
  DiskRunOptions options;
  options.systemCache = a.cache;
  options.trim = a.trim;
  bool lapsGiven = false;
  if (!a.size.empty()) {
    size = ParseByteSize(a.size);
    if (!size) {
      return Failure(a.json, kExitUsage, Say("写入大小无效: %s（字节数，可带 K、M、G、T 后缀）", a.size.c_str()));
    }
  }
  if (!a.prefill.empty() && !ParsePrefill(a.prefill, &options)) {
    return Failure(a.json, kExitUsage, Say("预占比例无效: %s（50、90 或 50,90）", a.prefill.c_str()));
  }
  if (!a.laps.empty()) {
    const std::string& n = a.laps;
    if (n.size() > 6 || n.find_first_not_of("0123456789") != std::string::npos || std::stoi(n) < 1) {
      return Failure(a.json, kExitUsage, Say("圈数无效: %s（正整数）", n.c_str()));
    }
    options.laps = std::stoi(n);
    options.wholeDisk = true;
    lapsGiven = true;
  }
  if (root.empty()) {
    return Failure(a.json, kExitUsage, UsageLine(kUsage));
  }
  root = platform::NormalizeRoot(root);
  if (!platform::IsVolumeRoot(root)) {
    return Failure(a.json, kExitUsage, Say("%s 不是已挂载分区的根目录（sorvanta-cli disks 列出可测分区）", root.c_str()));
  }
  if (history) return RunHistory(root, a.json);
  if (size) {
    std::optional<platform::VolumeSpace> space = platform::SpaceOf(root);
    const uint64_t freeBytes = space ? space->freeBytes : 0;
    if (*size < kMinWriteSize || *size > freeBytes) {
      return Failure(a.json, kExitUsage, Say("写入大小须在 16M 与可用空间 %.2fG 之间: %s", static_cast<double>(freeBytes) / (1ull << 30),
                   a.size.c_str()));
    }
  }
  if (lapsGiven && (options.prefill50 || options.prefill90)) {
    return Failure(a.json, kExitUsage, SayText("--laps 与 --prefill 不能同时使用"));
  }
  if (options.trim && !platform::RunningAsRoot()) {
    std::fprintf(stderr, "%s\n", Tr("TRIM需要root权限（请用sudo运行），本次不执行TRIM"));
    options.trim = false;
  }
  bool identified = false;
  DiskList list = ListFor(root, &identified);
  if (submit && !identified) {
    return Failure(a.json, kExitUsage, Say("分区%s不在已识别的物理硬盘上，没有序列号，无法提交成绩", root.c_str()));
  }

  DiskRunConfig config;
  config.settingsPath = "-";  // the command line's --size is never remembered
  config.submit = submit;
  config.saveHistory = submit;
  config.elevateTrim = false;
  config.openIdentification = [](std::string*) { return 0; };
  config.closeIdentification = [] {};
  config.enumerate = [list](DiskList& out) {
    out = list;
    return true;
  };
  if (size) options.writeSize = *size;
  TaskLoop loop;
  CliDiskView view(loop, json, options, config.engine);
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
  if (!started)
    return Failure(a.json, kExitFailed,
                   view.lastMessage.shown.empty() ? SayText("测试未能开始") : view.lastMessage, true);
  const std::vector<RowReport>& rows = view.rows;

  // Every figure measured so far, a stopped row's included; null only for tests that did not run.
  if (json) {
    Json::Value out = rows.empty() ? DiskCells().ToJson() : rows.back().exact.ToJson();
    Json::Value list(Json::arrayValue);
    for (const RowReport& r : rows) list.append(RowJson(r));
    out["rows"] = list;
    out["aborted"] = stopped;
    if (!rows.empty()) {
      out["row"] = rows.back().row;
      out["score"] = rows.back().score;
    }
    PrintJson(out, a.json);
  } else {
    // The drive's model and the service's score came from outside: each line escaped.
    for (const RowReport& r : rows) std::printf("%s", Printable(r.text).c_str());
    std::fflush(stdout);
  }
  if (stopped) {
    std::fprintf(stderr, "%s\n", Tr("已停止"));
    return kExitInterrupted;
  }
  if (rows.empty()) return kExitFailed;
  // Exit 0 only for a row with every figure of its run (a complete row).
  return rows.back().complete ? kExitOk : kExitFailed;
}

std::function<int()> SetUp(CLI::App& sub) {
  auto a = std::make_shared<DiskArgs>();
  sub.add_option("ROOT", a->root, Tr("要测试的分区的根目录（disks 列出）"))->type_name("");
  sub.add_option("--size", a->size, Tr("顺序写入大小，16M 到可用空间"))->type_name("N[K|M|G|T]");
  sub.add_option("--prefill", a->prefill, Tr("先用数据占满 50% 或 90% 再测"))->type_name("50|90|50,90");
  sub.add_option("--laps", a->laps, Tr("整盘写满 N 圈（与 --prefill 互斥）"))->type_name("N");
  sub.add_flag("--trim", a->trim, Tr("测试前执行TRIM（需要root）"));
  sub.add_flag("--cache", a->cache, Tr("经系统缓存读写（默认绕过缓存）"));
  sub.add_flag("--submit", a->submit, Tr("向服务器提交成绩并保存历史"));
  sub.add_flag("--history", a->history, Tr("只显示该分区的历史成绩"));
  AddJsonOption(sub, &a->json);
  return [a] { return RunDisk(*a); };
}

CliCommandRegistrar reg{CliCommand{"disk", kUsage, N_("测试分区的顺序、4K随机与64线程4K读写速度"), SetUp}};

}  // namespace
}  // namespace sorvanta::cli
