# The distributed solver (petsc/, target Ondrel::Petsc) where PETSc is found through pkg-config.
#
# ONDREL_BUILD_PETSC: AUTO (the default at the top level) builds it when PETSc is found; ON insists
# on it; OFF never builds it. One line says which path was taken. A host's subproject adds its two
# library targets and nothing else: there the default is OFF.
include(${CMAKE_CURRENT_LIST_DIR}/OndrelOptionalPart.cmake)
ondrel_optional_part(ONDREL_BUILD_PETSC "The distributed solver on PETSc" _ondrel_petsc_choice)

set(ONDREL_HAVE_PETSC FALSE)
if(_ondrel_petsc_choice MATCHES "^(OFF|FALSE|NO|0)$")
  message(STATUS "OndrelSolvers: distributed solver not built (ONDREL_BUILD_PETSC=OFF)")
else()
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(PETSc QUIET IMPORTED_TARGET PETSc)
  endif()
  # PETSc's pkg-config file leaves MPI's headers and libraries to the MPI it was built with.
  find_package(MPI QUIET COMPONENTS CXX)
  if(PETSc_FOUND AND MPI_CXX_FOUND)
    set(ONDREL_HAVE_PETSC TRUE)
    add_subdirectory(petsc)
    message(STATUS "OndrelSolvers: distributed solver Ondrel::Petsc on PETSc ${PETSc_VERSION}")
  elseif(_ondrel_petsc_choice STREQUAL "AUTO")
    message(STATUS "OndrelSolvers: PETSc or MPI not found, distributed solver not built "
                   "(Debian: petsc-dev)")
  else()
    message(FATAL_ERROR "ONDREL_BUILD_PETSC=${ONDREL_BUILD_PETSC} needs PETSc through "
                        "pkg-config and MPI (Debian: petsc-dev)")
  endif()
endif()
# Cached for the scripts (scripts/demo builds the library's targets it finds there).
set(ONDREL_HAVE_PETSC ${ONDREL_HAVE_PETSC} CACHE INTERNAL "Whether Ondrel::Petsc is built")
unset(_ondrel_petsc_choice)
