#include "SparseLu.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#if defined(ONDREL_HAVE_SUITESPARSE)
#include <klu.h>
#include <umfpack.h>
#else
#include <Eigen/OrderingMethods>
#include <Eigen/SparseLU>
#endif

namespace Ondrel::Math::Solvers::internal {

namespace {

using SparseMatrix = Eigen::SparseMatrix<double>;
using StorageIndex = SparseMatrix::StorageIndex;

// The pattern a symbolic analysis was made for, in the backend's index type.
template <class Index>
struct Pattern {
  std::vector<Index> columnStarts;
  std::vector<Index> rowIndices;

  bool matches(const SparseMatrix& matrix) const {
    const Eigen::Index columns = matrix.cols();
    if (columnStarts.size() != static_cast<std::size_t>(columns + 1) ||
        rowIndices.size() != static_cast<std::size_t>(matrix.nonZeros())) {
      return false;
    }
    return std::equal(columnStarts.begin(), columnStarts.end(), matrix.outerIndexPtr()) &&
           std::equal(rowIndices.begin(), rowIndices.end(), matrix.innerIndexPtr());
  }
  // Copied before the analysis it describes, so that a failed copy leaves no analysis claimed.
  void assign(const SparseMatrix& matrix) {
    const Eigen::Index columns = matrix.cols();
    columnStarts.assign(matrix.outerIndexPtr(), matrix.outerIndexPtr() + columns + 1);
    rowIndices.assign(matrix.innerIndexPtr(), matrix.innerIndexPtr() + matrix.nonZeros());
  }
  void clear() {
    std::vector<Index>().swap(columnStarts);
    std::vector<Index>().swap(rowIndices);
  }
};

}  // namespace

#if defined(ONDREL_HAVE_SUITESPARSE)

namespace {

// Which SuiteSparse factorisation a pattern gets, from KLU's analysis: the estimated flops of the
// factorisation per entry of the matrix. KLU (left-looking, no dense kernels) factorises a
// tridiagonal matrix 8 times faster than UMFPACK, whose per-front overhead dominates where there
// is no fill (1 flop per entry); with the fill of a 2-D grid UMFPACK's dense kernels win, 1.4
// times at m = 10^4 (475 flops per entry) and 7 times at 10^6 (7254).
constexpr double kKluFlopsPerEntry = 100.0;

// UMFPACK's Control[UMFPACK_ORDERING] for an ordering KLU does not offer; -1 for those KLU's
// analysis decides, which keep UMFPACK's default (AMD or COLAMD).
double umfpackOrdering(SparseOrdering ordering) {
  switch (ordering) {
    case SparseOrdering::kMetis:
      return UMFPACK_ORDERING_METIS;
    case SparseOrdering::kCholmod:
      return UMFPACK_ORDERING_CHOLMOD;
    case SparseOrdering::kBest:
      return UMFPACK_ORDERING_BEST;
    default:
      return -1;
  }
}

}  // namespace

struct SparseLu::Backend {
  enum class Method { kNone, kKlu, kUmfpack };

  SparseOrdering ordering;
  Method method = Method::kNone;
  Pattern<SuiteSparse_long> pattern;
  klu_l_common kluCommon;
  klu_l_symbolic* kluSymbolic = nullptr;
  klu_l_numeric* kluNumeric = nullptr;
  double control[UMFPACK_CONTROL];
  // The symbolic analysis's report: the ordering and strategy UMFPACK chose.
  double info[UMFPACK_INFO];
  void* symbolic = nullptr;
  void* numeric = nullptr;
  // umfpack_dl_wsolve's work arrays, so that a solve allocates nothing: n integers and, without
  // iterative refinement, n doubles.
  std::vector<SuiteSparse_long> integerWork;
  std::vector<double> work;

  explicit Backend(SparseOrdering fillOrdering) : ordering(fillOrdering) {
    klu_l_defaults(&kluCommon);
    umfpack_dl_defaults(control);
    control[UMFPACK_IRSTEP] = 0;
    if (umfpackOrdering(ordering) >= 0) control[UMFPACK_ORDERING] = umfpackOrdering(ordering);
  }
  ~Backend() { clear(); }

  void freeNumeric() {
    if (kluNumeric) klu_l_free_numeric(&kluNumeric, &kluCommon);
    if (numeric) umfpack_dl_free_numeric(&numeric);
    kluNumeric = nullptr;
    numeric = nullptr;
  }
  void freeSymbolic() {
    if (kluSymbolic) klu_l_free_symbolic(&kluSymbolic, &kluCommon);
    if (symbolic) umfpack_dl_free_symbolic(&symbolic);
    kluSymbolic = nullptr;
    symbolic = nullptr;
    method = Method::kNone;
  }
  void clear() {
    freeNumeric();
    freeSymbolic();
    pattern.clear();
  }

