// Powell's dogleg for StepControl::kTrustRegion (not installed): the step within a radius that
// the model's J and its inverse suggest, and how the radius follows the model's predictions.
//
// With D the trust region's scales (fixTrustScales), the model is ||F + J s|| and the radius
// bounds ||D s||. The quasi-Newton step d = -H F is taken whole when it fits. Otherwise the
// steepest-descent direction of the model in the scaled variables, w = D^-2 Jᵀ F, gives the
// Cauchy point c = -(||D^-1 Jᵀ F||² / ||J w||²) w; when c lies outside the radius the step is c
// cut to the radius, and otherwise the point where the segment from c to d leaves it.
#pragma once

#include <Eigen/Core>
#include <algorithm>
#include <cmath>

namespace Ondrel::Math::Solvers::internal {

// A trial accepted from this fraction of the predicted decrease of ||F||²; the radius grows after
// one that gained at least kGoodPrediction of it, and shrinks after a rejected one (MINPACK's
// hybrj thresholds).
constexpr double kAcceptedPrediction = 1e-4;
constexpr double kGoodPrediction = 0.5;
constexpr double kRadiusGrowth = 2.0;
constexpr double kRadiusCut = 0.5;

// What a trust-region solve carries from one iteration to the next, and its work vectors.
struct TrustRegion {
  double radius = 0.0;
  // The first step fixes the radius no longer than d, as MINPACK's first iteration does.
  bool radiusFixed = false;
  // D (fixTrustScales); empty until the first step of a solve.
  Eigen::VectorXd scales;
  Eigen::VectorXd columns;
  Eigen::VectorXd newton;
  Eigen::VectorXd gradient;
  Eigen::VectorXd product;

  void allocate(Eigen::Index m) {
    newton.resize(m);
    columns.resize(m);
    gradient.resize(m);
    product.resize(m);
  }
};

inline double scaledNorm(const Eigen::VectorXd& scales, const Eigen::VectorXd& v) {
  return scales.size() == 0 ? v.norm() : (scales.array() * v.array()).matrix().norm();
}
inline double scaledSquaredNorm(const Eigen::VectorXd& scales, const Eigen::VectorXd& v) {
  return scales.size() == 0 ? v.squaredNorm() : (scales.array() * v.array()).matrix().squaredNorm();
}

// The scales of the trust region: the variable scales when given, otherwise (as MINPACK's hybrj
// scales itself) the largest norm each of J's columns has had in this solve, with the model's J
// of this iteration. A column of nothing counts as one, and no scale falls below
// kSmallestScale of the largest, so that a variable J barely sees is not let run to infinity.
constexpr double kSmallestScale = 1e-6;
template <class Model>
void fixTrustScales(const Model& model, const Eigen::VectorXd& variableScales, TrustRegion& trust) {
  if (variableScales.size() != 0) {
    trust.scales = variableScales;
    return;
  }
  model.columnNorms(trust.columns);
  trust.columns = (trust.columns.array() > 0.0).select(trust.columns, 1.0);
  if (trust.scales.size() == 0) {
    trust.scales = trust.columns;
  } else {
    trust.scales = trust.scales.cwiseMax(trust.columns);
  }
  if (trust.scales.size() == 0) return;  // an empty system
  trust.scales = trust.scales.cwiseMax(kSmallestScale * trust.scales.maxCoeff());
}

// The dogleg step within `trust.radius` into `step`, from trust.newton = d and the residual F.
template <class Model>
void doglegStep(const Model& model,
                const Eigen::VectorXd& residual,
                const Eigen::VectorXd& scales,
                TrustRegion& trust,
                Eigen::VectorXd& step) {
  const double radius = trust.radius;
  if (scaledNorm(scales, trust.newton) <= radius) {
    step = trust.newton;
    return;
  }
  // gradient = Jᵀ F, then w = D^-2 Jᵀ F in its place; ||D w|| = ||D^-1 Jᵀ F||.
  model.applyTransposedJacobian(residual, trust.gradient);
  if (scales.size() != 0) trust.gradient.array() /= scales.array().square();
  const double gradientNorm = scaledNorm(scales, trust.gradient);
  model.applyJacobian(trust.gradient, trust.product);
  const double curvature = trust.product.squaredNorm();
  // A model flat along w (or a gradient of nothing) has no Cauchy point: d cut to the radius.
  if (!(gradientNorm > 0.0) || !(curvature > 0.0)) {
    step = trust.newton * (radius / scaledNorm(scales, trust.newton));
    return;
  }
  const double cauchyLength = gradientNorm * gradientNorm / curvature * gradientNorm;
  if (cauchyLength >= radius) {
    step = trust.gradient * (-radius / gradientNorm);
    return;
  }
  // c + tau (d - c) with ||D (c + tau (d - c))|| = radius, tau in (0, 1): the positive root.
  step = trust.gradient * (-cauchyLength / gradientNorm);
  trust.product = trust.newton - step;
  const double a = scaledSquaredNorm(scales, trust.product);
  const double b = scales.size() == 0
                       ? step.dot(trust.product)
                       : (scales.array().square() * step.array() * trust.product.array()).sum();
  const double c = cauchyLength * cauchyLength - radius * radius;
  const double tau = (-b + std::sqrt(std::max(b * b - a * c, 0.0))) / a;
  step += tau * trust.product;
}

}  // namespace Ondrel::Math::Solvers::internal
