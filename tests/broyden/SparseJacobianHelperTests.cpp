#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <Eigen/Geometry>
#include <cmath>
#include <limits>
#include <memory>
#include <ondrel/broyden/Broyden>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "Bratu2dProblem.hpp"
#include "RigidBodyProblem.hpp"
#include "support/CountedCallables.hpp"
#include "support/MisbehavingCallables.hpp"

namespace {

using Ondrel::Math::State;
using namespace Ondrel::Math::Solvers;
using Ondrel::Testing::countCalls;
using Ondrel::Testing::CountedCallables;
using View = Eigen::Ref<const Eigen::VectorXd>;
using Sparse = Eigen::SparseMatrix<double>;
template <typename T>
using Vector = Eigen::Matrix<T, Eigen::Dynamic, 1>;

// Forward differences are good to about sqrt(eps) relative on these smooth, well-scaled systems,
// central ones to about eps^(2/3); a column differenced with the wrong one of its colour, or a
// wrong convention, is off by order one.
constexpr double kForwardTolerance = 1e-6;
constexpr double kCentralTolerance = 1e-9;
// Automatic derivatives differ from the hand-written formulae only by rounding.
constexpr double kExactTolerance = 1e-14;
// The check's own threshold for a correct Jacobian (JacobianHelpers.hpp): its near-zero entries
// carry the central differences' rounding on the column's scale.
constexpr double kCheckThreshold = 1e-5;

double relativeError(const Eigen::MatrixXd& actual, const Eigen::MatrixXd& expected) {
  return (actual - expected).norm() / expected.norm();
}

// Broyden's tridiagonal system, F_i = (3 - 2 x_i) x_i - x_(i-1) - 2 x_(i+1) + 1.
struct Tridiagonal {
  template <typename T>
  void operator()(const Eigen::Ref<const Vector<T>>& x, Vector<T>& f) const {
    const long long m = x.size();
    for (long long i = 0; i < m; ++i) {
      f(i) = (3.0 - 2.0 * x(i)) * x(i) + 1.0;
      if (i > 0) f(i) -= x(i - 1);
      if (i + 1 < m) f(i) -= 2.0 * x(i + 1);
    }
  }
  static Sparse jacobianAt(const Eigen::VectorXd& x) {
    const long long m = x.size();
    Eigen::MatrixXd j = Eigen::MatrixXd::Zero(m, m);
    for (long long i = 0; i < m; ++i) {
      j(i, i) = 3.0 - 4.0 * x(i);
      if (i > 0) j(i, i - 1) = -1.0;
      if (i + 1 < m) j(i, i + 1) = -2.0;
    }
    return j.sparseView(0.0, 0.0);
  }
};

// F = (R v + p - c, R^T w + p∘p) on a State of p at 0 and a quaternion at 3 (the rigid-body
// example's layout and rotation); under a left turn R' = exp(dθ) R: d(R v) = -[R v]x dθ and
// d(R^T w) = R^T [w]x dθ.
struct Pose {
  template <typename T>
  void operator()(const Eigen::Ref<const Vector<T>>& x, Vector<T>& f) const {
    const Eigen::Matrix<T, 3, 3> r = Gallery::RigidBodyOnSprings::rotationOf<T>(x);
    const Eigen::Matrix<T, 3, 1> p = x.template head<3>();
    const Eigen::Vector3d v(0.3, -1.2, 2.0), w(1.5, 0.4, -0.7), c(0.1, 0.2, 0.3);
    f.template head<3>() = r * v.cast<T>() + p - c.cast<T>();
    f.template tail<3>() = r.transpose() * w.cast<T>() + p.cwiseProduct(p);
  }
  static Eigen::MatrixXd jacobianAt(const Eigen::VectorXd& x) {
    using Gallery::RigidBodyOnSprings;
    const Eigen::Matrix3d r = RigidBodyOnSprings::rotation(x);
    Eigen::MatrixXd j = Eigen::MatrixXd::Zero(6, 6);
    j.block<3, 3>(0, 0) = Eigen::Matrix3d::Identity();
    j.block<3, 3>(3, 0) = (2.0 * x.head<3>()).asDiagonal();
    j.block<3, 3>(0, 3) = -RigidBodyOnSprings::cross(r * Eigen::Vector3d(0.3, -1.2, 2.0));
    j.block<3, 3>(3, 3) =
        r.transpose() * RigidBodyOnSprings::cross(Eigen::Vector3d(1.5, 0.4, -0.7));
    return j;
  }
  static State state() {
    State s(7);
    s.addQuaternion(3);
    const Eigen::Quaterniond q(
        Eigen::AngleAxisd(0.8, Eigen::Vector3d(1.0, 2.0, -0.5).normalized()));
    s.values << 0.7, -1.1, 2.5, q.w(), q.x(), q.y(), q.z();
    return s;
  }
};

bool properColouring(const Sparse& pattern, const ColumnColouring& colouring) {
  for (long long row = 0; row < pattern.rows(); ++row) {
    std::vector<bool> seen(static_cast<std::size_t>(colouring.colourCount), false);
    for (long long j = 0; j < pattern.cols(); ++j) {
      if (pattern.coeff(row, j) == 0.0) continue;
      const int c = colouring.colours[static_cast<std::size_t>(j)];
      if (c < 0 || c >= colouring.colourCount || seen[static_cast<std::size_t>(c)]) return false;
      seen[static_cast<std::size_t>(c)] = true;
    }
  }
  return true;
}

TEST(ColumnColouring, EveryOrderIsProperAndSaturationReachesTheRowBound) {
  Eigen::MatrixXd dense = Eigen::MatrixXd::Ones(6, 6);
  Eigen::MatrixXd arrow = Eigen::MatrixXd::Identity(9, 9);
  arrow.row(0).setOnes();
  arrow.col(0).setOnes();
  Eigen::MatrixXd wide = Eigen::MatrixXd::Zero(3, 7);
  wide << 1, 0, 1, 0, 0, 1, 0,  //
      0, 1, 1, 1, 0, 0, 0,      //
      1, 0, 0, 0, 1, 0, 1;
  struct Row {
    const char* why;
    Sparse pattern;
    int saturationColours;  // the largest row's entries: the lower bound
  };
  const Row rows[] = {
      {"a single entry", Eigen::MatrixXd::Ones(1, 1).sparseView(), 1},
      {"tridiagonal", Tridiagonal::jacobianAt(Eigen::VectorXd::Zero(40)), 3},
      {"five-point stencil, N = 3", Gallery::Bratu2d{3, 1.0}.pattern(), 5},
      {"five-point stencil, N = 20", Gallery::Bratu2d{20, 1.0}.pattern(), 5},
      {"five-point stencil, N = 31", Gallery::Bratu2d{31, 1.0}.pattern(), 5},
      {"dense", dense.sparseView(), 6},
      {"arrow: one full row", arrow.sparseView(), 9},
      {"wide, with an empty column", wide.sparseView(), 3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    for (ColouringOrder order : {ColouringOrder::kSaturation,
                                 ColouringOrder::kLargestFirst,
                                 ColouringOrder::kSmallestLast}) {
      const ColumnColouring colouring = colourColumns(row.pattern, order);
      SCOPED_TRACE(colouring.method);
      ASSERT_EQ(colouring.colours.size(), static_cast<std::size_t>(row.pattern.cols()));
      EXPECT_TRUE(properColouring(row.pattern, colouring));
      EXPECT_GE(colouring.colourCount, row.saturationColours);
      if (order == ColouringOrder::kSaturation) {
        EXPECT_EQ(colouring.colourCount, row.saturationColours);
        EXPECT_EQ(colouring.method, "saturation (DSATUR)");
      }
    }
  }
  EXPECT_THROW(colourColumns(Sparse(4, 4)), std::invalid_argument);
}

// Each row: a system, its pattern and exact Jacobian at a point, differenced or differentiated
// through every helper. The coloured helpers take one residual evaluation per colour (two for
// central differences) besides the one at the point, and fill exactly the pattern. A row of a
// residual meets the stepped columns of its colour only in one entry, so coloured forward
// differences equal the dense helper's, step rule included, bit for bit.
TEST(SparseJacobians, ColouredAndAutomaticEqualTheHandWrittenOnes) {
  const Gallery::Bratu2d bratu{7, 6.0};
  Eigen::VectorXd stencilPoint = Eigen::VectorXd::LinSpaced(bratu.unknowns(), 0.1, 1.4);
  const Eigen::VectorXd bandPoint = Eigen::VectorXd::LinSpaced(30, -1.3, 2.1);
  Sparse bratuExact;
  bratu.jacobian()(stencilPoint, bratuExact);
  struct Row {
    const char* why;
    ResidualFunction residual;
    SparseJacobianFunction automatic;
    Sparse pattern;
    Eigen::VectorXd point;
    Sparse exact;
    int colours;
  };
  const Row rows[] = {
      {"banded",
       automaticJacobian(Tridiagonal{}, 30).residual,
       automaticSparseJacobian(Tridiagonal{}, Tridiagonal::jacobianAt(bandPoint)).jacobian,
       Tridiagonal::jacobianAt(bandPoint),
       bandPoint,
       Tridiagonal::jacobianAt(bandPoint),
       3},
      {"five-point stencil",
       bratu.residual(),
       automaticSparseJacobian(bratu.residualTemplate(), bratu.pattern()).jacobian,
       bratu.pattern(),
       stencilPoint,
       bratuExact,
       5},
      {"a pattern larger than the dependencies, 12 colours: two sweeps",
       automaticJacobian(Tridiagonal{}, 12).residual,
       automaticSparseJacobian(Tridiagonal{}, Eigen::MatrixXd::Ones(12, 12).sparseView()).jacobian,
       Eigen::MatrixXd::Ones(12, 12).sparseView(),
       bandPoint.head(12),
       Tridiagonal::jacobianAt(bandPoint.head(12)),
       12},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    const Eigen::MatrixXd exact(row.exact);
    for (DifferenceScheme scheme : {DifferenceScheme::kForward, DifferenceScheme::kCentral}) {
      const CountedCallables counted = countCalls(row.residual);
      Sparse j;
      colouredDifferenceJacobian(counted.residual, row.pattern, scheme)(row.point, j);
      const bool central = scheme == DifferenceScheme::kCentral;
      EXPECT_EQ(counted.counts->residual.load(),
                static_cast<std::size_t>(central ? 2 * row.colours : row.colours + 1));
      EXPECT_EQ(j.nonZeros(), row.pattern.nonZeros());
      EXPECT_LT(relativeError(Eigen::MatrixXd(j), exact),
                central ? kCentralTolerance : kForwardTolerance);
      if (!central) {
        Eigen::MatrixXd dense;
        forwardDifferenceJacobian(row.residual, row.point.size())(row.point, dense);
        EXPECT_EQ(Eigen::MatrixXd(j),
                  dense.cwiseProduct(Eigen::MatrixXd(row.pattern).cwiseAbs().cwiseSign()));
      }
    }
    // Called again on its own output, it keeps the storage: the solver sees one pattern.
    Sparse j;
    row.automatic(row.point, j);
    const double* storage = j.valuePtr();
    row.automatic(row.point, j);
    EXPECT_EQ(j.valuePtr(), storage);
    EXPECT_EQ(j.nonZeros(), row.pattern.nonZeros());
    EXPECT_LT(relativeError(Eigen::MatrixXd(j), exact), kExactTolerance);
  }

  // The dense automatic Jacobian takes several sweeps at m = 30 > kDualWidth.
  Eigen::MatrixXd dense;
  automaticJacobian(Tridiagonal{}, 30).jacobian(bandPoint, dense);
  EXPECT_LT(relativeError(dense, Eigen::MatrixXd(Tridiagonal::jacobianAt(bandPoint))),
            kExactTolerance);
}

// A State with a quaternion: every helper in increment coordinates, the quaternion turned on the
// left, against the hand-written Jacobian; a dense pattern, so each column is its own colour.
TEST(SparseJacobians, StateHelpersDifferentiateInLeftIncrementCoordinates) {
  const State state = Pose::state();
  const Eigen::MatrixXd exact = Pose::jacobianAt(state.values);
  const Sparse pattern = Eigen::MatrixXd::Ones(6, 6).sparseView();
  const AutomaticSystem dense = automaticJacobian(Pose{}, state);
  Eigen::MatrixXd automatic;
  dense.jacobian(state.values, automatic);
  EXPECT_LT(relativeError(automatic, exact), kExactTolerance);
  Sparse j;
  automaticSparseJacobian(Pose{}, pattern, state).jacobian(state.values, j);
  EXPECT_LT(relativeError(Eigen::MatrixXd(j), exact), kExactTolerance);
  colouredDifferenceJacobian(dense.residual, pattern, state, DifferenceScheme::kCentral)(
      state.values, j);
  EXPECT_LT(relativeError(Eigen::MatrixXd(j), exact), kCentralTolerance);
  EXPECT_LT(checkJacobian(dense.residual, dense.jacobian, state).largestRelativeDifference,
            kCheckThreshold);
  const SparseJacobianCheckReport sparse = checkJacobian(
      dense.residual, automaticSparseJacobian(Pose{}, pattern, state).jacobian, state);
  EXPECT_LT(sparse.largestRelativeDifference, kCheckThreshold);
  EXPECT_TRUE(sparse.outsideChecked);
}

TEST(SparseJacobianCheck, FindsATooSmallPatternAndWrongEntries) {
  const Eigen::VectorXd x = Eigen::VectorXd::LinSpaced(12, -1.0, 1.0);
  const AutomaticSystem system = automaticJacobian(Tridiagonal{}, 12);
  // The exact Jacobian on a pattern given as a mask of ones.
  const auto jacobianOf = [](Eigen::MatrixXd mask) -> SparseJacobianFunction {
    return [mask](const View& point, Sparse& j) {
      j = Eigen::MatrixXd(Eigen::MatrixXd(Tridiagonal::jacobianAt(point)).cwiseProduct(mask))
              .sparseView(0.0, 0.0);
    };
  };
  Eigen::MatrixXd mask = Eigen::MatrixXd(Tridiagonal::jacobianAt(x)).cwiseAbs().cwiseSign();
  SparseJacobianCheckReport report = checkJacobian(system.residual, jacobianOf(mask), x);
  EXPECT_LT(report.largestRelativeDifference, kCentralTolerance) << report;
  EXPECT_TRUE(report.outsideChecked);
  EXPECT_EQ(report.entriesOutsidePattern, 0);

  // The super-diagonal left out from column 5 on: 7 entries found outside, the first at (4, 5).
  for (long long i = 4; i < 11; ++i) mask(i, i + 1) = 0.0;
  report = checkJacobian(system.residual, jacobianOf(mask), x);
  EXPECT_EQ(report.entriesOutsidePattern, 7);
  EXPECT_EQ(report.outsideRow, 4);
  EXPECT_EQ(report.outsideColumn, 5);
  EXPECT_NEAR(report.outsideFiniteDifference, -2.0, kCentralTolerance);
  EXPECT_EQ(report.largestRelativeDifference, 1.0);
  EXPECT_EQ(report.row, 4);
  EXPECT_EQ(report.column, 5);
  std::ostringstream text;
  text << report;
  EXPECT_NE(text.str().find("; 7 outside the pattern, the first at entry (4, 5)"),
            std::string::npos)
      << text.str();

  // Beyond the full check's size only the pattern is compared: a wrong entry is still found.
  const long long m = kSparseCheckFullLimit + 1;
  const Eigen::VectorXd large = Eigen::VectorXd::LinSpaced(m, -1.0, 1.0);
  report = checkJacobian(
      automaticJacobian(Tridiagonal{}, m).residual,
      [](const View& point, Sparse& j) {
        j = Tridiagonal::jacobianAt(point);
        j.coeffRef(7, 8) = 1.0;
      },
      large);
  EXPECT_FALSE(report.outsideChecked);
  EXPECT_EQ(report.row, 7);
  EXPECT_EQ(report.column, 8);
  EXPECT_NEAR(report.finiteDifference, -2.0, kCentralTolerance);
}

// Of equal largest differences the first in column-major order is reported, so is the first of
// two non-finite entries.
TEST(JacobianCheckTies, TheFirstEntryColumnByColumnIsReported) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Fault {
    long long row, column;
    double value;
  };
  struct Row {
    const char* why;
    std::vector<Fault> faults;
    long long row, column;
  };
  // The identity's differences are exact; each fault is a relative difference of 1 or infinity.
  const Row rows[] = {
      {"equal differences, one column apart", {{0, 2, 0.5}, {2, 0, 0.5}}, 2, 0},
      {"equal differences in one column", {{2, 1, 1.0}, {0, 1, 1.0}}, 0, 1},
      {"two NaNs", {{1, 2, nan}, {2, 1, nan}}, 2, 1},
      {"a NaN and an infinity", {{0, 2, inf}, {1, 2, nan}}, 0, 2},
  };
  const ResidualFunction identity = [](const View& x, Eigen::VectorXd& f) { f = x; };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.why);
    Eigen::MatrixXd jacobian = Eigen::MatrixXd::Identity(3, 3);
    for (const Fault& fault : row.faults) jacobian(fault.row, fault.column) = fault.value;
    const JacobianCheckReport report = checkJacobian(
        identity, [&](const View&, Eigen::MatrixXd& j) { j = jacobian; }, Eigen::VectorXd::Ones(3));
    EXPECT_EQ(report.row, row.row);
    EXPECT_EQ(report.column, row.column);
  }
}

