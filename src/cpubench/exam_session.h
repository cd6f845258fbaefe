// The CPU exam session: the driver thread that fetches the exam papers named in the
// token, runs the single-core and multi-core phases, submits the encrypted answers and
// stores the score record in "cputest.bin".
//
// It reports through the CpuEvents it is given: status lines, progress and, at the end,
// Done(result text, second text).
#pragma once

#include <json/value.h>

#include <stop_token>
#include <string>
#include <vector>

#include "cpubench/cpu_events.h"
#include "cpubench/exam_options.h"
#include "cpubench/exam_worker.h"

namespace sorvanta::cpubench {

// What a session ended with; the same texts go to the events' Done.
struct CpuExamOutcome {
  bool finished = false;  // Done was sent
  bool scored = false;    // the service returned a result and a record
  std::string result;     // result text (or error text); a fixed error text in Chinese, as --json keeps it
  std::string second;     // the stored record when scored; else detail (maybe empty)
  std::string shown{};    // result as Done gave it, in the run's language
};

// Runs a whole session on the calling thread with the device object (which carries the
// whole token reply in "token"), reporting to events from this thread and the workers'.
// It ends with Done in every case but two, which end silently without a submission: a
// credential that decodes to 16 bytes or fewer (the window never starts a run with such a
// token), and a stop requested through stop by the time both phases are over (the only
// point where stop is looked at: the papers are worked and paced in full either way). A
// result too large for the 1 MiB submission buffer is not sent: the status line and Done
// say "成绩数据超过1MB，无法提交！".
CpuExamOutcome RunCpuExamSession(Json::Value device, const CpuExamOptions& options, CpuEvents& events,
                                 std::stop_token stop = {});

// Phase runner: starts one ExamWorker per record pinned to CPUs 0..count-1 when count
// equals the number of records (otherwise returns at once and the records stay empty),
// paces ten progress steps of +5 on *progress, says "停笔！" and joins the workers, which
// belong to this call alone.
void RunExamPhase(int* progress, std::vector<GM_ExamData>* records, int count, const CpuExamOptions& options,
                  CpuEvents& events);

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

}  // namespace sorvanta::cpubench
