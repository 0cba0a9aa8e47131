// Models that fight back: sign constraints that no evaluated point may violate, scales that make a
// system in mixed units solve as its pre-scaled twin, and settings that do not fit refused before
// anything runs.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "ComplexationProblem.hpp"
#include "support/CountedCallables.hpp"
#include "support/KnownRootSystems.hpp"

namespace Ondrel::Math::Solvers {
namespace {

using Testing::countCalls;
using Testing::MildlyNonlinearSystem;

// The equilibrium's totals are 1e-3 mol/L; its residual is met to 1e-10.
constexpr double kBalanceTolerance = 1e-9;
// Roots of a system and its pre-scaled twin agree to rounding of the solves' last steps.
constexpr double kRootTolerance = 1e-9;
// x + 0.99 (0 - x) rounds within a few units in the last place of x.
constexpr double kCutTolerance = 1e-15;

TEST(BroydenConstraints, NoEvaluatedPointLeavesItsSideAndTheEquilibriumIsFound) {
  const Gallery::Complexation equilibrium;
  for (const bool lineSearch : {false, true}) {
    SCOPED_TRACE(lineSearch ? "line search" : "full steps");
    BroydenParameters p = lineSearch ? BroydenParameters::robust() : BroydenParameters{};
    p.outputStream = nullptr;
    p.constraints.assign(4, SignConstraint::kPositive);
    auto lowest = std::make_shared<double>(std::numeric_limits<double>::infinity());
    const ResidualFunction residual = equilibrium.residual();
    Broyden solver(
        4,
        4,
        p,
        [lowest, residual](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
          *lowest = std::min(*lowest, x.minCoeff());
          residual(x, f);
        },
        equilibrium.jacobian());
    Eigen::VectorXd x = Gallery::Complexation::start();
    const BroydenInformation& info = solver.solve(x);
    ASSERT_EQ(info.termination, BroydenTermination::kConverged);
    EXPECT_GT(*lowest, 0.0);
    EXPECT_NEAR(x(0) + x(2) + x(3), equilibrium.totalMetal, kBalanceTolerance);
    EXPECT_NEAR(x(1) + x(2) + 2.0 * x(3), equilibrium.totalLigand, kBalanceTolerance);
  }
}

// Each constrained entry that would cross goes 0.99 of the way, the others keep their step.
TEST(BroydenConstraints, EachCrossingEntryIsCutAlone) {
  struct Row {
    SignConstraint constraint;
    double start;
    double step;
    double trial;
  };
  const Row rows[] = {
      {SignConstraint::kPositive, 1.0, -5.0, 0.01},
      {SignConstraint::kNonNegative, 2.0, -2.0, 0.02},
      {SignConstraint::kNonNegative, 0.0, -1.0, 0.0},
      {SignConstraint::kNegative, -1.0, 3.0, -0.01},
      {SignConstraint::kNonPositive, -1.0, 0.5, -0.5},
      {SignConstraint::kNone, 1.0, -5.0, -4.0},
  };
  for (const Row& row : rows) {
    // F = x - (start + step) with J = 1: the first trial is start + step unless it is cut. The
    // second entry is free and must keep its whole step.
    const Eigen::Vector2d target(row.start + row.step, 7.0);
    std::vector<Eigen::VectorXd> points;
    BroydenParameters p;
    p.outputStream = nullptr;
    p.maxIterations = 1;
    p.constraints = {row.constraint, SignConstraint::kNone};
    Broyden solver(
        2,
        2,
        p,
        [&](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
          points.push_back(x);
          f = x - target;
        },
        [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::MatrixXd& j) { j.setIdentity(2, 2); });
    Eigen::VectorXd x(2);
    x << row.start, 1.0;
    solver.solve(x);
    ASSERT_EQ(points.size(), 2u);
    EXPECT_NEAR(points[1](0), row.trial, kCutTolerance)
        << "start " << row.start << " step " << row.step;
    EXPECT_EQ(points[1](1), 7.0);
  }
}

// A system in mixed units, solved with its scales, takes the iterations of its pre-scaled twin to
// the same root, up to rounding. Broyden's rank-one updates measure steps in the variables as
// given, so only updates-free (chord) iterations are invariant under variable scales; residual
// scales leave every update method invariant.
TEST(BroydenScaling, AMixedUnitSystemSolvesAsItsPreScaledTwin) {
  const Eigen::Vector3d residualScales(1e3, 1.0, 1e-3);
  const Eigen::Vector3d variableScales(1e-4, 1.0, 1e2);
  const ResidualFunction f = MildlyNonlinearSystem::residual();
  const JacobianFunction j = MildlyNonlinearSystem::jacobian();
  for (const bool lineSearch : {false, true}) {
    SCOPED_TRACE(lineSearch ? "line search" : "full steps");
    BroydenParameters base = lineSearch ? BroydenParameters::robust() : BroydenParameters{};
    base.outputStream = nullptr;
    base.updateMethod = 3;
    // F in mixed units: its equations times 1/D_F, its variables D_V^-1 times the plain ones.
    const Eigen::Vector3d dv = variableScales;
    const Eigen::Vector3d df = residualScales;
    BroydenParameters scaled = base;
    scaled.residualScales = df;
    scaled.variableScales = dv;
    Broyden mixed(
        3,
        3,
        scaled,
        [&](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& r) {
          f(dv.cwiseProduct(x), r);
          r = r.cwiseQuotient(df);
        },
        [&](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::MatrixXd& m) {
          j(dv.cwiseProduct(x), m);
          m = df.cwiseInverse().asDiagonal() * m * dv.asDiagonal();
        });
    Broyden plain(3, 3, base, f, j);
    const Eigen::Vector3d guess(1.4, 0.7, 1.3);
    Eigen::VectorXd z = guess;
    Eigen::VectorXd x = guess.cwiseQuotient(dv);
    const BroydenInformation a = plain.solve(z);
    const BroydenInformation b = mixed.solve(x);
    ASSERT_EQ(a.termination, BroydenTermination::kConverged);
    EXPECT_EQ(b.termination, a.termination);
    EXPECT_EQ(b.iterations, a.iterations);
    EXPECT_EQ(b.jacobianEvaluations, a.jacobianEvaluations);
    EXPECT_LE((dv.cwiseProduct(x) - z).norm(), kRootTolerance * z.norm());
  }
}

TEST(BroydenSettingsMisuse, SettingsThatDoNotFitAreRefusedBeforeAnyCall) {
  const auto counted =
      countCalls(MildlyNonlinearSystem::residual(), MildlyNonlinearSystem::jacobian());
  const double inf = std::numeric_limits<double>::infinity();
  struct Row {
    const char* why;
    BroydenParameters parameters;
    bool atConstruction;
  };
  std::vector<Row> rows;
  auto add = [&rows](const char* why, auto edit, bool atConstruction) {
    BroydenParameters p;
    p.outputStream = nullptr;
    edit(p);
    rows.push_back({why, p, atConstruction});
  };
  add(
      "two residual scales for three equations",
      [](auto& p) { p.residualScales = Eigen::Vector2d(1, 1); },
      true);
  add(
      "a zero variable scale", [](auto& p) { p.variableScales = Eigen::Vector3d(1, 0, 1); }, true);
  add(
      "a negative residual scale",
      [](auto& p) { p.residualScales = Eigen::Vector3d(1, -1, 1); },
      true);
  add(
      "an infinite variable scale",
      [inf](auto& p) { p.variableScales = Eigen::Vector3d(1, inf, 1); },
      true);
  add(
      "a NaN residual scale",
      [](auto& p) { p.residualScales = Eigen::Vector3d(1, std::nan(""), 1); },
      true);
  add(
      "four constraints for three values",
      [](auto& p) { p.constraints.assign(4, SignConstraint::kNone); },
      true);
  add(
      "a start on the bound of a strict constraint",
      [](auto& p) {
        p.constraints = {SignConstraint::kNone, SignConstraint::kPositive, SignConstraint::kNone};
      },
      false);
  add(
      "a start on the wrong side",
      [](auto& p) {
        p.constraints = {SignConstraint::kNegative, SignConstraint::kNone, SignConstraint::kNone};
      },
      false);
  // Each refusal again with the settings as a fallback's, and a fallback with fallbacks.
  auto withFallback = [](const BroydenParameters& fallback) {
    BroydenParameters p;
    p.outputStream = nullptr;
    p.fallbacks = {fallback};
    return p;
  };
  for (std::size_t i = 0, own = rows.size(); i < own; ++i) {
    rows.push_back({rows[i].why, withFallback(rows[i].parameters), rows[i].atConstruction});
  }
  rows.push_back({"a fallback with fallbacks", withFallback(withFallback({})), true});
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message()
                 << row.why << (row.parameters.fallbacks.empty() ? "" : ", in a fallback"));
    Eigen::VectorXd x = Eigen::Vector3d(1.0, 0.0, 1.0);
    if (row.atConstruction) {
      EXPECT_THROW(Broyden(3, 3, row.parameters, counted.residual, counted.jacobian),
                   std::invalid_argument);
      continue;
    }
    Broyden solver(3, 3, row.parameters, counted.residual, counted.jacobian);
    EXPECT_THROW(solver.solve(x), std::invalid_argument);
    EXPECT_EQ(x, Eigen::Vector3d(1.0, 0.0, 1.0));
  }
  EXPECT_EQ(counted.counts->total(), 0u);

