// What the opt-in exits and constraints save on two models that fight back:
//   - a complexation equilibrium (examples/ComplexationProblem.hpp), every concentration started
//     a thousand times too high: robust() with the residual answering NaN below zero, against
//     sign constraints, with full steps and with the line search;
//   - -Δu + 200 u³ = f on the unit cube, a 20³ grid with the 7-point stencil and zero boundary
//     values, f manufactured from u* = 64 p x(1-x) y(1-y) z(1-z), p at the centre: from zero,
//     full steps overshoot and come back for p = 3, and run away for p = 5, where the divergence
//     exit ends them instead of 80 Jacobians to maxIterations (and for p = 3 ends a solve that
//     would have converged: the factor must sit above a model's overshoots).
// Prints a Markdown table of evaluations and outcomes; docs/guide/failing-well.md quotes it.
//
//   FailingWell
#include <cstdio>
#include <ondrel/broyden/Broyden>
#include <string>
#include <vector>

#include "ComplexationProblem.hpp"
#include "CubicReaction.hpp"

namespace {

using namespace Ondrel::Math::Solvers;
using Ondrel::Benchmarks::CubicReaction;

struct Counts {
  std::uint64_t residuals = 0;
  std::uint64_t jacobians = 0;
};

void row(const std::string& model, const std::string& setting, const BroydenInformation& info) {
  std::printf("| %s | %s | %s | %llu | %llu | %llu |\n",
              model.c_str(),
              setting.c_str(),
              terminationName(info.termination),
              static_cast<unsigned long long>(info.iterations),
              static_cast<unsigned long long>(info.residualEvaluations),
              static_cast<unsigned long long>(info.jacobianEvaluations));
}

void complexation() {
  const Gallery::Complexation model;
  struct Setting {
    const char* name;
    BroydenParameters parameters;
  };
  BroydenParameters constrained;
  constrained.constraints.assign(4, SignConstraint::kPositive);
  BroydenParameters constrainedRobust = BroydenParameters::robust();
  constrainedRobust.constraints = constrained.constraints;
  const Setting settings[] = {
      {"robust(), NaN below zero", BroydenParameters::robust()},
      {"defaults, constraints > 0", constrained},
      {"robust(), constraints > 0", constrainedRobust},
  };
  for (const Setting& setting : settings) {
    BroydenParameters p = setting.parameters;
    p.outputStream = nullptr;
    Broyden solver(4, 4, p, model.residual(), model.jacobian());
    Eigen::VectorXd x = Gallery::Complexation::start();
    row("complexation", setting.name, solver.solve(x));
  }
}

void cubicReaction(double peak) {
  const CubicReaction model(20, peak);
  const long long m = model.n * model.n * model.n;
  struct Setting {
    const char* name;
    BroydenParameters parameters;
  };
  BroydenParameters diverging;
  diverging.divergenceFactor = 1e6;
  const Setting settings[] = {
      {"defaults", BroydenParameters{}},
      {"divergenceFactor 1e6", diverging},
      {"robust()", BroydenParameters::robust()},
  };
  for (const Setting& setting : settings) {
    BroydenParameters p = setting.parameters;
    p.outputStream = nullptr;
    SparseBroyden solver(m, m, p, model.residual(), model.jacobian());
    Eigen::VectorXd u = Eigen::VectorXd::Zero(m);
    row("-Δu + 200u³ = f, 20³, peak " + std::to_string(static_cast<int>(peak)),
        setting.name,
        solver.solve(u));
  }
}

}  // namespace

int main() {
  std::printf(
      "| model | setting | termination | iterations | residuals | Jacobians |\n"
      "|---|---|---|---|---|---|\n");
  complexation();
  cubicReaction(3.0);
  cubicReaction(5.0);
  return 0;
}
