#include "GslSolvers.hpp"

#include <gsl/gsl_errno.h>

#include <new>
#include <stdexcept>
#include <string>

namespace Ondrel::Benchmarks {

namespace {

struct CallContext {
  const TestProblem* problem;
  PeerOutcome* outcome;
  // GSL's matrices are row-major: the Jacobian is formed here and copied across.
  Eigen::MatrixXd* jacobian;
};

Eigen::Map<const Eigen::VectorXd> view(const gsl_vector* v) {
  return Eigen::Map<const Eigen::VectorXd>(v->data, static_cast<Eigen::Index>(v->size));
}

Eigen::Map<Eigen::VectorXd, 0, Eigen::InnerStride<>> view(gsl_vector* v) {
  return {v->data, static_cast<Eigen::Index>(v->size), Eigen::InnerStride<>(v->stride)};
}

int residualForGsl(const gsl_vector* x, void* params, gsl_vector* f) {
  auto* context = static_cast<CallContext*>(params);
  if (f->stride == 1) {
    context->problem->residual(view(x),
                               Eigen::Map<Eigen::VectorXd>(f->data, context->problem->size()));
  } else {
    Eigen::VectorXd out(context->problem->size());
    context->problem->residual(view(x), out);
    view(f) = out;
  }
  ++context->outcome->residualEvaluations;
  return GSL_SUCCESS;
}

int jacobianForGsl(const gsl_vector* x, void* params, gsl_matrix* j) {
  auto* context = static_cast<CallContext*>(params);
  context->problem->jacobian(view(x), *context->jacobian);
  using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
  Eigen::Map<RowMajor, 0, Eigen::OuterStride<>> target(j->data,
                                                       static_cast<Eigen::Index>(j->size1),
                                                       static_cast<Eigen::Index>(j->size2),
                                                       Eigen::OuterStride<>(j->tda));
  target = *context->jacobian;
  ++context->outcome->jacobianEvaluations;
  return GSL_SUCCESS;
}

int bothForGsl(const gsl_vector* x, void* params, gsl_vector* f, gsl_matrix* j) {
  residualForGsl(x, params, f);
  return jacobianForGsl(x, params, j);
}

// GSL's default handler aborts; a failing solve must come back as a status instead.
class QuietGslErrors {
 public:
  QuietGslErrors() : previous(gsl_set_error_handler_off()) {}
  ~QuietGslErrors() { gsl_set_error_handler(previous); }
  QuietGslErrors(const QuietGslErrors&) = delete;
  QuietGslErrors& operator=(const QuietGslErrors&) = delete;

