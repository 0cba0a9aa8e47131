// The distributed model of the Jacobian (not installed): the host's parallel matrix J0 from the
// last refresh, a KSP that applies H0 = J0^-1, and the rank-one updates made since as pairs of
// distributed vectors. It is SparseModel's scheme (same updates, same cache of H F, same bound
// and restart, same NaN steps from a model that cannot give finite ones) for update methods 1
// and 2, with the vectors holding this process's rows and every product over all of them:
//
//   kGoodBroydenOnInverse (1): H = (I + a_k s_kᵀ) ... (I + a_1 s_1ᵀ) H0. Applied one factor at a
//     time it would cost a reduction per pair; with the products g_ij = s_iᵀ a_j (j < i) kept as
//     pairs are added, c_i = s_iᵀ (H0 v) + Σ_{j<i} g_ij c_j, and H v = H0 v + Σ a_i c_i: one
//     VecMDot and one VecMAXPY per application.
//   kBadBroydenOnInverse (2): H = H0 + Σ c_i y_iᵀ: one VecMDot against v, one VecMAXPY.
//
// An update takes one more application of H and one VecMDot for its own products. Flags that
// decide what every process does next (health, the cache's validity) are reduced across the
// processes where they are local.
//
// A Krylov H0 that does not converge, or a factorisation that fails, leaves the model without a
// usable inverse until the next refresh: it steps with NaN, as SparseModel does with a singular
// Jacobian, and health() reports it for failFast.
#pragma once

#include <petscksp.h>

#include <Eigen/Core>
#include <cstdint>
#include <ondrel/petsc/PetscBroyden.hpp>
#include <vector>

#include "../../broyden/internal/JacobianModel.hpp"

namespace Ondrel::Math::Solvers::internal {

// A vector of this process's rows that PETSc sees as a distributed Vec over the same storage.
class DistributedVector {
 public:
  DistributedVector(MPI_Comm comm, PetscInt localSize);
  DistributedVector(DistributedVector&& other) noexcept;
  DistributedVector(const DistributedVector&) = delete;
  DistributedVector& operator=(const DistributedVector&) = delete;
  DistributedVector& operator=(DistributedVector&&) = delete;
  ~DistributedVector();

  Eigen::VectorXd local;
  Vec vec = nullptr;
};

// A Vec without storage of its own, shown over an Eigen vector of the iteration's for as long as
// a Shown lives.
class Placeholder {
 public:
  Placeholder(MPI_Comm comm, PetscInt localSize);
  Placeholder(const Placeholder&) = delete;
  Placeholder& operator=(const Placeholder&) = delete;
  ~Placeholder();
  Vec vec = nullptr;
};

class Shown {
 public:
  // `readOnly`: the Vec is locked for reading while shown (what a host callable must not write).
  Shown(const Placeholder& placeholder, const double* values, bool readOnly = false);
  Shown(const Shown&) = delete;
  Shown& operator=(const Shown&) = delete;
  ~Shown();
  Vec vec;

 private:
  bool locked;
};

class PetscModel {
 public:
  // Takes a reference to `jacobian` and creates the KSP on its communicator, configured from the
  // options database.
  PetscModel(Mat jacobian,
             PetscJacobianFunction jacobianFunction,
             std::int32_t updateMethod,
             std::uint64_t updateLimit);
  PetscModel(const PetscModel&) = delete;
  PetscModel& operator=(const PetscModel&) = delete;
  ~PetscModel();

  bool held() const { return isHeld; }
  void drop();
  // J at `point` (this process's rows) into the host's matrix, assembled, and H0 set up from it.
  void evaluate(const Eigen::Ref<const Eigen::VectorXd>& point);
  void step(const Eigen::VectorXd& residual, Eigen::VectorXd& dx);
  ModelHealth health() const;
  void update(std::int32_t method,
              const Eigen::VectorXd& s,
              const Eigen::VectorXd& residual,
              const Eigen::VectorXd& newResidual);

  KSP linearSolver() const { return ksp; }
  MPI_Comm communicator() const { return comm; }
  PetscInt localSize() const { return rows; }
  PetscInt globalSize() const { return size; }

 private:
  void applyInverse(const Eigen::VectorXd& v, Eigen::VectorXd& out);
  const Eigen::VectorXd& inverseTimes(const Eigen::VectorXd& v, Eigen::VectorXd& out);
  bool nextSlot();
  // The pairs' Vecs, for VecMDot and VecMAXPY.
  std::vector<Vec> leftVecs() const;
  std::vector<Vec> rightVecs() const;

  MPI_Comm comm;
  PetscInt rows;
  PetscInt size;
  Mat jacobian;
  KSP ksp = nullptr;
  PetscJacobianFunction jacobianFunction;
  std::int32_t method;
  std::uint64_t updateLimit;

  bool isHeld = false;
  bool jacobianFinite = true;
  bool regular = true;
  bool correctionsFinite = true;
  // The KSP's last setup or solve failed: the next refresh sets it up afresh.
  bool setupFailed = false;

  std::size_t used = 0;
  std::vector<DistributedVector> left;
  std::vector<DistributedVector> right;
  // Method 1: g_ij = s_iᵀ a_j for j < i.
  Eigen::MatrixXd products;
  Eigen::VectorXd coefficients;

  Eigen::VectorXd cachedResidual;
  Eigen::VectorXd cachedProduct;
  bool cacheValid = false;

  DistributedVector product;
  DistributedVector previousProduct;
  DistributedVector correction;
  Placeholder input;
  Placeholder output;
  Placeholder other;
};

}  // namespace Ondrel::Math::Solvers::internal
