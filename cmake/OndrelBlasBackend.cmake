# Optional BLAS/LAPACK path for the solver's dense kernels. With ONDREL_USE_OPENBLAS, Eigen inside
# the library hands the LU factorisation to LAPACKE's dgetrf and the products and triangular
# solves (the inverse included) to OpenBLAS. Everything stays private to OndrelSolvers: hosts see
# the same headers and the same PartialPivLU member either way, and need no BLAS of their own.
option(ONDREL_USE_OPENBLAS "Build Eigen's BLAS and LAPACKE bindings against OpenBLAS" OFF)

if(ONDREL_USE_OPENBLAS)
  find_library(ONDREL_OPENBLAS_LIBRARY openblas)
  # OpenBLAS ships no LAPACKE symbols; the separate LAPACKE library wraps the LAPACK routines,
  # which resolve to OpenBLAS's own as long as OpenBLAS is linked directly.
  find_library(ONDREL_LAPACKE_LIBRARY lapacke)
  if(NOT ONDREL_OPENBLAS_LIBRARY OR NOT ONDREL_LAPACKE_LIBRARY)
    message(FATAL_ERROR
      "ONDREL_USE_OPENBLAS needs OpenBLAS and LAPACKE (Debian: libopenblas-dev liblapacke-dev); "
      "found openblas='${ONDREL_OPENBLAS_LIBRARY}' lapacke='${ONDREL_LAPACKE_LIBRARY}'")
  endif()
  target_compile_definitions(OndrelSolvers PRIVATE EIGEN_USE_BLAS EIGEN_USE_LAPACKE)
  target_link_libraries(OndrelSolvers PRIVATE ${ONDREL_OPENBLAS_LIBRARY} ${ONDREL_LAPACKE_LIBRARY})
  message(STATUS "OndrelSolvers: Eigen uses OpenBLAS (${ONDREL_OPENBLAS_LIBRARY}) and LAPACKE")
endif()
