// The seven result cells of one disk run: their figures as the engine reports them, the
// text the result list shows and the figure a score request carries.
#pragma once

#include <json/json.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace sorvanta::diskbench {

// List headings of columns 1..7 (index 0..6); the submission keys are kDiskCellKeys.
extern const std::array<const char*, 7> kDiskCellLabels;

struct DiskCells {
  // A column that was never written stays empty; one written with "none" holds nullopt.
  std::array<std::optional<std::optional<double>>, 7> cells;

  // Records a cell notification; columns outside 1..7 are ignored.
  void SetCell(int column, std::optional<double> mbps);
  // The MB/s of a column, if it holds a measured value.
  std::optional<double> Value(int column) const;
  // "812.34MB/s", or "未测试" for a column without a value.
  std::string Text(int column) const;
  // Keys linerbufferwrite..mtfourkread (MB/s, rounded to 0.01, null when not measured)
  // and "iops" with the IOPS of the four 4 KiB columns.
  Json::Value ToJson() const;
};

// The result list's text of a cell: "%.2f" of the MB/s + "MB/s", or "未测试" without one.
std::string DiskCellText(std::optional<double> mbps);
// The figure a score request carries for a cell: its result-list text read back as a
// single-precision number, so that the service gets what the list shows; 0 for "未测试".
double DiskCellFigure(std::optional<double> mbps);

// Parses a byte count: digits with an optional K, M or G (powers of 1024, either case).
// nullopt for anything else, for 0 and on overflow.
std::optional<uint64_t> ParseByteSize(const std::string& text);

}  // namespace sorvanta::diskbench