  // A quaternion's values cannot be constrained.
  BroydenParameters p;
  p.constraints.assign(7, SignConstraint::kNone);
  p.constraints[4] = SignConstraint::kNonNegative;
  Broyden poseSolver(7, 6, p, counted.residual, counted.jacobian);
  State pose(7);
  pose.addQuaternion(3);
  pose.values << 0, 0, 0, 1, 0, 0, 0;
  EXPECT_THROW(poseSolver.solve(pose), std::invalid_argument);
  EXPECT_EQ(counted.counts->total(), 0u);

  // The sparse solver holds no Jacobian for the trust region's gradient, and its model is built
  // for one update method.
  BroydenParameters trust;
  trust.stepControl = StepControl::kTrustRegion;
  BroydenParameters otherUpdate;
  otherUpdate.updateMethod = kBadBroydenOnInverse;
  for (const auto& [parameters, text] : {std::pair{trust, "kTrustRegion"},
                                         std::pair{withFallback(trust), "fallbacks[0] uses"},
                                         std::pair{withFallback(otherUpdate), "update method 2"}}) {
    try {
      SparseBroyden sparse(
          3,
          3,
          parameters,
          counted.residual,
          [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::SparseMatrix<double>&) {});
      ADD_FAILURE() << "no exception for " << text;
    } catch (const std::invalid_argument& error) {
      EXPECT_NE(std::string(error.what()).find(text), std::string::npos) << error.what();
    }
  }
}

