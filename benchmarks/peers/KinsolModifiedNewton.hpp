// SUNDIALS KINSOL's modified Newton method on a TestProblem: Newton steps without a line search
// (strategy KIN_NONE) unless one is asked for (KIN_LINESEARCH), the Jacobian evaluated and
// factorised at the first iteration and then reused for up to 10 iterations (KINSOL's default
// msbset), with the analytic Jacobian.
//
// The linear solver is KLU on a compressed-column matrix, or SUNDIALS's band LU with the
// bandwidths of the Jacobian's pattern at the start, when the problem gives a sparse Jacobian;
// SUNDIALS's own dense LU otherwise. KINSOL stops when
// the largest |F_i| is at most `residualTolerance`. Its memory, matrix and linear solver are made
// once per adapter and reused for every solve; its error messages are switched off.
#pragma once

#include <Eigen/Core>
#include <Eigen/SparseCore>
#include <cstdint>
#include <memory>

#include "MinpackTestSet.hpp"
#include "PeerOutcome.hpp"

namespace Ondrel::Benchmarks {

enum class KinsolLinearSolver { kDense, kKlu, kBand };

class KinsolModifiedNewton {
 public:
  // Throws std::invalid_argument when KLU or the band is asked for a problem family without a
  // sparse Jacobian, std::runtime_error when KINSOL refuses to be set up.
  KinsolModifiedNewton(const TestProblem& problem,
                       KinsolLinearSolver linearSolver,
                       double residualTolerance,
                       std::uint64_t maxIterations,
                       bool lineSearch = false);
  ~KinsolModifiedNewton();
  KinsolModifiedNewton(const KinsolModifiedNewton&) = delete;
  KinsolModifiedNewton& operator=(const KinsolModifiedNewton&) = delete;

  // Solves from x (m entries; holds the returned point afterwards). Throws
  // std::invalid_argument on a size mismatch.
  PeerOutcome solve(const TestProblem& problem, Eigen::Ref<Eigen::VectorXd> x);

 private:
  struct Handles;
  Eigen::Index dimension;
  KinsolLinearSolver linearSolver;
  bool lineSearch;
  std::unique_ptr<Handles> handles;
};

}  // namespace Ondrel::Benchmarks
