#include "diskbench/disk_results.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "diskbench/disk_engine.h"
#include "service/wire_protocol.h"

namespace sorvanta::diskbench {

const std::array<const char*, 7> kDiskCellLabels = {"缓内写入", "缓外写入", "顺序读取",   "4K随机写",
                                                    "4K随机读", "64T4K随机写", "64T4K随机读"};

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
  return v ? DiskSpeedText(*v) + "MB/s" : "未测试";
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
  if (!mbps) return "未测试";
  char text[64];
  std::snprintf(text, sizeof text, "%.2fMB/s", *mbps);
  return text;
}

double DiskCellFigure(std::optional<double> mbps) {
  if (!mbps) return 0;
  // Through the very text the list shows, read back in single precision.
  std::string text = DiskCellText(mbps);
  return static_cast<double>(std::strtof(text.c_str(), nullptr));
}

std::string DiskReportText(const DiskReport& report) {
  std::string text = "硬盘：" + report.driveText;
  if (!report.board.empty()) text += "  主板：" + report.board;
  text += "\n" + report.rowLabel;
  if (report.writeGiB > 0) {
    char size[64];
    std::snprintf(size, sizeof size, "  写入%.2f GB", report.writeGiB);
    text += size;
  }
  text += "\n";
  for (int column = 1; column <= 7; ++column) {
    const std::string& cell = report.cells[static_cast<size_t>(column - 1)];
    // Labels padded to 12 terminal columns (a Chinese character takes two).
    const std::string label = kDiskCellLabels[static_cast<size_t>(column - 1)];
    size_t width = 0;
    for (unsigned char c : label) width += c < 0x80 ? 1 : ((c & 0xC0) == 0xC0 ? 2 : 0);
    text += "  " + label + std::string(width < 12 ? 12 - width : 0, ' ') + " " + (cell.empty() ? "-" : cell);
    if (column >= 4 && cell.find("MB/s") != std::string::npos)
      text += "  " + std::to_string(IopsOf(std::strtof(cell.c_str(), nullptr))) + " IOPS";
    text += "\n";
  }
  text += "得分：" + (report.score.empty() ? std::string("-") : report.score) + "\n";
  std::string when = "-";
  if (report.time > 0) {
    std::tm local{};
    char stamp[32];
    if (localtime_r(&report.time, &local) && std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local))
      when = stamp;
  }
  text += "时间：" + when + "\n";
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
