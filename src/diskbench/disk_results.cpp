#include "diskbench/disk_results.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "diskbench/disk_engine.h"
#include "service/wire_protocol.h"
#include "base/language.h"
#include "base/text.h"

namespace sorvanta::diskbench {

const std::array<const char*, 7> kDiskCellLabels = {N_("缓内写入"), N_("缓外写入"),   N_("顺序读取"),
                                                    N_("4K随机写"), N_("4K随机读"),   N_("64T4K随机写"),
                                                    N_("64T4K随机读")};
const char* const kDiskNotTested = N_("未测试");
const char* const kDiskScorePending = N_("待评分");

namespace {

// Terminal columns of a UTF-8 text: a Chinese character takes two.
size_t TerminalWidth(const std::string& text) {
  size_t width = 0;
  for (unsigned char c : text) width += c < 0x80 ? 1 : ((c & 0xC0) == 0xC0 ? 2 : 0);
  return width;
}

}  // namespace

void DiskCells::SetCell(int column, std::optional<double> mbps) {
  if (column < 1 || column > 7) return;
  cells[column - 1] = mbps;
}

std::optional<double> DiskCells::Value(int column) const {
  if (column < 1 || column > 7 || !cells[column - 1]) return std::nullopt;
  return *cells[column - 1];
}

std::string DiskCells::Text(int column) const {
  std::optional<double> v = Value(column);
  return v ? DiskSpeedText(*v) + "MB/s" : kDiskNotTested;
}

Json::Value DiskCells::ToJson() const {
  Json::Value out(Json::objectValue);
  Json::Value iops(Json::objectValue);
  for (int column = 1; column <= 7; ++column) {
    const char* key = kDiskCellKeys[column - 1];
    std::optional<double> v = Value(column);
    // The value a reader of the "%.2f" cell text would get.
    out[key] = v ? Json::Value(std::round(static_cast<float>(*v) * 100.0) / 100.0) : Json::Value();
    if (column >= 4) iops[key] = v ? Json::Value(static_cast<Json::UInt64>(IopsOf(*v))) : Json::Value();
  }
  out["iops"] = iops;
  return out;
}

std::string DiskCellText(std::optional<double> mbps) {
  if (!mbps) return kDiskNotTested;
  char text[64];
  std::snprintf(text, sizeof text, "%.2fMB/s", *mbps);
  return text;
}

std::string ShownCellText(const std::string& cell) { return cell == kDiskNotTested ? Tr(kDiskNotTested) : cell; }

std::string ShownScoreText(const std::string& score) {
  return score == kDiskScorePending ? Tr(kDiskScorePending) : score;
}

double DiskCellFigure(std::optional<double> mbps) {
  if (!mbps) return 0;
  // Through the very text the list shows, read back in single precision.
  std::string text = DiskCellText(mbps);
  return static_cast<double>(std::strtof(text.c_str(), nullptr));
}

std::string DiskReportText(const DiskReport& report) {
  std::string text = FormatText(Tr("硬盘：%s"), report.driveText.c_str());
  if (!report.board.empty()) text += FormatText(Tr("  主板：%s"), report.board.c_str());
  // The label is one of kDiskRowLabels; a label already translated is left as it is.
  text += "\n" + std::string(Tr(report.rowLabel.c_str()));
  if (report.writeGiB > 0) text += FormatText(Tr("  写入%.2f GB"), report.writeGiB);
  text += "\n";
  // Labels padded to 12 terminal columns, or to the widest label where one is wider.
  size_t columns = 12;
  for (const char* label : kDiskCellLabels) columns = std::max(columns, TerminalWidth(Tr(label)));
  for (int column = 1; column <= 7; ++column) {
    const std::string& cell = report.cells[static_cast<size_t>(column - 1)];
    const std::string label = Tr(kDiskCellLabels[static_cast<size_t>(column - 1)]);
    const size_t width = TerminalWidth(label);
    text += "  " + label + std::string(columns - width, ' ') + " " + (cell.empty() ? "-" : ShownCellText(cell));
    if (column >= 4 && cell.find("MB/s") != std::string::npos)
      text += "  " + std::to_string(IopsOf(std::strtof(cell.c_str(), nullptr))) + " IOPS";
    text += "\n";
  }
  const std::string score = report.score.empty() ? std::string("-") : ShownScoreText(report.score);
  text += FormatText(Tr("得分：%s"), score.c_str()) + "\n";
  std::string when = "-";
  if (report.time > 0) {
    std::tm local{};
    char stamp[32];
    if (localtime_r(&report.time, &local) && std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local))
      when = stamp;
  }
  text += FormatText(Tr("时间：%s"), when.c_str()) + "\n";
  return text;
}

std::optional<uint64_t> ParseByteSize(const std::string& text) {
  if (text.empty()) return std::nullopt;
  uint64_t value = 0;
  size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    uint64_t digit = static_cast<uint64_t>(text[i] - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (i == 0) return std::nullopt;
  unsigned shift = 0;
  if (i < text.size()) {
    if (i + 1 != text.size()) return std::nullopt;
    switch (text[i]) {
      case 'K': case 'k': shift = 10; break;
      case 'M': case 'm': shift = 20; break;
      case 'G': case 'g': shift = 30; break;
      case 'T': case 't': shift = 40; break;
      default: return std::nullopt;
    }
  }
  if (value == 0 || value > (std::numeric_limits<uint64_t>::max() >> shift)) return std::nullopt;
  return value << shift;
}

}  // namespace sorvanta::diskbench
