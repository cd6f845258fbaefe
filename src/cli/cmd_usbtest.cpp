// sorvanta-cli usbtest: the USB unsafe-eject endurance test without the window. Prints the
// run's log and one line per finished pass, and writes the results as CSV at the end.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <vector>

#include "base/run_thread.h"
#include "base/text.h"
#include "cli/command.h"
#include "platform/eject.h"
#include "usbtest/endurance_csv.h"
#include "usbtest/endurance_run.h"

namespace sorvanta::cli {
namespace {

using namespace sorvanta::usbtest;

const char* const kUsage = N_("usbtest --file F --drive ROOT --switch ADDR [选项]");

// Prints what the run tells; keeps the results table for the CSV.
class CliUsbEvents : public UsbTestEvents {
 public:
  void Started(int passes) override {
    passes_ = passes;
    std::lock_guard<std::mutex> l(mu_);
    table_.Clear();
  }
  void RowAdded(int row, const std::string& number, const std::string& path) override {
    std::lock_guard<std::mutex> l(mu_);
    table_.AddRow(row, number, path);
  }
  void CellSet(int row, int column, const std::string& text) override {
    {
      std::lock_guard<std::mutex> l(mu_);
      table_.SetCell(row, column, text);
    }
    if (column == kColResult) PrintRow(row);
  }
  void Progress(int passIndex) override {
    PrintLiveLine(FormatText(Tr("第 %d/%d 轮  U盘已用 %d%%  通过率 %s"), passIndex + 1, passes_, used_, rate_.c_str()));
  }
  void Space(int usedPercent) override { used_ = usedPercent; }
  void PassRate(const std::string& text) override { rate_ = text; }
  void Log(const std::string& line) override {
    std::string text;
    for (char c : line)
      if (c != '\r') text += c;
    EndLiveLine();
    std::printf("%s\n", Printable(text).c_str());
    std::fflush(stdout);
  }
  void Ended() override { EndLiveLine(); }

  std::vector<UsbTestRow> Rows() {
    std::lock_guard<std::mutex> l(mu_);
    return table_.rows();
  }
  const std::string& rate() const { return rate_; }

 private:
  void PrintRow(int row) {
    UsbTestRow r;
    {
      std::lock_guard<std::mutex> l(mu_);
      r = table_.rows().at(static_cast<size_t>(row));
    }
    EndLiveLine();
    std::printf(Tr("[%s] %s  识别U盘用时 %s  拷贝用时 %s  %s\n"), r[kColNumber].c_str(), Printable(r[kColFile]).c_str(),
                r[kColReconnect].c_str(), r[kColCopy].c_str(), r[kColResult].c_str());
    std::fflush(stdout);
  }

