// The CPU history file "cputest.bin" as the window and the CLI read it, and every row and
// age label made from what it holds.
#include <ctime>

#include "cpubench/cpu_history.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace sorvanta;
  using namespace sorvanta::cpubench;
  const std::vector<CpuScoreRecord> history = ParseCpuHistory(fuzz::Text(data, size));
  for (const CpuScoreRecord& r : history) {
    fuzz::Require(r.coreValues.size() == r.coreRatios.size());
    CpuRecordRows(r);
    CpuRecordAgeLabel(r, std::time_t{1765000000});
  }
  const int count = static_cast<int>(history.size());
  fuzz::Require(PreviousRecordIndex(count - 1, count) < count && NextRecordIndex(count - 1, count) < count);
  return 0;
}
