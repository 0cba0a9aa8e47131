// This library against the peer solvers: every solver on the 22 problems of the MINPACK-1 test
// set from x0, 10 x0 and 100 x0 ("testset/..."), and on two sparse problems and the dense
// discrete integral equation at growing m ("scaling/..."). The two sparse problems are also solved
// by the solvers that take a sparse Jacobian (SparseBroyden, KINSOL), up to m = 10^5. Time per
// solve is the median of the repetitions; the evaluation counts and the outcome are those of the
// timed solves.
//
// Besides Google Benchmark's own flags: --results=FILE writes one tab-separated row per
// benchmark, the input of BenchmarkReport.
#include <benchmark/benchmark.h>

#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "SolverRunners.hpp"

namespace {

using namespace Ondrel::Benchmarks;

struct Row {
  std::string group;
  std::string solver;
  std::string family;
  Eigen::Index m = 0;
  double factor = 1.0;
  PeerOutcome outcome;
  double seconds = -1.0;
};

std::map<std::string, Row>& rows() {
  static std::map<std::string, Row> table;
  return table;
}

std::string identifier(std::string text) {
  for (char& c : text) {
    if (c == ' ') c = '_';
  }
  return text;
}

void registerRun(const std::string& group,
                 const SolverEntry& solver,
                 const TestProblem& problem,
                 double factor,
                 bool slow) {
  const std::string name = group + "/" + solver.name + "/" + identifier(problem.name()) + "/x" +
                           std::to_string(static_cast<int>(factor));
  rows()[name] =
      Row{group, solver.name, familyName(problem.family()), problem.size(), factor, {}, -1.0};
  auto* benchmark = benchmark::RegisterBenchmark(
      name.c_str(), [name, make = solver.make, problem, factor, slow](benchmark::State& state) {
        SilencedOutput silence;
        const std::unique_ptr<Runner> runner = make(problem);
        const Eigen::VectorXd start = problem.start(factor);
        PeerOutcome outcome;
        // Every solver is timed in its steady state: a first, untimed solve builds what a peer
        // builds in its set-up (KINSOL its matrix's pattern, this library on its first Jacobian)
        // and touches the memory a solve reuses. Slow rows time one solve, and keep it cold.
        if (!slow) runner->run(start);
        for (auto _ : state) {
          outcome = runner->run(start);
          // An integer: this version of DoNotOptimize can garble a double it pins in a register.
          benchmark::DoNotOptimize(outcome.residualEvaluations);
        }
        rows()[name].outcome = outcome;
        state.counters["solved"] = outcome.residualNorm <= kSolvedResidualNorm;
        state.counters["nfev"] = static_cast<double>(outcome.residualEvaluations);
        state.counters["njev"] = static_cast<double>(outcome.jacobianEvaluations);
      });
  benchmark->Unit(benchmark::kMicrosecond)->UseRealTime();
  if (slow) {
    // Seconds per solve: one timed solve is all the 15-minute budget allows.
    benchmark->Iterations(1)->Repetitions(1);
  } else {
    benchmark->MinTime(0.02)->Repetitions(5)->ReportAggregatesOnly(true);
  }
}

// Keeps the console output and takes the median (or the single run) into the table.
class TableReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      auto row = rows().find(run.run_name.function_name);
      if ((single || median) && !run.error_occurred && row != rows().end()) {
        row->second.seconds =
            run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

void writeResults(const std::string& path) {
  std::ofstream out(path);
  out.precision(10);
  out << "group\tsolver\tfamily\tm\tfactor\tverdict\tsolved\tresidual_norm\tresidual_evaluations"
         "\tjacobian_evaluations\tseconds\n";
  for (const auto& [name, row] : rows()) {
    if (row.seconds < 0.0) continue;  // filtered out or failed
    out << row.group << '\t' << row.solver << '\t' << row.family << '\t' << row.m << '\t'
        << row.factor << '\t' << row.outcome.converged << '\t'
        << (row.outcome.residualNorm <= kSolvedResidualNorm) << '\t' << row.outcome.residualNorm
        << '\t' << row.outcome.residualEvaluations << '\t' << row.outcome.jacobianEvaluations
        << '\t' << row.seconds << '\n';
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string resultsPath;
  std::vector<char*> arguments;
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], "--results=", 10) == 0) {
      resultsPath = argv[i] + 10;
    } else {
      arguments.push_back(argv[i]);
    }
  }
  int count = static_cast<int>(arguments.size());

  const std::vector<SolverEntry> solvers = availableSolvers();
  for (const TestProblem& problem : standardTestSet()) {
    for (double factor : kStartFactors) {
      for (const SolverEntry& solver : solvers)
        registerRun("testset", solver, problem, factor, false);
    }
  }
  for (Eigen::Index m : {100, 500, 1000, 2000}) {
    for (ProblemFamily family :
         {ProblemFamily::BroydenTridiagonal, ProblemFamily::DiscreteBoundaryValue}) {
      for (const SolverEntry& solver : solvers) {
        registerRun("scaling", solver, TestProblem(family, m), 1.0, m >= 1000);
      }
    }
  }
  for (const SolverEntry& solver : solvers) {
    registerRun(
        "scaling", solver, TestProblem(ProblemFamily::DiscreteIntegralEquation, 2000), 1.0, true);
  }
  for (Eigen::Index m : {100, 500, 1000, 2000, 10000, 20000, 100000}) {
    for (ProblemFamily family :
         {ProblemFamily::BroydenTridiagonal, ProblemFamily::DiscreteBoundaryValue}) {
      for (const SolverEntry& solver : sparseProblemSolvers()) {
        // KINSOL's dense LU is there for the sizes the dense solvers reach.
        if (solver.name == "kinsol-dense" && m > 2000) continue;
        registerRun("scaling", solver, TestProblem(family, m), 1.0, false);
      }
    }
  }

  benchmark::Initialize(&count, arguments.data());
  if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 1;
  TableReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  if (!resultsPath.empty()) writeResults(resultsPath);
  return 0;
}
