// PointHash: one fingerprint of everything the solvers do on the MINPACK-1 test set.
//
// A change to the solver core that must not change any result (a refactoring, a new opt-in
// setting, new build flags) is checked by running this program on the commits before and after:
// every line must agree. It hashes, bit for bit, every point handed to a residual or Jacobian
// callable, every monitor report, every record a solve returns, the text written to the output
// stream and the variables after each solve. Each problem is solved from its three standard starts
// in turn on one solver object, so warm starts are covered; the settings cover the four update
// choices, the line search, failFast, a monitor that stops, the progress exits and the scales;
// the sparse solver runs on the
// banded problems (with a small update bound too, so that restarts happen); the State path runs
// on every problem as a plain State and on the gallery's rigid body with a quaternion.
//
//   PointHash            one line per group and a total
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <ondrel/broyden/Broyden>
#include <ondrel/broyden/SparseBroyden.hpp>
#include <ondrel/state/State.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "MinpackTestSet.hpp"
#include "RigidBodyProblem.hpp"

namespace {

using namespace Ondrel::Math::Solvers;
using Ondrel::Benchmarks::TestProblem;
using Ondrel::Math::State;

// FNV-1a over the bytes of everything fed to it.
class Fingerprint {
 public:
  void bytes(const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
      value = (value ^ p[i]) * 1099511628211ULL;
    }
  }
  void number(double x) { bytes(&x, sizeof x); }
  void count(std::uint64_t n) { bytes(&n, sizeof n); }
  void text(const std::string& s) {
    count(s.size());
    bytes(s.data(), s.size());
  }
  void vector(const Eigen::Ref<const Eigen::VectorXd>& x) {
    count(static_cast<std::uint64_t>(x.size()));
    for (Eigen::Index i = 0; i < x.size(); ++i) number(x(i));
  }
  std::uint64_t digest() const { return value; }

 private:
  std::uint64_t value = 14695981039346656037ULL;
};

void record(Fingerprint& print, const BroydenInformation& info) {
  print.count(info.converged);
  print.count(info.iterations);
  print.text(info.message);
  print.count(info.jacobianEvaluations);
  print.number(info.error);
  print.number(info.residualNorm);
  print.count(info.residualEvaluations);
  print.count(static_cast<std::uint64_t>(info.termination));
  // Only where fallbacks ran, so that every other group hashes as it did before they existed.
  if (info.fallbacksUsed != 0) print.count(info.fallbacksUsed);
}

struct Setting {
  const char* name;
  BroydenParameters parameters;
  // Residual scales 2, variable scales 1/2 and a relative tolerance, sized for each problem.
  bool scaled = false;
};

BroydenParameters sizedFor(const Setting& setting,
                           const BroydenParameters& watched,
                           Eigen::Index m) {
  BroydenParameters parameters = watched;
  if (setting.scaled) {
    parameters.residualScales = Eigen::VectorXd::Constant(m, 2.0);
    parameters.variableScales = Eigen::VectorXd::Constant(m, 0.5);
    parameters.relativeResidualTolerance = 1e-9;
  }
  return parameters;
}

// The monitor hashes each report; a setting may make it stop the solve at a chosen iteration.
BroydenParameters watched(BroydenParameters parameters,
                          Fingerprint& print,
                          std::ostringstream& out,
                          std::uint64_t stopAt = 0) {
  parameters.outputStream = &out;
  parameters.monitor = [&print, stopAt](const BroydenIterationReport& r) {
    print.count(r.iteration);
    print.number(r.residualNorm);
    print.number(r.stepNorm);
    print.count(r.jacobianEvaluations);
    print.count(static_cast<std::uint64_t>(r.jacobianChange));
    print.vector(*r.values);
    print.number(r.stepLength);
    print.count(r.stepCuts);
    print.count(r.restarted);
    print.count(r.escaped);
    print.count(static_cast<std::uint64_t>(r.termination));
    return stopAt == 0 || r.iteration < stopAt;
  };
  return parameters;
}

