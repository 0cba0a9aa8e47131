#include <gtest/gtest.h>

#include <Eigen/Geometry>
#include <Eigen/SparseCore>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "support/CountedCallables.hpp"
#include "support/KnownRootSystems.hpp"

namespace Ondrel::Math::Solvers {
namespace {

using Testing::CallCounts;

BroydenParameters quietParameters(std::int32_t method = kGoodBroydenOnInverse) {
  return Testing::noRefreshParameters(method);
}

// Two implementations of one update differ by rounding, amplified over a few dozen iterations.
constexpr double kTrajectoryTolerance = 1e-7;
// Near a root ||F|| is rounding itself: the test systems' terms are of order 1.
constexpr double kRoundingNorm = 1e-14;
// Far above the rounding of the roots these systems have, far below any real disagreement.
constexpr double kRootTolerance = 1e-9;

// Broyden's tridiagonal system, F_i = (3 - 2 x_i) x_i - x_(i-1) - 2 x_(i+1) + 1, whose Jacobian
// is handed over sparse or dense. `shift` is added to every equation, for continuation.
struct Tridiagonal {
  Eigen::Index size = 12;
  std::shared_ptr<double> shift = std::make_shared<double>(0.0);
  std::shared_ptr<CallCounts> counts = std::make_shared<CallCounts>();

  Eigen::VectorXd start() const { return Eigen::VectorXd::Constant(size, -1.0); }

