# An optional part of the build beside the two libraries (the Python package, the distributed
# solver): its AUTO/ON/OFF cache option, AUTO by default at the top level and OFF in a host's
# subproject, which adds the two library targets and nothing else. Sets <choice> in the caller to
# the option's value in upper case, and refuses any value but those.
function(ondrel_optional_part option description choice)
  if(PROJECT_IS_TOP_LEVEL)
    set(default AUTO)
  else()
    set(default OFF)
  endif()
  set(${option} ${default} CACHE STRING "${description}: AUTO, ON or OFF")
  set_property(CACHE ${option} PROPERTY STRINGS AUTO ON OFF)
  string(TOUPPER "${${option}}" value)
  if(NOT value MATCHES "^(AUTO|ON|OFF|TRUE|FALSE|YES|NO|1|0)$")
    message(FATAL_ERROR "${option} must be AUTO, ON or OFF, got '${${option}}'")
  endif()
  set(${choice} ${value} PARENT_SCOPE)
endfunction()
