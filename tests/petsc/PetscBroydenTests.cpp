// The distributed solver on the 3-D Bratu problem, run on 1, 2 and 3 processes by
// scripts/test-petsc: every process checks the same things, and a fault is put on rank 1 only
// (rank 0 on one process).
#include <gtest/gtest.h>
#include <petscdmda.h>

#include <BratuDmda.hpp>
#include <Eigen/SparseCore>
#include <cmath>
#include <functional>
#include <limits>
#include <ondrel/broyden/SparseBroyden.hpp>
#include <ondrel/petsc/PetscBroyden.hpp>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Ondrel::Examples::BratuDmda;
using Ondrel::Examples::petscCheck;
using namespace Ondrel::Math::Solvers;

constexpr PetscInt kGrid = 6;

int rank() {
  int r = 0;
  MPI_Comm_rank(PETSC_COMM_WORLD, &r);
  return r;
}
int processes() {
  int size = 1;
  MPI_Comm_size(PETSC_COMM_WORLD, &size);
  return size;
}
// The process that misbehaves: rank 1, or rank 0 alone.
int faultRank() { return std::min(1, processes() - 1); }

// Whether every process has the same `value`.
bool sameEverywhere(long long value) {
  long long low = 0;
  long long high = 0;
  MPI_Allreduce(&value, &low, 1, MPI_LONG_LONG, MPI_MIN, PETSC_COMM_WORLD);
  MPI_Allreduce(&value, &high, 1, MPI_LONG_LONG, MPI_MAX, PETSC_COMM_WORLD);
  return low == high;
}

// The same problem for SparseBroyden, in the DMDA's natural order (x fastest).
struct SerialBratu {
  PetscInt n;
  double lambda;
  Eigen::Index index(PetscInt i, PetscInt j, PetscInt k) const { return i + n * (j + n * k); }
  template <class Visit>
  void stencil(Visit visit) const {
    for (PetscInt k = 0; k < n; ++k)
      for (PetscInt j = 0; j < n; ++j)
        for (PetscInt i = 0; i < n; ++i) {
          const PetscInt offsets[6][3] = {
              {-1, 0, 0}, {1, 0, 0}, {0, -1, 0}, {0, 1, 0}, {0, 0, -1}, {0, 0, 1}};
          for (const auto& o : offsets) {
            const PetscInt a = i + o[0], b = j + o[1], c = k + o[2];
            if (a >= 0 && b >= 0 && c >= 0 && a < n && b < n && c < n) {
              visit(index(i, j, k), index(a, b, c));
            }
          }
          visit(index(i, j, k), -1);
        }
  }
  double h2() const { return 1.0 / static_cast<double>((n + 1) * (n + 1)); }
  void residual(const Eigen::Ref<const Eigen::VectorXd>& u, Eigen::VectorXd& f) const {
    f = 6.0 * u - h2() * lambda * u.array().exp().matrix();
    stencil([&](Eigen::Index row, Eigen::Index column) {
      if (column >= 0) f(row) -= u(column);
    });
  }
  void jacobian(const Eigen::Ref<const Eigen::VectorXd>& u, Eigen::SparseMatrix<double>& j) const {
    std::vector<Eigen::Triplet<double>> entries;
    stencil([&](Eigen::Index row, Eigen::Index column) {
      if (column >= 0)
        entries.emplace_back(row, column, -1.0);
      else
        entries.emplace_back(row, row, 6.0 - h2() * lambda * std::exp(u(row)));
    });
    j.setFromTriplets(entries.begin(), entries.end());
  }
};

// A DMDA problem with its matrix and a start vector of zeros, and the host's callables through
// which a test injects faults.
struct Fixture {
  BratuDmda problem{PETSC_COMM_WORLD, kGrid, 6.0};
  Mat matrix = nullptr;
  Vec x = nullptr;
  int residualCalls = 0;
  int jacobianCalls = 0;
  std::function<void(Vec)> residualFault = [](Vec) {};
  std::function<void(Mat)> jacobianFault = [](Mat) {};

