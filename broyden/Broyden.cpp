#include <limits>
#include <new>
#include <ondrel/broyden/Broyden.hpp>
#include <ondrel/broyden/BroydenIteration.hpp>
#include <ondrel/broyden/internal/DenseInverse.hpp>
#include <stdexcept>
#include <string>
#include <utility>

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

// Adds (u_i * v_j) / d to every element of a, one column at a time, so that no m x m
// correction is ever formed and each element gets exactly that rounding. The division per
// element is the cost that dominates while H fits in cache: the AVX2 clone divides four at a
// time, with results identical to the baseline's, since IEEE division is correctly rounded.
// Not under ThreadSanitizer: the clone's resolver runs during relocation, before its runtime.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define ONDREL_DIVISION_CLONES \
  __attribute__((target_clones("avx2", "default"), optimize("tree-vectorize")))
#else
#define ONDREL_DIVISION_CLONES
#endif
ONDREL_DIVISION_CLONES void addRankOneColumns(double* __restrict a,
                                              Eigen::Index rows,
                                              Eigen::Index cols,
                                              const double* __restrict u,
                                              const double* __restrict v,
                                              double denominator) {
  for (Eigen::Index j = 0; j < cols; ++j) {
    const double vj = v[j];
    double* __restrict column = a + j * rows;
    for (Eigen::Index i = 0; i < rows; ++i) column[i] += (u[i] * vj) / denominator;
  }
}

void addRankOne(Eigen::MatrixXd& a,
                const Eigen::VectorXd& u,
                const Eigen::VectorXd& v,
                double denominator) {
  addRankOneColumns(a.data(), a.rows(), a.cols(), u.data(), v.data(), denominator);
}

// The vector solve's variables: the working point and the trial point, both copies, so the
// caller's vector is written once, on convergence.
class VectorVariables {
 public:
  explicit VectorVariables(Eigen::Ref<Eigen::VectorXd> callerValues)
      : caller(callerValues),
        point(callerValues),
        trialPoint(callerValues.size()),
        pointDifference(callerValues.size()) {}

  const Eigen::VectorXd& currentValues() const { return point; }
  const Eigen::VectorXd& trialValues() const { return trialPoint; }

  void fixWeights(Eigen::VectorXd& weights, double relativeTolerance, double absoluteTolerance) {
    weights.resize(point.size());
    weights = 1.0 / (point.array().abs() * relativeTolerance + absoluteTolerance);
  }
  double weightedSquaredSum(const Eigen::VectorXd& weights, const Eigen::VectorXd& step) const {
    return (step.array() * weights.array()).square().sum();
  }

  void advance(const Eigen::VectorXd& step) { trialPoint = point + step; }
  // The update uses the difference of the two points, not dx: they differ by rounding.
  const Eigen::VectorXd& updateStep(const Eigen::VectorXd&) {
    pointDifference = trialPoint - point;
    return pointDifference;
  }
  void accept() { point = trialPoint; }
  void writeBack() { caller = trialPoint; }

 private:
  Eigen::Ref<Eigen::VectorXd> caller;
  Eigen::VectorXd point;
  Eigen::VectorXd trialPoint;
  Eigen::VectorXd pointDifference;
};

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
  // All or nothing. The callables and the message are copied aside first; when every matrix and
  // vector already has the source's shape the rest cannot fail and reuses this storage,
  // otherwise a complete copy is built aside and moved in.
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
      parameters(other.parameters),
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

// Sizes, settings, the record's fields other than the message, counters and the refresh flag:
// what both assignments copy whatever they do with callables and storage.
void Broyden::copyScalars(const Broyden& other) noexcept {
  stateSize = other.stateSize;
  systemSize = other.systemSize;
  parameters = other.parameters;
  information.converged = other.information.converged;
  information.iterations = other.information.iterations;
  information.jacobianEvaluations = other.information.jacobianEvaluations;
  information.error = other.information.error;
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
  VectorVariables variables(x);
  return iterate(variables);
}