  ResidualFunction residual() const {
    return [n = size, shift = shift, c = counts](const Eigen::Ref<const Eigen::VectorXd>& x,
                                                 Eigen::VectorXd& f) {
      ++c->residual;
      for (Eigen::Index i = 0; i < n; ++i) {
        const double left = i > 0 ? x(i - 1) : 0.0;
        const double right = i + 1 < n ? x(i + 1) : 0.0;
        f(i) = (3.0 - 2.0 * x(i)) * x(i) - left - 2.0 * right + 1.0 + *shift;
      }
    };
  }
  static Eigen::SparseMatrix<double> derivative(const Eigen::Ref<const Eigen::VectorXd>& x) {
    const Eigen::Index n = x.size();
    std::vector<Eigen::Triplet<double>> entries;
    for (Eigen::Index i = 0; i < n; ++i) {
      entries.emplace_back(i, i, 3.0 - 4.0 * x(i));
      if (i > 0) entries.emplace_back(i, i - 1, -1.0);
      if (i + 1 < n) entries.emplace_back(i, i + 1, -2.0);
    }
    Eigen::SparseMatrix<double> j(n, n);
    j.setFromTriplets(entries.begin(), entries.end());
    return j;
  }
  SparseJacobianFunction sparseJacobian() const {
    return
        [c = counts](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::SparseMatrix<double>& j) {
          ++c->jacobian;
          j = derivative(x);
        };
  }
  JacobianFunction denseJacobian() const {
    return [c = counts](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::MatrixXd& j) {
      ++c->jacobian;
      j = Eigen::MatrixXd(derivative(x));
    };
  }
};

// A dense Jacobian callable handed over as a sparse one: exact zeros leave the pattern, so the
// pattern follows the values.
SparseJacobianFunction sparseFrom(JacobianFunction dense) {
  return [dense = std::move(dense), j = std::make_shared<Eigen::MatrixXd>()](
             const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::SparseMatrix<double>& sparse) {
    // Sized as the dense solver sizes its matrix: the sparse one arrives m x m.
    j->resize(sparse.rows(), sparse.cols());
    dense(x, *j);
    sparse = j->sparseView();
  };
}

// What two solvers are compared on: the record, and ||F|| at every iteration through a monitor.
struct Trace {
  BroydenInformation information;
  std::vector<double> norms;
};

BroydenParameters traced(BroydenParameters parameters, std::vector<double>& norms) {
  parameters.outputStream = nullptr;
  parameters.monitor = [&norms](const BroydenIterationReport& report) {
    norms.push_back(report.residualNorm);
    return true;
  };
  return parameters;
}

template <class Solver, class Variables>
Trace solveTraced(Solver& solver, Variables& x, std::vector<double>& norms) {
  norms.clear();
  Trace trace;
  trace.information = solver.solve(x);
  trace.norms = norms;
  return trace;
}

void expectSameIterates(const Trace& dense, const Trace& sparse, std::size_t count) {
  ASSERT_GE(dense.norms.size(), count);
  ASSERT_GE(sparse.norms.size(), count);
  for (std::size_t k = 0; k < count; ++k) {
    EXPECT_LE(std::abs(dense.norms[k] - sparse.norms[k]),
              kTrajectoryTolerance * dense.norms[k] + kRoundingNorm)
        << "iteration " << k << ": dense " << dense.norms[k] << ", sparse " << sparse.norms[k];
  }
}

void expectSameSolve(const Trace& dense, const Trace& sparse) {
  EXPECT_EQ(sparse.information.converged, dense.information.converged);
  EXPECT_EQ(sparse.information.termination, dense.information.termination);
  EXPECT_EQ(sparse.information.iterations, dense.information.iterations);
  EXPECT_EQ(sparse.information.jacobianEvaluations, dense.information.jacobianEvaluations);
  EXPECT_EQ(sparse.information.message, dense.information.message);
  EXPECT_EQ(sparse.norms.size(), dense.norms.size());
  expectSameIterates(dense, sparse, std::min(dense.norms.size(), sparse.norms.size()));
}

TEST(SparseBroydenAgreement, EveryUpdateMethodTakesTheDenseSolversIterates) {
  // Refreshing as the defaults do, and never refreshing (every iteration an update); 7 is no
  // update at all.
  for (const bool refreshing : {true, false}) {
    for (const std::int32_t method : {0, 1, 2, 7}) {
      SCOPED_TRACE(testing::Message() << "method " << method << ", refreshing " << refreshing);
      BroydenParameters parameters = refreshing ? BroydenParameters{} : quietParameters(method);
      parameters.updateMethod = method;
      parameters.maxIterations = 60;
      std::vector<double> norms;
      const Tridiagonal system;
      Broyden dense(system.size,
                    system.size,
                    traced(parameters, norms),
                    system.residual(),
                    system.denseJacobian());
      SparseBroyden sparse(system.size,
                           system.size,
                           traced(parameters, norms),
                           system.residual(),
                           system.sparseJacobian(),
                           100);
      Eigen::VectorXd x = system.start(), y = system.start();
      const Trace denseTrace = solveTraced(dense, x, norms);
      const Trace sparseTrace = solveTraced(sparse, y, norms);
      ASSERT_TRUE(denseTrace.information.converged) << denseTrace.information.message;
      expectSameSolve(denseTrace, sparseTrace);
      EXPECT_LE((x - y).norm(), kRootTolerance * x.norm());
    }
  }
}

// A body's orientation (a quaternion: values 0..3, increment 0..2) and one plain entry: the
// residual is twice the vector part of q conj(q*), and p - p* + p^2 / 10.
struct OrientationSystem {
  Eigen::Quaterniond target{Eigen::AngleAxisd(0.9, Eigen::Vector3d(1.0, -2.0, 0.5).normalized())};

