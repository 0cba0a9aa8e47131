#include <gtest/gtest.h>

#include <Eigen/SparseCore>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/KnownRootSystems.hpp"

namespace Ondrel::Math::Solvers {
namespace {

// Two LUs of one matrix differ by rounding; over a dozen iterations it stays far below this.
constexpr double kRootTolerance = 1e-10;

// F(x) = A x + 0.1 x.^3 - b, A with the entries of `pattern` (rows i, columns j): `diagonal` on
// the diagonal, 1 between rows 2k and 2k + 1 and 0.25 elsewhere, so that a small diagonal forces
// row interchanges while A stays well conditioned. b makes x = 1 the root.
struct PatternSystem {
  Eigen::SparseMatrix<double> a;
  Eigen::VectorXd b;

  PatternSystem(Eigen::Index m,
                const std::vector<std::pair<Eigen::Index, Eigen::Index>>& pattern,
                double diagonal)
      : a(m, m) {
    std::vector<Eigen::Triplet<double>> entries;
    for (Eigen::Index i = 0; i < m; ++i) entries.emplace_back(i, i, diagonal);
    for (const auto& [i, j] : pattern) {
      if (i != j) entries.emplace_back(i, j, (i ^ 1) == j ? 1.0 : 0.25);
    }
    a.setFromTriplets(entries.begin(), entries.end());
    a.makeCompressed();
    b = a * Eigen::VectorXd::Ones(m) + Eigen::VectorXd::Constant(m, 0.1);
  }
  ResidualFunction residual() const {
    return [a = a, b = b](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) {
      f = a * x + 0.1 * x.array().cube().matrix() - b;
    };
  }
  SparseJacobianFunction jacobian(Eigen::Index zeroedColumn = -1) const {
    return [a = a, zeroedColumn](const Eigen::Ref<const Eigen::VectorXd>& x,
                                 Eigen::SparseMatrix<double>& j) {
      j = a;
      for (Eigen::Index i = 0; i < x.size(); ++i) j.coeffRef(i, i) += 0.3 * x(i) * x(i);
      if (zeroedColumn >= 0) {
        for (Eigen::SparseMatrix<double>::InnerIterator it(j, zeroedColumn); it; ++it) {
          it.valueRef() = 0.0;
        }
      }
    };
  }
};

using Entries = std::vector<std::pair<Eigen::Index, Eigen::Index>>;

Entries band(Eigen::Index m, Eigen::Index below, Eigen::Index above) {
  Entries entries;
  for (Eigen::Index i = 0; i < m; ++i) {
    for (Eigen::Index j = std::max<Eigen::Index>(0, i - below); j <= std::min(m - 1, i + above);
         ++j) {
      entries.emplace_back(i, j);
    }
  }
  return entries;
}

// The five-point stencil on a side x side grid numbered row by row: kl = ku = side.
Entries grid(Eigen::Index side) {
  Entries entries;
  for (Eigen::Index r = 0; r < side; ++r) {
    for (Eigen::Index c = 0; c < side; ++c) {
      const Eigen::Index k = r * side + c;
      if (c > 0) entries.emplace_back(k, k - 1);
      if (c + 1 < side) entries.emplace_back(k, k + 1);
      if (r > 0) entries.emplace_back(k, k - side);
      if (r + 1 < side) entries.emplace_back(k, k + side);
    }
  }
  return entries;
}

struct DecisionCase {
  const char* name;
  Eigen::Index m;
  Entries pattern;
  SparseFactorisation choice;
  SparseFactorisation expected;
  long long lower;
  long long upper;
  double diagonal = 4.0;
  // An inexact H0 takes its own course to the root.
  bool generalLusCourse = true;
};

// Which factorisation each pattern gets, with what bandwidths and factor size; and that the solve
// it makes takes the general LU's iterations and counts to the same root.
TEST(SparseFactorisationChoice, EachPatternTakesItsFactorisationAndTheGeneralLusSolve) {
  using F = SparseFactorisation;
  constexpr Eigen::Index kLarge = 2 * SparseBroyden::kBandedMinimumSize;
  const std::vector<DecisionCase> cases = {
      {"tridiagonal, large", kLarge, band(kLarge, 1, 1), F::kAutomatic, F::kBanded, 1, 1},
      {"tridiagonal, interchanging rows",
       kLarge,
       band(kLarge, 1, 1),
       F::kAutomatic,
       F::kBanded,
       1,
       1,
       0.01},
      {"five below, one above", kLarge, band(kLarge, 5, 1), F::kAutomatic, F::kBanded, 5, 1},
      {"tridiagonal below the size",
       SparseBroyden::kBandedMinimumSize - 1,
       band(SparseBroyden::kBandedMinimumSize - 1, 1, 1),
       F::kAutomatic,
       F::kGeneral,
       1,
       1},
      {"tridiagonal, general asked", kLarge, band(kLarge, 1, 1), F::kGeneral, F::kGeneral, 1, 1},
      {"grid numbered by rows", 48 * 48, grid(48), F::kAutomatic, F::kGeneral, 48, 48},
      {"grid, banded asked", 48 * 48, grid(48), F::kBanded, F::kBanded, 48, 48},
      {"grid, iterative asked",
       48 * 48,
       grid(48),
       F::kIterative,
       F::kIterative,
       48,
       48,
       4.0,
       false},
      {"tridiagonal, iterative asked and interchanging",
       kLarge,
       band(kLarge, 1, 1),
       F::kIterative,
       F::kIterative,
       1,
       1,
       0.01,
       false},
      {"diagonal and one corner",
       kLarge,
       Entries{{kLarge - 1, 0}},
       F::kAutomatic,
       F::kGeneral,
       kLarge - 1,
       0},
  };
  for (const DecisionCase& c : cases) {
    SCOPED_TRACE(c.name);
    const PatternSystem system(c.m, c.pattern, c.diagonal);
    BroydenParameters parameters;
    parameters.outputStream = nullptr;
    SparseBroyden chosen(c.m, c.m, parameters, system.residual(), system.jacobian(), 20, c.choice);
    SparseBroyden general(
        c.m, c.m, parameters, system.residual(), system.jacobian(), 20, F::kGeneral);
    EXPECT_EQ(chosen.factorStatistics().factorisation, F::kAutomatic);
    Eigen::VectorXd x = Eigen::VectorXd::Zero(c.m), y = x;
    const BroydenInformation ours = chosen.solve(x);
    const BroydenInformation theirs = general.solve(y);
    ASSERT_TRUE(ours.converged) << ours.message;
    if (c.generalLusCourse) {
      EXPECT_EQ(ours.iterations, theirs.iterations);
      EXPECT_EQ(ours.residualEvaluations, theirs.residualEvaluations);
      EXPECT_EQ(ours.jacobianEvaluations, theirs.jacobianEvaluations);
      EXPECT_LE((x - y).norm(), kRootTolerance * y.norm());
    }
    EXPECT_LE((x - Eigen::VectorXd::Ones(c.m)).norm(), 1e-6 * std::sqrt(c.m));

    const SparseFactorStatistics statistics = chosen.factorStatistics();
    EXPECT_EQ(statistics.factorisation, c.expected);
    EXPECT_EQ(statistics.lowerBandwidth, c.lower);
    EXPECT_EQ(statistics.upperBandwidth, c.upper);
    if (c.expected == F::kBanded) {
      EXPECT_EQ(statistics.factorEntries, (2 * c.lower + c.upper + 1) * c.m);
      EXPECT_EQ(statistics.method.rfind("banded LU", 0), 0u) << statistics.method;
    } else if (c.expected == F::kIterative) {
      // The matrix, and incomplete factors on its own pattern: no fill.
      EXPECT_EQ(statistics.factorEntries, 2 * static_cast<long long>(system.a.nonZeros()));
      EXPECT_EQ(statistics.method.rfind("incomplete LU", 0), 0u) << statistics.method;
    } else {
      // At least the matrix's own entries, no more than a full band's.
      EXPECT_GE(statistics.factorEntries, static_cast<long long>(system.a.nonZeros()));
      EXPECT_EQ(statistics.method.find("banded"), std::string::npos) << statistics.method;
    }
  }
}

// Two singular Jacobians: a band with a zero row, which every factorisation refuses at the
// refresh, and blocks [[1, 1], [1, 1]] (F(x) = A x - (1, 2, 1, 2, ...), no root) with no zero row
// or column, where the LUs meet a zero pivot and the Krylov solve cannot reach its tolerance:
// its NaN step ends the solve at the first iteration as non-finite, not converged. Each failure
// leaves the guess and holds no factors.
TEST(SparseFactorisationChoice, ASingularJacobianIsAFailureForEveryFactorisation) {
  constexpr Eigen::Index m = 2 * SparseBroyden::kBandedMinimumSize;
  const PatternSystem zeroRow(m, band(m, 2, 1), 4.0);
  Eigen::SparseMatrix<double> a(m, m);
  std::vector<Eigen::Triplet<double>> entries;
  for (Eigen::Index k = 0; k < m; k += 2) {
    for (Eigen::Index i = k; i < k + 2; ++i) {
      for (Eigen::Index j = k; j < k + 2; ++j) entries.emplace_back(i, j, 1.0);
    }
  }
  a.setFromTriplets(entries.begin(), entries.end());
  Eigen::VectorXd b(m);
  for (Eigen::Index i = 0; i < m; ++i) b(i) = 1.0 + static_cast<double>(i % 2);
  const ResidualFunction blocks = [a, b](const Eigen::Ref<const Eigen::VectorXd>& x,
                                         Eigen::VectorXd& f) { f = a * x - b; };
  const SparseJacobianFunction blocksJacobian = [a](const Eigen::Ref<const Eigen::VectorXd>&,
                                                    Eigen::SparseMatrix<double>& j) { j = a; };
  struct Case {
    bool zeroRow;
    SparseFactorisation choice;
    BroydenTermination termination;
    std::uint64_t iterations;
  };
  const auto singular = BroydenTermination::kSingularJacobian;
  // clang-format off
  const Case cases[] = {
      {true, SparseFactorisation::kBanded, singular, 0},
      {true, SparseFactorisation::kGeneral, singular, 0},
      {true, SparseFactorisation::kIterative, singular, 0},
      {false, SparseFactorisation::kGeneral, singular, 0},
      {false, SparseFactorisation::kBanded, singular, 0},
      {false, SparseFactorisation::kIterative, BroydenTermination::kNonFinite, 1},
  };
  // clang-format on
  BroydenParameters parameters;
  parameters.outputStream = nullptr;
  parameters.failFast = true;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.zeroRow << " " << static_cast<int>(c.choice));
    SparseBroyden solver(m,
                         m,
                         parameters,
                         c.zeroRow ? zeroRow.residual() : blocks,
                         c.zeroRow ? zeroRow.jacobian(m / 3) : blocksJacobian,
                         20,
                         c.choice);
    Eigen::VectorXd x = Eigen::VectorXd::Zero(m);
    const BroydenInformation& information = solver.solve(x);
    EXPECT_EQ(information.termination, c.termination);
    EXPECT_FALSE(information.converged);
    EXPECT_EQ(information.iterations, c.iterations);
    EXPECT_EQ(x, Eigen::VectorXd::Zero(m));
    EXPECT_TRUE(solver.factorStatistics().method.empty());
  }
}

