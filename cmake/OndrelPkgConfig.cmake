# OndrelSolvers.pc, for hosts that build without CMake:
#   g++ -std=c++17 app.cpp $(pkg-config --cflags --libs OndrelSolvers)
#
# Cflags carry <prefix>/include, for the preferred <ondrel/broyden/Broyden>, and
# <prefix>/include/ondrel, for the unprefixed spellings of earlier hosts, besides Eigen's memory
# settings and include directory.
#
# Relative install directories give a prefix computed from the file's own place (${pcfiledir}),
# so the installed tree works wherever `cmake --install --prefix` puts it. Eigen is header-only
# and comes from wherever this build found it; its include directory goes into Cflags directly,
# since not every Eigen installation ships a pkg-config file to require.

set(_ondrel_pc_destination ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
if(IS_ABSOLUTE "${_ondrel_pc_destination}")
  set(_ondrel_pc_prefix "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH _ondrel_pc_up "/ondrel-root/${_ondrel_pc_destination}" "/ondrel-root")
  string(REGEX REPLACE "/$" "" _ondrel_pc_up "${_ondrel_pc_up}")
  set(_ondrel_pc_prefix "\${pcfiledir}/${_ondrel_pc_up}")
endif()

foreach(_ondrel_pc_dir libdir includedir)
  if(_ondrel_pc_dir STREQUAL "libdir")
    set(_ondrel_pc_path "${CMAKE_INSTALL_LIBDIR}")
  else()
    set(_ondrel_pc_path "${CMAKE_INSTALL_INCLUDEDIR}")
  endif()
  if(IS_ABSOLUTE "${_ondrel_pc_path}")
    set(ONDREL_PC_${_ondrel_pc_dir} "${_ondrel_pc_path}")
  else()
    set(ONDREL_PC_${_ondrel_pc_dir} "\${prefix}/${_ondrel_pc_path}")
  endif()
endforeach()

# Eigen's memory settings come first: a host compiled with other ones cannot share Eigen objects
# with the library (see ONDREL_EIGEN_DEFINITIONS in the top-level CMakeLists.txt).
set(ONDREL_PC_EIGEN_CFLAGS "")
foreach(_ondrel_pc_definition IN LISTS ONDREL_EIGEN_DEFINITIONS)
  string(APPEND ONDREL_PC_EIGEN_CFLAGS " -D${_ondrel_pc_definition}")
endforeach()
get_target_property(_ondrel_pc_eigen_includes Eigen3::Eigen INTERFACE_INCLUDE_DIRECTORIES)
if(_ondrel_pc_eigen_includes)
  foreach(_ondrel_pc_include IN LISTS _ondrel_pc_eigen_includes)
    # Generator expressions mean nothing to pkg-config; an imported Eigen has none.
    if(NOT _ondrel_pc_include MATCHES "\\$<")
      string(APPEND ONDREL_PC_EIGEN_CFLAGS " -I${_ondrel_pc_include}")
    endif()
  endforeach()
endif()

# What a static link would need besides the two libraries: the backends and OpenMP, all private
# to the shared libraries, so a shared link needs none of them.
set(ONDREL_PC_LIBS_PRIVATE "${ONDREL_BLAS_PRIVATE_LIBS} ${ONDREL_SPARSE_PRIVATE_LIBS} ${ONDREL_COLPACK_PRIVATE_LIBS}")
if(OpenMP_CXX_FOUND)
  string(APPEND ONDREL_PC_LIBS_PRIVATE " ${OpenMP_CXX_FLAGS}")
endif()
string(STRIP "${ONDREL_PC_LIBS_PRIVATE}" ONDREL_PC_LIBS_PRIVATE)

set(ONDREL_PC_PREFIX "${_ondrel_pc_prefix}")
file(CONFIGURE
  OUTPUT ${PROJECT_BINARY_DIR}/OndrelSolvers.pc
  CONTENT [[prefix=@ONDREL_PC_PREFIX@
libdir=@ONDREL_PC_libdir@
includedir=@ONDREL_PC_includedir@

Name: OndrelSolvers
Description: @PROJECT_DESCRIPTION@
Version: @PROJECT_VERSION@
License: @ONDREL_LICENSE@
Cflags: -I${includedir} -I${includedir}/ondrel@ONDREL_PC_EIGEN_CFLAGS@
Libs: -L${libdir} -lOndrelSolvers -lOndrelGeometry
Libs.private: @ONDREL_PC_LIBS_PRIVATE@
]]
  @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/OndrelSolvers.pc DESTINATION ${_ondrel_pc_destination})
