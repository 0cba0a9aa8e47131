#include "SparseLu.hpp"

#include <algorithm>
#include <new>
#include <vector>

#if defined(ONDREL_HAVE_UMFPACK)
#include <umfpack.h>
#else
#include <Eigen/OrderingMethods>
#include <Eigen/SparseLU>
#include <string>
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

#if defined(ONDREL_HAVE_UMFPACK)

struct SparseLu::Backend {
  double control[UMFPACK_CONTROL];
  Pattern<SuiteSparse_long> pattern;
  void* symbolic = nullptr;
  void* numeric = nullptr;
  // umfpack_dl_wsolve's work arrays, so that a solve allocates nothing: n integers and, without
  // iterative refinement, n doubles.
  std::vector<SuiteSparse_long> integerWork;
  std::vector<double> work;

  Backend() {
    umfpack_dl_defaults(control);
    control[UMFPACK_IRSTEP] = 0;
  }
  ~Backend() {
    freeNumeric();
    freeSymbolic();
  }
  void freeNumeric() {
    if (numeric) umfpack_dl_free_numeric(&numeric);
    numeric = nullptr;
  }
  void freeSymbolic() {
    if (symbolic) umfpack_dl_free_symbolic(&symbolic);
    symbolic = nullptr;
  }

  bool factorise(const SparseMatrix& matrix) {
    freeNumeric();
    const SuiteSparse_long n = matrix.rows();
    if (!symbolic || !pattern.matches(matrix)) {
      freeSymbolic();
      pattern.assign(matrix);
      integerWork.resize(static_cast<std::size_t>(n));
      work.resize(static_cast<std::size_t>(n));
      const SuiteSparse_long status = umfpack_dl_symbolic(n,
                                                          n,
                                                          pattern.columnStarts.data(),
                                                          pattern.rowIndices.data(),
                                                          matrix.valuePtr(),
                                                          &symbolic,
                                                          control,
                                                          nullptr);
      if (status == UMFPACK_ERROR_out_of_memory) {
        pattern.clear();
        throw std::bad_alloc();
      }
      if (status != UMFPACK_OK) {
        // Anything else UMFPACK refuses here (it checks the structure) cannot be factorised.
        freeSymbolic();
        pattern.clear();
        return false;
      }
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

  void solve(const Eigen::VectorXd& b, Eigen::VectorXd& x) {
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

  long long factorNonZeros() const {
    if (!numeric) return 0;
    SuiteSparse_long lower = 0, upper = 0, rows = 0, columns = 0, diagonal = 0;
    umfpack_dl_get_lunz(&lower, &upper, &rows, &columns, &diagonal, numeric);
    return static_cast<long long>(lower + upper);
  }

  void clear() {
    freeNumeric();
    freeSymbolic();
    pattern.clear();
  }
};

const char* SparseLu::backendName() { return "UMFPACK"; }

#else

namespace {

// Eigen's SparseLU reports running out of memory only through its message, and leaves info()
// at the previous factorisation's value when its first allocation fails; the flag it keeps for
// itself says whether the factors are usable.
class CheckedSparseLu : public Eigen::SparseLU<SparseMatrix, Eigen::COLAMDOrdering<StorageIndex> > {
 public:
  bool factorsUsable() const { return m_factorizationIsOk && info() == Eigen::Success; }
  bool ranOutOfMemory() const { return lastErrorMessage().rfind("UNABLE TO", 0) == 0; }
};

}  // namespace

struct SparseLu::Backend {
  CheckedSparseLu lu;
  Pattern<StorageIndex> pattern;
  bool analysed = false;
  bool factorised = false;

  bool factorise(const SparseMatrix& matrix) {
    factorised = false;
    if (!analysed || !pattern.matches(matrix)) {
      analysed = false;
      pattern.assign(matrix);
      lu.analyzePattern(matrix);
      analysed = true;
    }
    lu.factorize(matrix);
    if (lu.factorsUsable()) {
      factorised = true;
      return true;
    }
    if (lu.ranOutOfMemory()) throw std::bad_alloc();
    return false;
  }

  void solve(const Eigen::VectorXd& b, Eigen::VectorXd& x) { x = lu.solve(b); }

  long long factorNonZeros() const {
    return factorised ? static_cast<long long>(lu.nnzL() + lu.nnzU()) : 0;
  }

  void clear() {
    analysed = false;
    factorised = false;
    pattern.clear();
  }
};

const char* SparseLu::backendName() { return "Eigen SparseLU"; }

#endif

SparseLu::SparseLu() : backend(std::make_unique<Backend>()) {}

SparseLu::~SparseLu() = default;

bool SparseLu::factorise(const Eigen::SparseMatrix<double>& matrix) {
  return backend->factorise(matrix);
}

void SparseLu::solve(const Eigen::VectorXd& b, Eigen::VectorXd& x) { backend->solve(b, x); }

void SparseLu::clear() { backend->clear(); }

long long SparseLu::factorNonZeros() const { return backend->factorNonZeros(); }

}  // namespace Ondrel::Math::Solvers::internal
