// Runs the registered Google Benchmark cases and keeps each one's time per iteration, so that a
// program can print ratios against its raw baseline measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>

namespace pellora::bench {

class RecordingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
      nanosPerIteration[run.benchmark_name()] =
          run.GetAdjustedRealTime() * multiplier(run.time_unit);
      for (const auto& [name, counter] : run.counters) counters[run.benchmark_name()][name] = counter;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  static double multiplier(benchmark::TimeUnit unit) {
    switch (unit) {
      case benchmark::kSecond: return 1e9;
      case benchmark::kMillisecond: return 1e6;
      case benchmark::kMicrosecond: return 1e3;
      default: return 1.0;
    }
  }

  std::map<std::string, double> nanosPerIteration;
  std::map<std::string, std::map<std::string, double>> counters;
};

// True when argv asks for the quick variant that CTest runs (label bench-smoke).
inline bool smokeRun(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--smoke") return true;
  }
  return false;
}

}  // namespace pellora::bench
