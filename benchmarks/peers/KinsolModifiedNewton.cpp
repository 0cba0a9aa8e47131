#include "KinsolModifiedNewton.hpp"

#include <kinsol/kinsol.h>
#include <nvector/nvector_serial.h>
#include <sundials/sundials_context.h>
#include <sunlinsol/sunlinsol_band.h>
#include <sunlinsol/sunlinsol_dense.h>
#include <sunlinsol/sunlinsol_klu.h>
#include <sunmatrix/sunmatrix_band.h>
#include <sunmatrix/sunmatrix_dense.h>
#include <sunmatrix/sunmatrix_sparse.h>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace Ondrel::Benchmarks {

namespace {

// What the callbacks reach through KINSOL's user data during one solve.
struct CallContext {
  const TestProblem* problem = nullptr;
  PeerOutcome* outcome = nullptr;
  Eigen::SparseMatrix<double>* sparseJacobian = nullptr;
};

Eigen::Map<Eigen::VectorXd> mapped(N_Vector v) {
  return Eigen::Map<Eigen::VectorXd>(N_VGetArrayPointer(v), N_VGetLength(v));
}

int evaluateResidual(N_Vector u, N_Vector f, void* data) {
  auto* context = static_cast<CallContext*>(data);
  ++context->outcome->residualEvaluations;
  context->problem->residual(mapped(u), mapped(f));
  return 0;
}

int evaluateSparseJacobian(N_Vector u, N_Vector, SUNMatrix j, void* data, N_Vector, N_Vector) {
  auto* context = static_cast<CallContext*>(data);
  ++context->outcome->jacobianEvaluations;
  Eigen::SparseMatrix<double>& source = *context->sparseJacobian;
  context->problem->sparseJacobian(mapped(u), source);
  // Both are compressed columns; KINSOL's indices are 64-bit.
  const Eigen::Index m = source.cols();
  sunindextype* starts = SUNSparseMatrix_IndexPointers(j);
  sunindextype* rows = SUNSparseMatrix_IndexValues(j);
  double* values = SUNSparseMatrix_Data(j);
  for (Eigen::Index c = 0; c <= m; ++c) starts[c] = source.outerIndexPtr()[c];
  for (Eigen::Index p = 0; p < source.nonZeros(); ++p) {
    rows[p] = source.innerIndexPtr()[p];
    values[p] = source.valuePtr()[p];
  }
  return 0;
}

int evaluateBandJacobian(N_Vector u, N_Vector, SUNMatrix j, void* data, N_Vector, N_Vector) {
  auto* context = static_cast<CallContext*>(data);
  ++context->outcome->jacobianEvaluations;
  Eigen::SparseMatrix<double>& source = *context->sparseJacobian;
  context->problem->sparseJacobian(mapped(u), source);
  SUNMatZero(j);
  for (Eigen::Index c = 0; c < source.cols(); ++c) {
    // Entry (r, c) of a band matrix's column c sits at offset r - c from its diagonal.
    double* column = SUNBandMatrix_Column(j, c);
    for (Eigen::SparseMatrix<double>::InnerIterator it(source, c); it; ++it) {
      column[it.row() - c] = it.value();
    }
  }
  return 0;
}

int evaluateDenseJacobian(N_Vector u, N_Vector, SUNMatrix j, void* data, N_Vector, N_Vector) {
  auto* context = static_cast<CallContext*>(data);
  ++context->outcome->jacobianEvaluations;
  const sunindextype m = SUNDenseMatrix_Rows(j);
  Eigen::Map<Eigen::MatrixXd> matrix(SUNDenseMatrix_Data(j), m, m);  // column-major
  context->problem->jacobian(mapped(u), matrix);
  return 0;
}

void silence(int, const char*, const char*, char*, void*) {}

}  // namespace

struct KinsolModifiedNewton::Handles {
  SUNContext context = nullptr;
  N_Vector point = nullptr;
  N_Vector scale = nullptr;
  SUNMatrix matrix = nullptr;
  SUNLinearSolver linearSolver = nullptr;
  void* memory = nullptr;
  CallContext call;
  Eigen::SparseMatrix<double> sparseJacobian;

  ~Handles() {
    if (memory) KINFree(&memory);
    if (linearSolver) SUNLinSolFree(linearSolver);
    if (matrix) SUNMatDestroy(matrix);
    if (scale) N_VDestroy(scale);
    if (point) N_VDestroy(point);
    if (context) SUNContext_Free(&context);
  }
};

