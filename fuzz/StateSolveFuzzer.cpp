// State solves on random layouts of quaternions, rotation vectors and plain entries, with the
// callables misbehaving as in the vector target. Some States have registries edited by hand or
// solvers of the wrong sizes, which must be refused before any callable runs. The opt-in
// controls are drawn as in the vector target: failing fast, silence, a stopping or throwing
// monitor, the line search (whose cut steps turn quaternions by fractions of a rotation).
#include <Eigen/Geometry>
#include <ondrel/state/State.hpp>

#include "SolveChecks.hpp"
#include "support/QuadraticSystems.hpp"

namespace {

using namespace Ondrel::Math::Solvers;
using namespace Ondrel::Fuzz;
using Ondrel::Math::State;
using Ondrel::Testing::MisbehaviourSchedule;
using Ondrel::Testing::StateQuadraticSystem;

double value(FuzzedDataProvider& in) {
  return in.ConsumeIntegralInRange(0, 15) == 0 ? awkwardDouble(in)
                                               : in.ConsumeFloatingPointInRange(-2.0, 2.0);
}

State stateFrom(FuzzedDataProvider& in, bool& handEdited) {
  const long long n = in.ConsumeIntegralInRange<long long>(0, 14);
  State state(n);
  for (long long i = 0; i < n; ++i) state.values(i) = value(in);
  const int registrations = in.ConsumeIntegralInRange(0, 4);
  for (int r = 0; r < registrations; ++r) {
    const long long start = in.ConsumeIntegralInRange<long long>(0, n);
    try {
      if (in.ConsumeBool()) {
        state.addQuaternion(start);
        // Mostly unit quaternions, as a host would keep them.
        if (in.ConsumeBool()) state.values.segment(start, 4).normalize();
      } else {
        state.addRotationVector(start);
      }
    } catch (const std::invalid_argument&) {
    }
  }
  if (in.ConsumeBool() && n > 0)
    state.nameEntries("name", in.ConsumeIntegralInRange<long long>(0, n - 1), 0);
  handEdited = in.ConsumeIntegralInRange(0, 7) == 0;
  if (handEdited) {
    const int kinds[] = {0, 5, 31, -1, 7};
    state.indexer.rotations[in.PickValueInArray(kinds)][awkwardPosition(in, n)] =
        awkwardPosition(in, n);
    state.indexer.needsIndexing = in.ConsumeBool();
    if (in.ConsumeBool()) {
      // A component written by hand, kept because indexing is switched off.
      Ondrel::Math::StateComponent component;
      component.start = awkwardPosition(in, n);
      component.size = awkwardPosition(in, 4);
      component.incrementStart = awkwardPosition(in, n);
      component.incrementSize = awkwardPosition(in, 4);
      component.kind = in.PickValueInArray(kinds);
      state.indexer.components[component.start] = component;
      state.indexer.needsIndexing = false;
    }
  }
  return state;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  bool handEdited = false;
  const State guess = stateFrom(in, handEdited);
  const long long n = guess.values.size();
  long long m = guess.incrementSize();
  // Hand-edited registries can claim any size; solvers that large are refused elsewhere.
  if (m > 32) return 0;
  const bool wrongSizes = in.ConsumeIntegralInRange(0, 15) == 0;
  long long stateSize = n;
  if (wrongSizes) {
    (in.ConsumeBool() ? stateSize : m) += in.ConsumeBool() ? 1 : -1;
    if (stateSize < 0 || m < 0) return 0;
  }

  auto system = std::make_shared<StateQuadraticSystem>();
  system->b.resize(m, n);
  system->c.resize(m);
  system->target.resize(m);
  for (long long i = 0; i < m; ++i) {
    for (long long j = 0; j < n; ++j) system->b(i, j) = in.ConsumeFloatingPointInRange(-1.0, 1.0);
    system->c(i) = in.ConsumeFloatingPointInRange(-0.3, 0.3);
    system->target(i) = value(in);
  }
  if (!handEdited && !wrongSizes && n > 0) {
    State indexed = guess;
    indexed.indexer.buildIndex();
    for (const auto& [start, component] : indexed.indexer.components) {
      system->components.push_back(component);
    }
  }

  BroydenParameters parameters;
  parameters.maxIterations = in.ConsumeIntegralInRange<std::uint64_t>(0, 25);
  const double tolerances[] = {1e-10, 1e-6, 1e-2, 0.0, std::numeric_limits<double>::quiet_NaN()};
  parameters.absoluteTolerance = in.PickValueInArray(tolerances);
  parameters.refreshCountLimit = in.ConsumeIntegralInRange<std::uint64_t>(0, 4);
  parameters.updateMethod = in.ConsumeIntegralInRange(-1, 3);

  auto same = [](const State& a, const State& b) { return sameBits(a, b); };
  SolveChecks<State, decltype(same)> checks{parameters, same};
  controlFrom(in, checks.parameters, checks.monitor, stateSize);
  parameters = checks.parameters;
  checks.mayBeRefused = handEdited || wrongSizes;
  const auto schedule = std::make_shared<MisbehaviourSchedule>();
  const ResidualFunction residual = Ondrel::Testing::misbehavingResidual(
      [system](const Eigen::Ref<const Eigen::VectorXd>& v) { return system->evaluate(v); },
      schedule);
  const JacobianFunction jacobian = Ondrel::Testing::misbehavingJacobian(
      [system](const Eigen::Ref<const Eigen::VectorXd>& v) { return system->derivative(v); },
      schedule);
  auto makeSolver = [&] { return Broyden(stateSize, m, parameters, residual, jacobian); };

  Broyden solver = makeSolver();
  RecordWatch watch;
  const int solves = in.ConsumeIntegralInRange(1, 3);
  for (int s = 0; s < solves && in.remaining_bytes() > 0; ++s) {
    if (in.ConsumeBool()) solver.reset();
    State variables = guess;
    armFrom(in, *schedule, 3);
    checks.monitor->arm(in);
    const bool fresh = checks.run(solver, variables, guess, *schedule, watch);
    if (!fresh && watch.record && watch.record->converged && watch.record->iterations > 0) {
      // Only the values change; quaternions are turned, so they keep their norms.
      FUZZ_CHECK(variables.indexer.rotations == guess.indexer.rotations);
      FUZZ_CHECK(variables.indexer.needsIndexing == guess.indexer.needsIndexing);
      FUZZ_CHECK(variables.namedEntries == guess.namedEntries);
      for (const auto& component : system->components) {
        if (component.kind != Ondrel::Math::Quaternion) continue;
        const double before = guess.values.segment(component.start, 4).norm();
        const double after = variables.values.segment(component.start, 4).norm();
        if (std::isfinite(before) && std::isfinite(after) && before < 1e100) {
          constexpr double kRoundingPerTurn = 1e-14;
          FUZZ_CHECK(std::abs(after - before) <=
                     kRoundingPerTurn * static_cast<double>(watch.record->iterations + 1) *
                         (1.0 + before));
        }
      }
    }
    if (fresh) checks.expectFresh(solver, makeSolver(), guess, watch);
  }
  return 0;
}