  // The symbolic analysis of `matrix`, by the method its fill calls for. False when the pattern
  // cannot be factorised.
  bool analyse(const SparseMatrix& matrix) {
    freeSymbolic();
    const SuiteSparse_long n = matrix.rows();
    pattern.assign(matrix);
    if (umfpackOrdering(ordering) < 0) {
      kluSymbolic =
          klu_l_analyze(n, pattern.columnStarts.data(), pattern.rowIndices.data(), &kluCommon);
      if (!kluSymbolic) {
        pattern.clear();
        if (kluCommon.status == KLU_OUT_OF_MEMORY) throw std::bad_alloc();
        return false;
      }
      if (kluSymbolic->est_flops <= kKluFlopsPerEntry * static_cast<double>(matrix.nonZeros())) {
        method = Method::kKlu;
        return true;
      }
      klu_l_free_symbolic(&kluSymbolic, &kluCommon);
    }
    integerWork.resize(static_cast<std::size_t>(n));
    work.resize(static_cast<std::size_t>(n));
    const SuiteSparse_long status = umfpack_dl_symbolic(n,
                                                        n,
                                                        pattern.columnStarts.data(),
                                                        pattern.rowIndices.data(),
                                                        matrix.valuePtr(),
                                                        &symbolic,
                                                        control,
                                                        info);
    if (status != UMFPACK_OK) {
      // Anything else UMFPACK refuses here (it checks the structure) cannot be factorised.
      freeSymbolic();
      pattern.clear();
      if (status == UMFPACK_ERROR_out_of_memory) throw std::bad_alloc();
      return false;
    }
    method = Method::kUmfpack;
    return true;
  }

  bool factorise(const SparseMatrix& matrix) {
    freeNumeric();
    if (method == Method::kNone || !pattern.matches(matrix)) {
      if (!analyse(matrix)) return false;
    }
    if (method == Method::kKlu) {
      kluNumeric = klu_l_factor(pattern.columnStarts.data(),
                                pattern.rowIndices.data(),
                                const_cast<double*>(matrix.valuePtr()),
                                kluSymbolic,
                                &kluCommon);
      if (kluCommon.status == KLU_OUT_OF_MEMORY) {
        freeNumeric();
        throw std::bad_alloc();
      }
      // A singular matrix (a pivot of exactly zero) leaves no factors: KLU halts on it.
      if (!kluNumeric || kluCommon.status != KLU_OK) {
        freeNumeric();
        return false;
      }
      return true;
    }
    const SuiteSparse_long status = umfpack_dl_numeric(pattern.columnStarts.data(),
                                                       pattern.rowIndices.data(),
                                                       matrix.valuePtr(),
                                                       symbolic,
                                                       &numeric,
                                                       control,
                                                       nullptr);
    if (status == UMFPACK_ERROR_out_of_memory) {
      freeNumeric();
      throw std::bad_alloc();
    }
    if (status != UMFPACK_OK) {
      // UMFPACK_WARNING_singular_matrix leaves factors with a zero pivot: never solved with.
      freeNumeric();
      return false;
    }
    return true;
  }

  Eigen::Index factorEntries() const {
    if (method == Method::kKlu) {
      return kluNumeric ? static_cast<Eigen::Index>(kluNumeric->lnz + kluNumeric->unz) : 0;
    }
    SuiteSparse_long lower = 0, upper = 0, rows = 0, columns = 0, unitDiagonal = 0;
    if (!numeric || umfpack_dl_get_lunz(&lower, &upper, &rows, &columns, &unitDiagonal, numeric) !=
                        UMFPACK_OK) {
      return 0;
    }
    return static_cast<Eigen::Index>(lower + upper);
  }

  std::string describe() const {
    if (method == Method::kKlu) return "KLU, AMD ordering";
    const bool symmetric = info[UMFPACK_STRATEGY_USED] == UMFPACK_STRATEGY_SYMMETRIC;
    std::string text;
    switch (static_cast<int>(info[UMFPACK_ORDERING_USED])) {
      case UMFPACK_ORDERING_AMD:
        text = symmetric ? "UMFPACK, AMD ordering" : "UMFPACK, COLAMD ordering";
        break;
      case UMFPACK_ORDERING_METIS:
        text = "UMFPACK, METIS ordering";
        break;
      case UMFPACK_ORDERING_CHOLMOD:
        text = "UMFPACK, CHOLMOD ordering";
        break;
      default:
        text = "UMFPACK";
        break;
    }
    // These two pick among orderings: the text says which was used, and who picked it.
    if (ordering == SparseOrdering::kCholmod) text += ", CHOLMOD's choice";
    if (ordering == SparseOrdering::kBest) text += ", the least fill UMFPACK found";
    return text;
  }

