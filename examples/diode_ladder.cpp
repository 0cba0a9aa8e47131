// A far start: the DC operating point of a diode ladder, solved from zero volts.
//
// A 5 V source drives a ladder of n sections; each section is a series resistor into a node
// with a diode to ground. Kirchhoff's current law at node i:
//   (v[i-1] - v[i]) / R - (v[i] - v[i+1]) / R - Is (exp(v[i] / Vt) - 1) = 0,
// with v[-1] the source and no resistor beyond the last node. At zero volts the diodes conduct
// nothing, so the first Newton step puts volts across them, and exp(v / Vt) overflows: full
// steps are lost at once. The line search cuts that step back until the residual is finite and
// lower, and walks the node voltages down to the diodes' 0.6 V or so.
//
// Pass --steps to print the monitor's view of each iteration of the robust solve.
#include <Eigen/Core>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ondrel/broyden/Broyden>

using namespace Ondrel::Math::Solvers;

namespace {

constexpr int kSections = 8;
constexpr double kSource = 5.0;            // V
constexpr double kResistance = 1000.0;     // ohm
constexpr double kSaturation = 1e-14;      // A
constexpr double kThermalVoltage = 0.025;  // V

void residual(const Eigen::Ref<const Eigen::VectorXd>& v, Eigen::VectorXd& f) {
  for (int i = 0; i < kSections; ++i) {
    const double left = i == 0 ? kSource : v(i - 1);
    const double toRight = i + 1 < kSections ? (v(i) - v(i + 1)) / kResistance : 0.0;
    f(i) = (left - v(i)) / kResistance - toRight - kSaturation * std::expm1(v(i) / kThermalVoltage);
  }
}

void jacobian(const Eigen::Ref<const Eigen::VectorXd>& v, Eigen::MatrixXd& j) {
  j.setZero();
  for (int i = 0; i < kSections; ++i) {
    const double last = i + 1 < kSections ? 2.0 : 1.0;
    j(i, i) =
        -last / kResistance - kSaturation / kThermalVoltage * std::exp(v(i) / kThermalVoltage);
    if (i > 0) j(i, i - 1) = 1.0 / kResistance;
    if (i + 1 < kSections) j(i, i + 1) = 1.0 / kResistance;
  }
}

void summarise(const char* what, const BroydenInformation& info) {
  std::printf(
      "%-10s %s after %llu iterations, ||F|| = %.3g A, %llu residual and %llu Jacobian "
      "evaluations%s%s\n",
      what,
      info.converged ? "converged" : "failed",
      static_cast<unsigned long long>(info.iterations),
      info.residualNorm,
      static_cast<unsigned long long>(info.residualEvaluations),
      static_cast<unsigned long long>(info.jacobianEvaluations),
      info.message.empty() ? "" : ": ",
      info.message.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  const bool showSteps = argc > 1 && std::strcmp(argv[1], "--steps") == 0;
  const Eigen::VectorXd zeroVolts = Eigen::VectorXd::Zero(kSections);
  // Currents are about a milliampere: a tolerance of a nanoampere is a relative 1e-6.
  BroydenParameters defaults;
  defaults.absoluteTolerance = 1e-9;
  defaults.outputStream = nullptr;

  Eigen::VectorXd fullSteps = zeroVolts;
  const BroydenInformation defaultResult =
      Broyden(kSections, kSections, defaults, residual, jacobian).solve(fullSteps);
  summarise("defaults", defaultResult);

  BroydenParameters robust = BroydenParameters::robust();
  robust.absoluteTolerance = defaults.absoluteTolerance;
  robust.outputStream = nullptr;
  if (showSteps) {
    robust.monitor = [](const BroydenIterationReport& r) {
      std::printf("  %3llu  ||F|| %10.3e  step length %8.2e  cuts %llu%s%s\n",
                  static_cast<unsigned long long>(r.iteration),
                  r.residualNorm,
                  r.stepLength,
                  static_cast<unsigned long long>(r.stepCuts),
                  r.restarted ? "  (retried from a fresh Jacobian)" : "",
                  r.escaped ? ", whole step taken" : "");
      return true;
    };
  }
  Eigen::VectorXd v = zeroVolts;
  const BroydenInformation robustResult =
      Broyden(kSections, kSections, robust, residual, jacobian).solve(v);
  summarise("robust", robustResult);
  std::printf("node voltages:");
  for (int i = 0; i < kSections; ++i) std::printf(" %.4f", v(i));
  std::printf(" V\n");

  // The example checks itself: the robust solve finds the operating point, every diode
  // forward-biased below a volt and the voltages falling along the ladder.
  bool ok = robustResult.converged;
  for (int i = 0; i < kSections; ++i) {
    ok = ok && v(i) > 0.3 && v(i) < 1.0 && (i == 0 || v(i) <= v(i - 1));
  }
  return ok ? 0 : 1;
}
