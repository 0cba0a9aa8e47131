// Shared by the fuzz targets: turning bytes into awkward numbers, callables that misbehave on a
// schedule read from the input, and the checks that end a run with a report.
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
#include <vector>

#include "support/BitwiseComparison.hpp"

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
         message == "Maximum number of iterations reached";
}

// Thrown by a misbehaving callable; nothing the library raises itself.
struct HostFailure {};

// When and how the callables of one solve misbehave. Calls are counted from arming, 1-based.
struct Misbehaviour {
  enum Kind { kNaN, kInfinity, kHuge, kWrongSize, kThrow, kSingular, kCount };
  bool jacobian = false;
  int call = 0;
  Kind kind = kNaN;
};

struct Schedule {
  std::vector<Misbehaviour> events;
  bool armed = false;
  int residualCalls = 0;
  int jacobianCalls = 0;
  // What happened in the armed solve: an exception is owed when one of these struck.
  bool threw = false;
  bool wrongSize = false;
  bool struck = false;

  void arm(FuzzedDataProvider& in, int maxEvents) {
    events.clear();
    const int count = in.ConsumeIntegralInRange(0, maxEvents);
    for (int i = 0; i < count; ++i) {
      Misbehaviour event;
      event.jacobian = in.ConsumeBool();
      event.call = in.ConsumeIntegralInRange(1, 24);
      event.kind = static_cast<Misbehaviour::Kind>(
          in.ConsumeIntegralInRange<int>(0, Misbehaviour::kCount - 1));
      events.push_back(event);
    }
    armed = true;
    residualCalls = jacobianCalls = 0;
    threw = wrongSize = struck = false;
  }
  void disarm() { armed = false; }

  template <class Output>
  void apply(bool jacobian, Output& out) {
    if (!armed) return;
    const int call = jacobian ? ++jacobianCalls : ++residualCalls;
    for (const Misbehaviour& event : events) {
      if (event.jacobian != jacobian || event.call != call) continue;
      struck = true;
      const Eigen::Index last = out.size() - 1;
      switch (event.kind) {
        case Misbehaviour::kNaN:
          if (last >= 0) out.data()[call % out.size()] = std::numeric_limits<double>::quiet_NaN();
          break;
        case Misbehaviour::kInfinity:
          if (last >= 0) out.data()[last] = -std::numeric_limits<double>::infinity();
          break;
        case Misbehaviour::kHuge:
          out *= 1e300;
          break;
        case Misbehaviour::kWrongSize:
          wrongSize = true;
          if constexpr (Output::ColsAtCompileTime == 1) {
            const bool shrink = call % 2 == 1 && out.size() > 0;
            out.resize(shrink ? out.size() - 1 : out.size() + 1);
          } else {
            out.resize(out.rows(), out.cols() + 1);
          }
          return;
        case Misbehaviour::kThrow:
          threw = true;
          out.setConstant(std::numeric_limits<double>::quiet_NaN());
          throw HostFailure{};
        case Misbehaviour::kSingular:
          out.setZero();
          break;
        default:
          break;
      }
    }
  }
};

// The host's callables for a fuzzed system: its residual and Jacobian, then whatever misbehaviour
// the schedule chose for this call.
template <class System>
struct Callables {
  std::shared_ptr<const System> system;
  std::shared_ptr<Schedule> schedule;

  Math::Solvers::ResidualFunction residual() const {
    return [system = system, schedule = schedule](const Eigen::Ref<const Eigen::VectorXd>& x,
                                                  Eigen::VectorXd& f) {
      f = system->evaluate(x);
      schedule->apply(false, f);
    };
  }
  Math::Solvers::JacobianFunction jacobian() const {
    return [system = system, schedule = schedule](const Eigen::Ref<const Eigen::VectorXd>& x,
                                                  Eigen::MatrixXd& j) {
      j = system->derivative(x);
      schedule->apply(true, j);
    };
  }
};

}  // namespace Ondrel::Fuzz
