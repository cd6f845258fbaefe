// What a capacity check concluded about a drive, as one small value that any way of testing
// a drive can fill, and the one text and JSON form the window and the command line show.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/json.h>

#include "base/language.h"
#include "capacity/real_capacity.h"

namespace sorvanta::capacity {

enum class VerdictKind {
  kNone,        // no verdict: a wipe, or nothing was written
  kPassed,      // everything written came back intact, no error
  kFailed,      // data was lost: the drive holds less than it claims, or it damages data
  kErrors,      // writes or syncs failed, but what was read back was intact
  kStopped,     // the user stopped the run: nothing can be concluded
  kIncomplete,  // the run ended early for a reason that says nothing about the drive
};

// Where the bytes written went, by what the drive gave back for them. Adds up to the bytes
// written when the drive was judged (or passed).
struct VerdictBreakdown {
  uint64_t intactBytes = 0;       // its own data
  uint64_t overwrittenBytes = 0;  // data of another block of this run
  uint64_t lostBytes = 0;         // nothing of this run
  uint64_t unreadableBytes = 0;   // the read failed
  uint64_t damagedBytes = 0;      // its own block, but with other bytes
  uint64_t Total() const { return intactBytes + overwrittenBytes + lostBytes + unreadableBytes + damagedBytes; }
};

struct Verdict {
  VerdictKind kind = VerdictKind::kNone;
  FailureKind failure = FailureKind::kNone;  // kFailed: how the data was lost
  uint64_t claimedBytes = 0;   // the space the drive offered for the test
  uint64_t estimateBytes = 0;  // what it really holds: the intact bytes, or the estimate of a failure
  bool breakdownKnown = false;
  VerdictBreakdown breakdown;
  int errors = 0;
  double writeMBps = 0;  // average speeds, MB = 1,048,576 bytes; 0 when not measured
  double readMBps = 0;
  // A quick probe's verdict: it wrote a few sectors instead of the whole space, so it can
  // find a fake but never pass a drive; its time and the bytes it wrote belong to it.
  bool quick = false;
  double seconds = 0;
  uint64_t bytesWritten = 0;
};

// Sums the fates of the written blocks by what each one held.
VerdictBreakdown BreakdownOfFates(const std::vector<BlockFate>& fates);

// "passed", "failed", "errors", "stopped", "incomplete"; empty for kNone.
std::string VerdictKindName(VerdictKind kind);
// The verdict line, e.g. "检测完成，未发现错误。有效容量 7.40 GB（可用空间 7.40 GB），...";
// empty for kNone. Its source is the Chinese line (what "verdictText" of the JSON holds in
// every language), shown the line in the current language.
Message VerdictMessage(const Verdict& verdict);
// VerdictMessage(verdict).shown.
std::string VerdictLine(const Verdict& verdict);
// The line, in the current language, for a test file the run could not delete.
std::string KeptFileLine(const std::string& path);
// Adds the verdict's keys to a JSON object: "verdict", "verdictText" (the Chinese line), "writeMBps",
// "readMBps", "breakdown", "realCapacityEstimate" and "failureKind" (the last two null
// unless data was lost). A quick verdict adds "quick", "seconds" and "bytesWritten", and
// its "verdict" is "noSignOfFake" where a full check would say "passed".
void AddVerdictJson(const Verdict& verdict, Json::Value* out);

}  // namespace sorvanta::capacity
