// Scores settings of the solver on the 66 runs of the MINPACK-1 test set (22 problem/size pairs
// from x0, 10 x0 and 100 x0): most runs solved first (final residual norm at most 1e-8), then
// fewest evaluations over all 66 runs (residual evaluations plus m per Jacobian; a failed run
// costs what it spent). Prints, as Markdown, the best settings of a grid, the current defaults
// and every one-field change of the best, which shows what each field is worth, and what the
// candidates cost on the scaling problems.
#include <algorithm>
#include <cmath>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "SolverRunners.hpp"

namespace {

using namespace Ondrel::Benchmarks;
using Ondrel::Math::Solvers::BroydenParameters;

struct Score {
  BroydenParameters parameters;
  int solved = 0;
  double evaluations = 0.0;
};

Score score(const BroydenParameters& parameters, const std::vector<TestProblem>& problems) {
  Score result{parameters};
  for (const TestProblem& problem : problems) {
    OndrelRunner runner(problem, parameters);
    for (double factor : kStartFactors) {
      const PeerOutcome outcome = runner.run(problem.start(factor));
      result.solved += outcome.residualNorm <= kSolvedResidualNorm;
      result.evaluations +=
          static_cast<double>(outcome.residualEvaluations) +
          static_cast<double>(problem.size()) * static_cast<double>(outcome.jacobianEvaluations);
    }
  }
  return result;
}

bool better(const Score& a, const Score& b) {
  return a.solved != b.solved ? a.solved > b.solved : a.evaluations < b.evaluations;
}

std::string describe(const BroydenParameters& p) {
  std::ostringstream out;
  out << "| " << p.maxIterations << " | " << p.absoluteTolerance << " | " << p.relativeTolerance
      << " | " << p.refreshReductionRatio << " | " << p.goodReductionRatio << " | "
      << p.refreshCountLimit << " | " << p.updateMethod << " |";
  return out.str();
}

void printTable(const std::string& title, const std::vector<Score>& scores) {
  std::cout << "\n### " << title << "\n\n| maxIterations | absoluteTolerance | relativeTolerance "
            << "| refreshReductionRatio | goodReductionRatio | refreshCountLimit | updateMethod "
            << "| solved / 66 | evaluations |\n|---|---|---|---|---|---|---|---|---|\n";
  for (const Score& s : scores) {
    std::cout << describe(s.parameters) << ' ' << s.solved << " | " << s.evaluations << " |\n";
  }
}

}  // namespace

