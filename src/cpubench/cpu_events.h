// What a CPU exam session reports while it runs: status lines, progress and its end.
//
// The session's driver thread and its exam workers call these from their own threads,
// one call at a time per thread but several threads at once. Each call returns once the
// receiver has handled it (a window copies the texts, which are valid only during the
// call, and carries them to its own thread).
#pragma once

#include <string>

namespace sorvanta::cpubench {

class CpuEvents {
 public:
  virtual ~CpuEvents() = default;
  // A status line for the log, from the driver or from a worker.
  virtual void Status(const std::string& line) = 0;
  // Progress of the whole session, percent 0..100.
  virtual void Progress(int percent) = 0;
  // The session is over: the result text (or error text) and a second text (the stored
  // record when scored, else detail, maybe empty). The last call of a session.
  virtual void Done(const std::string& result, const std::string& second) = 0;
};

}  // namespace sorvanta::cpubench
