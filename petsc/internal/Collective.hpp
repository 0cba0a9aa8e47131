// What keeps the processes of a distributed solve in step (not installed): PETSc error codes
// turned into exceptions, sums that every process computes to the same bits, and callables whose
// failure on one process ends the solve on all of them.
#pragma once

#include <petscsys.h>

#include <string>
#include <utility>

namespace Ondrel::Math::Solvers::internal {

// Throws PetscSolverError naming the call, with the message PETSc gave for it, when `code` is an
// error.
void check(PetscErrorCode code, const char* call);

// While one lives, PETSc errors are not printed but kept for check() to carry in its exception.
class PetscErrorCapture {
 public:
  PetscErrorCapture();
  PetscErrorCapture(const PetscErrorCapture&) = delete;
  PetscErrorCapture& operator=(const PetscErrorCapture&) = delete;
  ~PetscErrorCapture();
};

// The sum of every process's `local`, added in rank order on every process: the same bits
// everywhere whatever algorithm MPI_Allreduce would pick, so that every decision taken on it
// is the same on every process.
double sumInRankOrder(MPI_Comm comm, double local);
// Whether `local` holds on every process.
bool holdsEverywhere(MPI_Comm comm, bool local);

// After something that may have thrown on some processes (`failure` holds its exception there,
// null elsewhere): returns when nothing threw anywhere; otherwise throws on every process, the
// processes that failed their own exception, the others one of the same standard type (the
// first failing rank's: std::invalid_argument, std::bad_alloc, ..., std::runtime_error for what
// is not a standard exception) with the message "<what> failed on rank <r>: <its message>".
void rethrowEverywhere(MPI_Comm comm, const std::string& what, std::exception_ptr failure);

// Runs `action` and then makes its failure, if any process had one, every process's.
template <class Action>
void collectively(MPI_Comm comm, const std::string& what, Action&& action) {
  std::exception_ptr failure;
  try {
    std::forward<Action>(action)();
  } catch (...) {
    failure = std::current_exception();
  }
  rethrowEverywhere(comm, what, failure);
}

}  // namespace Ondrel::Math::Solvers::internal
