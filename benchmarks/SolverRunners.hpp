// One interface over this library and the peer solvers, for the comparison programs.
//
// A runner is made once per (solver, problem) and then solves from any start of the problem's
// size, reusing its workspace: the cost measured per solve is the cost a host pays when it solves
// the same system repeatedly. Every evaluation goes through counters, the same for all solvers.
#pragma once

#include <Eigen/Core>
#include <cstdint>
#include <functional>
#include <iostream>
#include <memory>
#include <ondrel/broyden/Broyden>
#include <sstream>
#include <string>
#include <vector>

#include "MinpackTestSet.hpp"
#include "PeerOutcome.hpp"
#ifdef ONDREL_HAVE_GSL
#include "GslSolvers.hpp"
#endif
#ifdef ONDREL_HAVE_MINPACK
#include "MinpackHybrj1.hpp"
#endif
#ifdef ONDREL_HAVE_KINSOL
#include "KinsolModifiedNewton.hpp"
#endif

namespace Ondrel::Benchmarks {

// The test set's common criterion of a solved run, whatever the solver says.
inline constexpr double kSolvedResidualNorm = 1e-8;
// Tolerances handed to the peers: GSL's residual test at this library's default absolute
// tolerance, hybrj1's relative x tolerance tight enough for the common criterion to be met.
inline constexpr double kPeerResidualTolerance = 1e-10;
inline constexpr double kMinpackTolerance = 1e-10;

// The progress line of every converged solve goes here instead of the terminal.
class SilencedOutput {
 public:
  SilencedOutput() : saved(std::cout.rdbuf(sink.rdbuf())) {}
  ~SilencedOutput() { std::cout.rdbuf(saved); }
  SilencedOutput(const SilencedOutput&) = delete;
  SilencedOutput& operator=(const SilencedOutput&) = delete;

 private:
  std::ostringstream sink;
  std::streambuf* saved;
};

class Runner {
 public:
  virtual ~Runner() = default;
  // Solves from `start`; the returned point is kept in the runner.
  virtual PeerOutcome run(const Eigen::VectorXd& start) = 0;
};

// Peer iteration limit, as MINPACK's hybrj1 sets its evaluation limit: 100 (m + 1).
inline std::uint64_t peerIterationLimit(Eigen::Index m) {
  return 100 * static_cast<std::uint64_t>(m + 1);
}

class OndrelRunner : public Runner {
 public:
  OndrelRunner(const TestProblem& problem, const Math::Solvers::BroydenParameters& parameters)
      : problem(problem),
        counts(std::make_shared<PeerOutcome>()),
        solver(
            problem.size(),
            problem.size(),
            parameters,
            [p = &this->problem, c = counts.get()](const Eigen::Ref<const Eigen::VectorXd>& x,
                                                   Eigen::VectorXd& f) {
              ++c->residualEvaluations;
              p->residual(x, f);
            },
            [p = &this->problem, c = counts.get()](const Eigen::Ref<const Eigen::VectorXd>& x,
                                                   Eigen::MatrixXd& j) {
              ++c->jacobianEvaluations;
              p->jacobian(x, j);
            }),
        point(problem.size()),
        finalResidual(problem.size()) {}
  // The callables point into this object.
  OndrelRunner(const OndrelRunner&) = delete;
  OndrelRunner& operator=(const OndrelRunner&) = delete;

  PeerOutcome run(const Eigen::VectorXd& start) override {
    *counts = PeerOutcome();
    point = start;
    solver.reset();
    const Math::Solvers::BroydenInformation& information = solver.solve(point);
    lastIterations = information.iterations;
    PeerOutcome outcome = *counts;
    outcome.converged = information.converged;
    problem.residual(point, finalResidual);
    outcome.residualNorm = finalResidual.norm();
    return outcome;
  }

  // Iterations of the last run: the peers do not all report theirs, so they are no outcome field.
  std::uint64_t iterations() const { return lastIterations; }