// The Krylov H0 on linear systems F(x) = A x - A 1, from zero: each row pins the iterations and
// Jacobians the incomplete factors and the Krylov solve's tolerance take, and what they store.
TEST(SparseFactorisationChoice, TheKrylovH0SolvesWithIncompleteFactorsOnTheOwnPattern) {
  constexpr Eigen::Index kSide = 64;
  constexpr Eigen::Index m = kSide * kSide;
  struct Case {
    const char* why;
    Entries offDiagonal;
    bool evenDiagonal;  // the even rows' diagonal entries exist (and are 4)
    std::uint64_t iterations;
    std::uint64_t jacobians;
    long long factorEntries;
  };
  // clang-format off
  const Case cases[] = {
      {"tridiagonal: ILU(0) is its exact LU, and the first step lands on the root",
       band(m, 1, 1), true, 1, 1, 2 * (3 * m - 2)},
      {"blocks [[0, 1], [1, 1]]: a diagonal entry added to every even row and its zero pivot "
       "floored, not refused as singular; each step is good to the Krylov tolerance only",
       Entries{}, false, 3, 2, 2 * (2 * m)},
      {"2-D grid: inexact factors, each step good to the Krylov tolerance only",
       grid(kSide), true, 3, 2, 2 * (m + 4 * kSide * (kSide - 1))},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    std::vector<Eigen::Triplet<double>> entries;
    for (Eigen::Index i = 0; i < m; ++i) {
      if (c.evenDiagonal) {
        entries.emplace_back(i, i, 4.0);
      } else {
        entries.emplace_back(i, i ^ 1, 1.0);
        if (i % 2 == 1) entries.emplace_back(i, i, 1.0);
      }
    }
    for (const auto& [i, j] : c.offDiagonal) {
      if (i != j) entries.emplace_back(i, j, -1.0);
    }
    Eigen::SparseMatrix<double> a(m, m);
    a.setFromTriplets(entries.begin(), entries.end());
    const Eigen::VectorXd b = a * Eigen::VectorXd::Ones(m);
    BroydenParameters parameters;
    parameters.outputStream = nullptr;
    SparseBroyden solver(
        m,
        m,
        parameters,
        [&](const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::VectorXd& f) { f = a * x - b; },
        [&](const Eigen::Ref<const Eigen::VectorXd>&, Eigen::SparseMatrix<double>& j) { j = a; },
        20,
        SparseFactorisation::kIterative);
    Eigen::VectorXd x = Eigen::VectorXd::Zero(m);
    const BroydenInformation& information = solver.solve(x);
    ASSERT_TRUE(information.converged) << information.message;
    EXPECT_EQ(information.iterations, c.iterations);
    EXPECT_EQ(information.jacobianEvaluations, c.jacobians);
    EXPECT_EQ(solver.factorStatistics().factorEntries, c.factorEntries);
  }
}