KinsolModifiedNewton::KinsolModifiedNewton(const TestProblem& problem,
                                           KinsolLinearSolver solver,
                                           double residualTolerance,
                                           std::uint64_t maxIterations,
                                           bool search)
    : dimension(problem.size()),
      linearSolver(solver),
      lineSearch(search),
      handles(std::make_unique<Handles>()) {
  if (linearSolver != KinsolLinearSolver::kDense && !problem.hasSparseJacobian()) {
    throw std::invalid_argument("KinsolModifiedNewton: " + problem.name() +
                                " has no sparse Jacobian");
  }
  Handles& h = *handles;
  const auto check = [&](bool ok, const char* what) {
    if (ok) return;
    throw std::runtime_error(std::string("KinsolModifiedNewton: ") + what + " failed");
  };
  check(SUNContext_Create(nullptr, &h.context) == 0, "SUNContext_Create");
  h.point = N_VNew_Serial(dimension, h.context);
  h.scale = N_VNew_Serial(dimension, h.context);
  check(h.point && h.scale, "N_VNew_Serial");
  N_VConst(1.0, h.scale);
  if (linearSolver == KinsolLinearSolver::kKlu) {
    problem.sparseJacobian(problem.start(), h.sparseJacobian);
    h.matrix =
        SUNSparseMatrix(dimension, dimension, h.sparseJacobian.nonZeros(), CSC_MAT, h.context);
    check(h.matrix != nullptr, "SUNSparseMatrix");
    h.linearSolver = SUNLinSol_KLU(h.point, h.matrix, h.context);
  } else if (linearSolver == KinsolLinearSolver::kBand) {
    problem.sparseJacobian(problem.start(), h.sparseJacobian);
    sunindextype lower = 0, upper = 0;
    for (Eigen::Index c = 0; c < dimension; ++c) {
      for (Eigen::SparseMatrix<double>::InnerIterator it(h.sparseJacobian, c); it; ++it) {
        lower = std::max<sunindextype>(lower, it.row() - c);
        upper = std::max<sunindextype>(upper, c - it.row());
      }
    }
    h.matrix = SUNBandMatrix(dimension, upper, lower, h.context);
    check(h.matrix != nullptr, "SUNBandMatrix");
    h.linearSolver = SUNLinSol_Band(h.point, h.matrix, h.context);
  } else {
    h.matrix = SUNDenseMatrix(dimension, dimension, h.context);
    check(h.matrix != nullptr, "SUNDenseMatrix");
    h.linearSolver = SUNLinSol_Dense(h.point, h.matrix, h.context);
  }
  check(h.linearSolver != nullptr, "the linear solver");
  h.memory = KINCreate(h.context);
  check(h.memory != nullptr, "KINCreate");
  check(KINInit(h.memory, evaluateResidual, h.point) == KIN_SUCCESS, "KINInit");
  check(KINSetErrHandlerFn(h.memory, silence, nullptr) == KIN_SUCCESS, "KINSetErrHandlerFn");
  check(KINSetUserData(h.memory, &h.call) == KIN_SUCCESS, "KINSetUserData");
  check(KINSetLinearSolver(h.memory, h.linearSolver, h.matrix) == KIN_SUCCESS,
        "KINSetLinearSolver");
  const KINLsJacFn jacobian = linearSolver == KinsolLinearSolver::kKlu    ? evaluateSparseJacobian
                              : linearSolver == KinsolLinearSolver::kBand ? evaluateBandJacobian
                                                                          : evaluateDenseJacobian;
  check(KINSetJacFn(h.memory, jacobian) == KIN_SUCCESS, "KINSetJacFn");
  check(KINSetFuncNormTol(h.memory, residualTolerance) == KIN_SUCCESS, "KINSetFuncNormTol");
  // Stop on the residual alone, as the other solvers are asked to.
  check(KINSetScaledStepTol(h.memory, 1e-300) == KIN_SUCCESS, "KINSetScaledStepTol");
  check(KINSetNumMaxIters(h.memory, static_cast<long>(maxIterations)) == KIN_SUCCESS,
        "KINSetNumMaxIters");
  // Modified Newton: one Jacobian for up to 10 iterations (KINSOL's default, set to be explicit).
  check(KINSetMaxSetupCalls(h.memory, 10) == KIN_SUCCESS, "KINSetMaxSetupCalls");
}

KinsolModifiedNewton::~KinsolModifiedNewton() = default;

PeerOutcome KinsolModifiedNewton::solve(const TestProblem& problem, Eigen::Ref<Eigen::VectorXd> x) {
  if (problem.size() != dimension || x.size() != dimension) {
    throw std::invalid_argument("KinsolModifiedNewton: problem " + problem.name() +
                                " and a start of " + std::to_string(x.size()) +
                                " entries do not match dimension " + std::to_string(dimension));
  }
  PeerOutcome outcome;
  Handles& h = *handles;
  h.call = CallContext{&problem, &outcome, &h.sparseJacobian};
  mapped(h.point) = x;
  const int flag =
      KINSol(h.memory, h.point, lineSearch ? KIN_LINESEARCH : KIN_NONE, h.scale, h.scale);
  outcome.converged = flag == KIN_SUCCESS || flag == KIN_INITIAL_GUESS_OK;
  x = mapped(h.point);
  Eigen::VectorXd f(dimension);
  problem.residual(x, f);
  outcome.residualNorm = f.norm();
  return outcome;
}

}  // namespace Ondrel::Benchmarks
