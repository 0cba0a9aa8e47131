#include <limits>
#include <ondrel/broyden/SparseBroyden.hpp>
#include <stdexcept>
#include <string>
#include <utility>

#include "../internal/Lifecycle.hpp"
#include "internal/Solver.hpp"
#include "internal/SparseModel.hpp"

namespace Ondrel::Math::Solvers {

namespace {

// Eigen's sparse matrices index rows and columns with int; refused before anything is allocated.
long long sparseDimension(long long m) {
  using StorageIndex = Eigen::SparseMatrix<double>::StorageIndex;
  if (m > std::numeric_limits<StorageIndex>::max()) {
    throw std::invalid_argument("SparseBroyden: the system size " + std::to_string(m) +
                                " exceeds the sparse matrix's index range (" +
                                std::to_string(std::numeric_limits<StorageIndex>::max()) + ")");
  }
  return m;
}

SparseFactorisation checkedChoice(SparseFactorisation factorisation) {
  switch (factorisation) {
    case SparseFactorisation::kAutomatic:
    case SparseFactorisation::kGeneral:
    case SparseFactorisation::kBanded:
    case SparseFactorisation::kIterative:
      return factorisation;
  }
  throw std::invalid_argument("SparseBroyden: unknown factorisation " +
                              std::to_string(static_cast<int>(factorisation)));
}

SparseOrdering checkedOrdering(SparseOrdering ordering) {
  switch (ordering) {
    case SparseOrdering::kAutomatic:
    case SparseOrdering::kAmd:
    case SparseOrdering::kMetis:
    case SparseOrdering::kCholmod:
    case SparseOrdering::kBest:
      return ordering;
  }
  throw std::invalid_argument("SparseBroyden: unknown ordering " +
                              std::to_string(static_cast<int>(ordering)));
}

}  // namespace

SparseBroyden::SparseBroyden(long long stateSize,
                             long long systemSize,
                             const BroydenParameters& parameters,
                             ResidualFunction residual,
                             SparseJacobianFunction jacobian,
                             std::uint64_t updateLimit,
                             SparseFactorisation factorisation,
                             SparseOrdering ordering)
    : limit(updateLimit),
      choice(checkedChoice(factorisation)),
      solver(std::make_unique<internal::Solver<internal::SparseModel>>("SparseBroyden",
                                                                       stateSize,
                                                                       sparseDimension(systemSize),
                                                                       parameters,
                                                                       std::move(residual),
                                                                       std::move(jacobian),
                                                                       parameters.updateMethod,
                                                                       updateLimit,
                                                                       factorisation,
                                                                       checkedOrdering(ordering))) {
}

SparseBroyden::SparseBroyden(const SparseBroyden& other)
    : limit(other.limit),
      choice(other.choice),
      information(other.information),
      solver(Ondrel::internal::deepCopy(other.solver)) {}

SparseBroyden& SparseBroyden::operator=(const SparseBroyden& other) {
  return Ondrel::internal::Lifecycle::copyAssign(*this, other);
}

SparseBroyden::SparseBroyden(SparseBroyden&& other) noexcept {
  Ondrel::internal::Lifecycle::take(*this, other);
}

SparseBroyden& SparseBroyden::operator=(SparseBroyden&& other) noexcept {
  return Ondrel::internal::Lifecycle::moveAssign(*this, other);
}

SparseBroyden::~SparseBroyden() = default;

void SparseBroyden::reset() {
  if (solver) solver->reset();
}

SparseOrdering SparseBroyden::ordering() const {
  return solver ? solver->jacobianModel().ordering() : SparseOrdering::kAutomatic;
}

SparseFactorStatistics SparseBroyden::factorStatistics() const {
  return solver ? solver->jacobianModel().statistics() : SparseFactorStatistics();
}

const BroydenInformation& SparseBroyden::solve(Eigen::Ref<Eigen::VectorXd> x) {
  return internal::live(solver).solve(x, information);
}

const BroydenInformation& SparseBroyden::solve(Ondrel::Math::State& state) {
  return internal::live(solver).solve(state, information);
}

}  // namespace Ondrel::Math::Solvers
