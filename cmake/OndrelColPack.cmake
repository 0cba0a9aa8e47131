# The colouring backend: where ColPack is found, colourColumns' largest-first and smallest-last
# orders run through ColPack's partial distance-2 colouring; otherwise through this library's own
# greedy colouring. The default order (saturation) is this library's own either way, so every
# build colours the same by default and passes the same tests. ColPack stays private to
# OndrelSolvers: hosts see the same headers either way.
#
# ONDREL_USE_COLPACK: AUTO (default) uses ColPack when it is found; ON insists on it; OFF never
# uses it. One line says which path was taken.
set(ONDREL_USE_COLPACK AUTO CACHE STRING "Column colouring through ColPack: AUTO, ON or OFF")
set_property(CACHE ONDREL_USE_COLPACK PROPERTY STRINGS AUTO ON OFF)
string(TOUPPER "${ONDREL_USE_COLPACK}" _ondrel_colpack_choice)
if(NOT _ondrel_colpack_choice MATCHES "^(AUTO|ON|OFF|TRUE|FALSE|YES|NO|1|0)$")
  message(FATAL_ERROR "ONDREL_USE_COLPACK must be AUTO, ON or OFF, got '${ONDREL_USE_COLPACK}'")
endif()

set(ONDREL_COLPACK_PRIVATE_LIBS "")
if(_ondrel_colpack_choice MATCHES "^(OFF|FALSE|NO|0)$")
  message(STATUS "OndrelSolvers: column colouring by the library's own greedy orders (ONDREL_USE_COLPACK=OFF)")
else()
  find_path(ONDREL_COLPACK_INCLUDE_DIR ColPack/ColPackHeaders.h)
  find_library(ONDREL_COLPACK_LIBRARY ColPack)
  set(_ondrel_colpack_usable FALSE)
  # ColPack's headers include <omp.h>.
  if(ONDREL_COLPACK_INCLUDE_DIR AND ONDREL_COLPACK_LIBRARY AND OpenMP_CXX_FOUND)
    include(CheckCXXSourceCompiles)
    include(CMakePushCheckState)
    cmake_push_check_state(RESET)
    set(CMAKE_REQUIRED_INCLUDES ${ONDREL_COLPACK_INCLUDE_DIR})
    set(CMAKE_REQUIRED_FLAGS ${OpenMP_CXX_FLAGS})
    set(CMAKE_REQUIRED_LIBRARIES ${ONDREL_COLPACK_LIBRARY} OpenMP::OpenMP_CXX)
    set(CMAKE_REQUIRED_QUIET ON)
    check_cxx_source_compiles([[
      #include <ColPack/ColPackHeaders.h>
      #include <vector>
      int main() {
        int rowStart[2] = {0, 1}, columns[1] = {0};
        ColPack::BipartiteGraphPartialColoringInterface graph(SRC_MEM_CSR, rowStart, 1, 1, columns);
        graph.PartialDistanceTwoColoring("LARGEST_FIRST", "COLUMN_PARTIAL_DISTANCE_TWO");
        std::vector<int> colours;
        graph.GetVertexPartialColors(colours);
        return graph.GetVertexColorCount() == 1 ? 0 : 1;
      }]] ONDREL_COLPACK_LINKS)
    cmake_pop_check_state()
    set(_ondrel_colpack_usable ${ONDREL_COLPACK_LINKS})
  endif()

  if(_ondrel_colpack_usable)
    target_compile_definitions(OndrelSolvers PRIVATE ONDREL_HAVE_COLPACK=1)
    target_include_directories(OndrelSolvers SYSTEM PRIVATE ${ONDREL_COLPACK_INCLUDE_DIR})
    target_link_libraries(OndrelSolvers PRIVATE ${ONDREL_COLPACK_LIBRARY})
    set(ONDREL_COLPACK_PRIVATE_LIBS "-lColPack")
    message(STATUS "OndrelSolvers: column colouring's greedy orders through ColPack "
                   "(${ONDREL_COLPACK_LIBRARY})")
  elseif(_ondrel_colpack_choice STREQUAL "AUTO")
    message(STATUS "OndrelSolvers: ColPack not found, column colouring by the library's own greedy "
                   "orders (Debian: libcolpack-dev)")
  else()
    message(FATAL_ERROR "ONDREL_USE_COLPACK=${ONDREL_USE_COLPACK} needs ColPack and OpenMP "
                        "(Debian: libcolpack-dev); found header directory "
                        "'${ONDREL_COLPACK_INCLUDE_DIR}' and library '${ONDREL_COLPACK_LIBRARY}'")
  endif()
endif()
unset(_ondrel_colpack_choice)
