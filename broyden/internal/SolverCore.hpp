// What every solver holds besides its model of the Jacobian (not installed): sizes, settings, the
// residual callable, the record, the refresh schedule and the residual vectors. The iteration
// (Iteration.hpp) runs on a core and a model; a solver (Solver.hpp) owns one of each. The record
// of each solve belongs to the public face. The checks
// of what the host hands over and the texts of their messages are here too, written once: every
// message names the solver the host called ("SparseBroyden::solve: ...").
#pragma once

#include <Eigen/Core>
#include <cmath>
#include <cstdint>
#include <functional>
#include <ondrel/broyden/BroydenFunctions.hpp>
#include <ondrel/broyden/BroydenInformation.hpp>
#include <ondrel/broyden/BroydenParameters.hpp>
#include <string>
#include <vector>

namespace Ondrel::Math::Solvers::internal {

// Refuse what a host callable left in its output when it is not the size the system needs:
// std::invalid_argument, "<where>: the <callable> left N entries, the system has M equations",
// or "<where>: the <callable> left a R x C matrix, the system needs m x m". Called only once the
// size is known to be wrong, so that a solve builds no message text while all is well.
[[noreturn]] void refuseEntries(const std::string& where,
                                const char* callable,
                                Eigen::Index entries,
                                Eigen::Index m);
[[noreturn]] void refuseSquare(const std::string& where,
                               const char* callable,
                               Eigen::Index rows,
                               Eigen::Index cols,
                               Eigen::Index m);

// Calls a model's Jacobian callable into `matrix` (dense or sparse), sized m x m first since a
// callable that threw earlier may have left it at another size, and refuses what the callable
// leaves at another size, in the name of the solver the host called.
template <class Callable, class Matrix>
void evaluateJacobian(const char* solverName,
                      const Callable& callable,
                      const Eigen::Ref<const Eigen::VectorXd>& point,
                      Matrix& matrix,
                      Eigen::Index m) {
  if (matrix.rows() != m || matrix.cols() != m) matrix.resize(m, m);
  callable(point, matrix);
  if (matrix.rows() != m || matrix.cols() != m) {
    refuseSquare(
        std::string(solverName) + "::solve", "Jacobian function", matrix.rows(), matrix.cols(), m);
  }
}

// The fixed message of each way a solve ends; empty for the two that succeed.
const char* terminationMessage(BroydenTermination termination);

struct SolverCore {
  // `solverName` ("Broyden", "SparseBroyden") is a string literal. Throws std::invalid_argument
  // for a negative size. Allocates nothing: a solver first builds its model, which refuses sizes
  // it cannot hold before anything of size m is allocated, then calls allocate().
  SolverCore(const char* solverName,
             long long stateSize,
             long long systemSize,
             const BroydenParameters& parameters,
             ResidualFunction residualFunction);
  void allocate();

  // "Broyden::solve": how the messages of a solve begin.
  std::string where() const;
  // The checks of a solve's variables, before anything runs.
  void checkVector(Eigen::Index size) const;
  void checkStateValues(Eigen::Index size) const;

  // Refuses settings that do not fit the system, the fallbacks' too: scales and constraints of
  // the wrong length, scales that are not positive and finite, fallbacks nested in a fallback. At
  // construction, before anything is allocated.
  void checkSettings() const;
  void checkSettings(const BroydenParameters& settings, const std::string& prefix) const;
  // Refuses a start that violates its own constraints; `values` are what the constraints name.
  // The fallbacks' constraints are the start's too: a fallback starts from it.
  void checkStart(const Eigen::Ref<const Eigen::VectorXd>& values) const;
  void checkStart(const Eigen::Ref<const Eigen::VectorXd>& values,
                  const std::vector<SignConstraint>& constraints) const;

  // Calls the residual callable and refuses an output of other than m entries. Inline: it runs
  // once per trial point, and a warm small solve is little else.
  void evaluateResidual(const Eigen::Ref<const Eigen::VectorXd>& point, Eigen::VectorXd& out) {
    // A callable that threw earlier may have left its output at another size.
    if (out.size() != systemSize) out.resize(systemSize);
    ++residualEvaluations;
    residualFunction(point, out);
    if (out.size() != systemSize)
      refuseEntries(where(), "residual function", out.size(), systemSize);
  }
  // ||F||, weighted by the residual scales when there are any.
  double residualNorm(const Eigen::VectorXd& f) const {
    if (sumOverProcesses) {
      const Eigen::VectorXd& scales = parameters.residualScales;
      return std::sqrt(sumOverProcesses(scales.size() == 0
                                            ? f.squaredNorm()
                                            : (scales.array() * f.array()).matrix().squaredNorm()));
    }
    if (parameters.residualScales.size() == 0) return f.norm();
    return (parameters.residualScales.array() * f.array()).matrix().norm();
  }
  // A sum over the processes of each one's part of it; the part itself on one process.
  double globalSum(double local) const {
    return sumOverProcesses ? sumOverProcesses(local) : local;
  }
  // m over all processes.
  long long globalSystemSize() const { return sumOverProcesses ? distributedSize : systemSize; }
  // The tolerance of a solve that starts at ||F(x0)|| = initialNorm.
  void fixTolerance(double initialNorm) {
    tolerance = parameters.absoluteTolerance;
    if (parameters.relativeResidualTolerance > 0.0) raiseToRelativeTolerance(initialNorm);
  }
  void raiseToRelativeTolerance(double initialNorm);
  // Decides, after an iteration that did not converge, whether the next one evaluates the
  // Jacobian afresh (ratio = previous norm / new norm).
  void scheduleRefresh(double previousNorm, double norm);
  // A fresh Jacobian starts the schedule anew: no refresh due, no iterations counted.
  void restartSchedule();

  const char* name;
  long long stateSize;
  long long systemSize;
  BroydenParameters parameters;
  ResidualFunction residualFunction;
  // The record of the solve in progress: the face's, which outlives every copy and move of the
  // solver behind it, so that the reference a solve hands out stays valid for the face's life.
  BroydenInformation* information = nullptr;
  // The refresh schedule: the flag the last decision left, and the good and poor iterations
  // counted since the last refresh. The solver keeps it between solves.
  bool refreshJacobian = true;
  std::uint64_t goodIterationCount = 0;
  std::uint64_t poorIterationCount = 0;
  // Jacobian and residual evaluations of the current solve.
  std::uint64_t jacobianCount = 0;
  std::uint64_t residualEvaluations = 0;
  // The absolute tolerance, or the relative one's level when that is higher: fixed at the start.
  double tolerance = 0.0;
  // F at the current point and at the trial point, and the step weights fixed at the start.
  Eigen::VectorXd residual;
  Eigen::VectorXd newResidual;
  Eigen::VectorXd stepWeights;
  // The iteration's step and a vector solve's points (VectorVariables), kept from one solve to
  // the next like the vectors above: allocated afresh for each solve of a large system, they are
  // mapped afresh by the allocator, and their first touches cost a banded system's solve as much
  // again. Nothing is read from them before a solve writes it.
  Eigen::VectorXd step;
  Eigen::VectorXd currentPoint;
  Eigen::VectorXd trialPoint;
  Eigen::VectorXd pointDifference;
  // A distributed solve holds in every vector above only its own process's rows, and systemSize
  // and stateSize count those; it sets the sum over the processes that every norm the iteration
  // takes goes through, and the size over all of them. Unset on one process, where the norms are
  // taken exactly as before and cost nothing more.
  std::function<double(double)> sumOverProcesses;
  long long distributedSize = 0;
};

}  // namespace Ondrel::Math::Solvers::internal
