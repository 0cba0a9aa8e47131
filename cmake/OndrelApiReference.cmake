# ONDREL_BUILD_DOCS: the API reference (Doxygen HTML) built with the libraries and installed under
# share/doc/OndrelSolvers/api, so that a host has it without a source tree. Doxygen is optional:
# without it the build goes on without the reference and says so in one line.
#
# Doxygen reads the headers through the build tree's ondrel/ links, so every page names a header
# as hosts include it (<ondrel/broyden/Broyden.hpp>). Its warnings go to warnings.log beside the
# pages and never fail the build: a packager's Doxygen may be another version than ours, and
# scripts/docs, where warnings are errors, is what keeps the comments complete.

if(NOT ONDREL_BUILD_DOCS)
  return()
endif()
find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
  message(STATUS "OndrelSolvers: Doxygen not found, the API reference is not built")
  return()
endif()
message(STATUS "OndrelSolvers: API reference through Doxygen ${DOXYGEN_VERSION}, installed under "
               "${CMAKE_INSTALL_DATADIR}/doc/OndrelSolvers/api")

set(_ondrel_api_output ${PROJECT_BINARY_DIR}/docs/api)
file(GLOB_RECURSE _ondrel_api_inputs CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/broyden/*.hpp ${PROJECT_SOURCE_DIR}/broyden/Broyden
  ${PROJECT_SOURCE_DIR}/state/*.hpp ${PROJECT_SOURCE_DIR}/parameters/*.hpp
  ${PROJECT_SOURCE_DIR}/geometry/*.hpp ${PROJECT_SOURCE_DIR}/petsc/*.hpp
  ${PROJECT_SOURCE_DIR}/docs/api/*)
# The output is emptied first so that a page of a removed class is not installed.
add_custom_command(OUTPUT ${_ondrel_api_output}/html/index.html
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${_ondrel_api_output}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_ondrel_api_output}
  COMMAND ${CMAKE_COMMAND} -E env
          ONDREL_SOURCE_DIR=${PROJECT_SOURCE_DIR}
          ONDREL_INCLUDE_ROOT=${ONDREL_BUILD_INCLUDE_DIR}
          ONDREL_DOCS_OUTPUT=${_ondrel_api_output}
          ONDREL_VERSION=${PROJECT_VERSION}
          ONDREL_DOCS_WARN_AS_ERROR=NO
          ${DOXYGEN_EXECUTABLE} ${PROJECT_SOURCE_DIR}/docs/api/Doxyfile
  DEPENDS ${_ondrel_api_inputs}
  COMMENT "Generating the API reference (Doxygen)"
  VERBATIM)
add_custom_target(OndrelApiReference ALL DEPENDS ${_ondrel_api_output}/html/index.html)

if(ONDREL_INSTALL)
  install(DIRECTORY ${_ondrel_api_output}/html/
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/OndrelSolvers/api)
endif()
