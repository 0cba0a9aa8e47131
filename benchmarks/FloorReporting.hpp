// Shared by the floor programs: the registration of one floor at the suite's sizes, and a main
// that writes the medians as tab-separated rows (build, measure, m, seconds) for BenchmarkReport.
#pragma once

#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#define ONDREL_FLOOR(name)            \
  BENCHMARK(name)                     \
      ->Arg(100)                      \
      ->Arg(500)                      \
      ->Arg(1000)                     \
      ->Arg(2000)                     \
      ->Unit(benchmark::kMillisecond) \
      ->UseRealTime()                 \
      ->MinTime(0.3)                  \
      ->Repetitions(3)                \
      ->ReportAggregatesOnly(true)

namespace Ondrel::Benchmarks {

struct Floor {
  std::string measure;
  long long m;
  double seconds;
};

class FloorReporter : public benchmark::ConsoleReporter {
 public:
  std::vector<Floor> floors;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median" ||
          run.error_occurred) {
        continue;
      }
      // "BM_stream" with argument "2000" -> measure "stream", m 2000.
      floors.push_back(
          {run.run_name.function_name.substr(3),
           std::stoll(run.run_name.args),
           run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit)});
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

// Google Benchmark's flags, plus --floors=FILE (where to write the rows) and --build=NAME (the
// first column, default "eigen").
inline int runFloors(int argc, char** argv) {
  std::string floorsPath;
  std::string build = "eigen";
  std::vector<char*> arguments;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--floors=", 9) == 0) {
      floorsPath = argv[i] + 9;
    } else if (std::strncmp(argv[i], "--build=", 8) == 0) {
      build = argv[i] + 8;
    } else {
      arguments.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(arguments.size());
  benchmark::Initialize(&count, arguments.data());
  if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 1;
  FloorReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  if (!floorsPath.empty()) {
    std::ofstream out(floorsPath);
    out.precision(10);
    out << "build\tmeasure\tm\tseconds\n";
    for (const Floor& f : reporter.floors) {
      out << build << '\t' << f.measure << '\t' << f.m << '\t' << f.seconds << '\n';
    }
    if (!out) return 1;
  }
  return 0;
}

}  // namespace Ondrel::Benchmarks