// Throws on duals, and on doubles once x_4 has moved above 0.5.
struct Throwing {
  template <typename T>
  void operator()(const Eigen::Ref<const Vector<T>>& x, Vector<T>& f) const {
    if (x(4) > 0.5 || std::is_same<T, DualScalar>::value) throw std::runtime_error("host");
    Tridiagonal{}(x, f);
  }
};

// exp(1000 x) + sqrt(x) - 2: finite at 0 and at 0.709, with infinite derivatives there.
struct Steep {
  template <typename T>
  void operator()(const Eigen::Ref<const Vector<T>>& x, Vector<T>& f) const {
    using std::exp;
    using std::sqrt;
    for (long long i = 0; i < x.size(); ++i) f(i) = exp(1000.0 * x(i)) + sqrt(x(i)) - 2.0;
  }
};

TEST(SparseJacobianMisuse, BadPatternsThrowingResidualsAndNonFiniteEntries) {
  const Sparse band = Tridiagonal::jacobianAt(Eigen::VectorXd::Zero(5));
  const ResidualFunction residual = automaticJacobian(Tridiagonal{}, 5).residual;
  const State pose = Pose::state();
  for (const Sparse& bad : {Sparse(5, 5), Sparse(band.topRows(4)), Sparse(0, 0)}) {
    EXPECT_THROW(colouredDifferenceJacobian(residual, bad), std::invalid_argument);
    EXPECT_THROW(automaticSparseJacobian(Tridiagonal{}, bad), std::invalid_argument);
  }
  EXPECT_THROW(colouredDifferenceJacobian(residual, band, pose), std::invalid_argument);
  EXPECT_THROW(automaticSparseJacobian(Pose{}, band, pose), std::invalid_argument);
  EXPECT_THROW(colouredDifferenceJacobian(ResidualFunction(), band), std::invalid_argument);
  EXPECT_THROW(automaticJacobian(Tridiagonal{}, -1), std::invalid_argument);

  // A residual template that throws part of the way: the caller's matrices stay as they were.
  Sparse sparse = band;
  Eigen::MatrixXd dense = Eigen::MatrixXd::Constant(5, 5, 7.0);
  const Sparse sparseBefore = sparse;
  const Eigen::MatrixXd denseBefore = dense;
  const Eigen::VectorXd x = Eigen::VectorXd::Constant(5, 0.5);
  EXPECT_THROW(automaticJacobian(Throwing{}, 5).jacobian(x, dense), std::runtime_error);
  EXPECT_THROW(automaticSparseJacobian(Throwing{}, band).jacobian(x, sparse), std::runtime_error);
  EXPECT_THROW(
      colouredDifferenceJacobian(automaticJacobian(Throwing{}, 5).residual, band)(x, sparse),
      std::runtime_error);
  EXPECT_EQ(dense, denseBefore);
  EXPECT_TRUE(Eigen::MatrixXd(sparse).isApprox(Eigen::MatrixXd(sparseBefore), 0.0));
  EXPECT_THROW(colouredDifferenceJacobian(residual, band)(Eigen::VectorXd::Zero(4), sparse),
               std::invalid_argument);

  // Finite residuals with infinite derivatives (exp(1000 x) near overflow, sqrt at 0) stay
  // infinite in the Jacobian, and failFast ends the solve on them.
  const Sparse diagonal = Eigen::MatrixXd::Identity(3, 3).sparseView();
  const AutomaticSparseSystem system = automaticSparseJacobian(Steep{}, diagonal);
  Sparse j;
  system.jacobian(Eigen::VectorXd::Zero(3), j);
  EXPECT_EQ(j.coeff(1, 1), std::numeric_limits<double>::infinity());
  colouredDifferenceJacobian(system.residual, diagonal)(Eigen::VectorXd::Constant(3, 0.709), j);
  EXPECT_EQ(j.coeff(1, 1), std::numeric_limits<double>::infinity());
  BroydenParameters parameters;
  parameters.failFast = true;
  parameters.outputStream = nullptr;
  SparseBroyden solver(3, 3, parameters, system.residual, system.jacobian);
  Eigen::VectorXd start = Eigen::VectorXd::Zero(3);
  EXPECT_EQ(solver.solve(start).termination, BroydenTermination::kNonFinite);
}

}  // namespace
