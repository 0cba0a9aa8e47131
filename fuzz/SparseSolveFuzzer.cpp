// SparseBroyden solves of small random systems whose Jacobian patterns are banded, random or
// structurally singular, and may change from one evaluation to the next (the pattern depends on
// the point). Values include exact zeros on the diagonal, and the callables return NaN,
// infinities, huge values, matrices of the wrong size or with disordered row indices, or throw,
// at calls chosen by the input. Settings are those of VectorSolveFuzzer, with the bound on stored
// updates, the factorisation's choice and the general LU's ordering besides; several solves run on
// one solver, with copies, moves and resets in between, to reach the warm-start paths and the kept
// symbolic analysis.
#include <Eigen/SparseCore>
#include <algorithm>
#include <vector>

#include "VectorSolves.hpp"
#include "support/QuadraticSystems.hpp"

namespace {

using namespace Ondrel::Math::Solvers;
using namespace Ondrel::Fuzz;
using Ondrel::Testing::MisbehaviourSchedule;
using Ondrel::Testing::QuadraticSystem;
using Mask = Eigen::Matrix<bool, Eigen::Dynamic, Eigen::Dynamic>;

// Which entries of the Jacobian its callable reports: a band, a random scatter around the
// diagonal, or either with a row or a column emptied (structurally singular).
Mask patternFrom(FuzzedDataProvider& in, Eigen::Index m) {
  Mask mask = Mask::Constant(m, m, false);
  if (in.ConsumeBool()) {
    const Eigen::Index below = in.ConsumeIntegralInRange<Eigen::Index>(0, 3);
    const Eigen::Index above = in.ConsumeIntegralInRange<Eigen::Index>(0, 3);
    for (Eigen::Index j = 0; j < m; ++j) {
      for (Eigen::Index i = std::max<Eigen::Index>(0, j - above); i < std::min(m, j + below + 1);
           ++i) {
        mask(i, j) = true;
      }
    }
  } else {
    const int density = in.ConsumeIntegralInRange(0, 8);
    for (Eigen::Index j = 0; j < m; ++j) {
      for (Eigen::Index i = 0; i < m; ++i) {
        mask(i, j) = i == j || in.ConsumeIntegralInRange(0, 9) < density;
      }
    }
  }
  if (m > 0 && in.ConsumeIntegralInRange(0, 7) == 0) {
    const Eigen::Index k = in.ConsumeIntegralInRange<Eigen::Index>(0, m - 1);
    if (in.ConsumeBool()) {
      mask.row(k).setConstant(false);
    } else {
      mask.col(k).setConstant(false);
    }
  }
  return mask;
}

// F(x) = A x + c .* x.^2 - b with A nonzero only on `pattern`, diagonally dominant but for
// diagonal entries the input makes exactly zero; occasionally an awkward b, and now and then a
// Jacobian scaled by an awkward factor.
QuadraticSystem systemFrom(FuzzedDataProvider& in, const Mask& pattern) {
  const Eigen::Index m = pattern.rows();
  QuadraticSystem system{
      Eigen::MatrixXd::Zero(m, m), Eigen::VectorXd::Zero(m), Eigen::VectorXd::Zero(m)};
  for (Eigen::Index i = 0; i < m; ++i) {
    for (Eigen::Index j = 0; j < m; ++j) {
      if (!pattern(i, j)) continue;
      system.a(i, j) = i == j ? in.ConsumeFloatingPointInRange(1.0, 4.0)
                              : in.ConsumeFloatingPointInRange(-0.5, 0.5);
    }
    const bool zeroDiagonal = in.ConsumeIntegralInRange(0, 11) == 0;
    if (zeroDiagonal) system.a(i, i) = 0.0;
    // c_i x_i^2 adds to the diagonal only: kept off a diagonal the pattern leaves out.
    if (pattern(i, i) && !zeroDiagonal) system.c(i) = in.ConsumeFloatingPointInRange(-0.5, 0.5);
    system.b(i) = in.ConsumeIntegralInRange(0, 15) == 0 ? awkwardDouble(in)
                                                        : in.ConsumeFloatingPointInRange(-2.0, 2.0);
  }
  if (in.ConsumeIntegralInRange(0, 3) == 0) system.jacobianScale = awkwardDouble(in);
  return system;
}

// What the Jacobian callable reports, and how it may change between evaluations.
struct SparseJacobian {
  Mask pattern;
  // Where x_0 < 0 the callable also reports the entries of `extra` (explicit zeros mostly): the
  // pattern changes with the point, so a solver and a fresh one see the same sequence.
  Mask extra;
  bool changes = false;
  // Every entry the (misbehaving) dense derivative holds off the pattern, NaN among them, is
  // reported too, so that a scheduled non-finite value always reaches the solver.
  Eigen::SparseMatrix<double> toSparse(const Eigen::MatrixXd& dense,
                                       const Eigen::Ref<const Eigen::VectorXd>& x) const {
    const bool widened = changes && x.size() > 0 && x(0) < 0.0;
    std::vector<Eigen::Triplet<double>> entries;
    for (Eigen::Index j = 0; j < dense.cols(); ++j) {
      for (Eigen::Index i = 0; i < dense.rows(); ++i) {
        const bool inside =
            i < pattern.rows() && j < pattern.cols() && (pattern(i, j) || (widened && extra(i, j)));
        if (inside || dense(i, j) != 0.0) entries.emplace_back(i, j, dense(i, j));
      }
    }
    Eigen::SparseMatrix<double> matrix(dense.rows(), dense.cols());
    matrix.setFromTriplets(entries.begin(), entries.end());
    matrix.makeCompressed();
    return matrix;
  }
};

// Swaps the first two row indices of the first column holding two: a matrix the solver must
// refuse. False when no column holds two entries.
bool disorder(Eigen::SparseMatrix<double>& matrix) {
  for (Eigen::Index j = 0; j < matrix.cols(); ++j) {
    const auto start = matrix.outerIndexPtr()[j];
    if (matrix.outerIndexPtr()[j + 1] - start >= 2) {
      std::swap(matrix.innerIndexPtr()[start], matrix.innerIndexPtr()[start + 1]);
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  // Mostly tiny; now and then wide enough for a band to be narrow against m.
  const Eigen::Index m =
      in.ConsumeBool() ? in.ConsumeIntegralInRange(0, 6) : in.ConsumeIntegralInRange(7, 40);
  auto same = [](const Eigen::VectorXd& a, const Eigen::VectorXd& b) { return sameBits(a, b); };
  SolveChecks<Eigen::VectorXd, decltype(same)> checks{parametersFrom(in), same};
  controlFrom(in, checks.parameters, checks.monitor, m, false);
  checks.emptyJacobian = in.ConsumeIntegralInRange(0, 15) == 0;
  const std::uint64_t updateLimit = in.ConsumeIntegralInRange<std::uint64_t>(0, 5);
  const SparseFactorisation factorisation =
      static_cast<SparseFactorisation>(in.ConsumeIntegralInRange(0, 3));
  const SparseOrdering ordering = static_cast<SparseOrdering>(in.ConsumeIntegralInRange(0, 4));

  auto jacobianShape = std::make_shared<SparseJacobian>();
  jacobianShape->pattern = patternFrom(in, m);
  jacobianShape->changes = in.ConsumeBool();
  if (jacobianShape->changes) jacobianShape->extra = patternFrom(in, m);
  const bool disordering = in.ConsumeIntegralInRange(0, 15) == 0;
  const auto system =
      std::make_shared<const QuadraticSystem>(systemFrom(in, jacobianShape->pattern));
  const auto schedule = std::make_shared<MisbehaviourSchedule>();
  const ResidualFunction residual = Ondrel::Testing::misbehavingResidual(
      [system](const Eigen::Ref<const Eigen::VectorXd>& x) { return system->evaluate(x); },
      schedule);
  // The schedule misbehaves on the dense derivative (a wrong size stays a wrong size); the
  // callable hands its entries over on the pattern.
  const JacobianFunction dense = Ondrel::Testing::misbehavingJacobian(
      [system](const Eigen::Ref<const Eigen::VectorXd>& x) { return system->derivative(x); },
      schedule);
  SparseJacobianFunction jacobian;
  if (!checks.emptyJacobian) {
    jacobian = [dense, jacobianShape, schedule, disordering](
                   const Eigen::Ref<const Eigen::VectorXd>& x, Eigen::SparseMatrix<double>& j) {
      Eigen::MatrixXd values;
      dense(x, values);
      j = jacobianShape->toSparse(values, x);
      // A refusal owes the caller an exception, as a wrong size does.
      if (disordering && disorder(j)) schedule->wrongSize = true;
    };
  }
  auto makeSolver = [&] {
    return SparseBroyden(
        m, m, checks.parameters, residual, jacobian, updateLimit, factorisation, ordering);
  };

  runSolves(in, checks, m, *schedule, makeSolver, [&](const SparseBroyden& solver) {
    // The statistics describe what the solver holds: below the banded LU's minimum size the
    // automatic choice is the general LU, any other choice is taken as it is.
    const SparseFactorStatistics statistics = solver.factorStatistics();
    const SparseFactorisation held = factorisation == SparseFactorisation::kAutomatic
                                         ? SparseFactorisation::kGeneral
                                         : factorisation;
    FUZZ_CHECK(statistics.factorisation == SparseFactorisation::kAutomatic ||
               statistics.factorisation == held);
    FUZZ_CHECK(statistics.method.empty() ==
               (statistics.factorisation == SparseFactorisation::kAutomatic));
    FUZZ_CHECK(solver.ordering() == ordering);
    // KLU orders by AMD only: another ordering is UMFPACK's.
    const bool amd = ordering == SparseOrdering::kAutomatic || ordering == SparseOrdering::kAmd;
    FUZZ_CHECK(amd || statistics.method.rfind("KLU", 0) != 0);
    FUZZ_CHECK(statistics.lowerBandwidth < std::max<Eigen::Index>(m, 1) &&
               statistics.upperBandwidth < std::max<Eigen::Index>(m, 1));
  });
  return 0;
}
