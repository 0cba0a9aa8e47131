// The sparse solver's model of the Jacobian (not installed): a sparse J0 from the last refresh,
// its LU (SparseLu.hpp), and the rank-one updates made since, kept as vectors. The inverse is never
// formed: H0 = J0^-1 is applied by one LU solve, and each update adds a pair of vectors, so that
// applying H costs O(k m + nnz(LU)) with k stored pairs. It owns all of that (SparseModelState),
// with the Jacobian callable and its work vectors, and lives in the solver between solves; the
// iteration asks it for steps, refreshes and updates (JacobianModel.hpp), exactly as it asks the
// dense model.
//
// The updates, with s the step, y = F(x+) - F(x), H and J their values before the update and
// δ = kDenominatorShift, are the dense model's (DenseModel.hpp), written so that nothing of size
// m x m is formed:
//
//   kGoodBroydenOnInverse (1), product form: H+ = (I + a sᵀ) H,  a = (s - H y) / (sᵀ H y + δ),
//     so H = (I + a_k s_kᵀ) ... (I + a_1 s_1ᵀ) H0: the pairs are (a_i, s_i).
//   kBadBroydenOnInverse (2), sum form: H+ = H + c yᵀ,  c = (s - H y) / (yᵀ y + δ),
//     so H = H0 + Σ c_i y_iᵀ: the pairs are (c_i, y_i).
//   kGoodBroydenOnJacobian (0), on J: J+ = J + u vᵀ,  u = y - J s,  v = s / (sᵀ s + δ),
//     so J = J0 + U Vᵀ, and H = J^-1 is applied by the Sherman–Morrison–Woodbury formula
//     J^-1 = J0^-1 - W (I + Vᵀ W)^-1 Vᵀ J0^-1 with W = J0^-1 U: three vectors per update and a
//     k x k capacitance matrix I + Vᵀ W, refactorised after each update.
//
// Methods 1 and 2 need H y, which costs one application of H; since H F at the start of the
// step is known (the step itself), H F(x+) is what is applied, and H+ F(x+), the next step,
// follows from it in O(k m). So an iteration of methods 1 and 2 costs one LU solve; method 0
// costs two. The product H F is cached with a copy of F, and used only for that same F.
//
// The bound k (updateLimit) caps the stored updates: an update that finds k already stored first
// drops them all (a restart: H is J0^-1 again, J0 being the last refreshed Jacobian) and is then
// stored as the first of a new set. A refresh drops them too. With the default refresh schedule
// a solve makes at most 2 refreshCountLimit updates between refreshes; a restart happens when
// warm-started solves carry updates over, or when the schedule is set to refresh rarely.
//
// A Jacobian with non-finite entries is never factorised, and a singular one (structurally, or
// with a pivot of exactly zero) leaves no factors: the model then steps with NaN, as the dense
// model steps with the non-finite inverse of such a Jacobian, so the solve ends as the dense one
// does; health() reports both, for failFast.
#pragma once

#include <Eigen/Core>
#include <Eigen/LU>
#include <Eigen/SparseCore>
#include <cstdint>
#include <ondrel/broyden/BroydenFunctions.hpp>
#include <vector>

#include "JacobianModel.hpp"
#include "SparseLu.hpp"

namespace Ondrel::Math::Solvers::internal {

// What the SparseBroyden object keeps between solves. Copies hold everything but the factors,
// which the backends cannot copy: a copy marks its held Jacobian for refactorisation, which
// factorisePending() does before the copy's first solve.
struct SparseModelState {
  // `updateMethod` and `updateLimit` fix which vectors an update keeps and how many.
  SparseModelState(Eigen::Index systemSize,
                   std::int32_t updateMethod,
                   std::uint64_t updateLimit,
                   SparseFactorisation factorisation,
                   SparseOrdering ordering);
  SparseModelState(const SparseModelState& other);
  SparseModelState& operator=(const SparseModelState&) = delete;

  // Refactorises a held Jacobian that has no factors (in a copy). Throws std::bad_alloc.
  void factorisePending();

  Eigen::Index systemSize;
  std::int32_t method;
  std::uint64_t updateLimit;