  Fixture() {
    petscCheck(DMCreateMatrix(problem.dm(), &matrix), "DMCreateMatrix");
    petscCheck(DMCreateGlobalVector(problem.dm(), &x), "DMCreateGlobalVector");
    petscCheck(VecSet(x, 0.0), "VecSet");
  }
  ~Fixture() {
    VecDestroy(&x);
    MatDestroy(&matrix);
  }
  PetscBroyden solver(BroydenParameters parameters) {
    parameters.outputStream = nullptr;
    return PetscBroyden(
        matrix,
        parameters,
        [this](Vec v, Vec f) {
          ++residualCalls;
          problem.residual(v, f);
          residualFault(f);
        },
        [this](Vec v, Mat j) {
          ++jacobianCalls;
          problem.jacobian(v, j);
          jacobianFault(j);
        });
  }
  // x on every process, in the natural order.
  Eigen::VectorXd gathered() const {
    Vec natural = nullptr, all = nullptr;
    VecScatter scatter = nullptr;
    petscCheck(DMDACreateNaturalVector(problem.dm(), &natural), "DMDACreateNaturalVector");
    petscCheck(DMDAGlobalToNaturalBegin(problem.dm(), x, INSERT_VALUES, natural), "G2N");
    petscCheck(DMDAGlobalToNaturalEnd(problem.dm(), x, INSERT_VALUES, natural), "G2N");
    petscCheck(VecScatterCreateToAll(natural, &scatter, &all), "VecScatterCreateToAll");
    petscCheck(VecScatterBegin(scatter, natural, all, INSERT_VALUES, SCATTER_FORWARD), "scatter");
    petscCheck(VecScatterEnd(scatter, natural, all, INSERT_VALUES, SCATTER_FORWARD), "scatter");
    const PetscScalar* values = nullptr;
    PetscInt size = 0;
    VecGetSize(all, &size);
    VecGetArrayRead(all, &values);
    Eigen::VectorXd out = Eigen::Map<const Eigen::VectorXd>(values, size);
    VecRestoreArrayRead(all, &values);
    VecScatterDestroy(&scatter);
    VecDestroy(&all);
    VecDestroy(&natural);
    return out;
  }
};

// Rows of this process's part of f set to NaN, on the fault rank only.
void poison(Vec f) {
  if (rank() != faultRank()) return;
  PetscScalar* values = nullptr;
  VecGetArray(f, &values);
  values[0] = std::numeric_limits<double>::quiet_NaN();
  VecRestoreArray(f, &values);
}

// This process's first row of the Jacobian set to zeros, on the fault rank only.
void zeroFirstRow(DM da, Mat jacobian) {
  PetscInt x0, y0, z0, mx, my, mz, n;
  DMDAGetCorners(da, &x0, &y0, &z0, &mx, &my, &mz);
  DMDAGetInfo(da,
              nullptr,
              &n,
              nullptr,
              nullptr,
              nullptr,
              nullptr,
              nullptr,
              nullptr,
              nullptr,
              nullptr,
              nullptr,
              nullptr,
              nullptr);
  MatStencil row{};
  row.i = x0;
  row.j = y0;
  row.k = z0;
  const PetscInt offsets[7][3] = {
      {0, 0, 0}, {-1, 0, 0}, {1, 0, 0}, {0, -1, 0}, {0, 1, 0}, {0, 0, -1}, {0, 0, 1}};
  for (const auto& o : offsets) {
    MatStencil column = row;
    column.i += o[0];
    column.j += o[1];
    column.k += o[2];
    if (column.i < 0 || column.j < 0 || column.k < 0 || column.i >= n || column.j >= n ||
        column.k >= n) {
      continue;
    }
    const PetscScalar zero = 0.0;
    MatSetValuesStencil(jacobian, 1, &row, 1, &column, &zero, INSERT_VALUES);
  }
}

struct AgreementCase {
  const char* name;
  std::int32_t method;
  StepControl control;
  double warmLambda;
};

