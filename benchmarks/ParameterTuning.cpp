// Scores settings of the solver on the 66 runs of the MINPACK-1 test set (22 problem/size pairs
// from x0, 10 x0 and 100 x0): most runs solved first (final residual norm at most 1e-8), then
// fewest evaluations over all 66 runs (residual evaluations plus m per Jacobian; a failed run
// costs what it spent). Prints, as Markdown, the best settings of a grid, the current defaults
// and every one-field change of the best, which shows what each field is worth, and what the
// candidates cost on the scaling problems. Then the same for BroydenParameters::robust() over its
// line-search fields and schedule, with how often it keeps the iterations of full steps and its
// Jacobian evaluations at scale beside the defaults'.
#include <algorithm>
#include <cmath>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "BenchmarkReport.hpp"
#include "SolverRunners.hpp"

namespace {

using namespace Ondrel::Benchmarks;
using Ondrel::Math::Solvers::BroydenParameters;

struct Score {
  BroydenParameters parameters;
  int solved = 0;
  double evaluations = 0.0;
  // Over the solved runs only.
  double medianJacobians = 0.0;
  // Per run, in the test set's order: solved, and the iterations taken.
  std::vector<bool> runSolved;
  std::vector<std::uint64_t> runIterations;
};

Score score(const BroydenParameters& parameters, const std::vector<TestProblem>& problems) {
  Score result;
  result.parameters = parameters;
  std::vector<double> jacobians;
  for (const TestProblem& problem : problems) {
    OndrelRunner runner(problem, parameters);
    for (double factor : kStartFactors) {
      const PeerOutcome outcome = runner.run(problem.start(factor));
      const bool solved = outcome.residualNorm <= kSolvedResidualNorm;
      result.solved += solved;
      result.evaluations +=
          static_cast<double>(outcome.residualEvaluations) +
          static_cast<double>(problem.size()) * static_cast<double>(outcome.jacobianEvaluations);
      if (solved) jacobians.push_back(static_cast<double>(outcome.jacobianEvaluations));
      result.runSolved.push_back(solved);
      result.runIterations.push_back(runner.iterations());
    }
  }
  result.medianJacobians = median(jacobians);
  return result;
}

bool better(const Score& a, const Score& b) {
  return a.solved != b.solved ? a.solved > b.solved : a.evaluations < b.evaluations;
}

// Where the line search is meant for far starts, a Jacobian per solve matters more than the
// residual evaluations a search spends, so they rank between runs solved and evaluations.
bool betterRobust(const Score& a, const Score& b) {
  if (a.solved != b.solved) return a.solved > b.solved;
  if (a.medianJacobians != b.medianJacobians) return a.medianJacobians < b.medianJacobians;
  return a.evaluations < b.evaluations;
}

std::string describe(const BroydenParameters& p) {
  std::ostringstream out;
  out << "| " << p.maxIterations << " | " << p.absoluteTolerance << " | " << p.relativeTolerance
      << " | " << p.refreshReductionRatio << " | " << p.goodReductionRatio << " | "
      << p.refreshCountLimit << " | " << p.updateMethod << " |";
  return out.str();
}

// The fields the robust grid varies; the others are the defaults'.
std::string describeRobust(const BroydenParameters& p) {
  std::ostringstream out;
  out << "| " << p.residualGrowthAllowance << " | " << p.maxStepFactor << " | " << p.maxStepCuts
      << " | " << p.refreshCountLimit << " | " << p.updateMethod << " |";
  return out.str();
}

// A table's setting columns: their names and the cells of one setting.
struct Columns {
  std::vector<const char*> names;
  std::string (*describe)(const BroydenParameters&);
};

const Columns kScheduleColumns{{"maxIterations",
                                "absoluteTolerance",
                                "relativeTolerance",
                                "refreshReductionRatio",
                                "goodReductionRatio",
                                "refreshCountLimit",
                                "updateMethod"},
                               describe};
const Columns kLineSearchColumns{{"residualGrowthAllowance",
                                  "maxStepFactor",
                                  "maxStepCuts",
                                  "refreshCountLimit",
                                  "updateMethod"},
                                 describeRobust};

void printTable(const std::string& title,
                const Columns& columns,
                const std::vector<Score>& scores) {
  std::cout << "\n### " << title << "\n\n|";
  for (const char* name : columns.names) std::cout << ' ' << name << " |";
  std::cout << " solved / 66 | median Jacobians per solved run | evaluations |\n|";
  for (std::size_t i = 0; i < columns.names.size() + 3; ++i) std::cout << "---|";
  std::cout << '\n';
  for (const Score& s : scores) {
    std::cout << columns.describe(s.parameters) << ' ' << s.solved << " | " << s.medianJacobians
              << " | " << s.evaluations << " |\n";
  }
}

template <class Ranking>
std::vector<Score> bestOf(std::vector<Score> scores, Ranking ranking, std::size_t count) {
  std::sort(scores.begin(), scores.end(), ranking);
  scores.resize(std::min(count, scores.size()));
  return scores;
}

// Scores `base` with one field changed by `change`.
template <class Change>
void addVariation(const BroydenParameters& base,
                  Change change,
                  const std::vector<TestProblem>& problems,
                  std::vector<Score>& scores) {
  BroydenParameters p = base;
  change(p);
  scores.push_back(score(p, problems));
}

// Jacobian evaluations (residual evaluations) of the scaling problems from x0 at size m, as
// table cells; a run that misses the common criterion is marked.
std::string scalingCells(const BroydenParameters& parameters, Eigen::Index m) {
  std::ostringstream cells;
  for (ProblemFamily family : {ProblemFamily::BroydenTridiagonal,
                               ProblemFamily::DiscreteBoundaryValue,
                               ProblemFamily::DiscreteIntegralEquation}) {
    const TestProblem problem(family, m);
    OndrelRunner runner(problem, parameters);
    const PeerOutcome outcome = runner.run(problem.start());
    cells << ' ' << outcome.jacobianEvaluations << " (" << outcome.residualEvaluations << ")"
          << (outcome.residualNorm <= kSolvedResidualNorm ? "" : " unsolved") << " |";
  }
  return cells.str();
}

// Of the runs `reference` solves, how many `candidate` solves in as many iterations.
std::string sameIterations(const Score& candidate, const Score& reference) {
  int solvedByReference = 0;
  int same = 0;
  for (std::size_t i = 0; i < reference.runSolved.size(); ++i) {
    if (!reference.runSolved[i]) continue;
    ++solvedByReference;
    same += candidate.runSolved[i] && candidate.runIterations[i] == reference.runIterations[i];
  }
  std::ostringstream out;
  out << same << " of " << solvedByReference << " (" << std::setprecision(3)
      << 100.0 * same / std::max(solvedByReference, 1) << " %)";
  return out.str();
}

// The line search and the schedule around it, then the preset against the full-step settings it
// is meant to leave alone where they already work.
void tuneRobust(const std::vector<TestProblem>& problems) {
  using Ondrel::Math::Solvers::StepControl;
  const BroydenParameters preset = BroydenParameters::robust();
  BroydenParameters fullStepPreset = preset;
  fullStepPreset.stepControl = StepControl::kFullStep;

  std::vector<Score> grid;
  std::vector<Score> neighbours;
  Score defaults;
  Score fullSteps;
  std::vector<std::string> scaleLines;
  {
    SilencedOutput silence;
    for (double growth : {0.5, 1.0, 2.0, 4.0, 10.0}) {
      for (double stepFactor : {10.0, 100.0, 1000.0}) {
        for (std::uint64_t cuts : {3, 5, 10}) {
          for (std::uint64_t limit : {4, 8, 16}) {
            for (std::int32_t method : {0, 1}) {
              BroydenParameters p = preset;
              p.residualGrowthAllowance = growth;
              p.maxStepFactor = stepFactor;
              p.maxStepCuts = cuts;
              p.refreshCountLimit = limit;
              p.updateMethod = method;
              grid.push_back(score(p, problems));
            }
          }
        }
      }
    }
    neighbours.push_back(score(preset, problems));
    auto vary = [&](auto change) { addVariation(preset, change, problems, neighbours); };
    for (double v : {0.0, 0.5, 1.0, 4.0, 10.0}) {
      vary([v](auto& p) { p.residualGrowthAllowance = v; });
    }
    for (double v : {100.0, 1000.0, std::numeric_limits<double>::infinity()}) {
      vary([v](auto& p) { p.maxStepFactor = v; });
    }
    for (std::uint64_t v : {3, 10, 20}) vary([v](auto& p) { p.maxStepCuts = v; });
    for (std::uint64_t v : {2, 4, 16}) vary([v](auto& p) { p.refreshCountLimit = v; });
    for (std::int32_t v : {0, 2}) vary([v](auto& p) { p.updateMethod = v; });
    defaults = score(BroydenParameters{}, problems);
    fullSteps = score(fullStepPreset, problems);
    for (Eigen::Index m : {200, 2000}) {
      for (const auto& [label, parameters] :
           {std::pair<const char*, BroydenParameters>{"defaults", BroydenParameters{}},
            {"robust()", preset}}) {
        scaleLines.push_back("| " + std::string(label) + " | " + std::to_string(m) + " |" +
                             scalingCells(parameters, m));
      }
    }
  }

  const std::vector<Score> best = bestOf(grid, betterRobust, 10);
  std::cout << "\n## Tuning the robust setting\n\nBroydenParameters::robust() (line search, "
               "refreshCountLimit "
            << preset.refreshCountLimit << ") with the line search's fields and the schedule "
            << "varied over a grid of " << grid.size()
            << " settings on the 66 test-set runs; ranked by runs solved, then by the median "
               "Jacobian evaluations per solved run, then by evaluations (residual evaluations "
               "plus m per Jacobian, failed runs included).\n";
  printTable("Best 10 of the grid", kLineSearchColumns, best);
  printTable("BroydenParameters::robust(), then one field of it changed at a time",
             kLineSearchColumns,
             neighbours);
  if (betterRobust(best.front(), neighbours.front())) {
    std::cout << "\nThe grid's best (its first row) ranks above robust().\n";
  }

  std::cout << "\n### Same iterations as full steps\n\nRuns solved by the full-step setting "
               "that robust() solves in the same number of iterations: against the defaults "
            << sameIterations(neighbours.front(), defaults)
            << "; against robust() with full steps (its schedule, no line search) "
            << sameIterations(neighbours.front(), fullSteps) << ". The defaults solve "
            << defaults.solved << " of 66, robust() with full steps " << fullSteps.solved << ".\n";

  std::cout << "\n### robust() at scale\n\nJacobian evaluations (residual evaluations) from "
               "x0.\n\n| setting | m | Broyden tridiagonal | Discrete boundary value | Discrete "
               "integral equation |\n|---|---|---|---|---|\n";
  for (const std::string& line : scaleLines) std::cout << line << '\n';
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
    auto vary = [&](auto change) { addVariation(best, change, problems, neighbours); };
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
             kScheduleColumns,
             std::vector<Score>(scores.begin(),
                                scores.begin() + std::min<std::size_t>(10, scores.size())));
  printTable("Current defaults, then one field of the best changed at a time",
             kScheduleColumns,
             neighbours);

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
           << " | " << candidate.evaluations << " |" << scalingCells(candidate.parameters, 200);
      lines.push_back(line.str());
    }
  }
  for (const std::string& line : lines) std::cout << line << '\n';

  tuneRobust(problems);
  return 0;
}
