#include "SparseModel.hpp"

#include <limits>
#include <ondrel/broyden/BroydenParameters.hpp>
#include <stdexcept>
#include <string>
#include <utility>

#include "SolverCore.hpp"

namespace Ondrel::Math::Solvers::internal {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Eigen keeps the row indices of a column sorted; a matrix built through its raw arrays may not,
// and neither backend may be handed one that breaks that.
void checkStructure(const char* solverName, const Eigen::SparseMatrix<double>& matrix) {
  const auto* starts = matrix.outerIndexPtr();
  const auto* rows = matrix.innerIndexPtr();
  const Eigen::Index m = matrix.rows();
  for (Eigen::Index j = 0; j < matrix.cols(); ++j) {
    for (auto p = starts[j]; p < starts[j + 1]; ++p) {
      const bool ordered = p == starts[j] || rows[p] > rows[p - 1];
      if (!ordered || rows[p] < 0 || rows[p] >= m) {
        throw std::invalid_argument(
            std::string(solverName) + "::solve: the Jacobian function left a matrix whose column " +
            std::to_string(j) + " does not hold strictly increasing row indices below " +
            std::to_string(m));
      }
    }
  }
}

bool allFinite(const Eigen::SparseMatrix<double>& matrix) {
  return Eigen::Map<const Eigen::VectorXd>(matrix.valuePtr(), matrix.nonZeros()).allFinite();
}

}  // namespace

SparseModelState::SparseModelState(Eigen::Index m,
                                   std::int32_t updateMethod,
                                   std::uint64_t limit,
                                   SparseFactorisation factorisation,
                                   SparseOrdering ordering)
    : systemSize(m),
      method(updateMethod),
      updateLimit(limit),
      jacobian(m, m),
      lu(factorisation, ordering),
      cachedResidual(m),
      cachedProduct(m) {}

SparseModelState::SparseModelState(const SparseModelState& other)
    : systemSize(other.systemSize),
      method(other.method),
      updateLimit(other.updateLimit),
      jacobian(other.jacobian),
      lu(other.lu.choice(), other.lu.ordering()),
      held(other.held),
      jacobianFinite(other.jacobianFinite),
      updatedJacobianFinite(other.updatedJacobianFinite),
      regular(other.regular),
      correctionsFinite(other.correctionsFinite),
      factorsPending(other.held && other.jacobianFinite && other.regular && other.systemSize > 0),
      used(other.used),
      left(other.left),
      right(other.right),
      solved(other.solved),
      capacitance(other.capacitance),
      capacitanceLu(other.capacitanceLu),
      cachedResidual(other.cachedResidual),
      cachedProduct(other.cachedProduct),
      cacheValid(other.cacheValid) {}

void SparseModelState::factorisePending() {
  if (!factorsPending) return;
  // Dropped, should the factorisation throw.
  held = false;
  // The same matrix factorised by the same code: the copy's factors are the source's.
  regular = lu.factorise(jacobian);
  factorsPending = false;
  held = true;
}

SparseModel::SparseModel(const char* name,
                         Eigen::Index m,
                         SparseJacobianFunction jacobianCallable,
                         std::int32_t updateMethod,
                         std::uint64_t updateLimit,
                         SparseFactorisation factorisation,
                         SparseOrdering ordering)
    : solverName(name),
      jacobianFunction(std::move(jacobianCallable)),
      state(m, updateMethod, updateLimit, factorisation, ordering),
      product(m),
      previousProduct(m),
      correction(m) {}

void SparseModel::drop() {
  state.held = false;
  state.used = 0;
  state.cacheValid = false;
  state.factorsPending = false;
}

void SparseModel::evaluate(const Eigen::Ref<const Eigen::VectorXd>& point) {
  const Eigen::Index m = state.systemSize;
  Eigen::SparseMatrix<double>& jacobian = state.jacobian;
  // From here on the held factors no longer describe the matrix.
  state.held = false;
  state.used = 0;
  state.cacheValid = false;
  evaluateJacobian(solverName, jacobianFunction, point, jacobian, m);
  jacobian.makeCompressed();
  checkStructure(solverName, jacobian);
  state.jacobianFinite = allFinite(jacobian);
  state.updatedJacobianFinite = true;
  state.correctionsFinite = true;
  state.factorsPending = false;
  state.regular = m == 0 || (state.jacobianFinite && state.lu.factorise(jacobian));
  state.held = true;
}

void SparseModel::applyInverse(const Eigen::VectorXd& v, Eigen::VectorXd& out) {
  if (state.systemSize == 0) return;
  if (!state.jacobianFinite || !state.regular) {
    out.setConstant(kNaN);
    return;
  }
  state.lu.solve(v, out);
  const std::size_t k = state.used;
  switch (state.method) {
    case kGoodBroydenOnInverse:
      for (std::size_t i = 0; i < k; ++i) out += state.left[i] * state.right[i].dot(out);
      break;
    case kBadBroydenOnInverse:
      for (std::size_t i = 0; i < k; ++i) out += state.left[i] * state.right[i].dot(v);
      break;
    case kGoodBroydenOnJacobian: {
      if (k == 0) break;
      coefficients.resize(static_cast<Eigen::Index>(k));
      for (std::size_t i = 0; i < k; ++i) {
        coefficients(static_cast<Eigen::Index>(i)) = state.right[i].dot(out);
      }
      coefficients = state.capacitanceLu.solve(coefficients).eval();
      for (std::size_t i = 0; i < k; ++i) {
        out -= state.solved[i] * coefficients(static_cast<Eigen::Index>(i));
      }
      break;
    }
    default:
      break;
  }
}