TEST(SparseFactorisationChoice, CopiesKeepTheChoiceAndReportFactorsOnlyOnceMade) {
  constexpr Eigen::Index m = 2 * SparseBroyden::kBandedMinimumSize;
  const PatternSystem system(m, band(m, 1, 1), 4.0);
  BroydenParameters parameters;
  parameters.outputStream = nullptr;
  SparseBroyden solver(m,
                       m,
                       parameters,
                       system.residual(),
                       system.jacobian(),
                       5,
                       SparseFactorisation::kGeneral,
                       SparseOrdering::kMetis);
  EXPECT_EQ(solver.factorisation(), SparseFactorisation::kGeneral);
  Eigen::VectorXd x = Eigen::VectorXd::Zero(m);
  ASSERT_TRUE(solver.solve(x).converged);

  SparseBroyden copy = solver;
  EXPECT_EQ(copy.factorisation(), SparseFactorisation::kGeneral);
  EXPECT_EQ(copy.factorStatistics().factorisation, SparseFactorisation::kAutomatic);
  Eigen::VectorXd y = x;
  ASSERT_TRUE(copy.solve(y).converged);
  // The copy refactorises with the source's factorisation and ordering.
  EXPECT_EQ(copy.factorStatistics().factorisation, SparseFactorisation::kGeneral);
  EXPECT_EQ(copy.factorStatistics().method, solver.factorStatistics().method);
  EXPECT_EQ(copy.factorStatistics().factorEntries, solver.factorStatistics().factorEntries);

  solver.reset();
  EXPECT_EQ(solver.factorStatistics().factorisation, SparseFactorisation::kAutomatic);
  const SparseBroyden moved = std::move(copy);
  EXPECT_EQ(moved.ordering(), SparseOrdering::kMetis);
  EXPECT_EQ(copy.factorisation(), SparseFactorisation::kAutomatic);
  EXPECT_EQ(copy.ordering(), SparseOrdering::kAutomatic);
  EXPECT_EQ(copy.factorStatistics().factorisation, SparseFactorisation::kAutomatic);

  const auto refused = [&](SparseFactorisation factorisation, SparseOrdering ordering) {
    SparseBroyden(m, m, parameters, nullptr, nullptr, 5, factorisation, ordering);
  };
  EXPECT_THROW(refused(static_cast<SparseFactorisation>(7), {}), std::invalid_argument);
  try {
    refused({}, static_cast<SparseOrdering>(5));
    ADD_FAILURE() << "an unknown ordering was accepted";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "SparseBroyden: unknown ordering 5");
  }
}

