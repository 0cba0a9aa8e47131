#include "Collective.hpp"

#include <new>
#include <ondrel/petsc/PetscBroyden.hpp>
#include <stdexcept>
#include <vector>

namespace Ondrel::Math::Solvers::internal {

namespace {

// The message of the first error PETSc raised since the last check; its later frames only
// repeat the call chain.
thread_local std::string capturedMessage;

PetscErrorCode captureMessage(MPI_Comm,
                              int,
                              const char* function,
                              const char*,
                              PetscErrorCode code,
                              PetscErrorType type,
                              const char* message,
                              void*) {
  if (type == PETSC_ERROR_INITIAL) {
    capturedMessage = std::string(function ? function : "?") + ": " + (message ? message : "");
  }
  return code;
}

// The standard exception types a failure is carried over to the other processes as.
enum Kind : int {
  kInvalidArgument,
  kDomainError,
  kLengthError,
  kOutOfRange,
  kLogicError,
  kRangeError,
  kOverflowError,
  kUnderflowError,
  kRuntimeError,
  kBadAlloc,
  kOther,
};

std::pair<int, std::string> classify(const std::exception_ptr& failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const std::invalid_argument& e) {
    return {kInvalidArgument, e.what()};
  } catch (const std::domain_error& e) {
    return {kDomainError, e.what()};
  } catch (const std::length_error& e) {
    return {kLengthError, e.what()};
  } catch (const std::out_of_range& e) {
    return {kOutOfRange, e.what()};
  } catch (const std::logic_error& e) {
    return {kLogicError, e.what()};
  } catch (const std::range_error& e) {
    return {kRangeError, e.what()};
  } catch (const std::overflow_error& e) {
    return {kOverflowError, e.what()};
  } catch (const std::underflow_error& e) {
    return {kUnderflowError, e.what()};
  } catch (const std::runtime_error& e) {
    return {kRuntimeError, e.what()};
  } catch (const std::bad_alloc&) {
    return {kBadAlloc, "out of memory"};
  } catch (const std::exception& e) {
    return {kOther, e.what()};
  } catch (...) {
    return {kOther, "an exception that is not a std::exception"};
  }
}

[[noreturn]] void throwAs(int kind, const std::string& message) {
  switch (kind) {
    case kInvalidArgument:
      throw std::invalid_argument(message);
    case kDomainError:
      throw std::domain_error(message);
    case kLengthError:
      throw std::length_error(message);
    case kOutOfRange:
      throw std::out_of_range(message);
    case kLogicError:
      throw std::logic_error(message);
    case kRangeError:
      throw std::range_error(message);
    case kOverflowError:
      throw std::overflow_error(message);
    case kUnderflowError:
      throw std::underflow_error(message);
    case kBadAlloc:
      throw std::bad_alloc();
    default:
      throw std::runtime_error(message);
  }
}

void checkMpi(int code, const char* call) {
  if (code == MPI_SUCCESS) return;
  char text[MPI_MAX_ERROR_STRING];
  int length = 0;
  MPI_Error_string(code, text, &length);
  throw PetscSolverError(std::string("PetscBroyden: ") + call +
                         " failed: " + std::string(text, length));
}

}  // namespace

void check(PetscErrorCode code, const char* call) {
  if (code == 0) return;
  const char* text = nullptr;
  PetscErrorMessage(code, &text, nullptr);
  std::string message = std::string("PetscBroyden: ") + call + " failed (" +
                        (text ? text : "unknown PETSc error") + ")";
  if (!capturedMessage.empty()) message += ": " + capturedMessage;
  capturedMessage.clear();
  throw PetscSolverError(message);
}

PetscErrorCapture::PetscErrorCapture() {
  capturedMessage.clear();
  check(PetscPushErrorHandler(captureMessage, nullptr), "PetscPushErrorHandler");
}

PetscErrorCapture::~PetscErrorCapture() { PetscPopErrorHandler(); }

double sumInRankOrder(MPI_Comm comm, double local) {
  int size = 1;
  checkMpi(MPI_Comm_size(comm, &size), "MPI_Comm_size");
  if (size == 1) return local;
  std::vector<double> parts(static_cast<std::size_t>(size));
  checkMpi(MPI_Allgather(&local, 1, MPI_DOUBLE, parts.data(), 1, MPI_DOUBLE, comm),
           "MPI_Allgather");
  double sum = 0.0;
  for (const double part : parts) sum += part;
  return sum;
}

bool holdsEverywhere(MPI_Comm comm, bool local) {
  int mine = local ? 1 : 0;
  int all = 0;
  checkMpi(MPI_Allreduce(&mine, &all, 1, MPI_INT, MPI_LAND, comm), "MPI_Allreduce");
  return all != 0;
}

void rethrowEverywhere(MPI_Comm comm, const std::string& what, std::exception_ptr failure) {
  int rank = 0;
  int size = 1;
  checkMpi(MPI_Comm_rank(comm, &rank), "MPI_Comm_rank");
  checkMpi(MPI_Comm_size(comm, &size), "MPI_Comm_size");
  int mine = failure ? rank : size;
  int first = size;
  checkMpi(MPI_Allreduce(&mine, &first, 1, MPI_INT, MPI_MIN, comm), "MPI_Allreduce");
  if (first == size) return;
  // The first failing rank tells the others what it threw; only then does anyone throw.
  int header[2] = {0, 0};
  std::string message;
  if (rank == first) {
    auto [kind, text] = classify(failure);
    message = std::move(text);
    header[0] = kind;
    header[1] = static_cast<int>(message.size());
  }
  checkMpi(MPI_Bcast(header, 2, MPI_INT, first, comm), "MPI_Bcast");
  message.resize(static_cast<std::size_t>(header[1]));
  checkMpi(MPI_Bcast(message.data(), header[1], MPI_CHAR, first, comm), "MPI_Bcast");
  if (failure) std::rethrow_exception(failure);
  throwAs(header[0], what + " failed on rank " + std::to_string(first) + ": " + message);
}

}  // namespace Ondrel::Math::Solvers::internal
