// The progress exits on the 66 runs of the MINPACK-1 test set (22 problem/size pairs from x0,
// 10 x0 and 100 x0): for each candidate setting, the runs solved (final residual norm at most
// 1e-8), the runs that the same setting without exits solves and the exits lose, and what the
// failing runs cost: the median of their Jacobian and residual evaluations. Run on the defaults
// on BroydenParameters::robust() and on robust() with the trust region, each with every candidate,
// then BroydenParameters::persistent() as it is; the exits in robust(), the fallbacks of
// persistent() and the figures of docs/guide/failing-well.md come from here.
//
//   ExitTuning
#include <cstdio>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "BenchmarkReport.hpp"
#include "SolverRunners.hpp"

namespace {

using namespace Ondrel::Benchmarks;
using Ondrel::Math::Solvers::BroydenParameters;

struct Outcome {
  std::vector<bool> solved;
  std::vector<double> failedJacobians;
  std::vector<double> failedResiduals;
};

Outcome run(const BroydenParameters& parameters, const std::vector<TestProblem>& problems) {
  Outcome outcome;
  for (const TestProblem& problem : problems) {
    OndrelRunner runner(problem, parameters);
    for (double factor : kStartFactors) {
      const PeerOutcome result = runner.run(problem.start(factor));
      const bool solved = result.residualNorm <= kSolvedResidualNorm;
      outcome.solved.push_back(solved);
      if (!solved) {
        outcome.failedJacobians.push_back(static_cast<double>(result.jacobianEvaluations));
        outcome.failedResiduals.push_back(static_cast<double>(result.residualEvaluations));
      }
    }
  }
  return outcome;
}

// Run i of the set, as the tables name it.
std::string runName(const std::vector<TestProblem>& problems, std::size_t i) {
  return problems[i / 3].name() + " from " +
         std::to_string(static_cast<int>(kStartFactors[i % 3])) + " x0";
}

struct Candidate {
  std::string name;
  std::uint64_t stagnationJacobians;
  std::uint64_t stagnationIterations;
  double divergenceFactor;
};

}  // namespace

int main() {
  const std::vector<TestProblem> problems = standardTestSet();
  const double off = std::numeric_limits<double>::infinity();
  const std::vector<Candidate> candidates = {
      {"no exits", 0, 0, off},
      {"stagnationJacobians 5", 5, 0, off},
      {"stagnationJacobians 8", 8, 0, off},
      {"stagnationJacobians 12", 12, 0, off},
      {"stagnationIterations 10", 0, 10, off},
      {"stagnationIterations 40", 0, 40, off},
      {"stagnationIterations 100", 0, 100, off},
      {"stagnationIterations 200", 0, 200, off},
      {"stagnationJacobians 12, stagnationIterations 200", 12, 200, off},
      {"divergenceFactor 1e6", 0, 0, 1e6},
      {"divergenceFactor 1e10", 0, 0, 1e10},
  };

  BroydenParameters trustRegion = BroydenParameters::robust();
  trustRegion.stepControl = Ondrel::Math::Solvers::StepControl::kTrustRegion;
  const std::pair<const char*, BroydenParameters> presets[] = {
      {"defaults", BroydenParameters{}},
      {"robust", BroydenParameters::robust()},
      {"robust with kTrustRegion", trustRegion},
  };
  for (const auto& [preset, base] : presets) {
    std::printf(
        "\n%s\n\n| exits | solved | lost | failed runs: median Jacobians | median residuals |\n"
        "|---|---|---|---|---|\n",
        preset);
    std::vector<bool> reference;
    std::string unsolved;
    for (const Candidate& candidate : candidates) {
      BroydenParameters parameters = base;
      parameters.outputStream = nullptr;
      parameters.stagnationJacobians = candidate.stagnationJacobians;
      parameters.stagnationIterations = candidate.stagnationIterations;
      parameters.divergenceFactor = candidate.divergenceFactor;
      const Outcome outcome = run(parameters, problems);
      if (reference.empty()) {
        reference = outcome.solved;
        for (std::size_t i = 0; i < outcome.solved.size(); ++i) {
          if (!outcome.solved[i]) unsolved += ", " + runName(problems, i);
        }
      }
      int solved = 0;
      std::string lost;
      for (std::size_t i = 0; i < outcome.solved.size(); ++i) {
        solved += outcome.solved[i];
        if (reference[i] && !outcome.solved[i]) {
          lost += (lost.empty() ? "" : ", ") + runName(problems, i);
        }
      }
      std::printf("| %s | %d | %s | %g | %g |\n",
                  candidate.name.c_str(),
                  solved,
                  lost.empty() ? "none" : lost.c_str(),
                  median(outcome.failedJacobians),
                  median(outcome.failedResiduals));
    }
    std::printf("\nNot solved without exits: %s\n",
                unsolved.empty() ? "none" : unsolved.c_str() + 2);
  }

  // persistent(): robust() with its two trust-region fallbacks, as a host gets it.
  BroydenParameters persistent = BroydenParameters::persistent();
  persistent.outputStream = nullptr;
  const Outcome outcome = run(persistent, problems);
  int solved = 0;
  std::string unsolved;
  for (std::size_t i = 0; i < outcome.solved.size(); ++i) {
    solved += outcome.solved[i];
    if (!outcome.solved[i]) unsolved += (unsolved.empty() ? "" : ", ") + runName(problems, i);
  }
  std::printf(
      "\npersistent(): %d solved; failed runs: median %g Jacobians, %g residuals\nNot solved: "
      "%s\n",
      solved,
      median(outcome.failedJacobians),
      median(outcome.failedResiduals),
      unsolved.c_str());
  return 0;
}
