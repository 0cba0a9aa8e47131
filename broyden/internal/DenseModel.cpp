#include "DenseModel.hpp"

#include <limits>
#include <new>
#include <ondrel/broyden/BroydenParameters.hpp>
#include <string>
#include <utility>

#include "DenseInverse.hpp"
#include "RankOneUpdate.hpp"
#include "SolverCore.hpp"

namespace Ondrel::Math::Solvers::internal {

namespace {

// The m x m matrices are refused before anything is allocated when their element count does
// not fit the signed 64-bit index type.
Eigen::Index squareDimension(Eigen::Index m) {
  if (m != 0 && m > std::numeric_limits<Eigen::Index>::max() / m) throw std::bad_alloc();
  return m;
}

}  // namespace

DenseModel::DenseModel(const char* name, Eigen::Index m, JacobianFunction jacobianCallable)
    : solverName(name),
      jacobianFunction(std::move(jacobianCallable)),
      jacobian(Eigen::MatrixXd::Zero(squareDimension(m), m)),
      inverseJacobian(Eigen::MatrixXd::Zero(m, m)),
      // With LAPACK the factors live in the inverse's storage; `lu` is then sized only if a
      // non-finite or singular Jacobian needs it.
      lu(kLapackInverse ? 0 : m),
      residualChange(Eigen::VectorXd::Zero(m)),
      correction(m),
      transposedProduct(m) {}

void DenseModel::evaluate(const Eigen::Ref<const Eigen::VectorXd>& point) {
  evaluateJacobian(solverName, jacobianFunction, point, jacobian, inverseJacobian.rows());
  factorise();
  jacobianHeld = true;
}

// The inverse is stored, not solved for, so that a step costs one matrix-vector product.
void DenseModel::factorise() { invertJacobian(jacobian, lu, inverseJacobian); }

void DenseModel::step(const Eigen::VectorXd& residual, Eigen::VectorXd& dx) const {
  dx.noalias() = inverseJacobian * residual;
  dx = -dx;
}

void DenseModel::keepJacobianCurrent(bool keep) {
  jacobianKeptCurrent = keep;
  if (keep) {
    jacobianProduct.resize(jacobian.rows());
    transposedJacobianProduct.resize(jacobian.rows());
  }
}

void DenseModel::followOnJacobian(std::int32_t method,
                                  const Eigen::VectorXd& s,
                                  const Eigen::VectorXd& y) {
  jacobianProduct.noalias() = jacobian * s;
  if (method == kGoodBroydenOnInverse) {
    jacobianProduct = y - jacobianProduct;
    addRankOne(jacobian, jacobianProduct, s, s.dot(s) + kDenominatorShift);
  } else if (method == kBadBroydenOnInverse) {
    transposedJacobianProduct.noalias() = jacobian.transpose() * y;
    const double denominator = y.dot(jacobianProduct) + kDenominatorShift;
    jacobianProduct = y - jacobianProduct;
    addRankOne(jacobian, jacobianProduct, transposedJacobianProduct, denominator);
  }
}

ModelHealth DenseModel::health() const {
  if (!jacobian.allFinite()) return ModelHealth::kNonFiniteJacobian;
  if (!inverseJacobian.allFinite()) return ModelHealth::kNonFiniteInverse;
  return ModelHealth::kFinite;
}

void DenseModel::update(std::int32_t method,
                        const Eigen::VectorXd& s,
                        const Eigen::VectorXd& residual,
                        const Eigen::VectorXd& newResidual) {
  residualChange = newResidual - residual;
  // An empty system has nothing to correct.
  if (inverseJacobian.rows() == 0) return;
  const Eigen::VectorXd& y = residualChange;
  switch (method) {
    case kGoodBroydenOnJacobian: {
      correction.noalias() = jacobian * s;
      correction = y - correction;
      addRankOne(jacobian, correction, s, s.dot(s) + kDenominatorShift);
      factorise();
      break;
    }
    case kGoodBroydenOnInverse: {
      // H y and sᵀ H in one pass over H: each column is read once for both products.
      correction.setZero();
      for (Eigen::Index j = 0; j < inverseJacobian.cols(); ++j) {
        const auto column = inverseJacobian.col(j);
        transposedProduct(j) = s.dot(column);
        correction.noalias() += column * y(j);
      }
      correction = s - correction;
      addRankOne(inverseJacobian,
                 correction,
                 transposedProduct,
                 transposedProduct.dot(y) + kDenominatorShift);
      break;
    }
    case kBadBroydenOnInverse: {
      correction.noalias() = inverseJacobian * y;
      correction = s - correction;
      addRankOne(inverseJacobian, correction, y, y.dot(y) + kDenominatorShift);
      break;
    }
    default:
      return;
  }
  if (jacobianKeptCurrent && method != kGoodBroydenOnJacobian) followOnJacobian(method, s, y);
}

}  // namespace Ondrel::Math::Solvers::internal
