// The endurance test's results as CSV, and a results table that follows a run's reports.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "usbtest/endurance_run.h"

namespace sorvanta::usbtest {

using UsbTestRow = std::array<std::string, kUsbTestColumns>;

// The CSV text in GBK: the header line, then per row every cell followed by a comma (the
// two times without their "ms"), lines ending in CR LF.
std::string UsbTestCsvText(const std::vector<UsbTestRow>& rows);
// Writes the text byte for byte through a synced temporary file beside path, renamed over
// it; false (with path as it was) when the file cannot be written.
bool WriteUsbTestCsv(const std::string& path, const std::vector<UsbTestRow>& rows);

// The results list as a run fills it (RunStarted empties it).
class UsbTestTable {
 public:
  void Clear() { rows_.clear(); }
  void AddRow(int row, const std::string& number, const std::string& path);
  void SetCell(int row, int column, const std::string& text);
  const std::vector<UsbTestRow>& rows() const { return rows_; }

 private:
  std::vector<UsbTestRow> rows_;
};

}  // namespace sorvanta::usbtest
