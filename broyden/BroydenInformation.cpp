#include <ondrel/broyden/BroydenInformation.hpp>

namespace Ondrel::Math::Solvers {

// The texts are part of the interface: logs and scripts match them, so they never change.
const char* terminationName(BroydenTermination termination) {
  switch (termination) {
    case BroydenTermination::kNotSolved:
      return "not solved";
    case BroydenTermination::kConverged:
      return "converged";
    case BroydenTermination::kAcceptedAtStart:
      return "accepted at start";
    case BroydenTermination::kIterationLimit:
      return "iteration limit";
    case BroydenTermination::kNonFinite:
      return "non-finite";
    case BroydenTermination::kSingularJacobian:
      return "singular Jacobian";
    case BroydenTermination::kStoppedByMonitor:
      return "stopped by monitor";
    case BroydenTermination::kLineSearchFailed:
      return "line search failed";
    case BroydenTermination::kStagnated:
      return "stagnated";
    case BroydenTermination::kDiverged:
      return "diverged";
  }
  return "unknown";
}

}  // namespace Ondrel::Math::Solvers