  void solve(const Eigen::VectorXd& b, Eigen::VectorXd& x) {
    if (method == Method::kKlu) {
      x = b;  // KLU solves in place
      klu_l_solve(kluSymbolic, kluNumeric, x.size(), 1, x.data(), &kluCommon);
      return;
    }
    // The matrix itself is needed only for iterative refinement, which is off.
    umfpack_dl_wsolve(UMFPACK_A,
                      nullptr,
                      nullptr,
                      nullptr,
                      x.data(),
                      b.data(),
                      numeric,
                      control,
                      nullptr,
                      integerWork.data(),
                      work.data());
  }
};

#else

namespace {

// Eigen's SparseLU reports running out of memory only through its message, and leaves info()
// at the previous factorisation's value when its first allocation fails; the flag it keeps for
// itself says whether the factors are usable.
class CheckedSparseLu : public Eigen::SparseLU<SparseMatrix, Eigen::COLAMDOrdering<StorageIndex> > {
 public:
  bool factorsUsable() const { return m_factorizationIsOk && info() == Eigen::Success; }
  bool ranOutOfMemory() const { return lastErrorMessage().rfind("UNABLE TO", 0) == 0; }
  Eigen::Index factorEntries() const { return static_cast<Eigen::Index>(m_nnzL + m_nnzU); }
};

}  // namespace

// Eigen's SparseLU takes its ordering as a type: the build keeps COLAMD whatever is asked, as the
// header documents.
struct SparseLu::Backend {
  explicit Backend(SparseOrdering) {}

  CheckedSparseLu lu;
  Pattern<StorageIndex> pattern;
  bool analysed = false;

  bool factorise(const SparseMatrix& matrix) {
    if (!analysed || !pattern.matches(matrix)) {
      analysed = false;
      pattern.assign(matrix);
      lu.analyzePattern(matrix);
      analysed = true;
    }
    lu.factorize(matrix);
    if (lu.factorsUsable()) return true;
    if (lu.ranOutOfMemory()) throw std::bad_alloc();
    return false;
  }

  void solve(const Eigen::VectorXd& b, Eigen::VectorXd& x) { x = lu.solve(b); }

  Eigen::Index factorEntries() const { return lu.factorEntries(); }
  std::string describe() const { return "Eigen SparseLU, COLAMD ordering"; }

  void clear() {
    analysed = false;
    pattern.clear();
  }
};

#endif

namespace {

bool bandedPays(const Eigen::SparseMatrix<double>& matrix, const Bandwidths& band) {
  const double storage =
      (2.0 * static_cast<double>(band.lower) + static_cast<double>(band.upper) + 1.0) *
      static_cast<double>(matrix.rows());
  return matrix.rows() >= Math::Solvers::SparseBroyden::kBandedMinimumSize &&
         storage <= Math::Solvers::SparseBroyden::kBandedStorageRatio *
                        static_cast<double>(matrix.nonZeros());
}

}  // namespace

SparseLu::SparseLu(SparseFactorisation choice, SparseOrdering ordering)
    : factorisation(choice), fillOrdering(ordering), backend(std::make_unique<Backend>(ordering)) {}

SparseLu::~SparseLu() = default;

bool SparseLu::factorise(const Eigen::SparseMatrix<double>& matrix) {
  held = SparseFactorisation::kAutomatic;
  band = bandwidthsOf(matrix);
  if (factorisation == SparseFactorisation::kIterative) {
    if (!iterative.factorise(matrix)) return false;
    held = SparseFactorisation::kIterative;
    return true;
  }
  const bool useBand = factorisation != SparseFactorisation::kGeneral &&
                       BandedLu::fits(matrix.rows(), band) &&
                       (factorisation == SparseFactorisation::kBanded || bandedPays(matrix, band));
  if (useBand) {
    backend->clear();
    if (!banded.factorise(matrix, band)) return false;
    held = SparseFactorisation::kBanded;
    return true;
  }
  banded.clear();
  if (!backend->factorise(matrix)) return false;
  held = SparseFactorisation::kGeneral;
  return true;
}

void SparseLu::solve(const Eigen::VectorXd& b, Eigen::VectorXd& x) {
  if (held == SparseFactorisation::kBanded) {
    banded.solve(b, x);
  } else if (held == SparseFactorisation::kIterative) {
    iterative.solve(b, x);
  } else {
    backend->solve(b, x);
  }
}

void SparseLu::clear() {
  backend->clear();
  banded.clear();
  iterative.clear();
  held = SparseFactorisation::kAutomatic;
}

SparseFactorStatistics SparseLu::statistics() const {
  SparseFactorStatistics statistics;
  if (held == SparseFactorisation::kAutomatic) return statistics;
  statistics.factorisation = held;
  statistics.lowerBandwidth = band.lower;
  statistics.upperBandwidth = band.upper;
  if (held == SparseFactorisation::kBanded) {
    statistics.method =
        banded.byLapack() ? "banded LU (LAPACK dgbtrf), no ordering" : "banded LU, no ordering";
    statistics.factorEntries = banded.factorEntries();
  } else if (held == SparseFactorisation::kIterative) {
    statistics.method = IterativeInverse::describe();
    statistics.factorEntries = iterative.factorEntries();
  } else {
    statistics.method = backend->describe();
    statistics.factorEntries = backend->factorEntries();
  }
  return statistics;
}

}  // namespace Ondrel::Math::Solvers::internal