 private:
  TestProblem problem;
  std::shared_ptr<PeerOutcome> counts;
  Math::Solvers::Broyden solver;
  std::uint64_t lastIterations = 0;
  Eigen::VectorXd point;
  Eigen::VectorXd finalResidual;
};

// SparseBroyden with the problem's sparse Jacobian; the problem must have one.
class OndrelSparseRunner : public Runner {
 public:
  OndrelSparseRunner(const TestProblem& problem, const Math::Solvers::BroydenParameters& parameters)
      : problem(problem),
        counts(std::make_shared<PeerOutcome>()),
        solver(
            problem.size(),
            problem.size(),
            parameters,
            [p = &this->problem, c = counts.get()](const Eigen::Ref<const Eigen::VectorXd>& x,
                                                   Eigen::VectorXd& f) {
              ++c->residualEvaluations;
              p->residual(x, f);
            },
            [p = &this->problem, c = counts.get()](const Eigen::Ref<const Eigen::VectorXd>& x,
                                                   Eigen::SparseMatrix<double>& j) {
              ++c->jacobianEvaluations;
              p->sparseJacobian(x, j);
            }),
        point(problem.size()),
        finalResidual(problem.size()) {}
  OndrelSparseRunner(const OndrelSparseRunner&) = delete;
  OndrelSparseRunner& operator=(const OndrelSparseRunner&) = delete;

  PeerOutcome run(const Eigen::VectorXd& start) override {
    *counts = PeerOutcome();
    point = start;
    solver.reset();
    const bool converged = solver.solve(point).converged;
    PeerOutcome outcome = *counts;
    outcome.converged = converged;
    problem.residual(point, finalResidual);
    outcome.residualNorm = finalResidual.norm();
    return outcome;
  }

 private:
  TestProblem problem;
  std::shared_ptr<PeerOutcome> counts;
  Math::Solvers::SparseBroyden solver;
  Eigen::VectorXd point;
  Eigen::VectorXd finalResidual;
};

template <class Peer>
class PeerRunner : public Runner {
 public:
  template <class... Settings>
  PeerRunner(const TestProblem& problem, Settings... settings)
      : problem(problem), peer(problem.size(), settings...), point(problem.size()) {}

  PeerOutcome run(const Eigen::VectorXd& start) override {
    point = start;
    return peer.solve(problem, point);
  }

