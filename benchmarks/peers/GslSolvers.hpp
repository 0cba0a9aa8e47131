// GSL's multiroot solvers on a TestProblem: hybridsj (scaled hybrid method with the analytic
// Jacobian) and broyden (which forms its Jacobian by finite differences, so its residual count
// includes those probes and its Jacobian count stays 0).
//
// Each adapter allocates its GSL solver once and reuses it for every solve. Both iterate until
// GSL's residual test passes at `residualTolerance` (sum of |F_i|), GSL reports an error such as
// no progress or a singular matrix, or the iteration limit is reached. GSL's default error
// handler aborts the process; a solve switches it off for its own duration.
#pragma once

#include <gsl/gsl_multiroots.h>

#include <Eigen/Core>
#include <cstdint>

#include "MinpackTestSet.hpp"
#include "PeerOutcome.hpp"

namespace Ondrel::Benchmarks {

class GslHybridsj {
 public:
  GslHybridsj(Eigen::Index m, double residualTolerance, std::uint64_t maxIterations);
  ~GslHybridsj();
  GslHybridsj(const GslHybridsj&) = delete;
  GslHybridsj& operator=(const GslHybridsj&) = delete;

  // Solves from x (m entries; holds the returned point afterwards). Throws
  // std::invalid_argument on a size mismatch.
  PeerOutcome solve(const TestProblem& problem, Eigen::Ref<Eigen::VectorXd> x);

 private:
  Eigen::Index dimension;
  double residualTolerance;
  std::uint64_t maxIterations;
  Eigen::MatrixXd jacobian;
  gsl_multiroot_fdfsolver* solver;
  gsl_vector* start;
};

class GslBroyden {
 public:
  GslBroyden(Eigen::Index m, double residualTolerance, std::uint64_t maxIterations);
  ~GslBroyden();
  GslBroyden(const GslBroyden&) = delete;
  GslBroyden& operator=(const GslBroyden&) = delete;

  PeerOutcome solve(const TestProblem& problem, Eigen::Ref<Eigen::VectorXd> x);

 private:
  Eigen::Index dimension;
  double residualTolerance;
  std::uint64_t maxIterations;
  gsl_multiroot_fsolver* solver;
  gsl_vector* start;
};

}  // namespace Ondrel::Benchmarks