 private:
  gsl_error_handler_t* previous;
};

void checkSizes(const char* who, Eigen::Index m, const TestProblem& problem, Eigen::Index n) {
  if (problem.size() != m || n != m) {
    throw std::invalid_argument(std::string(who) + ": problem " + problem.name() +
                                " and a start of " + std::to_string(n) +
                                " entries do not match dimension " + std::to_string(m));
  }
}

template <class Solver, class Iterate>
PeerOutcome iterateToRoot(Solver* solver,
                          Iterate iterate,
                          const gsl_vector* (*residualOf)(const Solver*),
                          const gsl_vector* (*rootOf)(const Solver*),
                          double tolerance,
                          std::uint64_t maxIterations,
                          CallContext& context,
                          PeerOutcome& outcome,
                          Eigen::Ref<Eigen::VectorXd> x) {
  int status = GSL_CONTINUE;
  for (std::uint64_t k = 0; k < maxIterations && status == GSL_CONTINUE; ++k) {
    if (iterate(solver) != GSL_SUCCESS) break;
    status = gsl_multiroot_test_residual(residualOf(solver), tolerance);
  }
  outcome.converged = status == GSL_SUCCESS;
  x = view(rootOf(solver));
  Eigen::VectorXd f(x.size());
  context.problem->residual(x, f);
  outcome.residualNorm = f.norm();
  return outcome;
}

Eigen::Index positiveDimension(const char* who, Eigen::Index m) {
  if (m < 1) throw std::invalid_argument(std::string(who) + ": the dimension must be positive");
  return m;
}

const gsl_vector* fdfResidual(const gsl_multiroot_fdfsolver* s) { return s->f; }
const gsl_vector* fdfRoot(const gsl_multiroot_fdfsolver* s) { return s->x; }
const gsl_vector* fResidual(const gsl_multiroot_fsolver* s) { return s->f; }
const gsl_vector* fRoot(const gsl_multiroot_fsolver* s) { return s->x; }

}  // namespace

GslHybridsj::GslHybridsj(Eigen::Index m, double residualTolerance, std::uint64_t maxIterations)
    : dimension(positiveDimension("GslHybridsj", m)),
      residualTolerance(residualTolerance),
      maxIterations(maxIterations),
      jacobian(m, m),
      solver(nullptr),
      start(nullptr) {
  QuietGslErrors quiet;
  solver =
      gsl_multiroot_fdfsolver_alloc(gsl_multiroot_fdfsolver_hybridsj, static_cast<std::size_t>(m));
  start = gsl_vector_alloc(static_cast<std::size_t>(m));
  if (solver == nullptr || start == nullptr) {
    gsl_multiroot_fdfsolver_free(solver);
    gsl_vector_free(start);
    throw std::bad_alloc();
  }
}

GslHybridsj::~GslHybridsj() {
  gsl_multiroot_fdfsolver_free(solver);
  gsl_vector_free(start);
}

PeerOutcome GslHybridsj::solve(const TestProblem& problem, Eigen::Ref<Eigen::VectorXd> x) {
  checkSizes("GslHybridsj", dimension, problem, x.size());
  QuietGslErrors quiet;
  PeerOutcome outcome;
  CallContext context{&problem, &outcome, &jacobian};
  gsl_multiroot_function_fdf function{
      residualForGsl, jacobianForGsl, bothForGsl, static_cast<std::size_t>(dimension), &context};
  view(start) = x;
  if (gsl_multiroot_fdfsolver_set(solver, &function, start) != GSL_SUCCESS) return outcome;
  return iterateToRoot(solver,
                       gsl_multiroot_fdfsolver_iterate,
                       fdfResidual,
                       fdfRoot,
                       residualTolerance,
                       maxIterations,
                       context,
                       outcome,
                       x);
}

GslBroyden::GslBroyden(Eigen::Index m, double residualTolerance, std::uint64_t maxIterations)
    : dimension(positiveDimension("GslBroyden", m)),
      residualTolerance(residualTolerance),
      maxIterations(maxIterations),
      solver(nullptr),
      start(nullptr) {
  QuietGslErrors quiet;
  solver = gsl_multiroot_fsolver_alloc(gsl_multiroot_fsolver_broyden, static_cast<std::size_t>(m));
  start = gsl_vector_alloc(static_cast<std::size_t>(m));
  if (solver == nullptr || start == nullptr) {
    gsl_multiroot_fsolver_free(solver);
    gsl_vector_free(start);
    throw std::bad_alloc();
  }
}

GslBroyden::~GslBroyden() {
  gsl_multiroot_fsolver_free(solver);
  gsl_vector_free(start);
}

PeerOutcome GslBroyden::solve(const TestProblem& problem, Eigen::Ref<Eigen::VectorXd> x) {
  checkSizes("GslBroyden", dimension, problem, x.size());
  QuietGslErrors quiet;
  PeerOutcome outcome;
  CallContext context{&problem, &outcome, nullptr};
  gsl_multiroot_function function{residualForGsl, static_cast<std::size_t>(dimension), &context};
  view(start) = x;
  if (gsl_multiroot_fsolver_set(solver, &function, start) != GSL_SUCCESS) return outcome;
  return iterateToRoot(solver,
                       gsl_multiroot_fsolver_iterate,
                       fResidual,
                       fRoot,
                       residualTolerance,
                       maxIterations,
                       context,
                       outcome,
                       x);
}

}  // namespace Ondrel::Benchmarks
