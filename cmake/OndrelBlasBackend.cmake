# The dense backend: where OpenBLAS is found, the Jacobian's LU factorisation and its inverse go to
# OpenBLAS's LAPACK (dgetrf + dgetri), three times faster than plain Eigen at m = 2000. Everything
# stays private to OndrelSolvers: hosts see the same headers either way and need nothing but Eigen
# to compile against the package.
#
# ONDREL_USE_OPENBLAS: AUTO (default) uses OpenBLAS when it is found and falls back to plain Eigen
# otherwise; ON insists on it; OFF never uses it. One line says which path was taken.
#
# The Fortran routines are called directly, not through LAPACKE: LAPACKE refuses a matrix holding
# NaN without writing the pivots, while dgetrf itself factorises whatever it is given.
set(ONDREL_USE_OPENBLAS AUTO CACHE STRING "Dense factorisation through OpenBLAS's LAPACK: AUTO, ON or OFF")
set_property(CACHE ONDREL_USE_OPENBLAS PROPERTY STRINGS AUTO ON OFF)
string(TOUPPER "${ONDREL_USE_OPENBLAS}" _ondrel_blas_choice)
if(NOT _ondrel_blas_choice MATCHES "^(AUTO|ON|OFF|TRUE|FALSE|YES|NO|1|0)$")
  message(FATAL_ERROR "ONDREL_USE_OPENBLAS must be AUTO, ON or OFF, got '${ONDREL_USE_OPENBLAS}'")
endif()

set(ONDREL_DENSE_BACKEND "Eigen" CACHE INTERNAL "The dense factorisation this build uses")
set(ONDREL_BLAS_PRIVATE_LIBS "")
if(_ondrel_blas_choice MATCHES "^(OFF|FALSE|NO|0)$")
  message(STATUS "OndrelSolvers: dense factorisation through plain Eigen (ONDREL_USE_OPENBLAS=OFF)")
else()
  find_library(ONDREL_OPENBLAS_LIBRARY openblas)
  set(_ondrel_blas_usable FALSE)
  if(ONDREL_OPENBLAS_LIBRARY)
    include(CheckCXXSourceCompiles)
    include(CMakePushCheckState)
    cmake_push_check_state(RESET)
    set(CMAKE_REQUIRED_LIBRARIES ${ONDREL_OPENBLAS_LIBRARY})
    set(CMAKE_REQUIRED_QUIET ON)
    # Some OpenBLAS builds leave LAPACK out; the backend needs these routines (the banded LU of
    # the sparse solver among them).
    check_cxx_source_compiles([[
      extern "C" void dgetrf_(const int*, const int*, double*, const int*, int*, int*);
      extern "C" void dgetri_(const int*, double*, const int*, const int*, double*, const int*, int*);
      extern "C" void dgbtrf_(const int*, const int*, const int*, const int*, double*, const int*,
                              int*, int*);
      int main() {
        int n = 1, info = 0, pivot = 0, lwork = 1, zero = 0;
        double a = 2.0, work = 0.0;
        dgbtrf_(&n, &n, &zero, &zero, &a, &n, &pivot, &info);
        dgetrf_(&n, &n, &a, &n, &pivot, &info);
        dgetri_(&n, &a, &n, &pivot, &work, &lwork, &info);
        return info;
      }]] ONDREL_OPENBLAS_HAS_LAPACK)
    cmake_pop_check_state()
    set(_ondrel_blas_usable ${ONDREL_OPENBLAS_HAS_LAPACK})
  endif()

  if(_ondrel_blas_usable)
    set(ONDREL_DENSE_BACKEND "OpenBLAS" CACHE INTERNAL "The dense factorisation this build uses")
    target_compile_definitions(OndrelSolvers PRIVATE ONDREL_HAVE_LAPACK=1)
    target_link_libraries(OndrelSolvers PRIVATE ${ONDREL_OPENBLAS_LIBRARY})
    set(ONDREL_BLAS_PRIVATE_LIBS "-lopenblas")
    message(STATUS "OndrelSolvers: dense factorisation through OpenBLAS (${ONDREL_OPENBLAS_LIBRARY})")
  elseif(_ondrel_blas_choice STREQUAL "AUTO")
    message(STATUS "OndrelSolvers: OpenBLAS with LAPACK not found, dense factorisation through "
                   "plain Eigen (Debian: libopenblas-dev)")
  else()
    message(FATAL_ERROR "ONDREL_USE_OPENBLAS=${ONDREL_USE_OPENBLAS} needs OpenBLAS with its LAPACK "
                        "routines (Debian: libopenblas-dev); found '${ONDREL_OPENBLAS_LIBRARY}'")
  endif()
endif()
unset(_ondrel_blas_choice)
