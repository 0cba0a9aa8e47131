# The Python bindings (python/): the package `ondrel`, a pybind11 extension with a pure-Python
# layer, built where pybind11 and the headers of a Python that has NumPy are found. It is linked
# to Ondrel::Solvers like any host, so it gets the library's Eigen settings with the target.
#
# ONDREL_BUILD_PYTHON: AUTO (the default at the top level) builds them when everything is found,
# ON insists, OFF never.
# One line says which path was taken. The interpreter is the first of `python3` on the PATH and
# /usr/bin/python3 that imports NumPy (a PATH may put a Python without Debian's NumPy first);
# -DPython_EXECUTABLE=... chooses another.
# A host's subproject adds its two library targets and nothing else: there the default is OFF.
include(${CMAKE_CURRENT_LIST_DIR}/OndrelOptionalPart.cmake)
ondrel_optional_part(ONDREL_BUILD_PYTHON "Build the Python bindings (pybind11)" _ondrel_python_choice)

if(_ondrel_python_choice MATCHES "^(OFF|FALSE|NO|0)$")
  message(STATUS "OndrelSolvers: Python bindings off (ONDREL_BUILD_PYTHON=OFF)")
else()
  if(NOT Python_EXECUTABLE)
    find_program(_ondrel_path_python python3)
    foreach(_ondrel_candidate ${_ondrel_path_python} /usr/bin/python3)
      if(EXISTS "${_ondrel_candidate}")
        execute_process(COMMAND "${_ondrel_candidate}" -c "import numpy"
                        RESULT_VARIABLE _ondrel_numpy_missing OUTPUT_QUIET ERROR_QUIET)
        if(_ondrel_numpy_missing EQUAL 0)
          set(Python_EXECUTABLE "${_ondrel_candidate}" CACHE FILEPATH "The Python of the bindings")
          break()
        endif()
      endif()
    endforeach()
    unset(_ondrel_path_python CACHE)
  endif()
  find_package(Python 3.7 QUIET COMPONENTS Interpreter Development.Module)
  if(Python_FOUND)
    find_package(pybind11 2.6 CONFIG QUIET)
  endif()
  if(Python_FOUND AND pybind11_FOUND)
    message(STATUS "OndrelSolvers: Python bindings for ${Python_EXECUTABLE} "
                   "(${Python_VERSION}, pybind11 ${pybind11_VERSION})")
    add_subdirectory(python)
  elseif(_ondrel_python_choice STREQUAL "AUTO")
    message(STATUS "OndrelSolvers: Python bindings not built: pybind11 or the Python headers not "
                   "found (Debian: pybind11-dev python3-dev python3-numpy)")
  else()
    message(FATAL_ERROR "ONDREL_BUILD_PYTHON=${ONDREL_BUILD_PYTHON} needs pybind11 and the Python "
                        "headers (Debian: pybind11-dev python3-dev python3-numpy)")
  endif()
endif()
unset(_ondrel_python_choice)
