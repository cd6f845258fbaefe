// A sink for the disk benchmarks that keeps only the result cells the engine reports.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "diskbench/disk_results.h"
#include "base/bench_sink.h"

namespace sorvanta::bench {

class CellSink : public BenchSink {
 public:
  void Log(const std::string&) override {}
  void Done(const std::string&, const std::string&) override {}
  void Progress(int, int, bool) override {}
  void Speed(std::optional<double>, std::optional<double>, bool) override {}
  void Bar(double, int) override {}
  // Cells come from the 64 workers' driver as well, hence the lock.
  void Cell(std::optional<double> v, int column) override {
    std::lock_guard<std::mutex> lock(mu);
    results.SetCell(column, v);
  }
  void RowDone(int) override {}
  std::mutex mu;
  DiskResults results;
};

}  // namespace sorvanta::bench
