// The CPU exam session: the driver thread that fetches the exam papers named in the
// token, runs the single-core and multi-core phases, submits the encrypted answers and
// stores the score record in "cputest.bin".
//
// It reports through the current benchmark sink (base/bench_sink.h): status lines
// (Log), progress (Progress(p, -1, true)) and, at the end, Done(result text, second text).
#pragma once

#include <json/value.h>

#include <string>
#include <vector>

#include "cpubench/exam_options.h"
#include "cpubench/exam_worker.h"

namespace sorvanta {

// What a session ended with; the same texts go to the sink's Done.
struct CpuExamOutcome {
  bool finished = false;  // Done was sent
  bool scored = false;    // the service returned a result and a record
  std::string result;     // result text (or error text)
  std::string second;     // the stored record when scored; else detail (maybe empty)
};

// Thread entry of a run, started with its own copy of the device object (which carries
// the whole token reply in "token"). Runs the whole session and returns nothing;
// everything it says goes to the current benchmark sink. It ends with Done in every case
// but one: a credential that decodes to 16 bytes or fewer ends it silently (the window
// never starts a run with such a token). A result too large for the 1 MiB submission
// buffer is not sent: the status line and Done say "成绩数据超过1MB，无法提交！".
void RunCpuExam(Json::Value device);
// The same with explicit timing (tests) and the outcome returned (the command line).
CpuExamOutcome RunCpuExamSession(Json::Value device, const CpuExamOptions& options);

// Phase runner: joins leftovers, starts one ExamWorker per record pinned to CPUs
// 0..count-1 when count equals the number of records (otherwise returns at once and the
// records stay empty), paces ten progress steps of +5 on *progress, says "停笔！" and
// joins the workers.
void RunExamPhase(int* progress, std::vector<GM_ExamData>* records, int count,
                  const CpuExamOptions& options = CpuExamOptions());

// Logical processors available to this process: the CPUs of its affinity set.
int CountLogicalProcessors();

// --- Pieces of the session, exposed for the tests. ---

// The result object: the device object with "singlecore" added, "token" removed and
// "multicore" added, from the records of the two phases.
Json::Value BuildResultObject(Json::Value device, const GM_ExamData& single,
                              const std::vector<GM_ExamData>& multi);

// Appends one record to the history file: creates "[\r\n" + record + "\r\n]", or turns
// the final "]" of an existing file into ",\r\n" + record + "\r\n]". A record that is not
// one JSON object is refused (it would break the array for every later reader). False when
// the record is refused or the file can neither be opened nor created.
bool AppendCpuHistory(const std::string& path, const std::string& record);

}  // namespace sorvanta