// Two solves, from zero and then warm from the first root at another λ: the records agree with
// SparseBroyden's, the roots to the tolerance, and with every process's.
TEST(PetscBroyden, AgreesWithSparseBroydenOnAnyNumberOfProcesses) {
  const AgreementCase cases[] = {
      {"good Broyden", kGoodBroydenOnInverse, StepControl::kFullStep, 6.5},
      {"bad Broyden", kBadBroydenOnInverse, StepControl::kFullStep, 5.5},
      {"line search", kGoodBroydenOnInverse, StepControl::kLineSearch, 7.0},
  };
  for (const AgreementCase& c : cases) {
    SCOPED_TRACE(c.name);
    BroydenParameters parameters;
    parameters.updateMethod = c.method;
    parameters.stepControl = c.control;
    parameters.outputStream = nullptr;
    // The residual norms of every iteration, which every decision is taken on.
    std::vector<double> norms;
    std::vector<double> expectedNorms;
    parameters.monitor = [&](const BroydenIterationReport& report) {
      norms.push_back(report.residualNorm);
      return true;
    };
    Fixture fixture;
    PetscBroyden solver = fixture.solver(parameters);
    parameters.monitor = [&](const BroydenIterationReport& report) {
      expectedNorms.push_back(report.residualNorm);
      return true;
    };
    SerialBratu serial{kGrid, 6.0};
    SparseBroyden reference(
        kGrid * kGrid * kGrid,
        kGrid * kGrid * kGrid,
        parameters,
        [&](const Eigen::Ref<const Eigen::VectorXd>& u, Eigen::VectorXd& f) {
          serial.residual(u, f);
        },
        [&](const Eigen::Ref<const Eigen::VectorXd>& u, Eigen::SparseMatrix<double>& j) {
          serial.jacobian(u, j);
        });
    Eigen::VectorXd root = Eigen::VectorXd::Zero(kGrid * kGrid * kGrid);
    for (const double lambda : {6.0, c.warmLambda}) {
      fixture.problem.setParameter(lambda);
      serial.lambda = lambda;
      const BroydenInformation expected = reference.solve(root);
      const BroydenInformation& got = solver.solve(fixture.x);
      EXPECT_EQ(got.termination, BroydenTermination::kConverged);
      EXPECT_EQ(got.termination, expected.termination);
      EXPECT_EQ(got.iterations, expected.iterations);
      EXPECT_EQ(got.jacobianEvaluations, expected.jacobianEvaluations);
      EXPECT_EQ(got.residualEvaluations, expected.residualEvaluations);
      EXPECT_NEAR(got.residualNorm, expected.residualNorm, parameters.absoluteTolerance);
      ASSERT_EQ(norms.size(), expectedNorms.size());
      for (std::size_t i = 0; i < norms.size(); ++i) {
        EXPECT_NEAR(norms[i], expectedNorms[i], 1e-9 * expectedNorms[i] + 1e-14) << i;
      }
      norms.clear();
      expectedNorms.clear();
      EXPECT_LT((fixture.gathered() - root).lpNorm<Eigen::Infinity>(), 1e-8);
      EXPECT_TRUE(sameEverywhere(static_cast<long long>(got.iterations)));
    }
  }
}

struct FailureCase {
  const char* name;
  std::function<void(Fixture&)> inject;
  bool failFast;
  // The termination every process ends with, or none when every process throws `thrown`.
  BroydenTermination termination;
  std::function<void(const std::function<void()>&)> expectThrow;
};

