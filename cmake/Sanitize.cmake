# ZELMOR_SANITIZE: builds every target under AddressSanitizer and UndefinedBehaviorSanitizer
# and makes any report fatal. `make test-sanitize` configures build-sanitize/ with it.
#
# The solver's tests become instrumented executables. octave-cli is not instrumented: the MEX
# files it loads are, and the ASan runtime must be in the process before anything allocates,
# so the Octave tests run through a wrapper that preloads it (tests/sanitize/octave-cli.in).
# Tests that cap the address space (ulimit -v) cannot run: ASan reserves terabytes of it.
# Include after find_package(OctaveMex): the wrapper takes the place of OctaveMex_OCTAVE_CLI.

if(NOT ZELMOR_SANITIZE)
  return()
endif()
if(NOT OctaveMex_FOUND)
  message(FATAL_ERROR "ZELMOR_SANITIZE runs the MEX files in Octave, which was not found")
endif()

# float-cast-overflow is not part of gcc's "undefined" group; a double too large for an int
# is exactly what a hostile k or label would produce. float-divide-by-zero stays off: the
# projection divides by a zero count on purpose and relies on the IEEE infinity.
set(_zelmor_sanitizers address,undefined,float-cast-overflow)
add_compile_options(-fsanitize=${_zelmor_sanitizers} -fno-sanitize-recover=all -fno-omit-frame-pointer)
add_link_options(-fsanitize=${_zelmor_sanitizers})

if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  set(_zelmor_asan_library libasan.so)
elseif(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  # clang links its runtime statically into executables unless asked; a MEX file needs the
  # shared one, which octave-cli preloads.
  add_link_options(-shared-libasan)
  set(_zelmor_asan_library libclang_rt.asan-${CMAKE_SYSTEM_PROCESSOR}.so)
else()
  message(FATAL_ERROR "ZELMOR_SANITIZE knows gcc and clang only (got ${CMAKE_CXX_COMPILER_ID})")
endif()
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_zelmor_asan_library}
                OUTPUT_VARIABLE _zelmor_asan_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
get_filename_component(ZELMOR_ASAN_RUNTIME "${_zelmor_asan_runtime}" REALPATH)
if(NOT IS_ABSOLUTE "${_zelmor_asan_runtime}" OR NOT EXISTS "${ZELMOR_ASAN_RUNTIME}")
  message(FATAL_ERROR "ZELMOR_SANITIZE: ${CMAKE_CXX_COMPILER} does not know where ${_zelmor_asan_library} is; "
                      "install its sanitizer runtime (Debian: libasan8 comes with g++)")
endif()
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  # clang's runtime lives outside the loader's search path; the test executables need it too.
  get_filename_component(_zelmor_asan_dir "${ZELMOR_ASAN_RUNTIME}" DIRECTORY)
  add_link_options("LINKER:-rpath,${_zelmor_asan_dir}")
endif()

set(ZELMOR_REAL_OCTAVE_CLI "${OctaveMex_OCTAVE_CLI}")
set(ZELMOR_SANITIZE_SOURCE_DIR "${PROJECT_SOURCE_DIR}/tests/sanitize")
set(ZELMOR_SANITIZE_DIR "${PROJECT_BINARY_DIR}/sanitize")
# Leak checks for Octave processes only, by program name: octave-cli runs the tests, and may
# be octave or octave-cli-VERSION underneath.
foreach(program IN ITEMS octave-cli octave octave-cli-${OctaveMex_VERSION})
  configure_file("${ZELMOR_SANITIZE_SOURCE_DIR}/asan-octave.options.in"
                 "${ZELMOR_SANITIZE_DIR}/asan-${program}.options" @ONLY)
endforeach()
configure_file("${ZELMOR_SANITIZE_SOURCE_DIR}/octave-cli.in" "${PROJECT_BINARY_DIR}/octave-cli-sanitized"
               @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                      WORLD_READ WORLD_EXECUTE)
# A plain variable shadows the cached program for everything configured from here on.
set(OctaveMex_OCTAVE_CLI "${PROJECT_BINARY_DIR}/octave-cli-sanitized")
message(STATUS "Sanitizers: ${_zelmor_sanitizers}; Octave tests preload ${ZELMOR_ASAN_RUNTIME}")
