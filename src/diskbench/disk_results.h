// The seven result cells of one disk run, as the command line and scripts see them.
#pragma once

#include <json/json.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace sorvanta {

// List headings of columns 1..7 (index 0..6); the submission keys are kDiskCellKeys.
extern const std::array<const char*, 7> kDiskCellLabels;

struct DiskResults {
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

// Parses a byte count: digits with an optional K, M or G (powers of 1024, either case).
// nullopt for anything else, for 0 and on overflow.
std::optional<uint64_t> ParseByteSize(const std::string& text);

}  // namespace sorvanta