 private:
  TestProblem problem;
  Peer peer;
  Eigen::VectorXd point;
};

struct SolverEntry {
  std::string name;
  std::function<std::unique_ptr<Runner>(const TestProblem&)> make;
};

// The settings that ParameterTuning ranks first on the test set (most runs solved, then fewest
// evaluations): a Jacobian in every iteration after the first, Newton's method in all but name,
// for small hard systems where an evaluation is cheap.
inline Math::Solvers::BroydenParameters testSetParameters() {
  return {400, 1e-10, 1e-3, 1000.0, 2.0, 0, 0};
}

// The first release's defaults, kept in the report to show what the tuning of the present
// defaults changed.
inline Math::Solvers::BroydenParameters previousDefaultParameters() {
  return {50, 1e-10, 1e-6, 1000.0, 2.0, 4, 1};
}

// This library with each update method (other settings at their defaults), with the two named
// settings above, with the line search of BroydenParameters::robust(), with robust() on the
// trust region and with persistent(), then every peer that was found at build time.
inline std::vector<SolverEntry> availableSolvers() {
  std::vector<SolverEntry> solvers;
  for (std::int32_t method : {0, 1, 2}) {
    solvers.push_back({"ondrel-" + std::to_string(method), [method](const TestProblem& p) {
                         Math::Solvers::BroydenParameters parameters;
                         parameters.updateMethod = method;
                         return std::unique_ptr<Runner>(new OndrelRunner(p, parameters));
                       }});
  }
  solvers.push_back({"ondrel-testset", [](const TestProblem& p) {
                       return std::unique_ptr<Runner>(new OndrelRunner(p, testSetParameters()));
                     }});
  solvers.push_back({"ondrel-previous", [](const TestProblem& p) {
                       return std::unique_ptr<Runner>(
                           new OndrelRunner(p, previousDefaultParameters()));
                     }});
  solvers.push_back({"ondrel-robust", [](const TestProblem& p) {
                       return std::unique_ptr<Runner>(
                           new OndrelRunner(p, Math::Solvers::BroydenParameters::robust()));
                     }});
  solvers.push_back({"ondrel-trust", [](const TestProblem& p) {
                       Math::Solvers::BroydenParameters parameters =
                           Math::Solvers::BroydenParameters::robust();
                       parameters.stepControl = Math::Solvers::StepControl::kTrustRegion;
                       return std::unique_ptr<Runner>(new OndrelRunner(p, parameters));
                     }});
  solvers.push_back({"ondrel-persistent", [](const TestProblem& p) {
                       return std::unique_ptr<Runner>(
                           new OndrelRunner(p, Math::Solvers::BroydenParameters::persistent()));
                     }});
#ifdef ONDREL_HAVE_MINPACK
  solvers.push_back({"minpack-hybrj1", [](const TestProblem& p) {
                       return std::unique_ptr<Runner>(
                           new PeerRunner<MinpackHybrj1>(p, kMinpackTolerance));
                     }});
#endif
#ifdef ONDREL_HAVE_GSL
  solvers.push_back({"gsl-hybridsj", [](const TestProblem& p) {
                       return std::unique_ptr<Runner>(new PeerRunner<GslHybridsj>(
                           p, kPeerResidualTolerance, peerIterationLimit(p.size())));
                     }});
  solvers.push_back({"gsl-broyden", [](const TestProblem& p) {
                       return std::unique_ptr<Runner>(new PeerRunner<GslBroyden>(
                           p, kPeerResidualTolerance, peerIterationLimit(p.size())));
                     }});
#endif
  return solvers;
}

#ifdef ONDREL_HAVE_KINSOL
// KINSOL needs the problem itself at set-up: the sparse matrix is sized by its pattern.
class KinsolRunner : public Runner {
 public:
  KinsolRunner(const TestProblem& problem, KinsolLinearSolver linearSolver, bool lineSearch = false)
      : problem(problem),
        peer(problem,
             linearSolver,
             kPeerResidualTolerance,
             peerIterationLimit(problem.size()),
             lineSearch),
        point(problem.size()) {}

  PeerOutcome run(const Eigen::VectorXd& start) override {
    point = start;
    return peer.solve(problem, point);
  }

 private:
  TestProblem problem;
  KinsolModifiedNewton peer;
  Eigen::VectorXd point;
};
#endif

// The solvers that need a sparse Jacobian, for the problems that give one: SparseBroyden with
// the default settings and, where it was found, KINSOL's modified Newton on KLU and, with its line
// search, on its band LU; KINSOL on its dense LU beside them, the configuration whose time the
// dense solvers' is usually set against.
inline std::vector<SolverEntry> sparseProblemSolvers() {
  std::vector<SolverEntry> solvers;
  solvers.push_back({"ondrel-sparse", [](const TestProblem& p) {
                       return std::unique_ptr<Runner>(
                           new OndrelSparseRunner(p, Math::Solvers::BroydenParameters{}));
                     }});
#ifdef ONDREL_HAVE_KINSOL
  solvers.push_back({"kinsol-klu", [](const TestProblem& p) {
                       return std::unique_ptr<Runner>(
                           new KinsolRunner(p, KinsolLinearSolver::kKlu));
                     }});
  solvers.push_back({"kinsol-band", [](const TestProblem& p) {
                       return std::unique_ptr<Runner>(
                           new KinsolRunner(p, KinsolLinearSolver::kBand, true));
                     }});
  solvers.push_back({"kinsol-dense", [](const TestProblem& p) {
                       return std::unique_ptr<Runner>(
                           new KinsolRunner(p, KinsolLinearSolver::kDense));
                     }});
#endif
  return solvers;
}

}  // namespace Ondrel::Benchmarks