  ResidualFunction residual() const {
    return [t = target](const Eigen::Ref<const Eigen::VectorXd>& v, Eigen::VectorXd& f) {
      const Eigen::Quaterniond error = Eigen::Quaterniond(v(0), v(1), v(2), v(3)) * t.conjugate();
      f.head<3>() = 2.0 * error.vec();
      f(3) = v(4) - 0.5 + 0.1 * v(4) * v(4);
    };
  }
  // The increment turns the quaternion on the left: d(2 vec E)/d(theta) = w_E I - [vec E]x.
  JacobianFunction jacobian() const {
    return [t = target](const Eigen::Ref<const Eigen::VectorXd>& v, Eigen::MatrixXd& j) {
      const Eigen::Quaterniond error = Eigen::Quaterniond(v(0), v(1), v(2), v(3)) * t.conjugate();
      const Eigen::Vector3d e = error.vec();
      Eigen::Matrix3d cross;
      cross << 0.0, -e.z(), e.y(), e.z(), 0.0, -e.x(), -e.y(), e.x(), 0.0;
      j.setZero();
      j.topLeftCorner<3, 3>() = error.w() * Eigen::Matrix3d::Identity() - cross;
      j(3, 3) = 1.0 + 0.2 * v(4);
    };
  }
  State start() const {
    State state(5);
    const Eigen::Quaterniond q(Eigen::AngleAxisd(0.2, Eigen::Vector3d::UnitY()));
    state.values << q.w(), q.x(), q.y(), q.z(), 2.0;
    state.addQuaternion(0);
    return state;
  }
};

TEST(SparseBroydenAgreement, StateSolveTurnsTheQuaternionAsTheDenseSolverDoes) {
  const OrientationSystem system;
  std::vector<double> norms;
  const BroydenParameters parameters = traced(quietParameters(), norms);
  Broyden dense(5, 4, parameters, system.residual(), system.jacobian());
  SparseBroyden sparse(5, 4, parameters, system.residual(), sparseFrom(system.jacobian()));
  State a = system.start(), b = system.start();
  const Trace denseTrace = solveTraced(dense, a, norms);
  const Trace sparseTrace = solveTraced(sparse, b, norms);
  ASSERT_TRUE(sparseTrace.information.converged) << sparseTrace.information.message;
  expectSameSolve(denseTrace, sparseTrace);
  EXPECT_LE((a.values - b.values).norm(), kRootTolerance);
  EXPECT_NEAR(b.values.head<4>().norm(), 1.0, kRootTolerance) << "turned, not added to";
}

TEST(SparseBroydenUpdateLimit, RestartAtTheBoundEvaluatesNothingAndLeavesTheDenseIterates) {
  constexpr std::uint64_t kLimit = 3;
  for (const std::int32_t method : {0, 1, 2}) {
    SCOPED_TRACE(testing::Message() << "method " << method);
    std::vector<double> norms;
    BroydenParameters parameters = traced(quietParameters(method), norms);
    parameters.maxIterations = 200;
    const Tridiagonal system;
    Broyden dense(system.size, system.size, parameters, system.residual(), system.denseJacobian());
    SparseBroyden bounded(
        system.size, system.size, parameters, system.residual(), system.sparseJacobian(), kLimit);
    Eigen::VectorXd x = system.start(), y = system.start();
    const Trace denseTrace = solveTraced(dense, x, norms);
    const Trace boundedTrace = solveTraced(bounded, y, norms);

    // Iteration k steps with k - 1 updates: up to kLimit of them the two models are one.
    expectSameIterates(denseTrace, boundedTrace, kLimit + 2);
    ASSERT_GT(boundedTrace.norms.size(), kLimit + 2);
    EXPECT_GT(std::abs(boundedTrace.norms[kLimit + 2] - denseTrace.norms[kLimit + 2]),
              kTrajectoryTolerance * denseTrace.norms[kLimit + 2])
        << "the update after the bound starts from J0^-1 again";
    EXPECT_TRUE(boundedTrace.information.converged) << boundedTrace.information.message;
    EXPECT_EQ(boundedTrace.information.jacobianEvaluations, 1u) << "a restart evaluates nothing";
  }

  // A bound of 0 keeps no update: the chord method, as the dense solver runs it without updates.
  std::vector<double> norms;
  BroydenParameters chord = traced(quietParameters(7), norms);
  chord.maxIterations = 200;
  const Tridiagonal system;
  Broyden dense(system.size, system.size, chord, system.residual(), system.denseJacobian());
  chord.updateMethod = 1;
  SparseBroyden keepsNothing(
      system.size, system.size, chord, system.residual(), system.sparseJacobian(), 0);
  Eigen::VectorXd x = system.start(), y = system.start();
  const Trace denseTrace = solveTraced(dense, x, norms);
  expectSameSolve(denseTrace, solveTraced(keepsNothing, y, norms));
}

TEST(SparseBroydenWarmStart, ContinuationCopiesResetsAndMovesKeepTheDenseSolversPromises) {
  std::vector<double> norms;
  const BroydenParameters parameters = traced(BroydenParameters{}, norms);
  const Tridiagonal system;
  Broyden dense(system.size, system.size, parameters, system.residual(), system.denseJacobian());
  SparseBroyden sparse(
      system.size, system.size, parameters, system.residual(), system.sparseJacobian());

  // Continuation in the shift: the held Jacobian and updates carry from solve to solve.
  Eigen::VectorXd x = system.start(), y = system.start();
  for (const double shift : {0.0, 0.05, 0.1, 0.15}) {
    *system.shift = shift;
    const Trace denseTrace = solveTraced(dense, x, norms);
    const Trace sparseTrace = solveTraced(sparse, y, norms);
    expectSameSolve(denseTrace, sparseTrace);
    EXPECT_LE((x - y).norm(), kRootTolerance * x.norm());
  }

  // A copy refactorises the Jacobian it holds, evaluating nothing more than the original does,
  // and takes the same iterates.
  *system.shift = 0.3;
  SparseBroyden copy(sparse);
  Eigen::VectorXd fromOriginal = y, fromCopy = y;
  const std::size_t callsBefore = system.counts->jacobian;
  const Trace originalTrace = solveTraced(sparse, fromOriginal, norms);
  const std::size_t originalCalls = system.counts->jacobian - callsBefore;
  const Trace copyTrace = solveTraced(copy, fromCopy, norms);
  EXPECT_EQ(copyTrace.norms, originalTrace.norms);
  EXPECT_EQ(fromCopy, fromOriginal);
  EXPECT_EQ(copyTrace.information.jacobianEvaluations,
            originalTrace.information.jacobianEvaluations);
  EXPECT_EQ(system.counts->jacobian - callsBefore, 2 * originalCalls);

  // After reset() two solves from the same guess agree bit for bit, each evaluating afresh.
  std::vector<Trace> afterReset;
  for (int run = 0; run < 2; ++run) {
    copy.reset();
    Eigen::VectorXd z = system.start();
    afterReset.push_back(solveTraced(copy, z, norms));
    EXPECT_GE(afterReset.back().information.jacobianEvaluations, 1u);
  }
  EXPECT_EQ(afterReset[0].norms, afterReset[1].norms);
  EXPECT_EQ(afterReset[0].information.jacobianEvaluations,
            afterReset[1].information.jacobianEvaluations);

  // A copy of a solver that holds a Jacobian, constructed or assigned and reset before its first
  // solve, starts as a new solver does: a fresh evaluation, and the same course.
  SparseBroyden fresh(
      system.size, system.size, parameters, system.residual(), system.sparseJacobian());
  Eigen::VectorXd fromFresh = system.start();
  const Trace freshTrace = solveTraced(fresh, fromFresh, norms);
  SparseBroyden copied(sparse);
  SparseBroyden assigned(1, 1, parameters, system.residual(), system.sparseJacobian());
  assigned = sparse;
  for (SparseBroyden* resetCopy : {&copied, &assigned}) {
    resetCopy->reset();
    Eigen::VectorXd start = system.start();
    const Trace resetTrace = solveTraced(*resetCopy, start, norms);
    EXPECT_EQ(resetTrace.norms, freshTrace.norms);
    EXPECT_EQ(resetTrace.information.jacobianEvaluations,
              freshTrace.information.jacobianEvaluations);
  }

  // A moved-from solver may only be destroyed or assigned to.
  SparseBroyden moved(std::move(copy));
  Eigen::VectorXd z = system.start();
  EXPECT_THROW(copy.solve(z), std::bad_function_call);
  EXPECT_TRUE(moved.solve(z).converged);
  copy = sparse;
  z = system.start();
  EXPECT_TRUE(copy.solve(z).converged);
}

TEST(SparseBroydenMisuse, RefusedInputsLeaveTheCallersDataAndTheRecord) {
  const Tridiagonal system;
  const Eigen::Index m = system.size;
  EXPECT_THROW(SparseBroyden(-1, 2, {}, system.residual(), system.sparseJacobian()),
               std::invalid_argument);
  EXPECT_THROW(SparseBroyden(2, -1, {}, system.residual(), system.sparseJacobian()),
               std::invalid_argument);
  EXPECT_THROW(SparseBroyden(2, 1LL << 40, {}, system.residual(), system.sparseJacobian()),
               std::invalid_argument);

  BroydenParameters quiet;
  quiet.outputStream = nullptr;
  SparseBroyden solver(m, m, quiet, system.residual(), system.sparseJacobian());
  Eigen::VectorXd wrongSize = Eigen::VectorXd::Zero(m + 1);
  EXPECT_THROW(solver.solve(wrongSize), std::invalid_argument);
  SparseBroyden unequal(m + 1, m, quiet, system.residual(), system.sparseJacobian());
  Eigen::VectorXd x = system.start();
  EXPECT_THROW(unequal.solve(x), std::invalid_argument);
  EXPECT_EQ(system.counts->residual + system.counts->jacobian, 0u) << "refused before any call";
  // A callable's faults are reported in the name of the solver the host called.
  SparseBroyden resizing(
      m,
      m,
      quiet,
      [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::VectorXd& f) { f.resize(1); },
      system.sparseJacobian());
  try {
    Eigen::VectorXd guess = system.start();
    resizing.solve(guess);
    ADD_FAILURE() << "no exception";
  } catch (const std::invalid_argument& error) {
    EXPECT_EQ(std::string(error.what()).rfind("SparseBroyden::solve: the residual function", 0), 0u)
        << error.what();
  }

  ASSERT_TRUE(solver.solve(x).converged);
  const std::function<void(Eigen::SparseMatrix<double>&)> faults[] = {
      [&](Eigen::SparseMatrix<double>& j) { j.resize(m + 1, m); },
      // Row indices out of order in column 1, through the raw arrays.
      [&](Eigen::SparseMatrix<double>& j) {
        j = Tridiagonal::derivative(Eigen::VectorXd::Zero(m));
        auto* rows = j.innerIndexPtr() + j.outerIndexPtr()[1];
        std::swap(rows[0], rows[1]);
      },
  };
  for (const auto& fault : faults) {
    bool broken = true;
    SparseBroyden faulty(
        m,
        m,
        quiet,
        system.residual(),
        [&, good = system.sparseJacobian()](const Eigen::Ref<const Eigen::VectorXd>& point,
                                            Eigen::SparseMatrix<double>& j) {
          good(point, j);
          if (broken) fault(j);
        });
    Eigen::VectorXd root = x;
    ASSERT_EQ(faulty.solve(root).termination, BroydenTermination::kAcceptedAtStart);
    const BroydenInformation before = faulty.solve(root);
    Eigen::VectorXd guess = system.start();
    EXPECT_THROW(faulty.solve(guess), std::invalid_argument);
    EXPECT_EQ(guess, system.start());
    const BroydenInformation& after = faulty.solve(root);
    EXPECT_EQ(after.termination, before.termination);
    EXPECT_EQ(after.residualEvaluations, before.residualEvaluations);
    broken = false;
    EXPECT_TRUE(faulty.solve(guess).converged);
  }

  // The empty system: nothing to solve, nothing factorised.
  SparseBroyden empty(
      0,
      0,
      quiet,
      [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::VectorXd&) {},
      [](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::SparseMatrix<double>&) {});
  Eigen::VectorXd nothing(0);
  EXPECT_EQ(empty.solve(nothing).termination, BroydenTermination::kAcceptedAtStart);
}

// F(x) = A x - b for a singular A: structurally (no entries, an empty column) or numerically
// (equal rows).
struct SingularSystem {
  Eigen::MatrixXd matrix;