void Broyden::evaluateResidual(const Eigen::Ref<const Eigen::VectorXd>& point,
                               Eigen::VectorXd& out) {
  // A callable that threw earlier may have left its output at another size.
  if (out.size() != systemSize) out.resize(systemSize);
  residualFunction(point, out);
  if (out.size() != systemSize) {
    throw std::invalid_argument("Broyden::solve: the residual function left " +
                                std::to_string(out.size()) + " entries, the system has " +
                                std::to_string(systemSize) + " equations");
  }
}

void Broyden::evaluateJacobian(const Eigen::Ref<const Eigen::VectorXd>& point) {
  if (jacobian.rows() != systemSize || jacobian.cols() != systemSize) {
    jacobian.resize(systemSize, systemSize);
  }
  jacobianFunction(point, jacobian);
  if (jacobian.rows() != systemSize || jacobian.cols() != systemSize) {
    throw std::invalid_argument("Broyden::solve: the Jacobian function left a " +
                                std::to_string(jacobian.rows()) + " x " +
                                std::to_string(jacobian.cols()) + " matrix, the system needs " +
                                std::to_string(systemSize) + " x " + std::to_string(systemSize));
  }
}

// The inverse is stored, not solved for, so that a step costs one matrix-vector product.
void Broyden::factorise() { internal::invertJacobian(jacobian, lu, inverseJacobian); }

// s is the step, y = residualChange; `correction` and `transposedProduct` are the solve's
// scratch vectors of m entries.
void Broyden::applyUpdate(const Eigen::VectorXd& step,
                          Eigen::VectorXd& correction,
                          Eigen::VectorXd& transposedProduct) {
  constexpr double kDenominatorShift = 1e-14;
  residualChange = newResidual - residual;
  // An empty system has nothing to correct, and a BLAS refuses empty products.
  if (systemSize == 0) return;
  const Eigen::VectorXd& y = residualChange;
  switch (parameters.updateMethod) {
    case 0: {
      correction.noalias() = jacobian * step;
      correction = y - correction;
      addRankOne(jacobian, correction, step, step.dot(step) + kDenominatorShift);
      factorise();
      break;
    }
    case 1: {
      // H y and s^T H in one pass over H: each column is read once for both products.
      correction.setZero();
      for (Eigen::Index j = 0; j < inverseJacobian.cols(); ++j) {
        const auto column = inverseJacobian.col(j);
        transposedProduct(j) = step.dot(column);
        correction.noalias() += column * y(j);
      }
      correction = step - correction;
      addRankOne(inverseJacobian,
                 correction,
                 transposedProduct,
                 transposedProduct.dot(y) + kDenominatorShift);
      break;
    }
    case 2: {
      correction.noalias() = inverseJacobian * y;
      correction = step - correction;
      addRankOne(inverseJacobian, correction, y, y.dot(y) + kDenominatorShift);
      break;
    }
    default:
      break;
  }
}

void Broyden::scheduleRefresh(double previousNorm, double norm) {
  refreshJacobian = false;
  const double ratio = previousNorm / norm;
  bool refresh = false;
  if (ratio > parameters.refreshReductionRatio) {
    refresh = true;
  } else if (norm > 100.0 && jacobianCount == 0) {
    // Far from the root on a Jacobian inherited from another solve: get a fresh one.
    refresh = true;
  } else if (ratio >= parameters.goodReductionRatio) {
    ++goodIterationCount;
    refresh = goodIterationCount >= parameters.refreshCountLimit;
  } else if (poorIterationCount >= parameters.refreshCountLimit) {
    refresh = true;
  } else {
    ++poorIterationCount;
  }
  if (refresh) {
    refreshJacobian = true;
    goodIterationCount = 0;
    poorIterationCount = 0;
  }
}

}  // namespace Ondrel::Math::Solvers