// A fault on one process ends the solve the same way on every process, and leaves x and the
// record as they were when the solve throws.
TEST(PetscBroyden, FailuresOnOneProcessEndEverySolveAlike) {
  const auto throwsInvalid = [](const std::function<void()>& f) {
    EXPECT_THROW(f(), std::invalid_argument);
  };
  const auto throwsDomain = [](const std::function<void()>& f) {
    EXPECT_THROW(f(), std::domain_error);
  };
  const auto onFaultRank = [](auto action) {
    return [action](auto argument) {
      if (rank() == faultRank()) action(argument);
    };
  };
  const FailureCase cases[] = {
      {"residual throws on its third call",
       [&](Fixture& f) {
         f.residualFault = [&f](Vec) {
           if (f.residualCalls == 3 && rank() == faultRank()) throw std::domain_error("third");
         };
       },
       false,
       BroydenTermination::kNotSolved,
       throwsDomain},
      {"Jacobian throws",
       [&](Fixture& f) {
         f.jacobianFault = onFaultRank([](Mat) { throw std::invalid_argument("bad J"); });
       },
       false,
       BroydenTermination::kNotSolved,
       throwsInvalid},
      {"monitor throws", [&](Fixture&) {}, false, BroydenTermination::kNotSolved, throwsDomain},
      {"NaN in the residual after the start",
       [&](Fixture& f) {
         f.residualFault = [&f](Vec v) {
           if (f.residualCalls == 2) poison(v);
         };
       },
       true,
       BroydenTermination::kNonFinite,
       nullptr},
      {"NaN in the Jacobian",
       [&](Fixture& f) {
         f.jacobianFault = onFaultRank([](Mat j) {
           PetscInt first = 0, last = 0;
           MatGetOwnershipRange(j, &first, &last);
           const PetscScalar nan = std::numeric_limits<double>::quiet_NaN();
           MatSetValue(j, first, first, nan, INSERT_VALUES);
         });
       },
       true,
       BroydenTermination::kNonFinite,
       nullptr},
      {"singular Jacobian",
       [&](Fixture& f) {
         f.jacobianFault = onFaultRank([&f](Mat j) { zeroFirstRow(f.problem.dm(), j); });
       },
       true,
       BroydenTermination::kSingularJacobian,
       nullptr},
      {"monitor stops", [&](Fixture&) {}, false, BroydenTermination::kStoppedByMonitor, nullptr},
  };
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture fixture;
    c.inject(fixture);
    BroydenParameters parameters;
    parameters.failFast = c.failFast;
    const std::string name = c.name;
    bool armed = true;
    if (name.rfind("monitor", 0) == 0) {
      const bool throws = name == "monitor throws";
      parameters.monitor = [throws, &armed](const BroydenIterationReport& report) {
        if (!armed || report.iteration < 2 || rank() != faultRank()) return true;
        if (throws) throw std::domain_error("monitor");
        return false;
      };
    }
    PetscBroyden solver = fixture.solver(parameters);
    if (c.expectThrow) {
      c.expectThrow([&] { solver.solve(fixture.x); });
      PetscReal norm = 1.0;
      VecNorm(fixture.x, NORM_INFINITY, &norm);
      EXPECT_EQ(norm, 0.0);
    } else {
      const BroydenInformation& got = solver.solve(fixture.x);
      EXPECT_EQ(got.termination, c.termination);
      EXPECT_TRUE(sameEverywhere(static_cast<long long>(got.termination)));
      EXPECT_TRUE(sameEverywhere(static_cast<long long>(got.iterations)));
    }
    // The failed solve dropped its model: the next one evaluates afresh and converges.
    fixture.residualFault = [](Vec) {};
    fixture.jacobianFault = [](Mat) {};
    armed = false;
    const int jacobiansBefore = fixture.jacobianCalls;
    EXPECT_EQ(solver.solve(fixture.x).termination, BroydenTermination::kConverged);
    EXPECT_GT(fixture.jacobianCalls, jacobiansBefore);
  }
}

