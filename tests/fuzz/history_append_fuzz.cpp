// The record piece of a score reply, appended to the history file: whatever the service
// sends, the file must stay one JSON array holding every record stored so far.

#include <cstdio>
#include <string>

#include "cpubench/cpu_history.h"
#include "cpubench/exam_session.h"
#include "fuzz_input.h"

namespace {

std::string HistoryPath() { return sorvanta::fuzz::ScratchFolder() + "/cputest.bin"; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace sorvanta;
  using namespace sorvanta::cpubench;
  const std::string path = HistoryPath();
  std::remove(path.c_str());
  fuzz::Require(AppendCpuHistory(path, "{\"singlecore\":1}"));
  const bool stored = AppendCpuHistory(path, fuzz::Text(data, size));
  fuzz::Require(LoadCpuHistory(path).size() == (stored ? 2u : 1u));
  fuzz::Require(AppendCpuHistory(path, "{\"singlecore\":3}"));
  const std::vector<CpuScoreRecord> history = LoadCpuHistory(path);
  fuzz::Require(history.size() == (stored ? 3u : 2u) && history.back().singlecore == 3);
  return 0;
}
