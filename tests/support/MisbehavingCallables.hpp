// Callables that misbehave on a schedule: at chosen calls they leave NaN, an infinity, huge
// values, an output of the wrong size or a singular Jacobian, or throw. The reliability tests
// schedule one misbehaviour at each call in turn; the fuzz targets read schedules from their
// input.
#pragma once

#include <limits>
#include <memory>
#include <ondrel/broyden/Broyden>
#include <utility>
#include <vector>

#include "support/CountedCallables.hpp"
#include "support/KnownRootSystems.hpp"

namespace Ondrel::Testing {

// What a misbehaving callable throws: nothing the library could raise itself. `call` is the
// call that threw, counted as the schedule counts.
struct HostFailure {
  int call;
};

enum class Callable { Residual, Jacobian };

struct Misbehaviour {
  // The fuzz targets pick a kind by its number: keep the order.
  enum Kind { kNaN, kInfinity, kHuge, kWrongSize, kThrow, kSingular, kKindCount };

  Callable callable = Callable::Residual;
  int call = 0;  // 1-based, counted from arming
  Kind kind = kNaN;
};

// When and how the two callables of one system misbehave; they share it, and so do copies of a
// solver holding them. Disarmed, a schedule is only read, so its callables may run on several
// threads at once.
struct MisbehaviourSchedule {
  // Since arming: the calls of each callable, and whether a misbehaviour that owes the caller an
  // exception has struck (thrown, or left an output of the wrong size).
  int residualCalls = 0;
  int jacobianCalls = 0;
  bool threw = false;
  bool wrongSize = false;

  void arm(std::vector<Misbehaviour> plan) {
    events = std::move(plan);
    armed = true;
    residualCalls = jacobianCalls = 0;
    threw = wrongSize = false;
  }
  void disarm() { armed = false; }

  // Counts the call and applies what the schedule holds for it to the output just written.
  template <class Output>
  void apply(Callable callable, Output& out) {
    if (!armed) return;
    const int call = callable == Callable::Jacobian ? ++jacobianCalls : ++residualCalls;
    for (const Misbehaviour& event : events) {
      if (event.callable != callable || event.call != call) continue;
      switch (event.kind) {
        case Misbehaviour::kNaN:
          if (out.size() > 0) out.data()[call % out.size()] = kNaN;
          break;
        case Misbehaviour::kInfinity:
          if (out.size() > 0) out.data()[out.size() - 1] = -kInfinity;
          break;
        case Misbehaviour::kHuge:
          out *= 1e300;
          break;
        case Misbehaviour::kWrongSize:
          wrongSize = true;
          resizeWrongly(out, call);
          return;
        case Misbehaviour::kThrow:
          threw = true;
          out.setConstant(kNaN);
          resizeWrongly(out, call);
          throw HostFailure{call};
        case Misbehaviour::kSingular:
          out.setZero();
          break;
        default:
          break;
      }
    }
  }

 private:
  static constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
  static constexpr double kInfinity = std::numeric_limits<double>::infinity();

  // One entry short or one too many, one row or one column too many, by turns.
  static void resizeWrongly(Eigen::VectorXd& out, int call) {
    const bool shrink = call % 2 == 1 && out.size() > 0;
    out.setConstant(shrink ? out.size() - 1 : out.size() + 1, 1.0);
  }
  static void resizeWrongly(Eigen::MatrixXd& out, int call) {
    if (call % 2 == 1) {
      out.setIdentity(out.rows() + 1, out.cols());
    } else {
      out.setIdentity(out.rows(), out.cols() + 1);
    }
  }

  std::vector<Misbehaviour> events;
  bool armed = false;
};

// Callables that write what `evaluate` or `derivative` returns, then misbehave as `schedule`
// says.
template <class Evaluate>
Math::Solvers::ResidualFunction misbehavingResidual(
    Evaluate evaluate, std::shared_ptr<MisbehaviourSchedule> schedule) {
  return [evaluate = std::move(evaluate), schedule = std::move(schedule)](
             const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
    f = evaluate(x);
    schedule->apply(Callable::Residual, f);
  };
}
template <class Derivative>
Math::Solvers::JacobianFunction misbehavingJacobian(
    Derivative derivative, std::shared_ptr<MisbehaviourSchedule> schedule) {
  return [derivative = std::move(derivative), schedule = std::move(schedule)](
             const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::MatrixXd& j) {
    j = derivative(x);
    schedule->apply(Callable::Jacobian, j);
  };
}

// A system of KnownRootSystems.hpp whose callables count every call, armed or not, and
// misbehave as `schedule` says.
template <class System>
struct MisbehavingSystem {
  std::shared_ptr<MisbehaviourSchedule> schedule = std::make_shared<MisbehaviourSchedule>();
  std::shared_ptr<CallCounts> counts = std::make_shared<CallCounts>();

  ResidualFunction residual() const {
    return countedResidual(misbehavingResidual(&System::evaluate, schedule), counts);
  }
  JacobianFunction jacobian() const {
    return countedJacobian(misbehavingJacobian(&System::derivative, schedule), counts);
  }
  Broyden solver(const BroydenParameters& parameters) const {
    return Broyden(System::kValues, System::kEquations, parameters, residual(), jacobian());
  }
};

}  // namespace Ondrel::Testing
