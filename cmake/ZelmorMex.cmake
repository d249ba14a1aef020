# add_mex(NAME SOURCES source... [LINK_LIBRARIES library...] [OUTPUT_DIRECTORY dir])
#
# Builds NAME for every host that was found, into ZELMOR_MEX_OUTPUT_DIR (or dir, for test-only
# MEX files), next to a copy of its help file NAME.m (a comments-only file in the calling
# directory), so one addpath reaches both: NAME.mex for GNU Octave (target NAME) when
# FindOctaveMex found it, NAME.mexa64 for MATLAB (target NAME_matlab, built with
# matlab_add_mex) when FindMatlab found it. Every MEX file includes the host adapter's header
# from gateways/. The target mex_files builds every deliverable (those without an
# OUTPUT_DIRECTORY of their own) for every host, the target matlab_mex every MATLAB one.

set(ZELMOR_MEX_OUTPUT_DIR "${PROJECT_BINARY_DIR}/mex")
set(_zelmor_gateway_dir "${PROJECT_SOURCE_DIR}/gateways")
# Every deliverable MEX file, and nothing else: what `make` builds.
add_custom_target(mex_files)

# libut answers whether Ctrl-C is pending in MATLAB (utIsInterruptPending); FindMatlab has no
# component for it, and it lives beside libmx.
if(Matlab_FOUND)
  get_filename_component(_zelmor_matlab_library_dir "${Matlab_MX_LIBRARY}" DIRECTORY)
  find_library(ZELMOR_MATLAB_UT_LIBRARY NAMES ut libut HINTS "${_zelmor_matlab_library_dir}" NO_DEFAULT_PATH)
  if(NOT ZELMOR_MATLAB_UT_LIBRARY)
    message(FATAL_ERROR "MATLAB's libut was not found beside ${Matlab_MX_LIBRARY}")
  endif()
  add_custom_target(matlab_mex)
endif()
set(_zelmor_mex_exports "${CMAKE_CURRENT_LIST_DIR}/mex_exports.map")

function(add_mex NAME)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "OUTPUT_DIRECTORY" "SOURCES;LINK_LIBRARIES")
  if(ARG_UNPARSED_ARGUMENTS OR NOT ARG_SOURCES)
    message(FATAL_ERROR "usage: add_mex(NAME SOURCES source... [LINK_LIBRARIES library...] [OUTPUT_DIRECTORY dir])")
  endif()
  set(directory "${ZELMOR_MEX_OUTPUT_DIR}")
  if(ARG_OUTPUT_DIRECTORY)
    set(directory "${ARG_OUTPUT_DIRECTORY}")
  endif()
  set(help_file "${CMAKE_CURRENT_SOURCE_DIR}/${NAME}.m")
  if(NOT EXISTS "${help_file}")
    message(FATAL_ERROR "add_mex(${NAME}): help file ${help_file} is missing")
  endif()

  # The generator expression stops multi-config generators from adding a per-config folder.
  set(output_dir "$<1:${directory}>")

  if(OctaveMex_FOUND)
    add_library(${NAME} MODULE ${ARG_SOURCES})
    target_include_directories(${NAME} PRIVATE "${_zelmor_gateway_dir}")
    target_link_libraries(${NAME} PRIVATE Octave::Mex ${ARG_LINK_LIBRARIES})
    # The host adapter asks each host in its own way whether Ctrl-C is pending.
    target_compile_definitions(${NAME} PRIVATE ZELMOR_HOST_OCTAVE)
    # An unresolved symbol would otherwise surface only when Octave loads the file. The export
    # list also hides the standard library's template instances, which hidden visibility keeps.
    target_link_options(${NAME} PRIVATE
      LINKER:--no-undefined
      "LINKER:--version-script=${_zelmor_mex_exports}")
    set_property(TARGET ${NAME} APPEND PROPERTY LINK_DEPENDS "${_zelmor_mex_exports}")
    set_target_properties(${NAME} PROPERTIES
      PREFIX ""
      SUFFIX ".mex"
      LIBRARY_OUTPUT_DIRECTORY "${output_dir}")
    if(NOT ARG_OUTPUT_DIRECTORY)
      add_dependencies(mex_files ${NAME})
    endif()
  endif()

  if(Matlab_FOUND)
    matlab_add_mex(NAME ${NAME}_matlab
                   SRC ${ARG_SOURCES}
                   OUTPUT_NAME ${NAME}
                   LINK_TO ${ARG_LINK_LIBRARIES} ${ZELMOR_MATLAB_UT_LIBRARY}
                   R2018a)
    # MATLAB's headers stay outside our warning flags, as Octave's do.
    target_include_directories(${NAME}_matlab SYSTEM PRIVATE ${Matlab_INCLUDE_DIRS})
    target_include_directories(${NAME}_matlab PRIVATE "${_zelmor_gateway_dir}")
    target_compile_definitions(${NAME}_matlab PRIVATE ZELMOR_HOST_MATLAB)
    # As MATLAB's own mex links: a missing symbol fails here, not when MATLAB loads the file.
    target_link_options(${NAME}_matlab PRIVATE LINKER:--no-undefined)
    set_target_properties(${NAME}_matlab PROPERTIES LIBRARY_OUTPUT_DIRECTORY "${output_dir}")
    add_dependencies(matlab_mex ${NAME}_matlab)
    if(NOT ARG_OUTPUT_DIRECTORY)
      add_dependencies(mex_files ${NAME}_matlab)
    endif()
  endif()

  configure_file("${help_file}" "${directory}/${NAME}.m" COPYONLY)
endfunction()
