// Timing of the CPU exam. The defaults are the exam's real constants; tests shorten
// them so that a whole session runs in a few seconds. Nothing but tests and the
// benchmark programs should change them.
#pragma once

#include <cstdint>
#include <functional>

namespace sorvanta::cpubench {

struct CpuExamOptions {
  // Per-worker time budget of the block loop, in milliseconds.
  uint32_t examBudgetMs = 10000;
  // One pacing step of a phase: the phase sends ten progress steps and then waits one
  // more step after "停笔！", so a phase lasts 11 steps (11 s by default).
  uint32_t paceStepMs = 1000;
  // Counts the logical processors; empty means CountLogicalProcessors().
  std::function<int()> countProcessors;
};

}  // namespace sorvanta::cpubench
