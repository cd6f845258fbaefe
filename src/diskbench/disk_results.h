// The seven result cells of one disk run: their figures as the engine reports them, the
// text the result list shows and the figure a score request carries.
#pragma once

#include <json/json.h>

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace sorvanta::diskbench {

// List headings of columns 1..7 (index 0..6), in Chinese (shown through Tr); the submission
// keys are kDiskCellKeys.
extern const std::array<const char*, 7> kDiskCellLabels;
// "未测试": the text of a cell without a value. Result tables and the history file keep it
// in Chinese, so that a later run in either language reads it back; shown through Tr.
extern const char* const kDiskNotTested;
// "待评分": the score text while a run waits for its score; shown through Tr.
extern const char* const kDiskScorePending;

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
// A cell text of a result table as people see it: "未测试" in the current language.
std::string ShownCellText(const std::string& cell);
// A score text as people see it: "待评分" in the current language.
std::string ShownScoreText(const std::string& score);
// The figure a score request carries for a cell: its result-list text read back as a
// single-precision number, so that the service gets what the list shows; 0 for "未测试".
double DiskCellFigure(std::optional<double> mbps);

// One result row as the disk window copies it and the command line prints it.
struct DiskReport {
  std::string driveText;  // the drive box line ("/ Model X")
  std::string board;      // board maker and product, "" when unknown
  std::string rowLabel;   // one of kDiskRowLabels ("缺省20G", ...), shown translated
  double writeGiB = 0;    // what each test file held; 0 when unknown
  std::array<std::string, 7> cells;  // the result table's texts of columns 1..7 ("" empty, "未测试")
  std::string score;      // the score text as shown ("-", "待评分", "4321")
  std::time_t time = 0;   // when the row was measured; 0 when unknown
};
// Plain text in the current language, one item a line: "硬盘：…  主板：…", the row and its
// size, the seven figures with their units (IOPS beside the 4 KiB ones), "得分：…" and
// "时间：…" (local time).
std::string DiskReportText(const DiskReport& report);

// Parses a byte count: digits with an optional K, M, G or T (powers of 1024, either case).
// nullopt for anything else, for 0 and on overflow.
std::optional<uint64_t> ParseByteSize(const std::string& text);

}  // namespace sorvanta::diskbench