// With a file argument, every setting of the grid is also written there, one row each.
int main(int argc, char** argv) {
  const std::vector<TestProblem> problems = standardTestSet();
  std::vector<Score> scores;
  {
    SilencedOutput silence;
    for (std::int32_t method : {0, 1, 2}) {
      for (std::uint64_t maxIterations : {50, 100, 200, 400}) {
        for (double refresh : {10.0, 100.0, 1000.0, std::numeric_limits<double>::infinity()}) {
          for (double good : {1.5, 2.0, 4.0}) {
            for (std::uint64_t limit : {0, 1, 2, 4, 8}) {
              for (double relative : {1e-6, 1e-3}) {
                BroydenParameters p;
                p.updateMethod = method;
                p.maxIterations = maxIterations;
                p.refreshReductionRatio = refresh;
                p.goodReductionRatio = good;
                p.refreshCountLimit = limit;
                p.relativeTolerance = relative;
                scores.push_back(score(p, problems));
              }
            }
          }
        }
      }
    }
  }
  std::sort(scores.begin(), scores.end(), better);
  if (argc > 1) {
    std::ofstream all(argv[1]);
    for (const Score& s : scores) {
      all << describe(s.parameters) << ' ' << s.solved << " | " << s.evaluations << " |\n";
    }
  }
  const BroydenParameters best = scores.front().parameters;
  // refreshCountLimit 0 evaluates the Jacobian in every iteration after the first: Newton's
  // method with a Broyden first step. The best setting that keeps updating between evaluations
  // is reported beside it, because at large m an evaluation costs an O(m^3) factorisation.
  const Score bestUpdating = *std::find_if(scores.begin(), scores.end(), [](const Score& s) {
    return s.parameters.refreshCountLimit > 0;
  });

  std::vector<Score> neighbours;
  {
    SilencedOutput silence;
    const BroydenParameters defaults;
    neighbours.push_back(score(defaults, problems));
    auto vary = [&](auto change) {
      BroydenParameters p = best;
      change(p);
      neighbours.push_back(score(p, problems));
    };
    for (std::uint64_t v : {25, 50, 100, 200, 400, 800})
      vary([v](auto& p) { p.maxIterations = v; });
    for (double v : {1e-12, 1e-10, 1e-9}) vary([v](auto& p) { p.absoluteTolerance = v; });
    for (double v : {1e-10, 1e-6, 1e-3, 1e-1}) vary([v](auto& p) { p.relativeTolerance = v; });
    for (double v : {3.0, 10.0, 100.0, 1000.0, 1e6}) {
      vary([v](auto& p) { p.refreshReductionRatio = v; });
    }
    for (double v : {1.1, 1.5, 2.0, 4.0, 10.0}) vary([v](auto& p) { p.goodReductionRatio = v; });
    for (std::uint64_t v : {0, 1, 2, 3, 4, 6, 8, 16}) {
      vary([v](auto& p) { p.refreshCountLimit = v; });
    }
    for (std::int32_t v : {0, 1, 2, 3}) vary([v](auto& p) { p.updateMethod = v; });
  }

  std::cout << "## Tuning the defaults\n\nGrid of " << scores.size()
            << " settings over the 66 test-set runs; ranked by runs solved, then by evaluations "
               "(residual evaluations plus m per Jacobian, failed runs included).\n";
  printTable("Best 10 of the grid",
             std::vector<Score>(scores.begin(),
                                scores.begin() + std::min<std::size_t>(10, scores.size())));
  printTable("Current defaults, then one field of the best changed at a time", neighbours);

  // What the candidates cost where a Jacobian evaluation is expensive: Jacobian evaluations of
  // the scaling problems from x0, at m = 200 (their counts barely change with m).
  std::cout
      << "\n### Candidates at scale\n\nJacobian evaluations (residual evaluations) from x0 at "
         "m = 200.\n\n| candidate | maxIterations | absoluteTolerance | relativeTolerance | "
         "refreshReductionRatio | goodReductionRatio | refreshCountLimit | updateMethod | "
         "solved / 66 | evaluations | Broyden tridiagonal | Discrete boundary value | "
         "Discrete integral equation |\n|---|---|---|---|---|---|---|---|---|---|---|---|---|\n";
  const std::pair<const char*, Score> candidates[] = {
      {"current defaults", neighbours.front()},
      {"most solved", scores.front()},
      {"most solved that keeps updating", bestUpdating},
  };
  std::vector<std::string> lines;
  {
    SilencedOutput silence;
    for (const auto& [label, candidate] : candidates) {
      std::ostringstream line;
      line << "| " << label << " " << describe(candidate.parameters) << ' ' << candidate.solved
           << " | " << candidate.evaluations << " |";
      for (ProblemFamily family : {ProblemFamily::BroydenTridiagonal,
                                   ProblemFamily::DiscreteBoundaryValue,
                                   ProblemFamily::DiscreteIntegralEquation}) {
        const TestProblem problem(family, 200);
        OndrelRunner runner(problem, candidate.parameters);
        const PeerOutcome outcome = runner.run(problem.start());
        line << ' ' << outcome.jacobianEvaluations << " (" << outcome.residualEvaluations << ")"
             << (outcome.residualNorm <= kSolvedResidualNorm ? "" : " unsolved") << " |";
      }
      lines.push_back(line.str());
    }
  }
  for (const std::string& line : lines) std::cout << line << '\n';
  return 0;
}
