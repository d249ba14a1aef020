# FindOctaveMex
# -------------
# Finds what GNU Octave needs to build and run MEX files, by asking the installed
# `mkoctfile -p` for its own configuration (so no install path is written here).
#
# Result variables:
#   OctaveMex_FOUND        true when mkoctfile answered and the libraries were found
#   OctaveMex_VERSION      Octave's version
#   OctaveMex_MKOCTFILE    the mkoctfile program
#   OctaveMex_OCTAVE_CLI   octave-cli, to run scripts against the built MEX files
#
# Imported target:
#   Octave::Mex            headers (as SYSTEM includes), liboctinterp/liboctave and the
#                          shared-library link flags mkoctfile itself would use

find_program(OctaveMex_MKOCTFILE NAMES mkoctfile DOC "Octave's build tool for extensions")
find_program(OctaveMex_OCTAVE_CLI NAMES octave-cli DOC "Octave's command-line interpreter")

function(_octave_mex_query variable result)
  execute_process(COMMAND "${OctaveMex_MKOCTFILE}" -p ${variable}
                  OUTPUT_VARIABLE value
                  ERROR_QUIET
                  RESULT_VARIABLE status
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0)
    set(value "")
  endif()
  set(${result} "${value}" PARENT_SCOPE)
endfunction()

if(OctaveMex_MKOCTFILE)
  execute_process(COMMAND "${OctaveMex_MKOCTFILE}" --version
                  OUTPUT_VARIABLE _octave_version_text
                  ERROR_VARIABLE _octave_version_text
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(_octave_version_text MATCHES "version ([0-9]+(\\.[0-9]+)*)")
    set(OctaveMex_VERSION "${CMAKE_MATCH_1}")
  endif()

  _octave_mex_query(INCFLAGS _octave_incflags)
  _octave_mex_query(OCTINCLUDEDIR _octave_octincludedir)
  _octave_mex_query(OCTLIBDIR _octave_octlibdir)
  _octave_mex_query(OCTAVE_LIBS _octave_libs)
  _octave_mex_query(DL_LDFLAGS _octave_dl_ldflags)

  # INCFLAGS is the authority; OCTINCLUDEDIR alone covers installs that leave it empty.
  set(_octave_include_dirs "")
  separate_arguments(_octave_incflag_list UNIX_COMMAND "${_octave_incflags}")
  foreach(_flag IN LISTS _octave_incflag_list)
    if(_flag MATCHES "^-I(.+)$")
      get_filename_component(_dir "${CMAKE_MATCH_1}" ABSOLUTE)
      list(APPEND _octave_include_dirs "${_dir}")
    endif()
  endforeach()
  if(NOT _octave_include_dirs AND _octave_octincludedir)
    get_filename_component(_parent "${_octave_octincludedir}" DIRECTORY)
    list(APPEND _octave_include_dirs "${_octave_octincludedir}" "${_parent}")
  endif()
  list(REMOVE_DUPLICATES _octave_include_dirs)
  find_path(OctaveMex_INCLUDE_DIR NAMES mex.h HINTS ${_octave_include_dirs} NO_DEFAULT_PATH)

  # OCTAVE_LIBS names the libraries (-loctinterp -loctave); OCTLIBDIR says where they live.
  set(OctaveMex_LIBRARIES "")
  set(_octave_missing_library "")
  separate_arguments(_octave_lib_list UNIX_COMMAND "${_octave_libs}")
  foreach(_flag IN LISTS _octave_lib_list)
    if(_flag MATCHES "^-l(.+)$")
      set(_name "${CMAKE_MATCH_1}")
      find_library(OctaveMex_${_name}_LIBRARY NAMES ${_name} HINTS "${_octave_octlibdir}")
      if(OctaveMex_${_name}_LIBRARY)
        list(APPEND OctaveMex_LIBRARIES "${OctaveMex_${_name}_LIBRARY}")
      else()
        set(_octave_missing_library "${_name}")
      endif()
    endif()
  endforeach()
  if(_octave_missing_library)
    set(OctaveMex_LIBRARIES "")
  endif()

  # Keep mkoctfile's own shared-object flags (-Wl,-Bsymbolic); CMake supplies -shared.
  set(OctaveMex_LINK_OPTIONS "")
  separate_arguments(_octave_dl_list UNIX_COMMAND "${_octave_dl_ldflags}")
  foreach(_flag IN LISTS _octave_dl_list)
    if(NOT _flag STREQUAL "-shared")
      list(APPEND OctaveMex_LINK_OPTIONS "${_flag}")
    endif()
  endforeach()
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(OctaveMex
  REQUIRED_VARS OctaveMex_MKOCTFILE OctaveMex_OCTAVE_CLI OctaveMex_INCLUDE_DIR OctaveMex_LIBRARIES
  VERSION_VAR OctaveMex_VERSION)

if(OctaveMex_FOUND AND NOT TARGET Octave::Mex)
  add_library(Octave::Mex INTERFACE IMPORTED)
  # Imported include directories are SYSTEM: Octave's headers stay outside our warning flags.
  set_target_properties(Octave::Mex PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_octave_include_dirs}"
    INTERFACE_LINK_LIBRARIES "${OctaveMex_LIBRARIES}"
    INTERFACE_LINK_OPTIONS "${OctaveMex_LINK_OPTIONS}")
endif()

mark_as_advanced(OctaveMex_MKOCTFILE OctaveMex_OCTAVE_CLI OctaveMex_INCLUDE_DIR)