  // J0, as the callable left it (compressed), and its factors.
  Eigen::SparseMatrix<double> jacobian;
  SparseLu lu;
  // A Jacobian and its updates, from an earlier solve or this one, are there to use.
  bool held = false;
  // J0 holds only finite values.
  bool jacobianFinite = true;
  // Method 0: so do the stored updates of J.
  bool updatedJacobianFinite = true;
  // J0 was factorised without a zero pivot.
  bool regular = true;
  // Every stored vector of H is finite (method 0: W and a regular capacitance matrix).
  bool correctionsFinite = true;
  // The held Jacobian has no factors yet (a copy's).
  bool factorsPending = false;

  // The stored updates: `used` pairs, in the columns the comment above names (left, right, and
  // for method 0 the solved W). Vectors are allocated on first use and kept across restarts.
  std::size_t used = 0;
  std::vector<Eigen::VectorXd> left;
  std::vector<Eigen::VectorXd> right;
  std::vector<Eigen::VectorXd> solved;
  // Method 0: I + Vᵀ W and its LU.
  Eigen::MatrixXd capacitance;
  Eigen::PartialPivLU<Eigen::MatrixXd> capacitanceLu;

  // H F for the F in `cachedResidual`, when `cacheValid`.
  Eigen::VectorXd cachedResidual;
  Eigen::VectorXd cachedProduct;
  bool cacheValid = false;
};

class SparseModel {
 public:
  // `updateMethod` and `updateLimit` fix which vectors an update keeps and how many,
  // `factorisation` which LU holds J0, `ordering` the general LU's fill-reducing ordering.
  SparseModel(const char* solverName,
              Eigen::Index systemSize,
              SparseJacobianFunction jacobianFunction,
              std::int32_t updateMethod,
              std::uint64_t updateLimit,
              SparseFactorisation factorisation,
              SparseOrdering ordering);

  bool held() const { return state.held; }
  SparseOrdering ordering() const { return state.lu.ordering(); }
  // Forgets the Jacobian, its updates and a copy's pending factorisation: the next solve
  // evaluates afresh.
  void drop();
  // A copy's held Jacobian gets its factors before anything else of a solve runs.
  void prepare() { state.factorisePending(); }

  // Evaluates J at `point` and factorises it, dropping the stored updates. Throws
  // std::invalid_argument when the callable leaves other than an m x m matrix or one whose
  // columns do not hold strictly increasing row indices, std::bad_alloc when the factorisation
  // runs out of memory; exceptions of the callable pass through.
  void evaluate(const Eigen::Ref<const Eigen::VectorXd>& point);

  // dx = -H F.
  void step(const Eigen::VectorXd& residual, Eigen::VectorXd& dx);

  ModelHealth health() const;

  // The factors of the held Jacobian; the default record when there are none to solve with.
  SparseFactorStatistics statistics() const;

  void update(std::int32_t method,
              const Eigen::VectorXd& s,
              const Eigen::VectorXd& residual,
              const Eigen::VectorXd& newResidual);

 private:
  // out = H v, through the LU and the stored updates; NaN when the model has no usable factors.
  void applyInverse(const Eigen::VectorXd& v, Eigen::VectorXd& out);
  // H v, from the cache when v is the cached residual.
  const Eigen::VectorXd& inverseTimes(const Eigen::VectorXd& v, Eigen::VectorXd& out);
  // The slot for the next update, after a restart when the bound is reached; false when the
  // bound is 0 and nothing is kept.
  bool nextSlot();
  void updateInverse(std::int32_t method,
                     const Eigen::VectorXd& s,
                     const Eigen::VectorXd& residual,
                     const Eigen::VectorXd& newResidual);
  void updateJacobian(const Eigen::VectorXd& s,
                      const Eigen::VectorXd& residual,
                      const Eigen::VectorXd& newResidual);

  const char* solverName;
  SparseJacobianFunction jacobianFunction;
  SparseModelState state;
  // Work vectors.
  Eigen::VectorXd product;
  Eigen::VectorXd previousProduct;
  Eigen::VectorXd correction;
  Eigen::VectorXd coefficients;
};

}  // namespace Ondrel::Math::Solvers::internal