  ResidualFunction residual() const {
    return [a = matrix](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
      f = a * x - Eigen::VectorXd::Ones(a.rows());
    };
  }
  JacobianFunction jacobian() const {
    return [a = matrix](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::MatrixXd& j) { j = a; };
  }
};

TEST(SparseBroydenSingular, SingularJacobianEndsTheSolveAsTheDenseOneEndsIt) {
  Eigen::MatrixXd emptyColumn(3, 3), equalRows(3, 3), notFinite(3, 3);
  emptyColumn << 2.0, 0.0, 1.0, 1.0, 0.0, 3.0, 0.0, 0.0, 1.0;
  equalRows << 1.0, 2.0, 3.0, 1.0, 2.0, 3.0, 0.0, 1.0, 4.0;
  notFinite = equalRows;
  notFinite(2, 1) = std::numeric_limits<double>::quiet_NaN();
  const std::pair<Eigen::MatrixXd, BroydenTermination> cases[] = {
      {Eigen::MatrixXd::Zero(3, 3), BroydenTermination::kSingularJacobian},
      {emptyColumn, BroydenTermination::kSingularJacobian},
      {equalRows, BroydenTermination::kSingularJacobian},
      {notFinite, BroydenTermination::kNonFinite},
  };
  for (const auto& [matrix, failFastTermination] : cases) {
    SCOPED_TRACE(testing::Message() << "J =\n" << matrix);
    const SingularSystem system{matrix};
    for (const bool failFast : {true, false}) {
      std::vector<double> norms;
      BroydenParameters parameters = traced(BroydenParameters{}, norms);
      parameters.maxIterations = 30;
      parameters.failFast = failFast;
      Broyden dense(3, 3, parameters, system.residual(), system.jacobian());
      SparseBroyden sparse(3, 3, parameters, system.residual(), sparseFrom(system.jacobian()));
      Eigen::VectorXd x = Eigen::VectorXd::Zero(3), y = x;
      const Trace denseTrace = solveTraced(dense, x, norms);
      const Trace sparseTrace = solveTraced(sparse, y, norms);
      EXPECT_EQ(sparseTrace.information.termination,
                failFast ? failFastTermination : BroydenTermination::kNonFinite);
      EXPECT_EQ(sparseTrace.information.termination, denseTrace.information.termination);
      EXPECT_EQ(sparseTrace.information.message, denseTrace.information.message);
      EXPECT_EQ(sparseTrace.information.iterations, denseTrace.information.iterations);
      EXPECT_EQ(sparseTrace.information.jacobianEvaluations,
                denseTrace.information.jacobianEvaluations);
      EXPECT_EQ(y, Eigen::VectorXd::Zero(3)) << "a failed solve leaves the guess";
    }
  }
}

// -Δu = 6 exp(u) on the unit square by the five-point stencil on n x n points, scaled by h^2:
// enough fill (a 40 x 40 grid) for the multifrontal factorisation where the build has one.
struct GridSystem {
  Eigen::Index n = 40;
  std::shared_ptr<Eigen::Index> zeroedColumn = std::make_shared<Eigen::Index>(-1);