  std::mutex mu_;
  UsbTestTable table_;
  int passes_ = 0;
  int used_ = 0;
  std::string rate_ = "-/-";
};

int Usage() {
  std::fprintf(stderr, "%s\n", UsageLine(kUsage).shown.c_str());
  return kExitUsage;
}

struct UsbArgs {
  UsbTestParams params;
  std::string passes;
  std::string csv;
  bool eject = false;
};

int RunUsbTestCommand(const UsbArgs& a) {
  UsbTestParams params = a.params;
  const bool eject = a.eject;
  const std::string csv = a.csv;
  if (!a.passes.empty()) {
    char* end = nullptr;
    long n = std::strtol(a.passes.c_str(), &end, 10);
    if (*end != '\0' || n < 1 || n > 1000000) {
      std::fprintf(stderr, "%s\n", Tr("--passes 应为 1 到 1000000 之间的整数"));
      return kExitUsage;
    }
    params.passes = static_cast<int>(n);
  }
  if (params.copyFile.empty() || params.driveRoot.empty() || params.switchAddress.empty()) return Usage();

  std::string message = CheckUsbTestInput(params.copyFile, &params.driveRoot, params.switchAddress);
  if (!message.empty()) {
    std::fprintf(stderr, "%s\n", message.c_str());
    return kExitUsage;
  }

  if (eject && !platform::UdisksAvailable()) {
    std::fprintf(stderr, "%s\n", Tr("安全弹出需要 udisksctl（请安装 udisks2）"));
    return kExitUsage;
  }

  params.link.errorOutput = PrintLine;  // the switch's connection errors, between the log lines
  params.safeEject = std::make_shared<std::atomic<bool>>(eject);
  auto sink = std::make_shared<CliUsbEvents>();
  RunThread<UsbTestOutcome> runner;
  std::stop_source stop;
  bool interrupted = false;
  {
    // A second Ctrl-C leaves at once (a pass may wait for the switch without limit), but
    // not without the CSV of the passes done so far.
    InterruptScope interrupt(
        [stop]() mutable {
          std::fprintf(stderr, "\n%s\n", Tr("正在停止，断电后会先恢复供电（再按一次 Ctrl-C 立即退出）"));
          stop.request_stop();
        },
        [sink, csv] {
          std::fflush(stdout);
          std::vector<UsbTestRow> rows = sink->Rows();
          if (!csv.empty() && !rows.empty()) {
            if (WriteUsbTestCsv(csv, rows)) std::fprintf(stderr, Tr("\n已导出：%s\n"), csv.c_str());
            else std::fprintf(stderr, "\n%s\n", Tr(kUsbMsgCannotSave));
          }
          std::fflush(stderr);
          _exit(kExitInterrupted);
        });
    runner.Start([params, sink, stop] { return RunUsbTest(params, *sink, stop.get_token()); },
                 [stop]() mutable { stop.request_stop(); });
    runner.Wait();
    interrupted = interrupt.Interrupted();
  }
  UsbTestOutcome outcome = runner.LastOutcome().value_or(UsbTestOutcome{});
  std::printf(Tr("通过率：%s\n"), sink->rate().c_str());

  // Success: every pass that got to its verification passed, and the drive never got lost.
  bool ok = outcome.end != UsbTestEnd::kSourceDigestFailed && outcome.end != UsbTestEnd::kDriveLost &&
            outcome.end != UsbTestEnd::kNotDisconnected && outcome.passed == outcome.verified;
  int status = interrupted ? kExitInterrupted : ok ? kExitOk : kExitFailed;
  if (!csv.empty()) {
    std::vector<UsbTestRow> rows = sink->Rows();
    if (rows.empty()) {
      std::fprintf(stderr, "%s\n", Tr(kUsbMsgNotFinished));
      return interrupted ? kExitInterrupted : kExitFailed;
    }
    if (!WriteUsbTestCsv(csv, rows)) {
      std::fprintf(stderr, "%s\n", Tr(kUsbMsgCannotSave));
      return kExitFailed;
    }
    std::printf(Tr("已导出：%s\n"), csv.c_str());
  }
  return status;
}

std::function<int()> SetUp(CLI::App& sub) {
  auto a = std::make_shared<UsbArgs>();
  sub.add_option("--file", a->params.copyFile, Tr("每轮拷贝到U盘的源文件"))->type_name("F");
  sub.add_option("--drive", a->params.driveRoot, Tr("被测U盘的根目录"))->type_name("ROOT");
  sub.add_option("--switch", a->params.switchAddress, Tr("USB开关的地址，如 192.168.0.100:5000"))->type_name("ADDR");
  sub.add_flag("--eject", a->eject, Tr("断电前先安全弹出（需要 udisksctl）"));
  sub.add_option("--passes", a->passes, Tr("轮数，1 到 1000000"))->type_name("N");
  sub.add_option("--csv", a->csv, Tr("结束时把结果表写成CSV文件"))->type_name("OUT");
  return [a] { return RunUsbTestCommand(*a); };
}

CliCommandRegistrar reg{CliCommand{
    "usbtest", kUsage, N_("USB存储不安全弹出暴力测试"), SetUp}};

}  // namespace
}  // namespace sorvanta::cli
