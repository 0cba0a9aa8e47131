// What a peer solver reports about one solve, in the benchmark's common terms.
#pragma once

#include <cstdint>

namespace Ondrel::Benchmarks {

struct PeerOutcome {
  // The peer's own verdict (MINPACK info 1, GSL_SUCCESS from the residual test).
  bool converged = false;
  // Euclidean norm of F at the point the peer returned, evaluated afresh and not counted.
  double residualNorm = 0.0;
  // Every call of the residual, finite-difference probes included; a combined residual and
  // Jacobian call counts once in each column.
  std::uint64_t residualEvaluations = 0;
  std::uint64_t jacobianEvaluations = 0;
};

}  // namespace Ondrel::Benchmarks
