#include "PetscModel.hpp"

#include <cmath>
#include <limits>
#include <ondrel/broyden/BroydenParameters.hpp>
#include <stdexcept>
#include <utility>

#include "Collective.hpp"

namespace Ondrel::Math::Solvers::internal {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

DistributedVector::DistributedVector(MPI_Comm comm, PetscInt localSize)
    : local(Eigen::VectorXd::Zero(localSize)) {
  check(VecCreateMPIWithArray(comm, 1, localSize, PETSC_DETERMINE, local.data(), &vec),
        "VecCreateMPIWithArray");
}

// Moving an Eigen vector keeps its heap block, so the Vec still shows the same storage.
DistributedVector::DistributedVector(DistributedVector&& other) noexcept
    : local(std::move(other.local)), vec(std::exchange(other.vec, nullptr)) {}

DistributedVector::~DistributedVector() {
  if (vec) VecDestroy(&vec);
}

Placeholder::Placeholder(MPI_Comm comm, PetscInt localSize) {
  check(VecCreateMPIWithArray(comm, 1, localSize, PETSC_DETERMINE, nullptr, &vec),
        "VecCreateMPIWithArray");
}

Placeholder::~Placeholder() { VecDestroy(&vec); }

Shown::Shown(const Placeholder& placeholder, const double* values, bool readOnly)
    : vec(placeholder.vec), locked(false) {
  check(VecPlaceArray(vec, values), "VecPlaceArray");
  if (readOnly) {
    const PetscErrorCode code = VecLockReadPush(vec);
    if (code != 0) VecResetArray(vec);
    check(code, "VecLockReadPush");
    locked = true;
  }
}

Shown::~Shown() {
  if (locked) VecLockReadPop(vec);
  VecResetArray(vec);
}

namespace {

MPI_Comm communicatorOf(Mat matrix) {
  MPI_Comm comm = MPI_COMM_NULL;
  check(PetscObjectGetComm(reinterpret_cast<PetscObject>(matrix), &comm), "PetscObjectGetComm");
  return comm;
}

PetscInt localRowsOf(Mat matrix) {
  PetscInt localRows = 0;
  PetscInt localCols = 0;
  check(MatGetLocalSize(matrix, &localRows, &localCols), "MatGetLocalSize");
  return localRows;
}

PetscInt rowsOf(Mat matrix) {
  PetscInt globalRows = 0;
  PetscInt globalCols = 0;
  check(MatGetSize(matrix, &globalRows, &globalCols), "MatGetSize");
  return globalRows;
}

}  // namespace

PetscModel::PetscModel(Mat matrix,
                       PetscJacobianFunction callable,
                       std::int32_t updateMethod,
                       std::uint64_t limit)
    : comm(communicatorOf(matrix)),
      rows(localRowsOf(matrix)),
      size(rowsOf(matrix)),
      jacobian(matrix),
      jacobianFunction(std::move(callable)),
      method(updateMethod),
      updateLimit(limit),
      cachedResidual(rows),
      cachedProduct(rows),
      product(comm, rows),
      previousProduct(comm, rows),
      correction(comm, rows),
      input(comm, rows),
      output(comm, rows),
      other(comm, rows) {
  check(PetscObjectReference(reinterpret_cast<PetscObject>(jacobian)), "PetscObjectReference");
  try {
    // The default H0 is a parallel direct LU; the options database may name any KSP and PC.
    PC pc = nullptr;
    check(KSPCreate(comm, &ksp), "KSPCreate");
    check(KSPSetOptionsPrefix(ksp, "ondrel_"), "KSPSetOptionsPrefix");
    check(KSPSetType(ksp, KSPPREONLY), "KSPSetType");
    check(KSPGetPC(ksp, &pc), "KSPGetPC");
    check(PCSetType(pc, PCLU), "PCSetType");
    check(PCFactorSetMatSolverType(pc, MATSOLVERMUMPS), "PCFactorSetMatSolverType");
    check(KSPSetFromOptions(ksp), "KSPSetFromOptions");
  } catch (...) {
    KSPDestroy(&ksp);
    MatDestroy(&jacobian);
    throw;
  }
}

PetscModel::~PetscModel() {
  KSPDestroy(&ksp);
  MatDestroy(&jacobian);
}

void PetscModel::drop() {
  isHeld = false;
  used = 0;
  cacheValid = false;
}

void PetscModel::evaluate(const Eigen::Ref<const Eigen::VectorXd>& point) {
  isHeld = false;
  used = 0;
  cacheValid = false;
  {
    Shown x(input, point.data(), true);
    collectively(comm, "PetscBroyden::solve: the Jacobian function", [&] {
      jacobianFunction(x.vec, jacobian);
    });
  }
  check(MatAssemblyBegin(jacobian, MAT_FINAL_ASSEMBLY), "MatAssemblyBegin");
  check(MatAssemblyEnd(jacobian, MAT_FINAL_ASSEMBLY), "MatAssemblyEnd");
  // One reduction over all entries: a NaN or an infinity on any process makes the norm so.
  PetscReal norm = 0.0;
  check(MatNorm(jacobian, NORM_FROBENIUS, &norm), "MatNorm");
  jacobianFinite = std::isfinite(norm);
  correctionsFinite = true;
  regular = true;
  if (jacobianFinite && size > 0) {
    // The same matrix each time: a pattern PETSc finds unchanged keeps its symbolic work.
    PC pc = nullptr;
    check(KSPGetPC(ksp, &pc), "KSPGetPC");
    // A factorisation that failed leaves MUMPS refusing to refactorise the same pattern: the
    // next one starts from a KSP set up afresh (its type and options stay).
    if (setupFailed) check(KSPReset(ksp), "KSPReset");
    check(KSPSetOperators(ksp, jacobian, jacobian), "KSPSetOperators");
    // A failure of the previous Jacobian's factorisation must not be read as this one's.
    check(PCSetFailedReason(pc, PC_NOERROR), "PCSetFailedReason");
    check(KSPSetUp(ksp), "KSPSetUp");
    PCFailedReason reason = PC_NOERROR;
    check(PCGetFailedReason(pc, &reason), "PCGetFailedReason");
    regular = holdsEverywhere(comm, reason == PC_NOERROR);
    setupFailed = !regular;
  }
  isHeld = true;
}

std::vector<Vec> PetscModel::leftVecs() const {
  std::vector<Vec> vecs;
  for (std::size_t i = 0; i < used; ++i) vecs.push_back(left[i].vec);
  return vecs;
}

std::vector<Vec> PetscModel::rightVecs() const {
  std::vector<Vec> vecs;
  for (std::size_t i = 0; i < used; ++i) vecs.push_back(right[i].vec);
  return vecs;
}

void PetscModel::applyInverse(const Eigen::VectorXd& v, Eigen::VectorXd& out) {
  if (size == 0) return;
  if (!jacobianFinite || !regular) {
    out.setConstant(kNaN);
    return;
  }
  Shown in(input, v.data());
  Shown result(output, out.data());
  check(KSPSolve(ksp, in.vec, result.vec), "KSPSolve");
  KSPConvergedReason reason = KSP_CONVERGED_ITERATING;
  check(KSPGetConvergedReason(ksp, &reason), "KSPGetConvergedReason");
  // The reason is the same on every process: KSP decides on reduced norms.
  if (reason < 0) {
    regular = false;
    setupFailed = true;
    out.setConstant(kNaN);
    return;
  }
  const auto k = static_cast<PetscInt>(used);
  if (k == 0 || (method != kGoodBroydenOnInverse && method != kBadBroydenOnInverse)) return;
  coefficients.resize(k);
  const std::vector<Vec> rightVectors = rightVecs();
  if (method == kGoodBroydenOnInverse) {
    check(VecMDot(result.vec, k, rightVectors.data(), coefficients.data()), "VecMDot");
    for (PetscInt i = 1; i < k; ++i) {
      coefficients(i) += products.row(i).head(i).dot(coefficients.head(i));
    }
  } else {
    check(VecMDot(in.vec, k, rightVectors.data(), coefficients.data()), "VecMDot");
  }
  std::vector<Vec> leftVectors = leftVecs();
  check(VecMAXPY(result.vec, k, coefficients.data(), leftVectors.data()), "VecMAXPY");
}

const Eigen::VectorXd& PetscModel::inverseTimes(const Eigen::VectorXd& v, Eigen::VectorXd& out) {
  // Exact comparison, on every process's rows: the cache is used everywhere or nowhere.
  if (cacheValid && holdsEverywhere(comm, v == cachedResidual)) return cachedProduct;
  applyInverse(v, out);
  return out;
}

void PetscModel::step(const Eigen::VectorXd& residual, Eigen::VectorXd& dx) {
  const Eigen::VectorXd& hf = inverseTimes(residual, product.local);
  if (&hf == &product.local) {
    cachedResidual = residual;
    cachedProduct = product.local;
    cacheValid = true;
  }
  dx = -hf;
}

ModelHealth PetscModel::health() const {
  if (!jacobianFinite) return ModelHealth::kNonFiniteJacobian;
  if (!regular || !correctionsFinite) return ModelHealth::kNonFiniteInverse;
  return ModelHealth::kFinite;
}

bool PetscModel::nextSlot() {
  if (used >= updateLimit) {
    used = 0;
    cacheValid = false;
    correctionsFinite = true;
  }
  if (updateLimit == 0) return false;
  if (left.size() <= used) {
    left.emplace_back(comm, rows);
    right.emplace_back(comm, rows);
  }
  if (products.rows() <= static_cast<Eigen::Index>(used)) {
    products.conservativeResize(static_cast<Eigen::Index>(used) + 1,
                                static_cast<Eigen::Index>(used) + 1);
  }
  return true;
}

// As SparseModel's update of H: H y = H F(x+) - H F(x), the second product the step just taken,
// so one application of H gives both H y and the next step H+ F(x+).
void PetscModel::update(std::int32_t updateMethod,
                        const Eigen::VectorXd& s,
                        const Eigen::VectorXd& residual,
                        const Eigen::VectorXd& newResidual) {
  if (size == 0 || updateMethod != method) return;
  if (method != kGoodBroydenOnInverse && method != kBadBroydenOnInverse) return;
  if (!nextSlot()) return;
  const Eigen::VectorXd& hf = inverseTimes(residual, previousProduct.local);
  applyInverse(newResidual, product.local);
  correction.local = product.local - hf;
  const std::size_t k = used;
  Eigen::VectorXd& a = left[k].local;
  Eigen::VectorXd& b = right[k].local;
  if (method == kGoodBroydenOnInverse) {
    // sᵀ(H y), sᵀ(H F+) and the new row of g, in one reduction.
    std::vector<Vec> against{correction.vec, product.vec};
    for (std::size_t j = 0; j < k; ++j) against.push_back(left[j].vec);
    std::vector<PetscScalar> dots(against.size());
    Shown step(other, s.data());
    check(VecMDot(step.vec, static_cast<PetscInt>(against.size()), against.data(), dots.data()),
          "VecMDot");
    const double denominator = dots[0] + kDenominatorShift;
    a = (s - correction.local) / denominator;
    b = s;
    product.local += a * dots[1];
    for (std::size_t j = 0; j < k; ++j) {
      products(static_cast<Eigen::Index>(k), static_cast<Eigen::Index>(j)) = dots[2 + j];
    }
  } else {
    b = newResidual - residual;
    Vec against[2] = {right[k].vec, nullptr};
    Shown next(other, newResidual.data());
    against[1] = next.vec;
    PetscScalar dots[2] = {0.0, 0.0};
    check(VecMDot(right[k].vec, 2, against, dots), "VecMDot");
    a = (s - correction.local) / (dots[0] + kDenominatorShift);
    product.local += a * dots[1];
  }
  ++used;
  correctionsFinite = holdsEverywhere(comm, correctionsFinite && a.allFinite() && b.allFinite());
  cachedResidual = newResidual;
  cachedProduct = product.local;
  cacheValid = true;
}

}  // namespace Ondrel::Math::Solvers::internal
