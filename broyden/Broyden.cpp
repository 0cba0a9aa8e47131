#include <limits>
#include <new>
#include <ondrel/broyden/Broyden.hpp>
#include <ondrel/state/State.hpp>
#include <stdexcept>
#include <string>
#include <utility>

#include "internal/DenseInverse.hpp"
#include "internal/DenseModel.hpp"
#include "internal/Iteration.hpp"
#include "internal/StateVariables.hpp"
#include "internal/VectorVariables.hpp"

namespace Ondrel::Math::Solvers {

namespace {

long long checkedSize(long long size, const char* what) {
  if (size < 0) {
    throw std::invalid_argument(std::string("Broyden: the ") + what +
                                " must not be negative, got " + std::to_string(size));
  }
  return size;
}

// The m x m matrices are refused before anything is allocated when their element count does
// not fit the signed 64-bit index type.
Eigen::Index squareDimension(long long m) {
  if (m != 0 && m > std::numeric_limits<long long>::max() / m) throw std::bad_alloc();
  return static_cast<Eigen::Index>(m);
}

}  // namespace

Broyden::Broyden(long long valueCount,
                 long long equationCount,
                 const BroydenParameters& settings,
                 ResidualFunction residualCallable,
                 JacobianFunction jacobianCallable)
    : stateSize(checkedSize(valueCount, "state size")),
      systemSize(checkedSize(equationCount, "system size")),
      parameters(settings),
      residualFunction(std::move(residualCallable)),
      jacobianFunction(std::move(jacobianCallable)),
      information(),
      refreshJacobian(true),
      goodIterationCount(0),
      poorIterationCount(0),
      jacobianCount(0),
      jacobian(Eigen::MatrixXd::Zero(squareDimension(equationCount), equationCount)),
      inverseJacobian(Eigen::MatrixXd::Zero(squareDimension(equationCount), equationCount)),
      residual(Eigen::VectorXd::Zero(equationCount)),
      newResidual(Eigen::VectorXd::Zero(equationCount)),
      residualChange(Eigen::VectorXd::Zero(equationCount)),
      stepWeights(Eigen::VectorXd::Zero(equationCount)),
      // With LAPACK the factors live in the inverse's storage; `lu` is then sized only if a
      // non-finite or singular Jacobian needs it.
      lu(internal::kLapackInverse ? 0 : equationCount),
      jacobianHeld(false) {}

Broyden::Broyden(const Broyden& other) = default;

Broyden& Broyden::operator=(const Broyden& other) {
  if (this == &other) return *this;
  // All or nothing. The settings (the monitor among them), the callables and the message are
  // copied aside first; when every matrix and vector already has the source's shape the rest
  // cannot fail and reuses this storage, otherwise a complete copy is built aside and moved in.
  BroydenParameters parametersCopy = other.parameters;
  ResidualFunction residualCopy = other.residualFunction;
  JacobianFunction jacobianCopy = other.jacobianFunction;
  std::string messageCopy = other.information.message;
  const auto sameShape = [](const auto& a, const auto& b) {
    return a.rows() == b.rows() && a.cols() == b.cols();
  };
  if (!sameShape(jacobian, other.jacobian) || !sameShape(inverseJacobian, other.inverseJacobian) ||
      !sameShape(residual, other.residual) || !sameShape(newResidual, other.newResidual) ||
      !sameShape(residualChange, other.residualChange) ||
      !sameShape(stepWeights, other.stepWeights) || !sameShape(lu, other.lu)) {
    Broyden copy(other);
    return *this = std::move(copy);
  }
  copyScalars(other);
  parameters = std::move(parametersCopy);
  residualFunction = std::move(residualCopy);
  jacobianFunction = std::move(jacobianCopy);
  information.message.swap(messageCopy);
  jacobian = other.jacobian;
  inverseJacobian = other.inverseJacobian;
  residual = other.residual;
  newResidual = other.newResidual;
  residualChange = other.residualChange;
  stepWeights = other.stepWeights;
  lu = other.lu;
  jacobianHeld = other.jacobianHeld;
  return *this;
}

Broyden::Broyden(Broyden&& other) noexcept
    : stateSize(other.stateSize),
      systemSize(other.systemSize),
      parameters(std::move(other.parameters)),
      residualFunction(std::move(other.residualFunction)),
      jacobianFunction(std::move(other.jacobianFunction)),
      information(std::move(other.information)),
      refreshJacobian(other.refreshJacobian),
      goodIterationCount(other.goodIterationCount),
      poorIterationCount(other.poorIterationCount),
      jacobianCount(other.jacobianCount),
      jacobian(std::move(other.jacobian)),
      inverseJacobian(std::move(other.inverseJacobian)),
      residual(std::move(other.residual)),
      newResidual(std::move(other.newResidual)),
      residualChange(std::move(other.residualChange)),
      stepWeights(std::move(other.stepWeights)),
      lu(std::move(other.lu)),
      jacobianHeld(other.jacobianHeld) {
  // Moved-from standard objects are only "valid but unspecified"; a moved-from solver promises
  // empty callables and an empty message.
  other.residualFunction = nullptr;
  other.jacobianFunction = nullptr;
  other.information.message.clear();
}

Broyden& Broyden::operator=(Broyden&& other) noexcept {
  if (this == &other) return *this;
  copyScalars(other);
  parameters = std::move(other.parameters);
  residualFunction = std::move(other.residualFunction);
  other.residualFunction = nullptr;
  jacobianFunction = std::move(other.jacobianFunction);
  other.jacobianFunction = nullptr;
  information.message = std::move(other.information.message);
  other.information.message.clear();
  // Exchanging storage leaves the source holding this object's former workspace.
  jacobian.swap(other.jacobian);
  inverseJacobian.swap(other.inverseJacobian);
  residual.swap(other.residual);
  newResidual.swap(other.newResidual);
  residualChange.swap(other.residualChange);
  stepWeights.swap(other.stepWeights);
  std::swap(lu, other.lu);
  jacobianHeld = other.jacobianHeld;
  return *this;
}

Broyden::~Broyden() = default;

// Sizes, the record's fields other than the message, counters and the refresh flag: what both
// assignments copy whatever they do with the settings, callables and storage.
void Broyden::copyScalars(const Broyden& other) noexcept {
  stateSize = other.stateSize;
  systemSize = other.systemSize;
  information.converged = other.information.converged;
  information.iterations = other.information.iterations;
  information.jacobianEvaluations = other.information.jacobianEvaluations;
  information.error = other.information.error;
  information.residualNorm = other.information.residualNorm;
  information.residualEvaluations = other.information.residualEvaluations;
  information.termination = other.information.termination;
  refreshJacobian = other.refreshJacobian;
  goodIterationCount = other.goodIterationCount;
  poorIterationCount = other.poorIterationCount;
  jacobianCount = other.jacobianCount;
}

void Broyden::reset() { dropHeldJacobian(); }

void Broyden::dropHeldJacobian() {
  jacobianHeld = false;
  refreshJacobian = true;
}

template <class Variables>
const BroydenInformation& Broyden::run(Variables& variables) {
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
  internal::DenseModel model(
      jacobianFunction, jacobian, inverseJacobian, lu, residualChange, jacobianHeld);
  return internal::iterate(context, model, variables);
}

const BroydenInformation& Broyden::solve(Eigen::Ref<Eigen::VectorXd> x) {
  if (stateSize != systemSize) {
    throw std::invalid_argument(
        "Broyden::solve: a vector solve needs equal state and system sizes, got state size " +
        std::to_string(stateSize) + " and system size " + std::to_string(systemSize));
  }
  if (x.size() != stateSize) {
    throw std::invalid_argument("Broyden::solve: the vector has " + std::to_string(x.size()) +
                                " entries, the solver's state size is " +
                                std::to_string(stateSize));
  }
  internal::VectorVariables variables(x);
  return run(variables);
}

const BroydenInformation& Broyden::solve(Ondrel::Math::State& state) {
  if (state.values.size() != stateSize) {
    throw std::invalid_argument("Broyden::solve: the State has " +
                                std::to_string(state.values.size()) +
                                " values, the solver's state size is " + std::to_string(stateSize));
  }
  internal::Components components = internal::checkedLayout(state, stateSize, systemSize);
  internal::StateVariables variables(
      state, stateSize, systemSize, std::move(components), parameters.outputStream);
  return run(variables);
}

}  // namespace Ondrel::Math::Solvers
