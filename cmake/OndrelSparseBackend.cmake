# The sparse backend: where SuiteSparse's KLU and UMFPACK are found, SparseBroyden factorises its
# Jacobian with them (KLU for patterns with little fill, UMFPACK's multifrontal LU on BLAS kernels
# for the rest, several times faster than Eigen's SparseLU on discretised PDEs); otherwise with
# Eigen's SparseLU, which is always there. Everything stays
# private to OndrelSolvers: hosts see the same headers either way and need nothing but Eigen to
# compile against the package.
#
# ONDREL_USE_SUITESPARSE: AUTO (default) uses SuiteSparse when it is found and falls back to
# Eigen's SparseLU otherwise; ON insists on it; OFF never uses it. One line says which path was taken.
set(ONDREL_USE_SUITESPARSE AUTO CACHE STRING "Sparse factorisation through SuiteSparse (KLU, UMFPACK): AUTO, ON or OFF")
set_property(CACHE ONDREL_USE_SUITESPARSE PROPERTY STRINGS AUTO ON OFF)
string(TOUPPER "${ONDREL_USE_SUITESPARSE}" _ondrel_sparse_choice)
if(NOT _ondrel_sparse_choice MATCHES "^(AUTO|ON|OFF|TRUE|FALSE|YES|NO|1|0)$")
  message(FATAL_ERROR "ONDREL_USE_SUITESPARSE must be AUTO, ON or OFF, got '${ONDREL_USE_SUITESPARSE}'")
endif()

set(ONDREL_SPARSE_BACKEND "Eigen" CACHE INTERNAL "The sparse factorisation this build uses")
set(ONDREL_SPARSE_PRIVATE_LIBS "")
if(_ondrel_sparse_choice MATCHES "^(OFF|FALSE|NO|0)$")
  message(STATUS "OndrelSolvers: sparse factorisation through Eigen's SparseLU (ONDREL_USE_SUITESPARSE=OFF)")
else()
  find_path(ONDREL_UMFPACK_INCLUDE_DIR umfpack.h PATH_SUFFIXES suitesparse)
  find_library(ONDREL_UMFPACK_LIBRARY umfpack)
  find_library(ONDREL_KLU_LIBRARY klu)
  set(_ondrel_umfpack_usable FALSE)
  if(ONDREL_UMFPACK_INCLUDE_DIR AND ONDREL_UMFPACK_LIBRARY AND ONDREL_KLU_LIBRARY)
    include(CheckCXXSourceCompiles)
    include(CMakePushCheckState)
    cmake_push_check_state(RESET)
    set(CMAKE_REQUIRED_INCLUDES ${ONDREL_UMFPACK_INCLUDE_DIR})
    set(CMAKE_REQUIRED_LIBRARIES ${ONDREL_UMFPACK_LIBRARY} ${ONDREL_KLU_LIBRARY})
    set(CMAKE_REQUIRED_QUIET ON)
    # The 64-bit integer interfaces: the factors of a million-unknown system outgrow 32-bit counts.
    check_cxx_source_compiles([[
      #include <klu.h>
      #include <umfpack.h>
      int main() {
        double control[UMFPACK_CONTROL];
        umfpack_dl_defaults(control);
        SuiteSparse_long ap[2] = {0, 1}, ai[1] = {0};
        double ax[1] = {2.0};
        void* symbolic = nullptr;
        const int status = umfpack_dl_symbolic(1, 1, ap, ai, ax, &symbolic, control, nullptr);
        umfpack_dl_free_symbolic(&symbolic);
        klu_l_common common;
        klu_l_defaults(&common);
        klu_l_symbolic* analysis = klu_l_analyze(1, ap, ai, &common);
        klu_l_free_symbolic(&analysis, &common);
        return status;
      }]] ONDREL_SUITESPARSE_LINKS)
    cmake_pop_check_state()
    set(_ondrel_umfpack_usable ${ONDREL_SUITESPARSE_LINKS})
  endif()

  if(_ondrel_umfpack_usable)
    set(ONDREL_SPARSE_BACKEND "SuiteSparse" CACHE INTERNAL "The sparse factorisation this build uses")
    target_compile_definitions(OndrelSolvers PRIVATE ONDREL_HAVE_SUITESPARSE=1)
    target_include_directories(OndrelSolvers SYSTEM PRIVATE ${ONDREL_UMFPACK_INCLUDE_DIR})
    target_link_libraries(OndrelSolvers PRIVATE ${ONDREL_UMFPACK_LIBRARY} ${ONDREL_KLU_LIBRARY})
    # A static link also needs their own dependencies.
    set(ONDREL_SPARSE_PRIVATE_LIBS
        "-lumfpack -lklu -lbtf -lcholmod -lamd -lcolamd -lsuitesparseconfig")
    message(STATUS "OndrelSolvers: sparse factorisation through SuiteSparse's KLU and UMFPACK "
                   "(${ONDREL_UMFPACK_LIBRARY})")
  elseif(_ondrel_sparse_choice STREQUAL "AUTO")
    message(STATUS "OndrelSolvers: SuiteSparse's KLU and UMFPACK not found, sparse factorisation "
                   "through Eigen's SparseLU (Debian: libsuitesparse-dev)")
  else()
    message(FATAL_ERROR "ONDREL_USE_SUITESPARSE=${ONDREL_USE_SUITESPARSE} needs SuiteSparse's KLU "
                        "and UMFPACK (Debian: libsuitesparse-dev); found header "
                        "'${ONDREL_UMFPACK_INCLUDE_DIR}', libraries '${ONDREL_UMFPACK_LIBRARY}' "
                        "and '${ONDREL_KLU_LIBRARY}'")
  endif()
endif()
unset(_ondrel_sparse_choice)
