// The CPU score history "sorvanta/cputest.bin": a JSON array of the records that the service
// returned, oldest first. The session appends to it (exam_session.h); the window loads
// it and shows one record at a time as rows plus an age label, made here as plain data.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace sorvanta::cpubench {

// One past run. Missing or ill-typed keys read as 0 or an empty list.
struct CpuScoreRecord {
  int32_t singlecore = 0;            // "singlecore"
  double ratio = 0;                  // "ratio"
  std::vector<int32_t> coreValues;   // "multicore"[i]["value"]
  std::vector<double> coreRatios;    // "multicore"[i]["ratio"], same length as coreValues
  double scoreratio = 0;             // "scoreratio" (kept, not shown)
  int64_t runtime = 0;               // "runtime", seconds since the epoch (double, truncated)
  int32_t maxsinglecore = 0;         // "maxsinglecore" when an integer, else 0
  int32_t maxmulticore = 0;          // "maxmulticore" when an integer, else 0
};

// Path of the history file, $XDG_DATA_HOME/sorvanta/cputest.bin, used by the window and the
// command line alike. A history left directly in $XDG_DATA_HOME by older versions is moved
// there first (MoveCpuHistory). Empty without a home folder.
std::string CpuHistoryPath();

// Moves the history at oldPath to newPath without losing a record: a rename, or a copy read
// back before the old file goes when they lie on different file systems; when both exist,
// the old records followed by the new ones (each kept byte for byte); when they cannot be
// joined, the old file moves beside newPath as cputest-<n>.bin. A link at oldPath is left
// alone. True when nothing is left at oldPath.
bool MoveCpuHistory(const std::string& oldPath, const std::string& newPath);

// Parses the history text (comments allowed). Text that does not parse, or is not an
// array, gives an empty history; elements that are not objects give all-zero records.
std::vector<CpuScoreRecord> ParseCpuHistory(const std::string& text);
// Reads and parses the file; a missing or unreadable file gives an empty history.
std::vector<CpuScoreRecord> LoadCpuHistory(const std::string& path);
// Convenience: LoadCpuHistory(CpuHistoryPath()).
std::vector<CpuScoreRecord> LoadCpuHistory();

// One row of the results list: columns "项目", "数值", "系数".
struct CpuRecordRow {
  std::string item;
  std::string value;
  std::string ratio;  // empty when the row has none
};

// The rows that show record r: "单核跑分", "核心<i>跑分" per core, "多核总分", "倍率",
// "跑分时间" (local time), and "单核参考"/"多核参考" when r.maxsinglecore >= 1.
// A single-core score of 0 shows "倍率" as "0.00".
std::vector<CpuRecordRow> CpuRecordRows(const CpuScoreRecord& r);

// How long ago r was made, seen at now: "刚刚" under a minute (and for future stamps),
// "<m> 分钟前", "<h.h> 小时前", "<d.d> 天前".
std::string CpuRecordAgeLabel(const CpuScoreRecord& r, std::time_t now);

// The record as text, as the command line prints it and the window copies it: a header
// line "项目  数值  系数", one line per row with the columns padded to line up on a terminal
// (CJK characters two columns wide), then the age label in parentheses; each line ends in "\n".
std::string CpuRecordText(const std::vector<CpuRecordRow>& rows, const std::string& age);

// Browsing: the index shown after "上一次" / "下一次", wrapping around; -1 stays -1.
int PreviousRecordIndex(int shown, int count);
int NextRecordIndex(int shown, int count);

}  // namespace sorvanta::cpubench
