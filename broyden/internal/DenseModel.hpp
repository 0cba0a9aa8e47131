// The dense solver's model of the Jacobian (not installed): J, its LU and H = J^-1 held
// explicitly, so that a step costs one matrix-vector product. It owns them, with the Jacobian
// callable and its work vectors, and lives in the solver between solves; the iteration asks it
// for steps, refreshes and updates (JacobianModel.hpp). The whole workspace is sized from m at
// construction.
//
// The updates between refreshes, with s the step x+ - x, y = F(x+) - F(x), J and H their values
// before the update, and δ = kDenominatorShift:
//
//   kGoodBroydenOnJacobian (0):  J+ = J + (y - J s) sᵀ / (sᵀ s + δ),       then LU and H from J+
//   kGoodBroydenOnInverse  (1):  H+ = H + (s - H y)(sᵀ H) / (sᵀ H y + δ)
//   kBadBroydenOnInverse   (2):  H+ = H + (s - H y) yᵀ / (yᵀ y + δ)
//
// In the code s is `step`, y is `residualChange`, (y - J s) and (s - H y) are `correction`, and
// sᵀ H is `transposedProduct`. Each makes the secant condition hold up to δ: J+ s = y, or H+ y = s.
// Methods 0 and 1 are one update in exact arithmetic (1 is 0 carried to H by Sherman–Morrison,
// O(m²) instead of a new O(m³) factorisation); 2 is the other rank-one correction of H that
// satisfies the secant condition. Any other method value leaves J and H as they are.
//
// For the trust region the model also keeps J current under methods 1 and 2, with the update of
// J that each one's update of H is the inverse of: method 1 the same as method 0, method 2
// J+ = J + (y - J s)(yᵀ J) / (yᵀ J s + δ) (Sherman–Morrison applied to H+).
#pragma once

#include <Eigen/Core>
#include <Eigen/LU>
#include <cstdint>
#include <ondrel/broyden/BroydenFunctions.hpp>

#include "JacobianModel.hpp"

namespace Ondrel::Math::Solvers::internal {

class DenseModel {
 public:
  // Throws std::bad_alloc when m x m entries do not fit a signed 64-bit count or cannot be
  // allocated.
  DenseModel(const char* solverName, Eigen::Index m, JacobianFunction jacobianFunction);

  // A factorised Jacobian and its inverse, from an earlier solve or this one, are there to use.
  bool held() const { return jacobianHeld; }
  // Forgets them: the next solve evaluates afresh.
  void drop() { jacobianHeld = false; }
  // Nothing to make ready before a solve.
  void prepare() {}

  // Evaluates J at `point`, then its LU and H. Throws std::invalid_argument when the callable
  // leaves other than m x m entries; exceptions of the callable pass through.
  void evaluate(const Eigen::Ref<const Eigen::VectorXd>& point);

  // dx = -H F.
  void step(const Eigen::VectorXd& residual, Eigen::VectorXd& dx) const;

  // Keeps J current through updates of H too (the trust region's steepest descent needs J); off,
  // J is the last evaluated or method-0 one. Sizes its work vector when switched on.
  void keepJacobianCurrent(bool keep);
  // out = J v, and out = Jᵀ v, with the J of the model.
  void applyJacobian(const Eigen::VectorXd& v, Eigen::VectorXd& out) const {
    out.noalias() = jacobian * v;
  }
  // The Euclidean norm of each of J's columns.
  void columnNorms(Eigen::VectorXd& out) const { out = jacobian.colwise().norm().transpose(); }
  void applyTransposedJacobian(const Eigen::VectorXd& v, Eigen::VectorXd& out) const {
    out.noalias() = jacobian.transpose() * v;
  }

  // Whether the model can still give finite steps (O(m²): only asked for by failFast).
  ModelHealth health() const;

  // Applies the update `method` (see above) for the step s between the points where `residual`
  // and `newResidual` were taken.
  void update(std::int32_t method,
              const Eigen::VectorXd& s,
              const Eigen::VectorXd& residual,
              const Eigen::VectorXd& newResidual);

 private:
  void factorise();
  // The update of J that matches the update `method` just made to H.
  void followOnJacobian(std::int32_t method, const Eigen::VectorXd& s, const Eigen::VectorXd& y);

  const char* solverName;
  JacobianFunction jacobianFunction;
  Eigen::MatrixXd jacobian;
  Eigen::MatrixXd inverseJacobian;
  Eigen::PartialPivLU<Eigen::MatrixXd> lu;
  Eigen::VectorXd residualChange;
  bool jacobianHeld = false;
  // Work vectors: (y - J s) or (s - H y), and sᵀ H.
  Eigen::VectorXd correction;
  Eigen::VectorXd transposedProduct;
  bool jacobianKeptCurrent = false;
  // J s and yᵀ J while J follows H.
  Eigen::VectorXd jacobianProduct;
  Eigen::VectorXd transposedJacobianProduct;
};

}  // namespace Ondrel::Math::Solvers::internal