// KSP and PC named in the options database under the solver's prefix are the ones it uses; a
// Krylov H0 that cannot converge ends the solve alike on every process.
TEST(PetscBroyden, OptionsDatabaseSelectsTheLinearSolver) {
  struct Case {
    const char* kspType;
    const char* pcType;
    const char* maxIterations;
    BroydenTermination termination;
  } cases[] = {
      {"gmres", "bjacobi", "1000", BroydenTermination::kConverged},
      {"cg", "none", "1", BroydenTermination::kNonFinite},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kspType);
    petscCheck(PetscOptionsSetValue(nullptr, "-ondrel_ksp_type", c.kspType), "options");
    petscCheck(PetscOptionsSetValue(nullptr, "-ondrel_pc_type", c.pcType), "options");
    petscCheck(PetscOptionsSetValue(nullptr, "-ondrel_ksp_max_it", c.maxIterations), "options");
    petscCheck(PetscOptionsSetValue(nullptr, "-ondrel_ksp_rtol", "1e-10"), "options");
    Fixture fixture;
    BroydenParameters parameters;
    parameters.failFast = true;
    PetscBroyden solver = fixture.solver(parameters);
    KSPType kspType = nullptr;
    PCType pcType = nullptr;
    PC pc = nullptr;
    KSPGetType(solver.linearSolver(), &kspType);
    KSPGetPC(solver.linearSolver(), &pc);
    PCGetType(pc, &pcType);
    EXPECT_STREQ(kspType, c.kspType);
    EXPECT_STREQ(pcType, c.pcType);
    EXPECT_EQ(solver.solve(fixture.x).termination, c.termination);
    PetscOptionsClearValue(nullptr, "-ondrel_ksp_type");
    PetscOptionsClearValue(nullptr, "-ondrel_pc_type");
    PetscOptionsClearValue(nullptr, "-ondrel_ksp_max_it");
    PetscOptionsClearValue(nullptr, "-ondrel_ksp_rtol");
  }
}

// Layouts that disagree are refused on every process before any callable runs.
TEST(PetscBroyden, RefusesLayoutsThatDisagreeOnEveryProcess) {
  const PetscInt size = 6 * processes();
  // A matrix whose column layout differs from its row layout on the last process (or whose
  // columns outnumber its rows on one process).
  Mat skewed = nullptr;
  const bool last = rank() == processes() - 1;
  const PetscInt columns = processes() == 1 ? 7 : (rank() == 0 ? 7 : (last ? 5 : 6));
  petscCheck(
      MatCreateAIJ(
          PETSC_COMM_WORLD, 6, columns, size, PETSC_DETERMINE, 1, nullptr, 1, nullptr, &skewed),
      "MatCreateAIJ");
  int calls = 0;
  const auto count = [&calls](auto, auto) { ++calls; };
  EXPECT_THROW(PetscBroyden(skewed, BroydenParameters{}, count, count), std::invalid_argument);
  MatDestroy(&skewed);

  // A vector of the matrix's global size split otherwise, or of another size on one process.
  Fixture fixture;
  PetscBroyden solver = fixture.solver(BroydenParameters{});
  PetscInt local = 0;
  VecGetLocalSize(fixture.x, &local);
  Vec other = nullptr;
  const PetscInt shift = processes() == 1 ? 1 : (rank() == 0 ? 1 : (last ? -1 : 0));
  petscCheck(VecCreateMPI(PETSC_COMM_WORLD, local + shift, PETSC_DETERMINE, &other),
             "VecCreateMPI");
  EXPECT_THROW(solver.solve(other), std::invalid_argument);
  VecDestroy(&other);
  // The trust region needs the dense solver's Jacobian.
  BroydenParameters trust;
  trust.stepControl = StepControl::kTrustRegion;
  EXPECT_THROW(fixture.solver(trust), std::invalid_argument);
  // Fallbacks are the dense and sparse solvers' only.
  BroydenParameters withFallback;
  withFallback.fallbacks.resize(1);
  EXPECT_THROW(fixture.solver(withFallback), std::invalid_argument);
  EXPECT_EQ(fixture.residualCalls + calls, 0);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (PetscInitialize(&argc, &argv, nullptr, nullptr) != 0) return 1;
  // The full report from rank 0; the others report only their failures.
  if (rank() != 0) GTEST_FLAG_SET(brief, true);
  int failed = RUN_ALL_TESTS();
  int anyFailed = 0;
  MPI_Allreduce(&failed, &anyFailed, 1, MPI_INT, MPI_MAX, PETSC_COMM_WORLD);
  PetscFinalize();
  return anyFailed;
}
