// The per-disk history of the disk benchmark: one list file per drive line with the text
// of the four result rows, and per row a score file and a chart file.
//
// Layouts (all files binary): the list file holds four lines, each the seven cell texts of
// a row followed by "," ("NULL" for an empty cell) and "\r\n"; the score file holds the
// score as a signed 32-bit little-endian integer; the chart file holds 404 little-endian
// doubles: the 101 x positions, then the 101 write, read and reference-line values.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace sorvanta::diskbench {

constexpr int kChartPoints = 101;
constexpr size_t kChartFileBytes = 4 * kChartPoints * sizeof(double);  // 3,232

// Cell texts of columns 1..7 (index 0..6) of the four rows; "" is an empty cell.
using DiskRowCells = std::array<std::string, 7>;
using DiskResultTable = std::array<DiskRowCells, 4>;

// The x positions (GB) and the write, read and reference lines (MB/s) of the chart.
struct DiskChartData {
  std::array<double, kChartPoints> x{};
  std::array<std::array<double, kChartPoints>, 3> y{};
};

// <local application data>/DRIVEHISTORYV2/ (with the trailing "/").
std::string DiskHistoryFolder();
// The base name of a drive line's files: at most 127 bytes (cut on a character boundary),
// with ":", "/", "\" and control characters replaced by "-" so that it is one file name.
std::string DiskHistoryBaseName(const std::string& driveText);

std::string EncodeHistoryList(const DiskResultTable& table);
// Applies a list file to table: field k of line r goes to row r, column k + 1 ("NULL" gives
// an empty cell); cells the text does not reach keep their text. Lines past the fourth and
// fields past the seventh are ignored.
void ApplyHistoryList(const std::string& text, DiskResultTable* table);
std::string EncodeScore(int32_t score);
// nullopt unless the bytes are at least 4 long.
std::optional<int32_t> DecodeScore(const std::string& bytes);
std::string EncodeChart(const DiskChartData& chart);
// nullopt unless the bytes are exactly 3,232 long.
std::optional<DiskChartData> DecodeChart(const std::string& bytes);

// The files of one drive line inside a history folder (which ends in "/").
struct DiskHistoryFiles {
  std::string folder;
  std::string base;
  std::string List() const { return folder + base; }
  std::string Score(int row) const { return folder + base + "_" + std::to_string(row) + "_score.bin"; }
  std::string Chart(int row) const { return folder + base + "_lines_" + std::to_string(row); }
};

// Writes the list file and the score and chart files of row, creating the folder (one
// level) when missing. Each file is replaced whole (written beside it, flushed, renamed),
// so a crash never leaves half a file; a file that cannot be written is skipped. False when
// any file failed.
bool SaveDiskHistory(const DiskHistoryFiles& files, const DiskResultTable& table, int row, int32_t score,
                     const DiskChartData& chart);

// When a history file was last written (seconds since 1970), 0 when it cannot be read.
std::time_t HistoryFileTime(const std::string& path);

// The whole content of a file, or nullopt when it cannot be read.
std::optional<std::string> ReadHistoryFile(const std::string& path);

// The score text as the history stores it: a decimal integer (blanks around allowed) in
// the 32-bit range, else 0.
int32_t ScoreFromText(const std::string& text);
// The number a cell text starts with, read like "%f" in single precision; 0 when none.
double CellNumber(const std::string& text);

}  // namespace sorvanta::diskbench