std::vector<Setting> settings() {
  std::vector<Setting> list;
  BroydenParameters p;
  list.push_back({"defaults", p});
  for (std::int32_t method : {0, 2, 3}) {
    BroydenParameters q = p;
    q.updateMethod = method;
    list.push_back({method == 0 ? "update 0" : method == 2 ? "update 2" : "chord", q});
  }
  BroydenParameters old{50, 1e-8, 1e-4, 100.0, 1.5, 2, 1};
  list.push_back({"older numbers", old});
  BroydenParameters fast = p;
  fast.failFast = true;
  list.push_back({"failFast", fast});
  BroydenParameters search = p;
  search.stepControl = StepControl::kLineSearch;
  list.push_back({"line search", search});
  BroydenParameters tight = search;
  tight.maxStepFactor = 0.5;
  tight.maxStepCuts = 2;
  tight.residualGrowthAllowance = 0.0;
  tight.updateMethod = 0;
  list.push_back({"line search, tight", tight});
  list.push_back({"robust", BroydenParameters::robust()});
  BroydenParameters exits = p;
  exits.stagnationJacobians = 8;
  exits.stagnationIterations = 40;
  exits.divergenceFactor = 1e10;
  list.push_back({"exits", exits});
  list.push_back({"scaled", p, true});
  list.push_back({"robust scaled", BroydenParameters::robust(), true});
  return list;
}

// Settings the dense solver alone takes.
std::vector<Setting> denseSettings() {
  BroydenParameters trust = BroydenParameters::robust();
  trust.stepControl = StepControl::kTrustRegion;
  return {{"trust region", trust},
          {"trust region scaled", trust, true},
          {"persistent", BroydenParameters::persistent()}};
}

// Counted callables that hash every point they are handed.
ResidualFunction residualOf(const TestProblem& problem, Fingerprint& print) {
  return [&problem, &print](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
    print.vector(x);
    problem.residual(x, f);
  };
}

JacobianFunction jacobianOf(const TestProblem& problem, Fingerprint& print) {
  return [&problem, &print](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::MatrixXd& j) {
    print.count(1);
    print.vector(x);
    problem.jacobian(x, j);
  };
}

SparseJacobianFunction sparseJacobianOf(const TestProblem& problem, Fingerprint& print) {
  return [&problem, &print](const Eigen::Ref<const Eigen::VectorXd>& x,
                            Eigen::SparseMatrix<double>& j) {
    print.count(2);
    print.vector(x);
    problem.sparseJacobian(x, j);
  };
}

template <class Solver, class Variables>
void solveFromEachStart(Solver& solver,
                        const TestProblem& problem,
                        Fingerprint& print,
                        std::ostringstream& out,
                        const std::function<Variables(const Eigen::VectorXd&)>& makeVariables,
                        const std::function<const Eigen::VectorXd&(const Variables&)>& valuesOf) {
  for (double factor : Ondrel::Benchmarks::kStartFactors) {
    Variables x = makeVariables(problem.start(factor));
    record(print, solver.solve(x));
    print.vector(valuesOf(x));
    print.text(out.str());
    out.str("");
  }
}

Eigen::VectorXd plainVector(const Eigen::VectorXd& x) { return x; }
const Eigen::VectorXd& vectorValues(const Eigen::VectorXd& x) { return x; }
State plainState(const Eigen::VectorXd& x) {
  State s(x.size());
  s.values = x;
  return s;
}
const Eigen::VectorXd& stateValues(const State& s) { return s.values; }

std::uint64_t denseGroup(const Setting& setting, bool onStates, std::uint64_t stopAt) {
  Fingerprint print;
  std::ostringstream out;
  const BroydenParameters parameters = watched(setting.parameters, print, out, stopAt);
  for (const TestProblem& problem : Ondrel::Benchmarks::standardTestSet()) {
    Broyden solver(problem.size(),
                   problem.size(),
                   sizedFor(setting, parameters, problem.size()),
                   residualOf(problem, print),
                   jacobianOf(problem, print));
    if (onStates) {
      solveFromEachStart<Broyden, State>(solver, problem, print, out, plainState, stateValues);
    } else {
      solveFromEachStart<Broyden, Eigen::VectorXd>(
          solver, problem, print, out, plainVector, vectorValues);
    }
  }
  return print.digest();
}

