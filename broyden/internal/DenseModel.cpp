#include "DenseModel.hpp"

#include <ondrel/broyden/BroydenRecords.hpp>
#include <stdexcept>
#include <string>

#include "DenseInverse.hpp"
#include "RankOneUpdate.hpp"

namespace Ondrel::Math::Solvers::internal {

DenseModel::DenseModel(const JacobianFunction& jacobianCallable,
                       Eigen::MatrixXd& jacobianStorage,
                       Eigen::MatrixXd& inverseStorage,
                       Eigen::PartialPivLU<Eigen::MatrixXd>& factorisation,
                       Eigen::VectorXd& residualChangeStorage,
                       bool& held)
    : jacobianFunction(jacobianCallable),
      jacobian(jacobianStorage),
      inverseJacobian(inverseStorage),
      lu(factorisation),
      residualChange(residualChangeStorage),
      jacobianHeld(held),
      correction(inverseStorage.rows()),
      transposedProduct(inverseStorage.rows()) {}

void DenseModel::evaluate(const Eigen::Ref<const Eigen::VectorXd>& point) {
  const Eigen::Index m = inverseJacobian.rows();
  // A callable that threw earlier may have left the matrix at another size.
  if (jacobian.rows() != m || jacobian.cols() != m) jacobian.resize(m, m);
  jacobianFunction(point, jacobian);
  if (jacobian.rows() != m || jacobian.cols() != m) {
    throw std::invalid_argument("Broyden::solve: the Jacobian function left a " +
                                std::to_string(jacobian.rows()) + " x " +
                                std::to_string(jacobian.cols()) + " matrix, the system needs " +
                                std::to_string(m) + " x " + std::to_string(m));
  }
  factorise();
  jacobianHeld = true;
}

// The inverse is stored, not solved for, so that a step costs one matrix-vector product.
void DenseModel::factorise() { invertJacobian(jacobian, lu, inverseJacobian); }

void DenseModel::step(const Eigen::VectorXd& residual, Eigen::VectorXd& dx) const {
  dx.noalias() = inverseJacobian * residual;
  dx = -dx;
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
      break;
  }
}

}  // namespace Ondrel::Math::Solvers::internal
