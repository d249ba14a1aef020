# What every MEX file is built from, and the compiler flags they all need: the one list that
# CMake (cmake/ZelmorSources.cmake), make_mex.m and the Octave package's Makefile read.
# Plain `NAME = words` lines, no references, so that each of them can read it; paths are from
# the top folder (the package keeps the same layout under src/).
#
# A MEX file NAME is NAME_SOURCES, then HOST_SOURCES (the host adapter, compiled against the
# host's mex.h), then the sources of each library in NAME_LIBRARIES. Test-only code, the
# reference solver among it, stays out of this list and out of every MEX file.

MEX_FILES = hello zelmor_c zelmor_c2 zelmor_engine zelmor_svmlight
INCLUDE_DIRS = gateways solver engine formats
HOST_SOURCES = gateways/mex_host.cpp

zelmor_solver_SOURCES = solver/dual_solver.cpp solver/projection.cpp solver/instruction_sets.cpp solver/loops_portable.cpp solver/loops_avx2.cpp solver/loops_avx512.cpp
zelmor_engine_core_SOURCES = engine/kernels.cpp engine/kernel_loops_portable.cpp engine/kernel_loops_avx2.cpp engine/kernel_loops_avx512.cpp engine/kernel_cache.cpp engine/face_step.cpp engine/path.cpp engine/kernel_storage.cpp engine/search.cpp engine/predict.cpp engine/scoring.cpp engine/calibration.cpp
zelmor_formats_SOURCES = formats/svmlight.cpp formats/gzip.cpp

hello_SOURCES = gateways/hello.cpp
hello_LIBRARIES =
zelmor_c_SOURCES = gateways/zelmor_c.cpp gateways/solver_gateway.cpp
zelmor_c_LIBRARIES = zelmor_solver
zelmor_c2_SOURCES = gateways/zelmor_c2.cpp gateways/solver_gateway.cpp
zelmor_c2_LIBRARIES = zelmor_solver
zelmor_engine_SOURCES = gateways/zelmor_engine.cpp gateways/engine_commands.cpp gateways/engine_inputs.cpp gateways/engine_outputs.cpp gateways/host_runner.cpp gateways/checksum.cpp
zelmor_engine_LIBRARIES = zelmor_engine_core zelmor_solver
zelmor_svmlight_SOURCES = gateways/zelmor_svmlight.cpp
zelmor_svmlight_LIBRARIES = zelmor_formats

# Results are defined to the last bit: no fused multiply-add, no fast-math, in every build.
EXACT_FLAGS = -std=c++17 -ffp-contract=off -fno-fast-math
# Octave exports every symbol that is not hidden, and mexFunction is marked for export in the
# source. MATLAB's mex exports through a linker map instead, which cannot reach a hidden
# symbol, and the API version symbol it compiles in from MATLAB's own file carries no mark:
# hidden visibility there would hide it, and MATLAB would refuse the MEX file.
OCTAVE_FLAGS = -fvisibility=hidden
MATLAB_FLAGS =