// The sparse model's bookkeeping across its stored updates, pinned on one unknown, where every
// update that meets the secant condition gives H = s / y: the secant method, whatever the bound.
// Bound 1 restarts from J0^-1 at every update, so an update that took H F from the model before
// the restart (a stale cached product) would step elsewhere than the dense solver.
TEST(SparseModelBookkeeping, RestartsAndNonFiniteUpdatesBehaveAsTheDenseModel) {
  const ResidualFunction cube = [](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
    f(0) = x(0) * x(0) * x(0) - 2.0;
  };
  const double j0 = 12.0;  // J at x0 = 2, kept: the updates alone drive the solve
  for (const std::int32_t method : {1, 2}) {
    SCOPED_TRACE(method);
    BroydenParameters p;
    p.outputStream = nullptr;
    p.updateMethod = method;
    p.refreshCountLimit = 1000;
    std::vector<double> densePoints, sparsePoints;
    auto recording = [&cube](std::vector<double>& points) -> ResidualFunction {
      return [&cube, &points](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
        points.push_back(x(0));
        cube(x, f);
      };
    };
    Broyden dense(
        1,
        1,
        p,
        recording(densePoints),
        [j0](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::MatrixXd& j) { j(0, 0) = j0; });
    SparseBroyden sparse(
        1,
        1,
        p,
        recording(sparsePoints),
        [j0](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::SparseMatrix<double>& j) {
          j.resize(1, 1);
          j.coeffRef(0, 0) = j0;
        },
        1);
    Eigen::VectorXd x = Eigen::VectorXd::Constant(1, 2.0), y = x;
    ASSERT_TRUE(dense.solve(x).converged);
    ASSERT_TRUE(sparse.solve(y).converged);
    ASSERT_EQ(sparsePoints.size(), densePoints.size());
    ASSERT_GT(densePoints.size(), 4u) << "several restarts";
    for (std::size_t i = 0; i < densePoints.size(); ++i) {
      EXPECT_NEAR(sparsePoints[i], densePoints[i], 1e-12 * std::abs(densePoints[i])) << i;
    }
  }

  // J = 1e-150 makes s = -1e300 from F = 1e150; F unchanged there makes y = 0, and the update's
  // correction s / (sᵀ H y + tiny) overflows: failFast ends the solve after that update.
  {
    BroydenParameters p;
    p.outputStream = nullptr;
    p.failFast = true;
    const ResidualFunction flat = [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::VectorXd& f) {
      f(0) = 1e150;
    };
    Broyden dense(1, 1, p, flat, [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::MatrixXd& j) {
      j(0, 0) = 1e-150;
    });
    SparseBroyden sparse(
        1,
        1,
        p,
        flat,
        [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::SparseMatrix<double>& j) {
          j.resize(1, 1);
          j.coeffRef(0, 0) = 1e-150;
        });
    Eigen::VectorXd x = Eigen::VectorXd::Zero(1), y = x;
    for (const BroydenInformation& information : {dense.solve(x), sparse.solve(y)}) {
      EXPECT_EQ(information.termination, BroydenTermination::kSingularJacobian);
      EXPECT_EQ(information.iterations, 1u);
    }
  }
}

}  // namespace
}  // namespace Ondrel::Math::Solvers