// Each ordering on a 2-D grid whose LU fills: the default's root, and the ordering used named in
// the statistics (on this small grid CHOLMOD and kBest keep AMD, which METIS does not beat). kAmd
// is the default's path itself. Without SuiteSparse every ordering is Eigen's COLAMD: the
// default's text.
TEST(SparseFactorisationChoice, EachOrderingReachesTheDefaultsRootAndIsReported) {
  using O = SparseOrdering;
  constexpr Eigen::Index kSide = 48, m = kSide * kSide;
  const PatternSystem system(m, grid(kSide), 4.0);
  BroydenParameters parameters;
  parameters.outputStream = nullptr;
  SparseBroyden reference(m, m, parameters, system.residual(), system.jacobian());
  Eigen::VectorXd root = Eigen::VectorXd::Zero(m);
  ASSERT_TRUE(reference.solve(root).converged);
  const std::string defaultMethod = reference.factorStatistics().method;
  const bool suiteSparse = defaultMethod.rfind("Eigen", 0) != 0;
  // The method with SuiteSparse; empty: the default's.
  const std::pair<SparseOrdering, std::string> rows[] = {
      {O::kAutomatic, ""},
      {O::kAmd, ""},
      {O::kMetis, "UMFPACK, METIS ordering"},
      {O::kCholmod, "UMFPACK, AMD ordering, CHOLMOD's choice"},
      {O::kBest, "UMFPACK, AMD ordering, the least fill UMFPACK found"},
  };
  for (const auto& [ordering, method] : rows) {
    SCOPED_TRACE(method);
    SparseBroyden solver(m,
                         m,
                         parameters,
                         system.residual(),
                         system.jacobian(),
                         20,
                         SparseFactorisation::kAutomatic,
                         ordering);
    Eigen::VectorXd x = Eigen::VectorXd::Zero(m);
    ASSERT_TRUE(solver.solve(x).converged);
    EXPECT_LE((x - root).norm(), kRootTolerance * root.norm());
    if (ordering == O::kAmd) {
      EXPECT_EQ(x, root);
    }
    EXPECT_EQ(solver.factorStatistics().method,
              suiteSparse && !method.empty() ? method : defaultMethod);
  }
}

}  // namespace
}  // namespace Ondrel::Math::Solvers
