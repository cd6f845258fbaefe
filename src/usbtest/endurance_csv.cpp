#include "usbtest/endurance_csv.h"

#include <cstdio>

#include "base/text.h"

namespace sorvanta::usbtest {
namespace {

std::string WithoutMs(std::string text) {
  for (size_t at; (at = text.find("ms")) != std::string::npos;) text.erase(at, 2);
  return text;
}

}  // namespace

std::string UsbTestCsvText(const std::vector<UsbTestRow>& rows) {
  std::string text = "编号,文件,识别U盘用时(ms),拷贝用时(ms),校验结果\r\n";
  for (const auto& row : rows) {
    // The unit goes from the two time columns only: a path may well contain "ms".
    for (int c = 0; c < kUsbTestColumns; ++c) {
      const std::string& cell = row[static_cast<size_t>(c)];
      text += (c == kColReconnect || c == kColCopy ? WithoutMs(cell) : cell) + ",";
    }
    text += "\r\n";
  }
  return Utf8ToGbk(text);
}

bool WriteUsbTestCsv(const std::string& path, const std::vector<UsbTestRow>& rows) {
  std::string text = UsbTestCsvText(rows);
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (std::fclose(f) != 0) ok = false;
  return ok;
}

void UsbTestTable::AddRow(int row, const std::string& number, const std::string& path) {
  if (row < 0) return;
  if (rows_.size() <= static_cast<size_t>(row)) rows_.resize(static_cast<size_t>(row) + 1);
  rows_[static_cast<size_t>(row)][kColNumber] = number;
  rows_[static_cast<size_t>(row)][kColFile] = path;
}

void UsbTestTable::SetCell(int row, int column, const std::string& text) {
  if (row < 0 || static_cast<size_t>(row) >= rows_.size() || column < 0 || column >= kUsbTestColumns) return;
  rows_[static_cast<size_t>(row)][static_cast<size_t>(column)] = text;
}

}  // namespace sorvanta::usbtest