const Eigen::VectorXd& SparseModel::inverseTimes(const Eigen::VectorXd& v, Eigen::VectorXd& out) {
  // Exact comparison: a cached product is used only for the very residual it was made from.
  if (state.cacheValid && v == state.cachedResidual) return state.cachedProduct;
  applyInverse(v, out);
  return out;
}

void SparseModel::step(const Eigen::VectorXd& residual, Eigen::VectorXd& dx) {
  const Eigen::VectorXd& hf = inverseTimes(residual, product);
  if (&hf == &product) {
    state.cachedResidual = residual;
    state.cachedProduct = product;
    state.cacheValid = true;
  }
  dx = -hf;
}

ModelHealth SparseModel::health() const {
  if (!state.jacobianFinite || !state.updatedJacobianFinite) {
    return ModelHealth::kNonFiniteJacobian;
  }
  if (!state.regular || !state.correctionsFinite) return ModelHealth::kNonFiniteInverse;
  return ModelHealth::kFinite;
}

SparseFactorStatistics SparseModel::statistics() const {
  const bool usable = state.held && !state.factorsPending && state.systemSize > 0 &&
                      state.jacobianFinite && state.regular;
  return usable ? state.lu.statistics() : SparseFactorStatistics();
}

bool SparseModel::nextSlot() {
  if (state.used >= state.updateLimit) {
    state.used = 0;
    state.cacheValid = false;
    state.correctionsFinite = true;
    state.updatedJacobianFinite = true;
  }
  if (state.updateLimit == 0) return false;
  const Eigen::Index m = state.systemSize;
  auto ensure = [&](std::vector<Eigen::VectorXd>& vectors) {
    if (vectors.size() <= state.used) vectors.emplace_back(m);
  };
  ensure(state.left);
  ensure(state.right);
  if (state.method == kGoodBroydenOnJacobian) ensure(state.solved);
  return true;
}

void SparseModel::update(std::int32_t method,
                         const Eigen::VectorXd& s,
                         const Eigen::VectorXd& residual,
                         const Eigen::VectorXd& newResidual) {
  // An empty system has nothing to correct; the storage was chosen for the solver's method.
  if (state.systemSize == 0 || method != state.method) return;
  switch (method) {
    case kGoodBroydenOnInverse:
    case kBadBroydenOnInverse:
      updateInverse(method, s, residual, newResidual);
      break;
    case kGoodBroydenOnJacobian:
      updateJacobian(s, residual, newResidual);
      break;
    default:
      break;
  }
}

// H y = H F(x+) - H F(x): the second product is the step just taken (cached), so one application
// of H gives both H y and, after the update, the next step's H+ F(x+).
void SparseModel::updateInverse(std::int32_t method,
                                const Eigen::VectorXd& s,
                                const Eigen::VectorXd& residual,
                                const Eigen::VectorXd& newResidual) {
  if (!nextSlot()) return;
  // After a restart H is J0^-1 again: the cached product belonged to the H before it, and
  // nextSlot has dropped it.
  const Eigen::VectorXd& hf = inverseTimes(residual, previousProduct);
  applyInverse(newResidual, product);
  // correction = H y
  correction = product - hf;
  const std::size_t k = state.used;
  Eigen::VectorXd& a = state.left[k];
  Eigen::VectorXd& b = state.right[k];
  if (method == kGoodBroydenOnInverse) {
    const double denominator = s.dot(correction) + kDenominatorShift;
    a = (s - correction) / denominator;
    b = s;
    product += a * b.dot(product);
  } else {
    b = newResidual - residual;
    const double denominator = b.dot(b) + kDenominatorShift;
    a = (s - correction) / denominator;
    product += a * b.dot(newResidual);
  }
  ++state.used;
  state.correctionsFinite = state.correctionsFinite && a.allFinite() && b.allFinite();
  state.cachedResidual = newResidual;
  state.cachedProduct = product;
  state.cacheValid = true;
}

void SparseModel::updateJacobian(const Eigen::VectorXd& s,
                                 const Eigen::VectorXd& residual,
                                 const Eigen::VectorXd& newResidual) {
  if (!nextSlot()) return;
  state.cacheValid = false;
  const std::size_t k = state.used;
  Eigen::VectorXd& u = state.left[k];
  Eigen::VectorXd& v = state.right[k];
  Eigen::VectorXd& w = state.solved[k];
  // u = y - J s with J = J0 + U Vᵀ.
  u.noalias() = state.jacobian * s;
  for (std::size_t i = 0; i < k; ++i) u += state.left[i] * state.right[i].dot(s);
  u = (newResidual - residual) - u;
  v = s / (s.dot(s) + kDenominatorShift);
  if (!u.allFinite() || !v.allFinite()) state.updatedJacobianFinite = false;
  if (state.jacobianFinite && state.regular) {
    state.lu.solve(u, w);
  } else {
    w.setConstant(kNaN);
  }
  ++state.used;

  // I + Vᵀ W grows by a row and a column.
  const Eigen::Index size = static_cast<Eigen::Index>(state.used);
  const Eigen::Index last = size - 1;
  state.capacitance.conservativeResize(size, size);
  for (Eigen::Index i = 0; i < size; ++i) {
    state.capacitance(last, i) = v.dot(state.solved[static_cast<std::size_t>(i)]);
    state.capacitance(i, last) = state.right[static_cast<std::size_t>(i)].dot(w);
  }
  state.capacitance(last, last) += 1.0;
  state.capacitanceLu.compute(state.capacitance);
  const auto pivots = state.capacitanceLu.matrixLU().diagonal();
  state.correctionsFinite = state.correctionsFinite && w.allFinite() && pivots.allFinite() &&
                            (pivots.array() != 0.0).all();
}

}  // namespace Ondrel::Math::Solvers::internal
