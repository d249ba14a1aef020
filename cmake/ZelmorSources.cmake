# Reads cmake/mex_sources.mk, the one list of what every MEX file is built from, into
# ZELMOR_<NAME> variables: the *_SOURCES as absolute paths, everything else as lists of words.
# Included by the top-level project and by the fuzzers' project.
include_guard(GLOBAL)

get_filename_component(_zelmor_root "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(ZELMOR_SOURCE_LIST "${CMAKE_CURRENT_LIST_DIR}/mex_sources.mk")
set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${ZELMOR_SOURCE_LIST}")

file(STRINGS "${ZELMOR_SOURCE_LIST}" _zelmor_lines REGEX "^[A-Za-z_0-9]+ *=")
foreach(_zelmor_line IN LISTS _zelmor_lines)
  if(NOT _zelmor_line MATCHES "^([A-Za-z_0-9]+) *= *(.*)$")
    message(FATAL_ERROR "${ZELMOR_SOURCE_LIST}: cannot read '${_zelmor_line}'")
  endif()
  set(_zelmor_name "${CMAKE_MATCH_1}")
  separate_arguments(_zelmor_words UNIX_COMMAND "${CMAKE_MATCH_2}")
  if(_zelmor_name MATCHES "_SOURCES$")
    list(TRANSFORM _zelmor_words PREPEND "${_zelmor_root}/")
  endif()
  set(ZELMOR_${_zelmor_name} ${_zelmor_words})
endforeach()

foreach(_zelmor_required IN ITEMS MEX_FILES HOST_SOURCES EXACT_FLAGS zelmor_solver_SOURCES
                                  zelmor_engine_core_SOURCES zelmor_formats_SOURCES)
  if(NOT ZELMOR_${_zelmor_required})
    message(FATAL_ERROR "${ZELMOR_SOURCE_LIST} does not give ${_zelmor_required}")
  endif()
endforeach()
