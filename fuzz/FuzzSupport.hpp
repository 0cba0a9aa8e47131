// Shared by the fuzz targets: turning bytes into awkward numbers and misbehaviour schedules, and
// the checks that end a run with a report. The misbehaving callables, the systems and the bitwise
// comparison come from the test support folder.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <Eigen/Core>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <ondrel/broyden/Broyden>
#include <string>
#include <utility>
#include <vector>

#include "support/BitwiseComparison.hpp"
#include "support/MisbehavingCallables.hpp"

namespace Ondrel::Fuzz {

using Testing::sameBits;

// A broken promise is a crash for libFuzzer, which then keeps the input that found it.
[[noreturn]] inline void fail(const char* what, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
  std::abort();
}
#define FUZZ_CHECK(condition) \
  ((condition) ? static_cast<void>(0) : ::Ondrel::Fuzz::fail(#condition, __FILE__, __LINE__))

// Mostly ordinary values, often the ones that break numerical code.
inline double awkwardDouble(FuzzedDataProvider& in) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  switch (in.ConsumeIntegralInRange(0, 15)) {
    case 0:
      return 0.0;
    case 1:
      return -0.0;
    case 2:
      return kNaN;
    case 3:
      return kInf;
    case 4:
      return -kInf;
    case 5:
      return std::numeric_limits<double>::max();
    case 6:
      return std::numeric_limits<double>::denorm_min();
    case 7:
      return in.ConsumeFloatingPoint<double>();
    default:
      return in.ConsumeFloatingPointInRange(-4.0, 4.0);
  }
}

// A position near the values, or one that tests the arithmetic on positions.
inline long long awkwardPosition(FuzzedDataProvider& in, long long around) {
  switch (in.ConsumeIntegralInRange(0, 9)) {
    case 0:
      return std::numeric_limits<long long>::max() - in.ConsumeIntegralInRange(0, 4);
    case 1:
      return std::numeric_limits<long long>::min() + in.ConsumeIntegralInRange(0, 4);
    case 2:
      return -in.ConsumeIntegralInRange<long long>(1, 5);
    default:
      return in.ConsumeIntegralInRange<long long>(0, around + 2);
  }
}

inline bool isFailureMessage(const std::string& message) {
  return message == "Non-finite values encountered in Broyden solver" ||
         message == "Maximum number of iterations reached" ||
         message == "Singular Jacobian encountered in Broyden solver" ||
         message == "Stopped by the monitor" || message == "Line search failed in Broyden solver" ||
         message == "Stagnation detected in Broyden solver" ||
         message == "Divergence detected in Broyden solver";
}

// Thrown by a monitor told to throw; nothing the library raises itself.
struct MonitorFailure {};

// What the monitor of one fuzzed solve does, read from the input before the solve: watch only,
// or stop the solve or throw at a chosen iteration. It also checks what it is shown.
struct MonitorPlan {
  enum Action { kWatch, kStop, kThrow };
  Action action = kWatch;
  std::uint64_t at = 0;
  bool armed = false;
  // The step control of the solver it watches: a search of either kind, and which.
  bool lineSearch = false;
  bool trustRegion = false;
  std::uint64_t maxStepCuts = 0;
  // What the armed solve did with it.
  std::uint64_t reports = 0;
  bool stopped = false;
  bool threw = false;
  // Residual evaluations the reports account for beyond one per iteration: every cut, the first
  // trial of a search that was retried, and the whole step taken after a failed search.
  std::uint64_t extraTrials = 0;

  void arm(FuzzedDataProvider& in) {
    action = static_cast<Action>(in.ConsumeIntegralInRange(0, 2));
    at = in.ConsumeIntegralInRange<std::uint64_t>(0, 12);
    armed = true;
    reports = 0;
    extraTrials = 0;
    stopped = threw = false;
  }
  void disarm() { armed = false; }
};

inline Math::Solvers::BroydenMonitor monitorFor(std::shared_ptr<MonitorPlan> plan,
                                                Eigen::Index valueCount) {
  return [plan, valueCount](const Math::Solvers::BroydenIterationReport& report) {
    if (!plan->armed) return true;
    // Iteration 0 first, then one report per iteration, each showing the variables' values; a
    // fallback starts again from iteration 0.
    if (report.iteration == 0) plan->reports = 0;
    FUZZ_CHECK(report.iteration == plan->reports);
    FUZZ_CHECK(report.values != nullptr && report.values->size() == valueCount);
    ++plan->reports;
    if (!plan->lineSearch || report.iteration == 0) {
      FUZZ_CHECK(report.stepLength == 1.0 && report.stepCuts == 0 && !report.restarted &&
                 !report.escaped);
    } else {
      // A retried iteration made two searches; the trust region may hand over to a third.
      const std::uint64_t searches = (report.restarted ? 2 : 1) + (plan->trustRegion ? 1 : 0);
      // A trust region shrunk to a few subnormals may step by nothing.
      FUZZ_CHECK((report.stepLength > 0.0 || plan->trustRegion) && report.stepLength >= 0.0 &&
                 report.stepLength <= 1.0);
      FUZZ_CHECK(report.stepCuts / searches <= plan->maxStepCuts);
      // The trust region may take less than d without a rejected trial.
      FUZZ_CHECK(report.stepCuts > 0 || report.stepLength == 1.0 || plan->trustRegion);
      // The whole step after a failed search: taken at length 1.
      FUZZ_CHECK(!report.escaped || report.stepLength == 1.0);
      plan->extraTrials += report.stepCuts + (report.restarted ? 1 : 0) + (report.escaped ? 1 : 0);
    }
    if (report.iteration != plan->at || plan->action == MonitorPlan::kWatch) return true;
    if (plan->action == MonitorPlan::kThrow) {
      plan->threw = true;
      throw MonitorFailure{};
    }
    plan->stopped = true;
    return false;
  };
}

// The opt-in control settings: output, failing fast, the line search or the trust region with
// ordinary and absurd settings (no cap, a zero cap, no cuts, many cuts, negative or NaN
// allowances), the progress exits and the relative tolerance, and a monitor following `plan`. The
// trust region only where the solver offers it.
inline void controlFrom(FuzzedDataProvider& in,
                        Math::Solvers::BroydenParameters& parameters,
                        const std::shared_ptr<MonitorPlan>& plan,
                        Eigen::Index valueCount,
                        bool trustRegionOffered = true) {
  parameters.outputStream = in.ConsumeBool() ? nullptr : parameters.outputStream;
  parameters.failFast = in.ConsumeBool();
  if (in.ConsumeBool()) {
    parameters.stepControl = in.ConsumeBool() && trustRegionOffered
                                 ? Math::Solvers::StepControl::kTrustRegion
                                 : Math::Solvers::StepControl::kLineSearch;
    if (in.ConsumeBool()) {
      parameters.maxStepFactor = awkwardDouble(in);
      const std::uint64_t cuts[] = {0, 1, 5, 60, 2000, std::numeric_limits<std::uint64_t>::max()};
      parameters.maxStepCuts = in.PickValueInArray(cuts);
      parameters.residualGrowthAllowance = in.ConsumeBool() ? 0.0 : awkwardDouble(in);
    }
  }
  if (in.ConsumeBool()) {
    // The progress exits and the relative tolerance, ordinary and absurd.
    const std::uint64_t counts[] = {0, 1, 3, 8};
    parameters.stagnationJacobians = in.PickValueInArray(counts);
    parameters.stagnationIterations = in.PickValueInArray(counts);
    parameters.divergenceFactor =
        in.ConsumeBool() ? parameters.divergenceFactor : awkwardDouble(in);
    parameters.relativeResidualTolerance = in.ConsumeBool() ? 0.0 : awkwardDouble(in);
  }
  plan->lineSearch = parameters.stepControl != Math::Solvers::StepControl::kFullStep;
  plan->trustRegion = parameters.stepControl == Math::Solvers::StepControl::kTrustRegion;
  plan->maxStepCuts = parameters.maxStepCuts;
  if (in.ConsumeBool()) parameters.monitor = monitorFor(plan, valueCount);
  // Up to two fallbacks with the same settings, on which misbehaviours and the monitor may fall.
  const Math::Solvers::BroydenParameters same = parameters;
  parameters.fallbacks.assign(in.ConsumeIntegralInRange(0, 2), same);
}

// Reads a schedule of up to `maxEvents` misbehaviours from the input and arms it.
inline void armFrom(FuzzedDataProvider& in,
                    Testing::MisbehaviourSchedule& schedule,
                    int maxEvents) {
  std::vector<Testing::Misbehaviour> events;
  const int count = in.ConsumeIntegralInRange(0, maxEvents);
  for (int i = 0; i < count; ++i) {
    Testing::Misbehaviour event;
    event.callable = in.ConsumeBool() ? Testing::Callable::Jacobian : Testing::Callable::Residual;
    event.call = in.ConsumeIntegralInRange(1, 24);
    event.kind = static_cast<Testing::Misbehaviour::Kind>(
        in.ConsumeIntegralInRange<int>(0, Testing::Misbehaviour::kKindCount - 1));
    events.push_back(event);
  }
  schedule.arm(std::move(events));
}

}  // namespace Ondrel::Fuzz