std::uint64_t sparseGroup(const Setting& setting, std::uint64_t updateLimit) {
  Fingerprint print;
  std::ostringstream out;
  const BroydenParameters parameters = watched(setting.parameters, print, out);
  for (const TestProblem& problem : Ondrel::Benchmarks::standardTestSet()) {
    if (!problem.hasSparseJacobian()) continue;
    SparseBroyden solver(problem.size(),
                         problem.size(),
                         sizedFor(setting, parameters, problem.size()),
                         residualOf(problem, print),
                         sparseJacobianOf(problem, print),
                         updateLimit);
    solveFromEachStart<SparseBroyden, Eigen::VectorXd>(
        solver, problem, print, out, plainVector, vectorValues);
    solveFromEachStart<SparseBroyden, State>(solver, problem, print, out, plainState, stateValues);
  }
  return print.digest();
}

// The rigid body with a quaternion, from the gallery's guess and three turned ones, with its
// analytic Jacobian and with forward differences taken in the increment coordinates.
std::uint64_t rigidBodyGroup(const Setting& setting) {
  Fingerprint print;
  std::ostringstream out;
  const BroydenParameters parameters = watched(setting.parameters, print, out);
  const Gallery::RigidBodyOnSprings body = Gallery::RigidBodyOnSprings::standard();
  const ResidualFunction residual = [&print, f = body.residual()](
                                        const Eigen::Ref<const Eigen::VectorXd>& x,
                                        Eigen::VectorXd& r) {
    print.vector(x);
    f(x, r);
  };
  const JacobianFunction analytic = [&print, j = body.jacobian()](
                                        const Eigen::Ref<const Eigen::VectorXd>& x,
                                        Eigen::MatrixXd& m) {
    print.count(1);
    print.vector(x);
    j(x, m);
  };
  State layout = Gallery::RigidBodyOnSprings::initialGuess();
  for (const JacobianFunction& jacobian : {analytic, forwardDifferenceJacobian(residual, layout)}) {
    Broyden solver(7, 6, sizedFor(setting, parameters, 6), residual, jacobian);
    for (double angle : {0.0, 0.7, 2.0, 3.1}) {
      State guess = Gallery::RigidBodyOnSprings::initialGuess();
      const Eigen::Quaterniond turn(
          Eigen::AngleAxisd(angle, Eigen::Vector3d(1, 2, 3).normalized()));
      guess.values.segment<4>(3) << turn.w(), turn.x(), turn.y(), turn.z();
      record(print, solver.solve(guess));
      print.vector(guess.values);
      print.text(out.str());
      out.str("");
    }
  }
  return print.digest();
}

}  // namespace

int main() {
  Fingerprint total;
  const auto line = [&total](const std::string& group, std::uint64_t digest) {
    std::printf("%-36s %016" PRIx64 "\n", group.c_str(), digest);
    total.count(digest);
  };
  for (const Setting& setting : settings()) {
    line(std::string("dense ") + setting.name, denseGroup(setting, false, 0));
    line(std::string("dense State ") + setting.name, denseGroup(setting, true, 0));
    line(std::string("sparse ") + setting.name, sparseGroup(setting, 20));
    line(std::string("sparse bound 3 ") + setting.name, sparseGroup(setting, 3));
    line(std::string("rigid body ") + setting.name, rigidBodyGroup(setting));
  }
  for (const Setting& setting : denseSettings()) {
    line(std::string("dense ") + setting.name, denseGroup(setting, false, 0));
    line(std::string("dense State ") + setting.name, denseGroup(setting, true, 0));
    line(std::string("rigid body ") + setting.name, rigidBodyGroup(setting));
  }
  line("dense monitor stops at 7", denseGroup(settings().front(), false, 7));
  line("dense State monitor stops at 7", denseGroup(settings().front(), true, 7));
  std::printf("%-36s %016" PRIx64 "\n", "total", total.digest());
  return 0;
}
