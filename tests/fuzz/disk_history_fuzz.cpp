// The disk benchmark's history files as the disk window reads them back: the list file,
// a score file and a chart file, all one input (cut at the first two NUL bytes).
#include "diskbench/disk_history.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace sorvanta;
  using namespace sorvanta::diskbench;
  const std::string input = fuzz::Text(data, size);
  const size_t first = input.find('\0');
  const std::string list = input.substr(0, first);
  const std::string rest = first == std::string::npos ? std::string() : input.substr(first + 1);

  DiskResultTable table;
  ApplyHistoryList(list, &table);
  // Reading back what was written keeps every row whose first cell does not start with a
  // line end (which the reader takes for part of the line break).
  DiskResultTable again;
  ApplyHistoryList(EncodeHistoryList(table), &again);
  for (size_t r = 0; r < table.size(); ++r) {
    const std::string& first = table[r][0];
    if (first.empty() || (first[0] != '\r' && first[0] != '\n')) fuzz::Require(again[r] == table[r]);
  }
  for (const DiskRowCells& row : table)
    for (const std::string& cell : row) CellNumber(cell);
  ScoreFromText(list);

  if (const auto score = DecodeScore(rest)) fuzz::Require(EncodeScore(*score) == rest.substr(0, 4));
  DecodeChart(rest);
  return 0;
}
