#include <functional>
#include <limits>
#include <ondrel/broyden/SparseBroyden.hpp>
#include <ondrel/state/State.hpp>
#include <stdexcept>
#include <string>
#include <utility>

#include "internal/Iteration.hpp"
#include "internal/SparseModel.hpp"
#include "internal/StateVariables.hpp"
#include "internal/VectorVariables.hpp"

namespace Ondrel::Math::Solvers {

namespace {

long long checkedSize(long long size, const char* what) {
  if (size < 0) {
    throw std::invalid_argument(std::string("SparseBroyden: the ") + what +
                                " must not be negative, got " + std::to_string(size));
  }
  return size;
}

// Eigen's sparse matrices index rows and columns with int.
Eigen::Index sparseDimension(long long m) {
  using StorageIndex = Eigen::SparseMatrix<double>::StorageIndex;
  if (checkedSize(m, "system size") > std::numeric_limits<StorageIndex>::max()) {
    throw std::invalid_argument("SparseBroyden: the system size " + std::to_string(m) +
                                " exceeds the sparse matrix's index range (" +
                                std::to_string(std::numeric_limits<StorageIndex>::max()) + ")");
  }
  return static_cast<Eigen::Index>(m);
}

}  // namespace

SparseBroyden::SparseBroyden(long long valueCount,
                             long long equationCount,
                             const BroydenParameters& settings,
                             ResidualFunction residualCallable,
                             SparseJacobianFunction jacobianCallable,
                             std::uint64_t updateLimit)
    : stateSize(checkedSize(valueCount, "state size")),
      systemSize(sparseDimension(equationCount)),
      limit(updateLimit),
      parameters(settings),
      residualFunction(std::move(residualCallable)),
      jacobianFunction(std::move(jacobianCallable)),
      information(),
      refreshJacobian(true),
      goodIterationCount(0),
      poorIterationCount(0),
      jacobianCount(0),
      residual(Eigen::VectorXd::Zero(equationCount)),
      newResidual(Eigen::VectorXd::Zero(equationCount)),
      stepWeights(Eigen::VectorXd::Zero(equationCount)),
      model(std::make_unique<internal::SparseModelState>(
          equationCount, settings.updateMethod, updateLimit)) {}

SparseBroyden::SparseBroyden(const SparseBroyden& other)
    : stateSize(other.stateSize),
      systemSize(other.systemSize),
      limit(other.limit),
      parameters(other.parameters),
      residualFunction(other.residualFunction),
      jacobianFunction(other.jacobianFunction),
      information(other.information),
      refreshJacobian(other.refreshJacobian),
      goodIterationCount(other.goodIterationCount),
      poorIterationCount(other.poorIterationCount),
      jacobianCount(other.jacobianCount),
      residual(other.residual),
      newResidual(other.newResidual),
      stepWeights(other.stepWeights),
      model(other.model ? std::make_unique<internal::SparseModelState>(*other.model) : nullptr) {}

SparseBroyden& SparseBroyden::operator=(const SparseBroyden& other) {
  if (this == &other) return *this;
  // All or nothing: the copy is built aside, then moved in.
  SparseBroyden copy(other);
  return *this = std::move(copy);
}

SparseBroyden::SparseBroyden(SparseBroyden&& other) noexcept
    : stateSize(other.stateSize),
      systemSize(other.systemSize),
      limit(other.limit),
      parameters(std::move(other.parameters)),
      residualFunction(std::move(other.residualFunction)),
      jacobianFunction(std::move(other.jacobianFunction)),
      information(std::move(other.information)),
      refreshJacobian(other.refreshJacobian),
      goodIterationCount(other.goodIterationCount),
      poorIterationCount(other.poorIterationCount),
      jacobianCount(other.jacobianCount),
      residual(std::move(other.residual)),
      newResidual(std::move(other.newResidual)),
      stepWeights(std::move(other.stepWeights)),
      model(std::move(other.model)) {
  // Moved-from standard objects are only "valid but unspecified"; a moved-from solver promises
  // empty callables and an empty message.
  other.residualFunction = nullptr;
  other.jacobianFunction = nullptr;
  other.parameters.monitor = nullptr;
  other.information.message.clear();
}

SparseBroyden& SparseBroyden::operator=(SparseBroyden&& other) noexcept {
  if (this == &other) return *this;
  stateSize = other.stateSize;
  systemSize = other.systemSize;
  limit = other.limit;
  parameters = std::move(other.parameters);
  other.parameters.monitor = nullptr;
  residualFunction = std::move(other.residualFunction);
  other.residualFunction = nullptr;
  jacobianFunction = std::move(other.jacobianFunction);
  other.jacobianFunction = nullptr;
  information = std::move(other.information);
  other.information.message.clear();
  refreshJacobian = other.refreshJacobian;
  goodIterationCount = other.goodIterationCount;
  poorIterationCount = other.poorIterationCount;
  jacobianCount = other.jacobianCount;
  residual.swap(other.residual);
  newResidual.swap(other.newResidual);
  stepWeights.swap(other.stepWeights);
  model = std::move(other.model);
  return *this;
}

SparseBroyden::~SparseBroyden() = default;

void SparseBroyden::reset() {
  if (model) {
    model->held = false;
    model->used = 0;
    model->cacheValid = false;
  }
  refreshJacobian = true;
}

template <class Variables>
const BroydenInformation& SparseBroyden::run(Variables& variables) {
  // Only a moved-from solver has no model, and its callables are empty.
  if (!model) throw std::bad_function_call();
  // A copy's held Jacobian gets its factors before anything else runs.
  model->factorisePending();
  internal::SolveContext context{parameters,
                                 residualFunction,
                                 information,
                                 refreshJacobian,
                                 goodIterationCount,
                                 poorIterationCount,
                                 jacobianCount,
                                 residual,
                                 newResidual,
                                 stepWeights,
                                 systemSize};
  internal::SparseModel view(jacobianFunction, *model);
  return internal::iterate(context, view, variables);
}

const BroydenInformation& SparseBroyden::solve(Eigen::Ref<Eigen::VectorXd> x) {
  if (stateSize != systemSize) {
    throw std::invalid_argument(
        "SparseBroyden::solve: a vector solve needs equal state and system sizes, got state size " +
        std::to_string(stateSize) + " and system size " + std::to_string(systemSize));
  }
  if (x.size() != stateSize) {
    throw std::invalid_argument("SparseBroyden::solve: the vector has " + std::to_string(x.size()) +
                                " entries, the solver's state size is " +
                                std::to_string(stateSize));
  }
  internal::VectorVariables variables(x);
  return run(variables);
}

const BroydenInformation& SparseBroyden::solve(Ondrel::Math::State& state) {
  if (state.values.size() != stateSize) {
    throw std::invalid_argument("SparseBroyden::solve: the State has " +
                                std::to_string(state.values.size()) +
                                " values, the solver's state size is " + std::to_string(stateSize));
  }
  internal::Components components = internal::checkedLayout(state, stateSize, systemSize);
  internal::StateVariables variables(
      state, stateSize, systemSize, std::move(components), parameters.outputStream);
  return run(variables);
}

}  // namespace Ondrel::Math::Solvers