  Eigen::Index size() const { return n * n; }
  double scale() const { return 6.0 / static_cast<double>((n + 1) * (n + 1)); }
  ResidualFunction residual() const {
    return [n = n, c = scale()](const Eigen::Ref<const Eigen::VectorXd>& u, Eigen::VectorXd& f) {
      for (Eigen::Index k = 0; k < n * n; ++k) {
        const Eigen::Index i = k % n, j = k / n;
        f(k) = 4.0 * u(k) - c * std::exp(u(k)) - (i > 0 ? u(k - 1) : 0.0) -
               (i + 1 < n ? u(k + 1) : 0.0) - (j > 0 ? u(k - n) : 0.0) -
               (j + 1 < n ? u(k + n) : 0.0);
      }
    };
  }
  SparseJacobianFunction sparseJacobian() const {
    return [n = n, c = scale(), zeroed = zeroedColumn](const Eigen::Ref<const Eigen::VectorXd>& u,
                                                       Eigen::SparseMatrix<double>& j) {
      std::vector<Eigen::Triplet<double>> entries;
      for (Eigen::Index k = 0; k < n * n; ++k) {
        if (k == *zeroed) continue;  // an empty column: structurally singular
        const Eigen::Index i = k % n, col = k / n;
        entries.emplace_back(k, k, 4.0 - c * std::exp(u(k)));
        if (i > 0) entries.emplace_back(k - 1, k, -1.0);
        if (i + 1 < n) entries.emplace_back(k + 1, k, -1.0);
        if (col > 0) entries.emplace_back(k - n, k, -1.0);
        if (col + 1 < n) entries.emplace_back(k + n, k, -1.0);
      }
      j.setFromTriplets(entries.begin(), entries.end());
    };
  }
  JacobianFunction denseJacobian() const {
    return [sparse = sparseJacobian()](const Eigen::Ref<const Eigen::VectorXd>& u,
                                       Eigen::MatrixXd& j) {
      Eigen::SparseMatrix<double> s(j.rows(), j.cols());
      sparse(u, s);
      j = Eigen::MatrixXd(s);
    };
  }
};

TEST(SparseBroydenBackends, AGridWithFillAgreesWithTheDenseSolverAndReportsSingularity) {
  const GridSystem system;
  const Eigen::Index m = system.size();
  std::vector<double> norms;
  BroydenParameters parameters = traced(BroydenParameters{}, norms);
  Broyden dense(m, m, parameters, system.residual(), system.denseJacobian());
  SparseBroyden sparse(m, m, parameters, system.residual(), system.sparseJacobian());
  Eigen::VectorXd x = Eigen::VectorXd::Zero(m), y = x;
  const Trace denseTrace = solveTraced(dense, x, norms);
  const Trace sparseTrace = solveTraced(sparse, y, norms);
  ASSERT_TRUE(sparseTrace.information.converged) << sparseTrace.information.message;
  expectSameSolve(denseTrace, sparseTrace);
  EXPECT_LE((x - y).norm(), kRootTolerance * x.norm());

  *system.zeroedColumn = m / 2;
  parameters.failFast = true;
  SparseBroyden singular(m, m, parameters, system.residual(), system.sparseJacobian());
  Eigen::VectorXd z = Eigen::VectorXd::Zero(m);
  EXPECT_EQ(singular.solve(z).termination, BroydenTermination::kSingularJacobian);
  EXPECT_EQ(z, Eigen::VectorXd::Zero(m));
}

TEST(SparseBroydenPattern, APatternThatChangesBetweenCallsIsAnalysedAfresh) {
  // Newton's method (a refresh every iteration) with a Jacobian that carries explicit zeros at
  // every other call: each change of pattern must be analysed, or the factors would be wrong.
  std::vector<double> norms;
  BroydenParameters parameters = traced(BroydenParameters{}, norms);
  parameters.refreshCountLimit = 0;
  const Tridiagonal system;
  auto calls = std::make_shared<int>(0);
  SparseJacobianFunction changing = [calls, good = system.sparseJacobian()](
                                        const Eigen::Ref<const Eigen::VectorXd>& x,
                                        Eigen::SparseMatrix<double>& j) {
    good(x, j);
    if (++*calls % 2 == 0) {
      for (Eigen::Index i = 0; i + 2 < j.rows(); i += 3) j.coeffRef(i + 2, i) = 0.0;
    }
  };
  SparseBroyden fixed(
      system.size, system.size, parameters, system.residual(), system.sparseJacobian());
  SparseBroyden varying(system.size, system.size, parameters, system.residual(), changing);
  Eigen::VectorXd x = system.start(), y = system.start();
  const Trace fixedTrace = solveTraced(fixed, x, norms);
  const Trace varyingTrace = solveTraced(varying, y, norms);
  ASSERT_TRUE(fixedTrace.information.converged);
  ASSERT_GE(*calls, 3);
  expectSameSolve(fixedTrace, varyingTrace);
  EXPECT_LE((x - y).norm(), kRootTolerance * x.norm());
}

}  // namespace
}  // namespace Ondrel::Math::Solvers
